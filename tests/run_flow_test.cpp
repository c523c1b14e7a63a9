// The run from the command line to the exit status, with the real recorder on a
// scripted platform: one table of sessions, each checked for what it writes and when.

#include "recorder/run_flow.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "events/support_recording_error.h"
#include "platform/platform_error.h"
#include "recorder/quorvale_screen_recorder.h"
#include "recorder/window_id.h"
#include "support/output_capture.h"
#include "support/scripted_platform.h"
#include "support/test_runtime.h"

namespace quorvale::recorder {
namespace {

using namespace std::chrono_literals;
using platform::Rect;
using testing::ScriptedPlatform;

const platform::RunningApplication kApp{4242, "Quorvale"};
const platform::Display kLeft{1, {0, 0, 1440, 900}};
const platform::Display kRight{2, {1440, 0, 1920, 1080}};

std::shared_ptr<const platform::ShareableContent> contentWith(std::vector<platform::Window> windows,
                                                              std::vector<platform::Display> displays) {
  return std::make_shared<const platform::ShareableContent>(
      platform::ShareableContent{std::move(windows), std::move(displays)});
}

// The exact line an event makes; "@" stands for the test's folder.
std::string line(const std::string& status, const std::string& detail = "",
                 const std::string& path = "@/movie.mp4") {
  std::string text = R"({"status":")" + status + '"';
  if (!path.empty()) {
    text += R"(,"path":")" + path + R"(","fileName":")" + path.substr(path.rfind('/') + 1) + '"';
  }
  if (!detail.empty()) text += R"(,"detail":")" + detail + '"';
  return text + "}\n";
}

struct SessionTest;

struct Session {
  const char* name;
  // After the program's path; "@" is the test's folder.
  std::vector<std::string> arguments = {"@/movie.mp4", "42"};
  std::function<void(SessionTest&)> setup = nullptr;
  const char* start = "complete started";  // the stream's scripts
  const char* during = "";                 // its callbacks while the stop request is awaited
  const char* stop = "complete finished";
  RecorderBounds bounds = {10s, 10s};
  int status = 1;
  std::string output;              // everything written
  const char* recorded = nullptr;  // what the stream records, where it matters
  const char* misuse = "";
};

void PrintTo(const Session& session, std::ostream* out) { *out << session.name; }

struct SessionTest : ::testing::TestWithParam<Session>, StopRequest {
  SessionTest() {
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "existing.mp4") << "x";
    std::filesystem::current_path(directory);  // relative paths are taken against it
    platform.contentAnswers = {answer()};
  }
  ~SessionTest() override {
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(directory);
  }
  ScriptedPlatform::ContentAnswer answer() { return {contentWith({window}, {kLeft, kRight}), nullptr}; }
  std::string expand(std::string text) const {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, directory.native());
    return text;
  }

  // The stop request: notes what was written by then, and plays what happens while recording.
  void wait() override {
    atWait = out.text();
    platform.play(during);
    platform.drain();
  }

  int run(std::vector<std::string> arguments) {
    for (auto& argument : arguments) argument = expand(argument);
    arguments.insert(arguments.begin(), "quorvale_screen_recorder");
    RunEnvironment environment{arguments, &platform,
                               [this](platform::WindowID id, const OutputLocation& location) {
                                 if (outOfMemory) throw std::bad_alloc();
                                 return std::make_unique<QuorvaleScreenRecorder>(id, location, platform,
                                                                                 rt.runtime, bounds);
                               },
                               this};
    int status = -1;
    const auto main = [&]() -> asio::awaitable<void> {
      status = co_await QuorvaleScreenRecorderMain::main(environment);
    };
    EXPECT_EQ(rt.run(main()), nullptr);
    atExit = out.text();  // while the recorder and its stream still live
    return status;
  }

  // "window" (this one alone), or "display N" and the source rectangle if one was set.
  std::string recorded() {
    if (const auto* alone = std::get_if<platform::WindowFilter>(&*platform.filter)) {
      return alone->window == window ? "window" : "another window";
    }
    std::ostringstream text;
    text << "display " << std::get<platform::DisplayFilter>(*platform.filter).display.displayID;
    if (const auto& r = platform.configuration->sourceRect()) {
      text << " at " << r->x << "," << r->y << " " << r->width << "x" << r->height;
    }
    return text.str();
  }

  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("quorvale-flow-" + std::to_string(getpid()));
  platform::Window window{42, {1540, 100, 800, 600}, kApp, "Quorvale", true};
  RecorderBounds bounds{10s, 10s};
  bool outOfMemory = false;  // making the recorder throws
  std::string during;
  std::optional<std::string> atWait;
  std::string atExit;
  testing::TestRuntime rt;
  ScriptedPlatform platform;
  testing::OutputCapture out{STDOUT_FILENO};
};

TEST_P(SessionTest, ReportsOnceBeforeEachStepReturnsAndExitsWithItsStatus) {
  const auto& s = GetParam();
  bounds = s.bounds;
  during = s.during;
  if (s.setup) s.setup(*this);
  platform.onStartCapture = s.start;
  platform.onStopCapture = s.stop;
  EXPECT_EQ(run(s.arguments), s.status);
  // No waiting for the platform: each event is out before the step that made it returns.
  EXPECT_EQ(atExit, expand(s.output));
  const bool recording = s.output.find("started") != std::string::npos;
  EXPECT_EQ(atWait, recording ? std::optional(expand(line("started"))) : std::nullopt);
  if (s.recorded) {
    EXPECT_EQ(recorded(), s.recorded);
    EXPECT_TRUE(recorded() != "window" || platform.updates.empty());  // the window alone needs no crop
  }
  EXPECT_EQ(platform.misuses, (*s.misuse ? std::vector<std::string>{s.misuse} : std::vector<std::string>{}));
}

const std::string kClean = line("started") + line("finished");
const std::string kMissing = "Missing the output path or app window identifier.";
const std::string kInvalid = "Could not read the Quorvale window identifier: ";
std::string error(const std::string& detail) { return line("error", detail); }
std::function<void(SessionTest&)> firstLookup(ScriptedPlatform::ContentAnswer answer) {
  return [answer](SessionTest& t) { t.platform.contentAnswers = {answer}; };
}
std::function<void(SessionTest&)> secondLookup(ScriptedPlatform::ContentAnswer answer) {
  return [answer](SessionTest& t) { t.platform.contentAnswers.push_back(answer); };
}
const auto kGone = std::make_exception_ptr(platform::PlatformError("test", 1, "gone"));

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, SessionTest, ::testing::Values(
    Session{.name = "Clean", .status = 0, .output = kClean, .recorded = "display 2 at 100,100 800x600"},
    Session{.name = "RelativePathSignedIDExtraArguments", .arguments = {"movie.mp4", "+42", "extra"}, .status = 0,
            .output = kClean},
    Session{.name = "NoArguments", .arguments = {}, .output = line("error", kMissing, "")},
    Session{.name = "OneArgument", .arguments = {"@/m.mp4"}, .output = line("error", kMissing, "")},
    // Regression: invalid UTF-8 in an argument must not lose the error event.
    Session{.name = "InvalidWindowID", .arguments = {"@/m.mp4", "4\"2\n\xFF"},
            .output = line("error", kInvalid + "4\\\"2\\n\xEF\xBF\xBD.", "")},
    Session{.name = "InvalidWindowIDBeforeMissingFolder", .arguments = {"/no/such/dir/a.mp4", "x"},
            .output = line("error", kInvalid + "x.", "")},
    Session{.name = "FolderMissing", .arguments = {"@/caf\xE9/\xE9.mp4", "42"},
            .output = line("error", "The Downloads folder could not be found: @/caf\xEF\xBF\xBD.",
                           "@/caf\xEF\xBF\xBD/\xEF\xBF\xBD.mp4")},
    Session{.name = "FileExists", .arguments = {"@/existing.mp4/", "42"},
            .output = line("error", "A recording already exists at @/existing.mp4.", "@/existing.mp4")},
    // Guards against a relative path staying relative when the working folder is gone.
    Session{.name = "WorkingFolderGone", .arguments = {"clip.mp4", "42"}, .setup = [](SessionTest&) {
              std::filesystem::create_directory("gone");
              std::filesystem::current_path("gone");
              std::filesystem::remove("../gone");
            }, .output = line("error", "The location of the recording could not be resolved, as the current folder "
                                       "cannot be read: clip.mp4.", "clip.mp4")},
    Session{.name = "RootExists", .arguments = {"/", "42"}, .output = line("error", "A recording already exists at /.", "/")},
    Session{.name = "SystemTooOld", .setup = [](SessionTest& t) { t.platform.version = {14, 9, 9}; },
            .output = error("Support recording needs macOS 15 or newer on this device.")},
    // Guards against a failure no check names ending the run without an error line.
    Session{.name = "OutOfMemory", .setup = [](SessionTest& t) { t.outOfMemory = true; },
            .output = line("error", std::string(events::kOutOfMemoryMessage))},
    // Without the owning application or a display the window alone is recorded, and nothing is reported.
    Session{.name = "UnownedWindow", .setup = [](SessionTest& t) {
              t.window.owningApplication.reset();
              t.platform.contentAnswers = {t.answer()};
            }, .during = "frame=42@1000,300,900,700", .status = 0, .output = kClean, .recorded = "window"},
    Session{.name = "SecondLookupFails", .setup = secondLookup({contentWith({}, {kLeft}), kGone}), .status = 0,
            .output = kClean, .recorded = "window"},
    Session{.name = "NoDisplays", .setup = secondLookup({contentWith({}, {}), nullptr}), .status = 0,
            .output = kClean, .recorded = "window"},
    Session{.name = "WindowNarrowerThanAPoint", .setup = [](SessionTest& t) {
              t.window.frame = Rect{1500, 10, 0.5, 300};
              t.platform.contentAnswers = {t.answer()};
            }, .status = 0, .output = kClean, .recorded = "display 2"},
    // Guards against a blocking query that waits for a completion which already came.
    Session{.name = "ContentAnsweredEarly", .setup = [](SessionTest& t) { t.platform.contentAnswers[0].early = true; },
            .status = 0, .output = kClean, .recorded = "display 2 at 100,100 800x600"},
    Session{.name = "PermissionGrantedOnRequest", .setup = [](SessionTest& t) { t.platform.preflightAnswer = false; },
            .status = 0, .output = kClean},
    Session{.name = "PermissionRefused",
            .setup = [](SessionTest& t) { t.platform.preflightAnswer = t.platform.requestAnswer = false; },
            .output = error("Screen recording permission is required. Allow Quorvale in System Settings > "
                            "Privacy & Security > Screen & System Audio Recording, then try again.")},
    Session{.name = "ContentLookupFails", .setup = firstLookup({contentWith({}, {}), kGone}), .output = error("gone")},
    Session{.name = "ContentLookupEmpty", .setup = firstLookup({}),
            .output = error("The support recorder is not ready yet.")},
    Session{.name = "ContentLookupUnanswered", .setup = firstLookup({nullptr, nullptr, true}),
            .output = error("fetchShareableContent() dropped its completion without resuming it.")},
    Session{.name = "WindowMissing", .setup = firstLookup({contentWith({}, {}), nullptr}),
            .output = error("Could not find the Quorvale window to record. "
                            "Make sure the app window is open and visible.")},
    Session{.name = "AttachFails", .setup = [](SessionTest& t) { t.platform.attachError = kGone; },
            .output = error("gone")},
    Session{.name = "StartCaptureFails", .start = "fail", .output = error("fail")},
    // Guards against a request that throws as it is issued (no thread for it) ending the process.
    Session{.name = "StartCaptureThrows", .start = "throw", .output = error("throw")},
    Session{.name = "StartCaptureDropped", .start = "drop",
            .output = error("startCapture(_:) dropped its completion without resuming it.")},
    Session{.name = "StreamStopsBeforeStarted", .start = "complete streamStopped", .output = error("streamStopped")},
    Session{.name = "NothingStarts", .start = "complete", .bounds = {50ms, 10s},
            .output = error("Timed out while starting support recording. "
                            "Approve the macOS screen recording prompt and try again.")},
    // The first error is reported at once; the stop fails with it and need not wait for "finished".
    Session{.name = "ErrorWhileRecording", .during = "outputFailed streamStopped", .stop = "complete",
            .output = line("started") + error("outputFailed")},
    // Guards against an error callback without an error object leaving room for a second "error" line.
    Session{.name = "ErrorWithoutAnObject", .during = "outputFailedWithout streamStopped", .stop = "complete",
            .output = line("started") + error("An unknown error occurred.")},
    Session{.name = "CropUpdateFails", .setup = [](SessionTest& t) { t.platform.updateError = kGone; },
            .during = "frame=42@1000,300,900,700", .stop = "complete", .output = line("started") + error("gone")},
    Session{.name = "StopCaptureFails", .stop = "fail", .output = line("started") + error("fail")},
    Session{.name = "NothingFinishes", .stop = "complete", .bounds = {10s, 50ms},
            .output = line("started") + error("Timed out while finishing support recording.")},
    Session{.name = "StopCompletedTwice", .stop = "complete fail finished", .status = 0, .output = kClean,
            .misuse = "stopCapture(_:) resumed its completion more than once."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// One recording, checked for everything the movie needs of the stream.
TEST_F(SessionTest, RecordsTheFirstWindowWithTheIdentifierOnItsDisplayWithTheMoviesSettings) {
  auto duplicate = window;
  duplicate.frame = {1440, 0, 100, 100};
  platform.contentAnswers = {
      {contentWith({{7, {}, kApp, "", true}, window, duplicate}, {kLeft, kRight}), nullptr}};
  platform.info = {Rect{0, 0, 1920, 1080}, 2};
  // Another window, a frame narrower than a point, then the same move twice.
  during = "frame=43@0,0,10,10 frame=42@1500,10,0.5,300 frame=42@1000,300,900,700 frame=42@1000,300,900,700";
  ASSERT_EQ(run({"clip.mp4", "42"}), 0);
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"getShareableContent(true, false)", "sharedApplication",
                                                      "getShareableContent(true, false)"}));
  EXPECT_EQ(platform.streamBuildThread, std::this_thread::get_id());
  EXPECT_EQ(recorded(), "display 2 at 100,100 800x600");
  const auto& filter = std::get<platform::DisplayFilter>(*platform.filter);
  EXPECT_EQ(filter.includedApplications, std::vector{kApp});
  EXPECT_TRUE(filter.exceptedWindows.empty());
  const auto& c = *platform.configuration;
  EXPECT_EQ(std::tuple(c.width(), c.height(), c.minimumFrameInterval(), c.queueDepth(), c.pixelFormat(),
                       c.sampleRate(), c.channelCount()),
            std::tuple(1280, 720, platform::FrameInterval{1, 15}, 5, platform::kPixelFormat420v, 48000, 2));
  EXPECT_EQ(std::tuple(c.ignoreShadowsDisplay(), c.ignoreGlobalClipDisplay(), c.preservesAspectRatio(),
                       c.showsCursor(), c.scalesToFit(), c.capturesAudio(), c.captureMicrophone(),
                       c.excludesCurrentProcessAudio(), c.showMouseClicks(), c.ignoreShadowsSingleWindow(),
                       c.ignoreGlobalClipSingleWindow(), c.includeChildWindows()),
            std::tuple(false, false, true, true, true, true, false, false, true, false, false, true));
  // The crop follows the window on the same display, by the same rule, into the same output size.
  ASSERT_EQ(platform.updates.size(), 1u);
  EXPECT_EQ(
      std::tuple(platform.updates[0].sourceRect(), platform.updates[0].width(), platform.updates[0].height()),
      std::tuple(Rect{0, 300, 900, 700}, 1280, 720));
  const auto& output = *platform.outputConfiguration;
  EXPECT_EQ(std::tuple(output.outputURL, output.outputFileType, output.videoCodecType),
            std::tuple(directory / "clip.mp4", platform::kFileTypeMPEG4, platform::kVideoCodecH264));
}

#ifdef QUORVALE_PROGRAM
// The program itself: the one line on standard output, nothing on standard error.
TEST_F(SessionTest, ProgramWritesOnlyTheEventLineAndExitsOne) {
  const int status =
      std::system("'" QUORVALE_PROGRAM "' existing.mp4 42 extra </dev/null >out.txt 2>err.txt");
  const auto slurp = [](const char* name) {
    std::ifstream file(name);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(slurp("out.txt"),
            expand(line("error", "A recording already exists at @/existing.mp4.", "@/existing.mp4")));
  EXPECT_EQ(slurp("err.txt"), "");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their runtimes hold descriptors too
  // Guards against setting up the recording before the arguments are checked (no pipe, an abort);
  // descriptor 3, which the test runner may hold, is closed so that the limit leaves the program one.
  EXPECT_EQ(
      std::system("/usr/bin/prlimit --nofile=4 -- '" QUORVALE_PROGRAM "' </dev/null >out.txt 2>err.txt 3>&-"),
      256);
  EXPECT_EQ(slurp("out.txt"), line("error", "Missing the output path or app window identifier.", ""));
#endif
}
#endif

// Guards against an error escaping the flow's coroutine ending the process with the status 0 it was handed.
TEST(RunFlowTest, AnEscapedErrorIsReportedOnceAndNeverASuccess) {
  testing::OutputCapture out{STDOUT_FILENO};
  EXPECT_EQ(QuorvaleScreenRecorderMain::exitStatus(nullptr, std::make_exception_ptr(std::bad_alloc()), 0), 1);
  EXPECT_EQ(QuorvaleScreenRecorderMain::exitStatus(nullptr, nullptr, 0), 0);
  EXPECT_EQ(out.text(), line("error", std::string(events::kOutOfMemoryMessage), ""));
}

TEST(WindowIDTest, ParsesDecimalUnsigned32BitOnly) {
  const std::pair<const char*, std::optional<std::uint32_t>> table[] = {
      {"42", 42},
      {"+42", 42},
      {"007", 7},
      {"-0", 0},
      {"-000", 0},
      {"4294967295", 4294967295u},
      {"0000000000004294967295", 4294967295u}};
  for (const auto& [text, value] : table) EXPECT_EQ(parseWindowID(text), value) << text;
  for (const char* bad : {"", "+", "-", "-1", "4294967296", "99999999999999999999", " 42", "42 ", "4x", "4/",
                          "4:", "0x2A", "++1", "+-1", "\xD9\xA1"}) {
    EXPECT_EQ(parseWindowID(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace quorvale::recorder

// The run from the command line to the exit status, with the real recorder on a
// scripted platform: one table of sessions, each checked for what it writes and when,
// and for what it asked the platform to record.

#include "recorder/run_flow.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "events/support_recording_error.h"
#include "recorder/quorvale_screen_recorder.h"
#include "support/output_capture.h"
#include "support/scripted_platform.h"

namespace quorvale::recorder {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedPlatform;

const platform::RunningApplication kApp{4242, "Quorvale"};
const auto kGone = std::make_exception_ptr(platform::PlatformError("test", 1, "gone"));

// A content query's answer; by default another window first, the one to record and a later one with the
// same identifier, on two displays.
ScriptedPlatform::ContentAnswer content(
    std::exception_ptr error = nullptr,
    std::vector<platform::Window> windows = {{7, {}, kApp, "", true},
                                             {42, {1540, 100, 800, 600}, kApp, "Quorvale", true},
                                             {42, {1440, 0, 100, 100}, kApp, "", true}},
    std::vector<platform::Display> displays = {{1, {0, 0, 1440, 900}}, {2, {1440, 0, 1920, 1080}}}) {
  return {std::make_shared<const platform::ShareableContent>(std::move(windows), std::move(displays)), error};
}

// The exact line an event makes; "@" stands for the test's folder, "" for no location.
std::string line(const std::string& status, const std::string& detail = "",
                 const std::string& path = "@/movie.mp4") {
  const auto location = R"(","path":")" + path + R"(","fileName":")" + path.substr(path.rfind('/') + 1);
  return R"({"status":")" + status + (path.empty() ? "" : location) +
         (detail.empty() ? "" : R"(","detail":")" + detail) + "\"}\n";
}
std::string error(const std::string& detail) { return line("error", detail); }

struct SessionTest;

struct Session {
  const char* name;
  // After the program's path; "@" is the test's folder.
  std::vector<std::string> arguments = {"@/movie.mp4", "42"};
  std::vector<ScriptedPlatform::ContentAnswer> lookups = {content()};  // one a query; the last repeats
  std::function<void(SessionTest&)> setup = nullptr;
  const char* start = "complete started";  // the stream's scripts
  const char* during = "";                 // its callbacks while the stop request is awaited
  const char* stop = "complete finished";
  RecorderBounds bounds = {1h, 1h};  // a lost wake-up hangs the test until it times out
  std::string output;                // everything written
  std::string recorded = "";         // what the stream records, where it matters
  friend void PrintTo(const Session& session, std::ostream* out) { *out << session.name; }
};

struct SessionTest : ::testing::TestWithParam<Session>, StopRequest {
  SessionTest() {
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "existing.mp4") << "x";
    std::filesystem::current_path(directory);  // relative paths are taken against it
  }
  ~SessionTest() override {
    workers.join();
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(directory);
  }
  std::string expand(std::string text) const {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, directory.native());
    return text;
  }

  // The stop request: notes what was written by then, and plays what happens while recording.
  void wait() override {
    atWait = out.text();
    platform.play(GetParam().during);
    platform.drain();
  }

  int run() {
    RunEnvironment environment;
    environment.arguments = {"quorvale_screen_recorder"};
    for (const auto& argument : GetParam().arguments) environment.arguments.push_back(expand(argument));
    // As the program does: the platform and the rest are made once the arguments have passed.
    environment.prepare = [this](RunEnvironment& prepared) {
      prepared.platform = &platform;
      prepared.stopRequest = this;
      prepared.makeRecorder = [this](platform::WindowID id, const OutputLocation& location) {
        if (outOfMemory) throw std::bad_alloc();
        return std::make_unique<QuorvaleScreenRecorder>(id, location, platform, runtime, GetParam().bounds);
      };
    };
    // The main queue is served on this thread until the flow is done, as the program's main thread does.
    int status = -1;
    auto busy = asio::make_work_guard(mainQueue);
    asio::co_spawn(mainQueue, QuorvaleScreenRecorderMain::main(environment),
                   [&](std::exception_ptr escaped, int result) {
                     status = QuorvaleScreenRecorderMain::exitStatus(&environment, escaped, result);
                     busy.reset();
                   });
    mainQueue.run();
    atExit = out.text();  // while the recorder and its stream still live
    return status;
  }

  // "window at X,Y" (that one alone) or "display N", then the source rectangle and each crop that followed.
  std::string recorded() {
    std::ostringstream text;
    const auto put = [&](const platform::StreamConfiguration& c) {
      if (const auto& r = c.sourceRect())
        text << " at " << r->x << "," << r->y << " " << r->width << "x" << r->height;
      EXPECT_EQ(std::tuple(c.width(), c.height(), c.capturesAudio()), std::tuple(1280, 720, true))
          << "a crop keeps the movie's settings";
    };
    if (const auto* alone = std::get_if<platform::WindowFilter>(&*platform.filter)) {
      text << "window at " << alone->window.frame.x << "," << alone->window.frame.y;
    } else {
      const auto& filter = std::get<platform::DisplayFilter>(*platform.filter);
      text << "display " << filter.display.displayID;
      EXPECT_EQ(filter.includedApplications, std::vector{kApp});  // its windows only, whichever they are
    }
    put(*platform.configuration);
    for (const auto& update : platform.updates) text << ", then", put(update);
    return text.str();
  }

  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("quorvale-flow-" + std::to_string(getpid()));
  bool outOfMemory = false;  // making the recorder throws
  std::optional<std::string> atWait;
  std::string atExit;
  asio::io_context mainQueue;
  asio::thread_pool workers{4};
  Runtime runtime{mainQueue, workers};
  ScriptedPlatform platform;
  testing::OutputCapture out{STDOUT_FILENO};
};

TEST_P(SessionTest, ReportsOnceBeforeEachStepReturnsAndExitsWithItsStatus) {
  const auto& s = GetParam();
  platform.contentAnswers = s.lookups;
  if (s.setup) s.setup(*this);
  platform.onStartCapture = s.start;
  platform.onStopCapture = s.stop;
  EXPECT_EQ(run(), s.output.find(R"({"status":"finished")") == std::string::npos ? 1 : 0);  // 0: a clean stop
  // No waiting for the platform: each event is out before the step that made it returns.
  EXPECT_EQ(atExit, expand(s.output));
  const bool recording = s.output.starts_with(R"({"status":"started")");
  EXPECT_EQ(atWait,
            recording ? std::optional(expand(s.output.substr(0, s.output.find('\n') + 1))) : std::nullopt);
  EXPECT_EQ(s.recorded.empty() ? "" : recorded(), s.recorded);
  for (const auto& query : platform.queries) EXPECT_EQ(query, "10");  // desktop windows out, hidden ones in
  if (!platform.configuration) return;
  // The movie's settings, whatever is recorded; built on the main thread.
  EXPECT_EQ(platform.streamBuildThread, std::this_thread::get_id());
  const auto& c = *platform.configuration;
  // Those the capture service reads; it leaves the rest at their defaults, and the size as it started.
  EXPECT_EQ(
      std::tuple(c.width(), c.height(), c.minimumFrameInterval(), c.queueDepth(), c.sampleRate(),
                 c.channelCount(), c.preservesAspectRatio(), c.showsCursor(), c.scalesToFit(),
                 c.capturesAudio(), c.showMouseClicks(), c.includeChildWindows()),
      std::tuple(1280, 720, platform::FrameInterval{1, 15}, 5, 48000, 2, true, true, true, true, true, true));
  const auto& output = *platform.outputConfiguration;
  EXPECT_EQ(std::tuple(output.outputURL, output.outputFileType, output.videoCodecType),
            std::tuple(std::filesystem::absolute(expand(s.arguments[0])), platform::kFileTypeMPEG4,
                       platform::kVideoCodecH264));
}

const std::string kClean = line("started") + line("finished");
const std::string kMissing = "Missing the output path or app window identifier.";
const std::string kInvalid = "Could not read the Quorvale window identifier: ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, SessionTest, ::testing::Values(
    // A relative path, a signed identifier and an extra argument. Another window's move, a frame narrower
    // than a point and the same move twice: one crop, the whole window past the display's left edge.
    Session{.name = "Clean", .arguments = {"movie.mp4", "+42", "extra"},
            .setup = [](SessionTest& t) { t.platform.preflightAnswer = false; },  // granted when asked
            .during = "frame=43@0,0,10,10 frame=42@1500,10,0.5,300 frame=42@1000,300,900,700 "
                      "frame=42@1000,300,900,700",
            .output = kClean, .recorded = "display 2 at 100,100 800x600, then at -440,300 900x700"},
    Session{.name = "OneArgument", .arguments = {"@/m.mp4"}, .output = line("error", kMissing, "")},
    // Regression: invalid UTF-8 in an argument must not lose the error event. The identifier goes first.
    Session{.name = "InvalidWindowIDBeforeMissingFolder", .arguments = {"/no/such/a.mp4", "4\"2\n\\\x01\xFF"},
            .output = line("error", kInvalid + "4\\\"2\\n\\\\\\u0001\xEF\xBF\xBD.", "")},
    Session{.name = "SignAlone", .arguments = {"@/m.mp4", "+"}, .output = line("error", kInvalid + "+.", "")},
    Session{.name = "FolderMissing", .arguments = {"@/caf\xE9/\xE9.mp4", "42"},
            .output = line("error", "The Downloads folder could not be found: @/caf\xEF\xBF\xBD.",
                           "@/caf\xEF\xBF\xBD/\xEF\xBF\xBD.mp4")},
    // Guards against a relative path staying relative when the working folder is gone.
    Session{.name = "WorkingFolderGone", .arguments = {"clip.mp4", "42"}, .setup = [](SessionTest&) {
              std::filesystem::create_directory("gone"), std::filesystem::current_path("gone");
              std::filesystem::remove("../gone");
            }, .output = line("error", "The location of the recording could not be resolved, as the current folder "
                                       "cannot be read: clip.mp4.", "clip.mp4")},
    Session{.name = "RootExists", .arguments = {"/", "42"},
            .output = line("error", "A recording already exists at /.", "/")},
    Session{.name = "SystemTooOld", .setup = [](SessionTest& t) { t.platform.tooOld = true; },
            .output = error("Support recording does not work on this version of the system. Update the system "
                            "on this device, then try again.")},
    // Guards against a failure no check names ending the run without an error line.
    Session{.name = "OutOfMemory", .setup = [](SessionTest& t) { t.outOfMemory = true; },
            .output = error(std::string(events::kOutOfMemoryMessage))},
    // Without the owning application or a display the window alone is recorded, and nothing is reported.
    Session{.name = "UnownedWindow", .lookups = {content(nullptr, {{42, {1540, 100, 800, 600}, {}, "", true}})},
            .during = "frame=42@1000,300,900,700", .output = kClean, .recorded = "window at 1540,100"},
    Session{.name = "SecondLookupFails", .lookups = {content(), content(kGone, {}, {{1, {}}})},
            .output = kClean, .recorded = "window at 1540,100"},
    Session{.name = "NoDisplays", .lookups = {content(), content(nullptr, {}, {})}, .output = kClean,
            .recorded = "window at 1540,100"},
    Session{.name = "WindowNarrowerThanAPoint", .lookups = {content(nullptr, {{42, {1500, 10, 0.5, 300}, kApp, "", true}})},
            .output = kClean, .recorded = "display 2"},
    // Guards against "started" or "finished" written after start() or stop() returned; a long line takes a while.
    Session{.name = "LongPath", .arguments = {"/" + std::string(1 << 20, 'a'), "42"},
            .output = line("started", "", "/" + std::string(1 << 20, 'a')) +
                      line("finished", "", "/" + std::string(1 << 20, 'a'))},
    Session{.name = "PermissionRefused",
            .setup = [](SessionTest& t) { t.platform.preflightAnswer = t.platform.requestAnswer = false; },
            .output = error("Screen recording permission is required. Choose the Quorvale window in the "
                            "screen-sharing dialog and allow sharing it, then try again.")},
    Session{.name = "ContentLookupFails", .lookups = {content(kGone, {}, {})}, .output = error("gone")},
    Session{.name = "ContentLookupEmpty", .lookups = {{}}, .output = error("The support recorder is not ready yet.")},
    Session{.name = "ContentLookupUnanswered", .lookups = {{nullptr, nullptr, true}},
            .output = error("fetchShareableContent() dropped its completion without resuming it.")},
    Session{.name = "WindowMissing", .lookups = {content(nullptr, {}, {})},
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
    Session{.name = "NothingStarts", .start = "complete", .bounds = {50ms, 1h},
            .output = error("Timed out while starting support recording. Choose the Quorvale window in the "
                            "screen-sharing dialog and allow sharing it, then try again.")},
    // The first error is reported at once; the stop fails with it and need not wait for "finished".
    // Guards against an error callback without an error object leaving room for a second "error" line.
    Session{.name = "ErrorWithoutAnObject", .during = "outputFailedWithout streamStopped", .stop = "complete",
            .output = line("started") + error("An unknown error occurred.")},
    Session{.name = "CropUpdateFails", .setup = [](SessionTest& t) { t.platform.updateError = kGone; },
            .during = "frame=42@1000,300,900,700", .stop = "complete", .output = line("started") + error("gone")},
    Session{.name = "StopCaptureFails", .stop = "fail", .output = line("started") + error("fail")},
    Session{.name = "NothingFinishes", .stop = "complete", .bounds = {1h, 50ms},
            .output = line("started") + error("Timed out while finishing support recording.")}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

#ifdef QUORVALE_PROGRAM
// The program itself: the one line on standard output, nothing on standard error.
TEST_F(SessionTest, ProgramWritesOnlyTheEventLineAndExitsOne) {
  const auto runs = [](const std::string& command, const std::string& output) {
    EXPECT_EQ(std::system((command + " </dev/null >out.txt 2>&1 3>&-").c_str()), 256) << command;
    std::ifstream out("out.txt");  // standard error went there too
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(out), {}), output) << command;
  };
  // A relative path with a trailing separator, and an extra argument.
  runs("'" QUORVALE_PROGRAM "' existing.mp4/ 42 extra",
       expand(line("error", "A recording already exists at @/existing.mp4.", "@/existing.mp4")));
  // A writer that loops for ever, or is killed, once the parent has stopped reading is the end-to-end
  // fault rows' (StdoutClosed, ParentGone).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their runtimes hold descriptors too
  // Guards against setting up the recording before the arguments are checked (no pipe, an abort);
  // descriptor 3, which the test runner may hold, is closed so that the limit leaves the program one.
  runs("/usr/bin/prlimit --nofile=4 -- '" QUORVALE_PROGRAM "'", line("error", kMissing, ""));
#endif
}
#endif

TEST(RecorderTest, StartAndStopWaitTwoMinutesByDefault) {
  EXPECT_EQ(std::tuple(RecorderBounds{}.start, RecorderBounds{}.stop), std::tuple(120s, 120s));
}

// Guards against an error escaping the flow's coroutine ending the process with the status 0 it was handed.
TEST(RunFlowTest, AnEscapedErrorIsReportedOnceAndNeverASuccess) {
  testing::OutputCapture out{STDOUT_FILENO};
  EXPECT_EQ(QuorvaleScreenRecorderMain::exitStatus(nullptr, std::make_exception_ptr(std::bad_alloc()), 0), 1);
  EXPECT_EQ(out.text(), line("error", std::string(events::kOutOfMemoryMessage), ""));
}

}  // namespace
}  // namespace quorvale::recorder

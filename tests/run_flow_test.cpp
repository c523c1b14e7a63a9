#include "recorder/run_flow.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <filesystem>
#include <fstream>
#include <future>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "platform/platform_error.h"
#include "recorder/window_id.h"
#include "support/output_capture.h"
#include "support/scripted_platform.h"
#include "support/test_runtime.h"

extern char** environ;

namespace quorvale::recorder {
namespace {

using events::SupportRecordingEvent;

// A recorder whose start and stop do what the test says, on the worker pool.
class ScriptedRecorder final : public Recorder {
 public:
  enum class Outcome { succeed, fail, reportThenFail };

  ScriptedRecorder(Runtime runtime, Outcome start, Outcome stop)
      : runtime_(runtime), start_(start), stop_(stop) {}

  asio::awaitable<void> start() override {
    co_await asio::co_spawn(runtime_.workers, run(start_, "started", true), asio::use_awaitable);
  }
  asio::awaitable<void> stop() override {
    co_await asio::co_spawn(runtime_.workers, run(stop_, "finished", false), asio::use_awaitable);
  }
  bool hasEmittedTerminalEvent() const override { return terminal_.load(); }

  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<bool> mainQueueServedDuringStart{false};

 private:
  asio::awaitable<void> run(Outcome outcome, const char* status, bool isStart) {
    (isStart ? starts : stops)++;
    if (isStart) {
      // The real recorder builds its stream through a synchronous hop to the main queue.
      std::promise<void> hop;
      asio::post(runtime_.mainQueue, [&hop] { hop.set_value(); });
      mainQueueServedDuringStart =
          hop.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    switch (outcome) {
      case Outcome::succeed:
        if (!isStart) terminal_ = true;
        events::emitEvent({status, "/p.mp4", "p.mp4", std::nullopt});
        co_return;
      case Outcome::fail:
        throw platform::PlatformError("test", 2, "Scripted failure.");
      case Outcome::reportThenFail:
        terminal_ = true;
        events::emitError("Reported by the recorder.", "/p.mp4", "p.mp4");
        throw platform::PlatformError("test", 3, "Already reported.");
    }
  }

  Runtime runtime_;
  Outcome start_;
  Outcome stop_;
  std::atomic<bool> terminal_{false};
};

class CountingStopRequest final : public StopRequest {
 public:
  void wait() override { ++waits; }
  int waits = 0;
};

using Outcome = ScriptedRecorder::Outcome;

class RunFlowTest : public ::testing::Test {
 protected:
  RunFlowTest()
      : directory(std::filesystem::temp_directory_path() / ("quorvale-flow-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(directory);
  }
  ~RunFlowTest() override { std::filesystem::remove_all(directory); }

  int run(Outcome start, Outcome stop, std::vector<std::string> arguments = {}) {
    if (arguments.empty()) arguments = {"prog", (directory / "movie.mp4").string(), "42"};
    RunEnvironment environment{arguments, &platform,
                               [&](platform::WindowID id, const OutputLocation& location) {
                                 if (outOfMemory) throw std::bad_alloc();
                                 windowID = id;
                                 outputPath = location.path;
                                 auto made = std::make_unique<ScriptedRecorder>(rt.runtime, start, stop);
                                 recorder = made.get();
                                 return made;
                               },
                               &stopRequest};
    std::optional<int> status;
    EXPECT_EQ(rt.run(QuorvaleScreenRecorderMain::main(environment), status), nullptr);
    kept = std::move(environment.recorder);  // the test still reads it
    return status.value_or(-1);
  }

  std::vector<SupportRecordingEvent> events() {
    std::vector<SupportRecordingEvent> result;
    for (const auto& line : out.lines()) result.push_back(SupportRecordingEvent::decode(line));
    return result;
  }

  std::filesystem::path directory;
  testing::TestRuntime rt;
  testing::ScriptedPlatform platform;
  CountingStopRequest stopRequest;
  testing::OutputCapture out{STDOUT_FILENO};
  ScriptedRecorder* recorder = nullptr;
  std::unique_ptr<Recorder> kept;
  std::optional<platform::WindowID> windowID;
  std::string outputPath;
  bool outOfMemory = false;  // making the recorder throws
};

TEST_F(RunFlowTest, CleanRunStartsWaitsStopsAndExitsZero) {
  EXPECT_EQ(run(Outcome::succeed, Outcome::succeed), 0);
  EXPECT_EQ(stopRequest.waits, 1);
  EXPECT_EQ(recorder->starts, 1);
  EXPECT_EQ(recorder->stops, 1);
  EXPECT_EQ(windowID, 42u);
  EXPECT_EQ(events().size(), 2u);
}

TEST_F(RunFlowTest, MainQueueIsServedWhileStartRuns) {
  run(Outcome::succeed, Outcome::succeed);
  EXPECT_TRUE(recorder->mainQueueServedDuringStart);
}

TEST_F(RunFlowTest, StartFailureIsReportedWithLocationAndNeverStops) {
  EXPECT_EQ(run(Outcome::fail, Outcome::succeed), 1);
  EXPECT_EQ(stopRequest.waits, 0);
  EXPECT_EQ(recorder->stops, 0);
  const auto path = (directory / "movie.mp4").string();
  EXPECT_EQ(events(),
            (std::vector<SupportRecordingEvent>{{"error", path, "movie.mp4", "Scripted failure."}}));
}

TEST_F(RunFlowTest, StartFailureAfterTheRecordersOwnErrorAddsNothing) {
  EXPECT_EQ(run(Outcome::reportThenFail, Outcome::succeed), 1);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].detail, "Reported by the recorder.");
}

TEST_F(RunFlowTest, StopFailureIsReportedUnlessTheRecorderDid) {
  EXPECT_EQ(run(Outcome::succeed, Outcome::fail), 1);
  const auto all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].detail, "Scripted failure.");
  EXPECT_EQ(all[1].path, (directory / "movie.mp4").string());
}

TEST_F(RunFlowTest, StopFailureAfterTheRecordersOwnErrorAddsNothing) {
  EXPECT_EQ(run(Outcome::succeed, Outcome::reportThenFail), 1);
  const auto all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].detail, "Reported by the recorder.");
}

// Guards against a failure that no check names (here, no memory) ending the run without an error line.
TEST_F(RunFlowTest, UnexpectedFailureIsStillReportedOnce) {
  outOfMemory = true;
  EXPECT_EQ(run(Outcome::succeed, Outcome::succeed), 1);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].status, "error");
  EXPECT_EQ(events()[0].detail, events::kOutOfMemoryMessage);
}

// Guards against an error escaping the flow's coroutine ending the process with the status 0 it was handed.
TEST_F(RunFlowTest, EscapedErrorIsReportedOnceAndNeverASuccess) {
  EXPECT_EQ(QuorvaleScreenRecorderMain::exitStatus(nullptr, std::make_exception_ptr(std::bad_alloc()), 0), 1);
  EXPECT_EQ(QuorvaleScreenRecorderMain::exitStatus(nullptr, nullptr, 0), 0);
  EXPECT_EQ(
      events(),
      (std::vector<SupportRecordingEvent>{{"error", {}, {}, std::string(events::kOutOfMemoryMessage)}}));
}

TEST_F(RunFlowTest, UnsupportedSystemIsReportedAfterTheFileChecksWithLocation) {
  platform.operatingSystemIsNewEnough = false;
  EXPECT_EQ(run(Outcome::succeed, Outcome::succeed), 1);
  EXPECT_EQ(recorder, nullptr);
  const auto path = (directory / "movie.mp4").string();
  EXPECT_EQ(events(),
            (std::vector<SupportRecordingEvent>{
                {"error", path, "movie.mp4", "Support recording needs macOS 15 or newer on this device."}}));
  // A bad path still wins over the system check.
  std::filesystem::create_directory(directory / "movie.mp4");
  EXPECT_EQ(run(Outcome::succeed, Outcome::succeed), 1);
  EXPECT_EQ(events().back().detail, "A recording already exists at " + path + ".");
}

TEST_F(RunFlowTest, RelativeOutputPathIsReportedUnderTheWorkingDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(directory);
  run(Outcome::succeed, Outcome::succeed, {"prog", "clip.mp4", "+42", "ignored", "extra"});
  EXPECT_EQ(outputPath, (directory / "clip.mp4").string());
  EXPECT_EQ(windowID, 42u);
  // Guards against a relative path staying relative when the working directory is gone.
  std::filesystem::create_directory(directory / "gone");
  std::filesystem::current_path(directory / "gone");
  std::filesystem::remove(directory / "gone");
  EXPECT_EQ(run(Outcome::succeed, Outcome::succeed, {"prog", "clip.mp4", "42"}), 1);
  std::filesystem::current_path(previous);
  EXPECT_EQ(events().back(),
            (SupportRecordingEvent{"error", "clip.mp4", "clip.mp4",
                                   "The location of the recording could not be resolved, as the "
                                   "current folder cannot be read: clip.mp4."}));
}

TEST(WindowIdentifier, ParsesDecimalUnsigned32BitOnly) {
  EXPECT_EQ(parseWindowID("42"), 42u);
  EXPECT_EQ(parseWindowID("+42"), 42u);
  EXPECT_EQ(parseWindowID("007"), 7u);
  EXPECT_EQ(parseWindowID("-0"), 0u);
  EXPECT_EQ(parseWindowID("-000"), 0u);
  EXPECT_EQ(parseWindowID("4294967295"), 4294967295u);
  EXPECT_EQ(parseWindowID("0000000000004294967295"), 4294967295u);
  for (const char* bad : {"", "+", "-", "-1", "4294967296", "99999999999999999999", " 42", "42 ", "4x",
                          "0x2A", "1_000", "++1", "+-1", "\xD9\xA1"}) {
    EXPECT_EQ(parseWindowID(bad), std::nullopt) << bad;
  }
}

#ifdef QUORVALE_PROGRAM
// The real program: exact bytes on standard output, nothing on standard error.
struct ProgramResult {
  std::string out;
  std::string err;
  int status = -1;
};

ProgramResult runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory) {
  int outPipe[2], errPipe[2];
  EXPECT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  // Descriptors the test runner leaked would count against a descriptor limit.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  ProgramResult result;
  if (spawned != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  auto drain = [](int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
  };
  auto err = std::async(std::launch::async, drain, errPipe[0]);
  result.out = drain(outPipe[0]);
  result.err = err.get();
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

struct ValidationCase {
  const char* name;
  std::vector<std::string> arguments;  // after the program path; "@" stands for the test directory
  std::string expectedLine;            // "@" likewise
  int openFiles = 0;                   // a descriptor limit to run under, if any
};

class ProgramValidationTest : public ::testing::TestWithParam<ValidationCase> {
 protected:
  void SetUp() override {
    directory = std::filesystem::temp_directory_path() / ("quorvale-validation-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory / "existing-dir");
    std::ofstream(directory / "existing.mp4") << "x";
    std::filesystem::create_symlink(directory / "existing.mp4", directory / "link-to-file.mp4");
  }
  void TearDown() override { std::filesystem::remove_all(directory); }
  std::string expand(std::string text) const {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, directory.string());
    return text;
  }
  std::filesystem::path directory;
};

TEST_P(ProgramValidationTest, WritesExactlyOneErrorLineAndExitsOne) {
  std::vector<std::string> arguments{QUORVALE_PROGRAM};
  if (GetParam().openFiles > 0) {
    arguments.insert(arguments.begin(),
                     {"/usr/bin/prlimit", "--nofile=" + std::to_string(GetParam().openFiles), "--"});
  }
  for (const auto& argument : GetParam().arguments) arguments.push_back(expand(argument));
  const auto result = runProgram(arguments, directory.string());
  EXPECT_EQ(result.out, expand(GetParam().expectedLine) + "\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 1);
}

std::string invalidID(const std::string& escapedText) {
  return R"({"status":"error","detail":"Could not read the Quorvale window identifier: )" + escapedText +
         R"(."})";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramValidationTest,
    ::testing::Values(
        ValidationCase{"noArguments",
                       {},
                       R"({"status":"error","detail":"Missing the output path or app window identifier."})"},
        // Guards against setting up the recording before the arguments are checked (no pipe, an abort).
        ValidationCase{"noArgumentsAndFewDescriptors",
                       {},
                       R"({"status":"error","detail":"Missing the output path or app window identifier."})",
                       4},
        ValidationCase{"oneArgument",
                       {"@/a.mp4"},
                       R"({"status":"error","detail":"Missing the output path or app window identifier."})"},
        ValidationCase{"emptyID", {"@/a.mp4", ""}, invalidID("")},
        ValidationCase{"leadingBlank", {"@/a.mp4", " 42"}, invalidID(" 42")},
        ValidationCase{"trailingBlank", {"@/a.mp4", "42 "}, invalidID("42 ")},
        ValidationCase{"letter", {"@/a.mp4", "4x"}, invalidID("4x")},
        ValidationCase{"hex", {"@/a.mp4", "0x2A"}, invalidID("0x2A")},
        ValidationCase{"plusAlone", {"@/a.mp4", "+"}, invalidID("+")},
        ValidationCase{"minusAlone", {"@/a.mp4", "-"}, invalidID("-")},
        ValidationCase{"negative", {"@/a.mp4", "-1"}, invalidID("-1")},
        ValidationCase{"tooLarge", {"@/a.mp4", "4294967296"}, invalidID("4294967296")},
        ValidationCase{"quoteAndNewline", {"@/a.mp4", "4\"2\n"}, invalidID("4\\\"2\\n")},
        // Regression: invalid UTF-8 in an argument must not lose the error event.
        ValidationCase{"invalidUtf8", {"@/a.mp4", "4\xFF"}, invalidID("4\xEF\xBF\xBD")},
        ValidationCase{"badIDWinsOverBadPath", {"/no/such/dir/a.mp4", "x"}, invalidID("x")},
        ValidationCase{
            "parentMissing",
            {"@/missing/clip.mp4", "42"},
            R"({"status":"error","path":"@/missing/clip.mp4","fileName":"clip.mp4","detail":"The Downloads folder could not be found: @/missing."})"},
        ValidationCase{
            "fileExists",
            {"@/existing.mp4", "42"},
            R"({"status":"error","path":"@/existing.mp4","fileName":"existing.mp4","detail":"A recording already exists at @/existing.mp4."})"},
        ValidationCase{
            "directoryExists",
            {"@/existing-dir", "42"},
            R"({"status":"error","path":"@/existing-dir","fileName":"existing-dir","detail":"A recording already exists at @/existing-dir."})"},
        ValidationCase{
            "linkToFileExists",
            {"@/link-to-file.mp4", "42"},
            R"({"status":"error","path":"@/link-to-file.mp4","fileName":"link-to-file.mp4","detail":"A recording already exists at @/link-to-file.mp4."})"},
        ValidationCase{
            "relativePathExists",
            {"existing.mp4", "42", "extra"},
            R"({"status":"error","path":"@/existing.mp4","fileName":"existing.mp4","detail":"A recording already exists at @/existing.mp4."})"}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace quorvale::recorder

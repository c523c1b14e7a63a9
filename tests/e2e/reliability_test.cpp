// Reliability: the recorder killed or signalled, a full disk, a vanished
// output, a parent that goes away, and window ids
// that name nothing recordable.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWindowNotFound =
    "Could not find the Quorvale window to record. Make sure the app window is open and visible.";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long countOf(const std::vector<std::string>& statuses, const std::string& status) {
  return std::count(statuses.begin(), statuses.end(), status);
}

bool exitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// A copy of fd at 100 or above, so placing several of them onto low child fds cannot clobber one another.
Fd highCopy(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
  if (copy < 0) throw std::system_error(errno, std::generic_category(), "fcntl");
  return Fd(copy);
}

// Waits until the process is halted by a stop signal ("T" in /proc/PID/stat).
bool waitHalted(pid_t pid) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto end = stat.rfind(')');  // the command name in parentheses may hold anything
    if (end != std::string::npos && stat.compare(end, 3, ") T") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::pair<Fd, Fd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  return {highCopy(Fd(fds[0]).get()), highCopy(Fd(fds[1]).get())};
}

class ReliabilityTest : public DisplayTest {
 protected:
  TestWindow& openAnimatedWindow() {
    return openWindow(WindowOptions().at(60, 40).size(480, 360).colour(0x3060c0).animated());
  }

  // Waits for "started"; the moment it arrived.
  Clock::time_point waitStarted() {
    auto started = recorder_->waitFor("started");
    EXPECT_TRUE(started) << "no \"started\" event\n" << recorder_->transcript();
    return Clock::now();
  }

  // Exit 0, exactly "started" then "finished", nothing on stderr.
  void expectCleanFinish() {
    std::string transcript = recorder_->transcript();
    EXPECT_EQ(recorder_->exitCode(), 0) << transcript;
    EXPECT_EQ(recorder_->statuses(), (std::vector<std::string>{"started", "finished"})) << transcript;
    EXPECT_EQ(recorder_->stderrText(), "");
  }

  // Exit 1, exactly one "error", never "finished", nothing on stderr. The error's detail.
  std::string expectOneError() {
    std::string transcript = recorder_->transcript();
    EXPECT_EQ(recorder_->exitCode(), 1) << transcript;
    auto statuses = recorder_->statuses();
    EXPECT_EQ(countOf(statuses, "error"), 1) << transcript;
    EXPECT_EQ(countOf(statuses, "finished"), 0) << transcript;
    EXPECT_EQ(recorder_->stderrText(), "");
    for (const auto& event : recorder_->events()) {
      if (event.status() == "error") return event.get("detail");
    }
    return "";
  }

  // An H.264 movie of at least minSeconds; with `clean`, ffmpeg decodes it without a complaint.
  MediaInfo expectPlayable(const fs::path& file, double minSeconds, bool clean = true) {
    std::string error;
    auto info = probe(file, &error);
    if (!info) {
      ADD_FAILURE() << "ffprobe failed: " << error;
      return {};
    }
    EXPECT_TRUE(info->video && info->video->codec == "h264") << info->json;
    EXPECT_GE(info->duration, minSeconds) << info->json;
    if (clean) {
      EXPECT_TRUE(decodesCleanly(file, &error)) << error;
    }
    return *info;
  }
};

// --- killed outright -------------------------------------------------------

class KilledTest : public ReliabilityTest, public ::testing::WithParamInterface<double> {};

// Guards against a movie that only becomes readable once it is finished.
TEST_P(KilledTest, SigkillLeavesAPlayableMovieUpToTheLastSeconds) {
  auto& window = openAnimatedWindow();
  startRecorder(output(), window.id());
  auto started = waitStarted();
  if (HasFailure()) return;
  sleepFor(GetParam());
  double killedAt = secondsSince(started);
  recorder_->signal(SIGKILL);
  auto status = recorder_->waitExit();
  ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << recorder_->transcript();
  EXPECT_EQ(recorder_->statuses(), std::vector<std::string>{"started"}) << recorder_->transcript();
  expectPlayable(output(), killedAt - 2.5);
}

// Moments spread over the 3–6 s window, so they fall at different points of a fragment.
INSTANTIATE_TEST_SUITE_P(Reliability, KilledTest, ::testing::Values(3.2, 4.5, 5.8), [](const auto& info) {
  return "After" + std::to_string(static_cast<int>(info.param * 10)) + "ds";
});

// --- stop signals ----------------------------------------------------------

class StopSignalTest : public ReliabilityTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, SignalFinishesTheMovie) {
  auto& window = openAnimatedWindow();
  startRecorder(output(), window.id());
  auto started = waitStarted();
  if (HasFailure()) return;
  sleepFor(2.0);
  double recorded = secondsSince(started);
  recorder_->signal(GetParam());
  ASSERT_TRUE(recorder_->waitExit()) << "no exit after the signal\n" << recorder_->transcript();
  expectCleanFinish();
  auto info = expectPlayable(output(), recorded - 0.6);
  EXPECT_LE(info.duration, recorded + 0.6) << info.json;
}

INSTANTIATE_TEST_SUITE_P(Reliability, StopSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

struct SignalPair {
  int first;
  int second;
};

class DoubleSignalTest : public ReliabilityTest, public ::testing::WithParamInterface<SignalPair> {};

// Stopping takes only milliseconds, too little to aim a second signal at. So
// both arrive while the recorder is halted (SIGSTOP) and reach it together on
// SIGCONT. They differ, since a second one of the same kind would merge with the
// first while that is pending.
// Guards against a second stop request being ignored while the first one is finishing the movie.
TEST_P(DoubleSignalTest, SecondSignalEndsTheProcessAtOnceWithStatus1) {
  auto& window = openAnimatedWindow();
  startRecorder(output(), window.id());
  waitStarted();
  if (HasFailure()) return;
  recorder_->signal(SIGSTOP);
  ASSERT_TRUE(waitHalted(recorder_->pid())) << recorder_->transcript();
  recorder_->signal(GetParam().first);
  recorder_->signal(GetParam().second);
  recorder_->signal(SIGCONT);
  auto status = recorder_->waitExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "still running 15 s after two stop signals\n" << recorder_->transcript();
  EXPECT_TRUE(exitedWith(status, 1)) << recorder_->transcript();
  EXPECT_EQ(countOf(recorder_->statuses(), "finished"), 0) << recorder_->transcript();
  EXPECT_EQ(recorder_->stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Reliability, DoubleSignalTest,
                         ::testing::Values(SignalPair{SIGINT, SIGTERM}, SignalPair{SIGTERM, SIGHUP},
                                           SignalPair{SIGHUP, SIGINT}),
                         [](const auto& info) {
                           return std::string(sigabbrev_np(info.param.first)) + "Then" +
                                  sigabbrev_np(info.param.second);
                         });

// --- full disk -------------------------------------------------------------

class DiskFullTest : public ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    small_ = dir_->path() / "small";
    fs::create_directories(small_);
    if (::mount("tmpfs", small_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=300k") != 0) {
      GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
    }
    mounted_ = true;
  }

  void TearDown() override {
    recorder_.reset();  // nothing may hold the file system busy
    if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
  }

  fs::path small_;
  bool mounted_ = false;
};

// Guards against a full disk that goes unreported, is reported more than once, or hangs the stop.
TEST_F(DiskFullTest, ReportsNoSpaceOnceAndKeepsWhatWasWritten) {
  // Random blocks barely compress: 300 KiB are full within seconds.
  auto& window = openWindow(WindowOptions().at(0, 0).size(320, 240).noisy());
  auto file = small_ / "out.mp4";
  startRecorder(file, window.id());
  waitStarted();
  if (HasFailure()) return;
  auto error = recorder_->waitFor("error", std::chrono::seconds(60));
  ASSERT_TRUE(error) << "no error while the disk filled up\n" << recorder_->transcript();
  EXPECT_NE(error->get("detail").find("No space left on device"), std::string::npos) << error->line;
  // Frames keep arriving after the fault: none of them may bring another error.
  sleepFor(1.5);
  recorder_->stop();
  ASSERT_TRUE(recorder_->waitExit()) << "no exit after the stop line\n" << recorder_->transcript();
  expectOneError();
  // The last fragment may be cut short, so only the part before it has to be sound.
  expectPlayable(file, 0.1, /*clean=*/false);
}

// --- output removed while recording ----------------------------------------

struct Removal {
  const char* name;
  bool folder;  // the whole folder, else only the movie file
};

class OutputRemovedTest : public ReliabilityTest, public ::testing::WithParamInterface<Removal> {};

// Guards against "finished" for a movie that no longer exists anywhere.
TEST_P(OutputRemovedTest, ReportsTheDeletedMovieAtStop) {
  auto folder = dir_->path() / "movies";
  fs::create_directories(folder);
  auto file = folder / "out.mp4";
  auto& window = openAnimatedWindow();
  startRecorder(file, window.id());
  waitStarted();
  if (HasFailure()) return;
  sleepFor(1.0);
  if (GetParam().folder) {
    fs::remove_all(folder);
  } else {
    fs::remove(file);
  }
  sleepFor(1.5);
  recorder_->stop();
  ASSERT_TRUE(recorder_->waitExit()) << "no exit after the stop line\n" << recorder_->transcript();
  std::string detail = expectOneError();
  EXPECT_NE(detail.find("was deleted during the recording"), std::string::npos) << recorder_->transcript();
  EXPECT_FALSE(fs::exists(GetParam().folder ? folder : file)) << "the program brought it back";
}

INSTANTIATE_TEST_SUITE_P(Reliability, OutputRemovedTest,
                         ::testing::Values(Removal{"FileDeleted", false}, Removal{"FolderRemoved", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the parent's end of the pipes -----------------------------------------

using ParentTest = ReliabilityTest;

// Guards against the failed write of "finished" (EPIPE) spoiling the movie or the exit status.
TEST_F(ParentTest, StdoutNoLongerReadStillFinishesTheMovie) {
  auto& window = openAnimatedWindow();
  startRecorder(output(), window.id());
  auto started = waitStarted();
  if (HasFailure()) return;
  recorder_->closeStdout();
  sleepFor(2.0);
  double recorded = secondsSince(started);
  ASSERT_TRUE(recorder_->stop()) << recorder_->transcript();
  ASSERT_TRUE(recorder_->waitExit()) << "no exit after the stop line\n" << recorder_->transcript();
  EXPECT_EQ(recorder_->exitCode(), 0) << recorder_->transcript();
  EXPECT_EQ(recorder_->stderrText(), "");
  expectPlayable(output(), recorded - 0.6);
}

// Guards against an end of input before the recording began being missed (a recorder that never stops).
TEST_F(ParentTest, StdinClosedAtOnceRecordsAndFinishes) {
  auto& window = openAnimatedWindow();
  startRecorder(output(), window.id());
  recorder_->closeStdin();
  ASSERT_TRUE(recorder_->waitExit()) << "still running with its stdin closed\n" << recorder_->transcript();
  expectCleanFinish();
  expectPlayable(output(), 0.0);
}

// The app's death closes its ends of both pipes. Here a stand-in process holds
// them and is killed; this test stays the recorder's parent only to reap it.
// Guards against a recorder that outlives its app or leaves the movie unfinished.
TEST_F(ParentTest, DeathOfTheParentFinishesTheMovie) {
  auto& window = openAnimatedWindow();
  auto [inRead, inWrite] = makePipe();
  auto [outRead, outWrite] = makePipe();

  SpawnOptions parentOptions;
  parentOptions.quiet = true;
  parentOptions.extraFds = {{inWrite.get(), 3}, {outRead.get(), 4}};
  Process parent({"sleep", "600"}, std::move(parentOptions));
  inWrite.reset();

  SpawnOptions options;
  options.environment = environment();
  options.pipeStderr = true;
  options.extraFds = {{inRead.get(), 0}, {outWrite.get(), 1}};
  recorder_ = std::make_unique<Recorder>(
      std::vector<std::string>{output().string(), std::to_string(window.id())}, std::move(options));
  inRead.reset();
  outWrite.reset();

  // Peek at the events until "started", then leave the reading end to the stand-in alone.
  Clock::time_point started;
  {
    LineReader events(std::move(outRead));
    auto deadline = Clock::now() + kStartTimeout;
    std::string seen;
    while (true) {
      auto line = events.readLine(deadline);
      ASSERT_TRUE(line) << "no \"started\" event; saw:\n" << seen << recorder_->transcript();
      seen += *line + "\n";
      if (line->find("\"status\":\"started\"") != std::string::npos) break;
    }
    started = Clock::now();
  }
  sleepFor(2.0);
  double recorded = secondsSince(started);
  parent.signal(SIGKILL);
  ASSERT_TRUE(parent.waitExit(Clock::now() + kExitTimeout));

  ASSERT_TRUE(recorder_->waitExit()) << "still running after its parent died\n" << recorder_->transcript();
  EXPECT_EQ(recorder_->exitCode(), 0) << recorder_->transcript();
  EXPECT_EQ(recorder_->stderrText(), "");
  expectPlayable(output(), recorded - 0.6);
}

// --- window ids that name nothing recordable -------------------------------

class WindowIdTest;

struct BadWindowId {
  const char* name;
  // The id to pass; may open windows and keep connections in the fixture.
  std::function<std::uint32_t(WindowIdTest&)> make;
  // Runs right after the recorder is spawned.
  std::function<void(WindowIdTest&)> afterSpawn;
  // Racy cases may fail later in the start than the lookup: any clear detail will do.
  bool exactDetail = true;
  friend void PrintTo(const BadWindowId& id, std::ostream* out) { *out << id.name; }
};

class WindowIdTest : public ReliabilityTest, public ::testing::WithParamInterface<BadWindowId> {
 public:
  WindowIdTest() { screens_ = {"1280x800x24", "800x600x24"}; }

  static std::uint32_t root(WindowIdTest& t) { return XConnection(t.xserver_->display()).screen()->root; }

  static std::uint32_t inputOnly(WindowIdTest& t) {
    t.x_ = std::make_unique<XConnection>(t.xserver_->display());
    return t.x_->createWindow(300, 200, /*inputOnly=*/true);
  }

  static std::uint32_t onScreen1(WindowIdTest& t) {
    // A window like any recordable one, just on the second screen.
    auto env = t.environment().set("DISPLAY", t.xserver_->display() + ".1");
    t.windows_.push_back(std::make_unique<TestWindow>(env, WindowOptions().at(20, 20).size(300, 200)));
    XConnection screen1(t.xserver_->display() + ".1");
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(screen1.get(), xcb_query_tree(screen1.get(), t.windows_.back()->id()), nullptr),
        &std::free);
    EXPECT_TRUE(tree && tree->root == screen1.screen()->root) << "the window is not on screen 1";
    return t.windows_.back()->id();
  }

  static std::uint32_t ordinary(WindowIdTest& t) {
    return t.openWindow(WindowOptions().at(20, 20).size(300, 200)).id();
  }
  static void closeIt(WindowIdTest& t) { t.windows_.back()->close(); }

  std::unique_ptr<XConnection> x_;
};

// Guards against recording (or hanging on) an id that is no app window.
TEST_P(WindowIdTest, ReportsOneErrorAndExits1) {
  std::uint32_t id = GetParam().make(*this);
  if (HasFailure()) return;
  startRecorder(output(), id);
  if (GetParam().afterSpawn) GetParam().afterSpawn(*this);
  // No stop line: a failed start ends the program by itself.
  ASSERT_TRUE(recorder_->waitExit()) << "still running\n" << recorder_->transcript();
  std::string detail = expectOneError();
  EXPECT_EQ(countOf(recorder_->statuses(), "started"), 0) << recorder_->transcript();
  if (GetParam().exactDetail) {
    EXPECT_EQ(detail, kWindowNotFound);
    EXPECT_FALSE(fs::exists(output())) << "a movie was written for no window";
  } else {
    EXPECT_FALSE(detail.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, WindowIdTest,
    ::testing::Values(BadWindowId{"RootWindow", &WindowIdTest::root, nullptr},
                      BadWindowId{"InputOnlyWindow", &WindowIdTest::inputOnly, nullptr},
                      BadWindowId{"WindowOnAnotherScreen", &WindowIdTest::onScreen1, nullptr},
                      BadWindowId{"DestroyedRightAfterSpawn", &WindowIdTest::ordinary, &WindowIdTest::closeIt,
                                  /*exactDetail=*/false}),
    [](const auto& info) { return std::string(info.param.name); });

// Process resource limits the recorder runs under.
struct Limits {
  const char* name;
  std::vector<std::pair<int, unsigned long>> limits;
  friend void PrintTo(const Limits& l, std::ostream* out) { *out << l.name; }
};

class ResourceLimitTest : public DisplayTest, public ::testing::WithParamInterface<Limits> {};

constexpr unsigned long kMiB = 1024 * 1024;

// Guards against aborts (threads not created), hangs and libraries' messages on stderr when descriptors,
// memory or room for thread stacks run out: every run ends through one of the program's own exits.
TEST_P(ResourceLimitTest, EndsThroughTheProgramsOwnReport) {
  startPulse();
  auto& window = openWindow(WindowOptions().at(0, 0).size(640, 480).animated().tone(440));
  SpawnOptions options;
  options.environment = environment();
  options.pipeStdin = options.pipeStdout = options.pipeStderr = true;
  options.limits = GetParam().limits;
  recorder_ = std::make_unique<Recorder>(
      std::vector<std::string>{output().string(), std::to_string(window.id())}, std::move(options));
  if (auto first = recorder_->nextEvent(); first && first->status() == "started") sleepFor(1.5);
  recorder_->stop();
  ASSERT_TRUE(recorder_->waitExit()) << "no exit after the stop line\n" << recorder_->transcript();
  const std::string transcript = recorder_->transcript();
  if (recorder_->events().empty() && recorder_->exitCode() == 127 &&
      recorder_->stderrText().find("error while loading shared libraries") != std::string::npos) {
    GTEST_SKIP() << "the dynamic loader itself cannot start the program: " << transcript;
  }
  const auto statuses = recorder_->statuses();
  if (recorder_->exitCode() == 0) {
    EXPECT_EQ(statuses, (std::vector<std::string>{"started", "finished"})) << transcript;
  } else {
    EXPECT_EQ(recorder_->exitCode(), 1) << transcript;
    EXPECT_EQ(countOf(statuses, "error"), 1) << transcript;
    EXPECT_TRUE(!statuses.empty() && statuses.back() == "error") << transcript;
  }
  EXPECT_EQ(recorder_->stderrText(), "") << transcript;
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, ResourceLimitTest,
    ::testing::Values(
        Limits{"Files4", {{RLIMIT_NOFILE, 4}}}, Limits{"Files6", {{RLIMIT_NOFILE, 6}}},
        Limits{"Files8", {{RLIMIT_NOFILE, 8}}}, Limits{"Files10", {{RLIMIT_NOFILE, 10}}},
        Limits{"Files12", {{RLIMIT_NOFILE, 12}}}, Limits{"Files16", {{RLIMIT_NOFILE, 16}}},
        Limits{"Files24", {{RLIMIT_NOFILE, 24}}}, Limits{"Files40", {{RLIMIT_NOFILE, 40}}},
        Limits{"Memory64M", {{RLIMIT_AS, 64 * kMiB}}}, Limits{"Memory256M", {{RLIMIT_AS, 256 * kMiB}}},
        Limits{"Memory384M", {{RLIMIT_AS, 384 * kMiB}}},
        // Memory runs out mid-start here: no memory to encode the error, exceptions escaping backend threads.
        Limits{"Memory470M", {{RLIMIT_AS, 470 * kMiB}}}, Limits{"Memory473M", {{RLIMIT_AS, 473 * kMiB}}},
        Limits{"Memory476M", {{RLIMIT_AS, 476 * kMiB}}}, Limits{"Memory480M", {{RLIMIT_AS, 480 * kMiB}}},
        Limits{"Memory512M", {{RLIMIT_AS, 512 * kMiB}}}, Limits{"Memory768M", {{RLIMIT_AS, 768 * kMiB}}},
        Limits{"Memory1G", {{RLIMIT_AS, 1024 * kMiB}}}, Limits{"Memory2G", {{RLIMIT_AS, 2048 * kMiB}}},
        Limits{"Stacks256MIn1G", {{RLIMIT_STACK, 256 * kMiB}, {RLIMIT_AS, 1024 * kMiB}}},
        Limits{"Stacks512MIn2G", {{RLIMIT_STACK, 512 * kMiB}, {RLIMIT_AS, 2048 * kMiB}}},
        Limits{"Stacks1GIn2G", {{RLIMIT_STACK, 1024 * kMiB}, {RLIMIT_AS, 2048 * kMiB}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvale::e2e

// What ends a recording, or keeps it from starting: one report, the right exit, and
// the movie left behind only where it plays.

#include <sys/resource.h>

#include <functional>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

constexpr const char* kNotFound =
    "Could not find the Quorvale window to record. Make sure the app window is open and visible.";
constexpr unsigned long kMiB = 1024 * 1024;

class FaultTest;

struct Fault {
  const char* name;
  std::function<void(FaultTest&)> act;  // starts the program and brings the fault about
  int code;                             // exit code, or minus the signal that ended the program
  const char* statuses;
  const char* detail = "";  // part of the error's detail
  double movie = 0;         // the movie plays at least this long; -1: no file is left; 0: not checked
  std::vector<std::string> screens{"1280x800x24", "800x600x24"};
  friend void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }
};

class FaultTest : public E2eTest, public ::testing::WithParamInterface<Fault> {
 public:
  void stop() { run->process.write("\n"); }
  void signal(int signo) { run->process.signal(signo); }
  // Records for a while, then brings the fault about and stops once it is reported.
  static std::function<void(FaultTest&)> after(double seconds, std::function<void(FaultTest&)> fault) {
    return [=](FaultTest& t) {
      t.startRecording();
      sleepFor(seconds);
      fault(t);
      ASSERT_TRUE(t.run->waitFor("error", 60s)) << t.run->transcript();
      t.stop();
    };
  }
  static void removedOutput(FaultTest& t, bool folder) {
    fs::create_directories(t.dir.path() / "movies");
    t.record(t.windows.front()->id, t.dir.path() / "movies" / "out.mp4");
    ASSERT_TRUE(t.run->waitFor("started")) << t.run->transcript();
    sleepFor(1.0);
    folder ? fs::remove_all(t.dir.path() / "movies") : fs::remove(t.run->file);
    sleepFor(1.5);  // later frames must bring no error of their own
    t.stop();
  }
  static void diskFull(FaultTest& t) {
    t.mounted = t.dir.path() / "small";
    fs::create_directories(t.mounted);
    if (::mount("tmpfs", t.mounted.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=300k") != 0) {
      t.mounted.clear();
      GTEST_SKIP() << "cannot mount a small tmpfs";
    }
    // Random blocks barely compress: 300 KiB are full within seconds.
    t.windows.front() = std::make_unique<TestWindow>(t.environment(), "--width 320 --height 240 --noise");
    t.record(t.windows.front()->id, t.mounted / "out.mp4");
    ASSERT_TRUE(t.run->waitFor("error", 60s)) << t.run->transcript();
    sleepFor(1.5);  // frames keep arriving: none may bring another error
    t.stop();
  }
  std::uint32_t inputOnlyWindow() {
    const xcb_window_t window = xcb_generate_id(xcb());
    xcb_create_window(xcb(), 0, window, root(), 0, 0, 300, 200, 0, XCB_WINDOW_CLASS_INPUT_ONLY, 0, 0,
                      nullptr);
    xcb_map_window(xcb(), window);
    sync();
    return window;
  }
  xcb_window_t root() { return xcb_setup_roots_iterator(xcb_get_setup(xcb())).data->root; }
};

// Guards against a fault that goes unreported, is reported twice, hangs the program, or leaves
// behind an unplayable movie, a file of a failed start, or a movie claimed as finished.
TEST_P(FaultTest, EndsWithOneReport) {
  x = std::make_unique<XServer>(GetParam().screens);
  open("--x 40 --y 40 --width 480 --height 360 --animate");
  GetParam().act(*this);
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_EQ(run->end(), GetParam().code) << run->transcript();
  EXPECT_EQ(run->statuses(), GetParam().statuses) << run->transcript();
  EXPECT_EQ(run->process.err(), "");
  const auto error = Program::event(run->lines.empty() ? "" : run->lines.back()).value("detail", "");
  EXPECT_NE(error.find(GetParam().detail), std::string::npos) << run->transcript();
  EXPECT_NE(error.empty(), std::string(GetParam().statuses).ends_with("error")) << run->transcript();
  EXPECT_EQ(fs::exists(fs::symlink_status(run->file)), GetParam().movie >= 0) << "whether a file is left";
  if (GetParam().movie > 0) expectPlayable(run->file, GetParam().movie);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        Fault{"XServerKilled", FaultTest::after(2, [](FaultTest& t) { t.x->kill(); }), 1, "started error", "", 0.5},
        Fault{"WindowClosed", FaultTest::after(2, [](FaultTest& t) { t.windows.front()->process.signal(SIGTERM); }),
              1, "started error", "closed", 0.5},
        Fault{"DiskFull", &FaultTest::diskFull, 1, "started error", "No space left on device"},
        Fault{"OutputDeleted", [](FaultTest& t) { FaultTest::removedOutput(t, false); }, 1, "started error",
              "was deleted during the recording", -1},
        Fault{"OutputFolderRemoved", [](FaultTest& t) { FaultTest::removedOutput(t, true); }, 1, "started error",
              "was deleted during the recording", -1},
        // Guards against a movie that only becomes readable once it is finished.
        Fault{"Sigkill", [](FaultTest& t) { t.startRecording(), sleepFor(4.5), t.signal(SIGKILL); }, -SIGKILL,
              "started", "", 2.0},
        Fault{"Sigint", [](FaultTest& t) { t.startRecording(), sleepFor(2), t.signal(SIGINT); }, 0,
              "started finished", "", 1.4},
        Fault{"Sigterm", [](FaultTest& t) { t.startRecording(), sleepFor(2), t.signal(SIGTERM); }, 0,
              "started finished", "", 1.4},
        Fault{"Sighup", [](FaultTest& t) { t.startRecording(), sleepFor(2), t.signal(SIGHUP); }, 0,
              "started finished", "", 1.4},
        // Guards against a second stop request being ignored while the first is finishing the movie.
        // Stopping takes milliseconds, too little to aim at: both arrive together while it is halted.
        Fault{"SecondSignal",
              [](FaultTest& t) {
                t.startRecording();
                t.signal(SIGSTOP);
                siginfo_t info;
                ::waitid(P_PID, t.run->process.pid(), &info, WSTOPPED | WNOWAIT);
                t.signal(SIGINT);
                t.signal(SIGTERM);
                t.signal(SIGCONT);
              },
              1, "started"},
        // Guards against the failed write of "finished" (EPIPE) spoiling the movie or the exit status.
        Fault{"StdoutClosed",
              [](FaultTest& t) { t.startRecording(), t.run->process.closeStdout(), sleepFor(2), t.stop(); }, 0,
              "started", "", 1.4},
        // The app's death closes its ends of both pipes.
        Fault{"ParentGone",
              [](FaultTest& t) {
                t.startRecording(), sleepFor(2);
                t.run->process.closeStdin(), t.run->process.closeStdout();
              },
              0, "started", "", 1.4},
        // Guards against an end of input before the recording began going unnoticed.
        Fault{"StdinClosedAtOnce",
              [](FaultTest& t) { t.record(t.windows.front()->id).process.closeStdin(); }, 0,
              "started finished", "", 0.01},
        // Guards against leaving the unplayable file of a failed start: a retry under its name would fail.
        Fault{"SixteenBitDisplay", [](FaultTest& t) { t.record(t.windows.front()->id); }, 1, "error", "", -1,
              {"640x480x16"}},
        Fault{"RootWindow", [](FaultTest& t) { t.record(t.root()); }, 1, "error", kNotFound, -1},
        Fault{"InputOnlyWindow", [](FaultTest& t) { t.record(t.inputOnlyWindow()); }, 1, "error", kNotFound, -1},
        Fault{"WindowOnAnotherScreen",
              [](FaultTest& t) {
                auto env = t.environment().set("DISPLAY", t.x->display() + ".1");
                t.windows.push_back(std::make_unique<TestWindow>(env, "--width 300 --height 200"));
                t.record(t.windows.back()->id);
              },
              1, "error", kNotFound, -1},
        Fault{"DestroyedWindow",
              [](FaultTest& t) {
                const xcb_window_t window = t.inputOnlyWindow();
                xcb_destroy_window(t.xcb(), window);
                t.sync();
                t.record(window);
              },
              1, "error", kNotFound, -1},
        // Fails later in the start than the lookup, at a moment of its own.
        Fault{"WindowDestroyedRightAfterSpawn",
              [](FaultTest& t) {
                t.record(t.windows.front()->id);
                t.windows.front()->process.signal(SIGTERM);
              },
              1, "error", "", -1}),
    [](const auto& info) { return std::string(info.param.name); });

struct ResourceLimits {
  const char* name;
  Limits limits;
  friend void PrintTo(const ResourceLimits& limits, std::ostream* out) { *out << limits.name; }
};

class ResourceLimitTest : public E2eTest, public ::testing::WithParamInterface<ResourceLimits> {};

// Guards against aborts (threads not created), hangs and libraries' messages on stderr when descriptors,
// memory or room for thread stacks run out: every run ends through one of the program's own exits.
TEST_P(ResourceLimitTest, EndsThroughTheProgramsOwnReport) {
  x = std::make_unique<XServer>();
  pulse = std::make_unique<PulseServer>(dir.path() / "sound");
  auto& r = record(open("--width 640 --height 480 --animate --tone 440").id, output(), GetParam().limits);
  if (r.waitFor("started")) sleepFor(1.5);
  r.process.write("\n");
  const auto code = r.end();
  ASSERT_TRUE(code) << "no exit after the stop line\n" << r.transcript();
  if (*code == 127 && r.lines.empty() &&
      r.process.err().find("error while loading shared libraries") != std::string::npos) {
    GTEST_SKIP() << "the dynamic loader itself cannot start the program: " << r.transcript();
  }
  if (*code == 0) {
    EXPECT_EQ(r.statuses(), "started finished") << r.transcript();
  } else {
    EXPECT_EQ(*code, 1) << r.transcript();
    EXPECT_TRUE(r.statuses() == "error" || r.statuses() == "started error") << r.transcript();
  }
  EXPECT_EQ(r.process.err(), "") << r.transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ResourceLimitTest,
    ::testing::Values(
        ResourceLimits{"Files4", {{RLIMIT_NOFILE, 4}}}, ResourceLimits{"Files6", {{RLIMIT_NOFILE, 6}}},
        ResourceLimits{"Files8", {{RLIMIT_NOFILE, 8}}}, ResourceLimits{"Files10", {{RLIMIT_NOFILE, 10}}},
        ResourceLimits{"Files12", {{RLIMIT_NOFILE, 12}}}, ResourceLimits{"Files16", {{RLIMIT_NOFILE, 16}}},
        ResourceLimits{"Files24", {{RLIMIT_NOFILE, 24}}}, ResourceLimits{"Files40", {{RLIMIT_NOFILE, 40}}},
        ResourceLimits{"Memory64M", {{RLIMIT_AS, 64 * kMiB}}},
        ResourceLimits{"Memory256M", {{RLIMIT_AS, 256 * kMiB}}},
        ResourceLimits{"Memory384M", {{RLIMIT_AS, 384 * kMiB}}},
        // Memory runs out mid-start here: no memory to encode the error, exceptions escaping backend threads.
        ResourceLimits{"Memory470M", {{RLIMIT_AS, 470 * kMiB}}},
        ResourceLimits{"Memory473M", {{RLIMIT_AS, 473 * kMiB}}},
        ResourceLimits{"Memory476M", {{RLIMIT_AS, 476 * kMiB}}},
        ResourceLimits{"Memory480M", {{RLIMIT_AS, 480 * kMiB}}},
        ResourceLimits{"Memory512M", {{RLIMIT_AS, 512 * kMiB}}},
        ResourceLimits{"Memory768M", {{RLIMIT_AS, 768 * kMiB}}},
        ResourceLimits{"Memory1G", {{RLIMIT_AS, 1024 * kMiB}}},
        ResourceLimits{"Memory2G", {{RLIMIT_AS, 2048 * kMiB}}},
        ResourceLimits{"Stacks256MIn1G", {{RLIMIT_STACK, 256 * kMiB}, {RLIMIT_AS, 1024 * kMiB}}},
        ResourceLimits{"Stacks512MIn2G", {{RLIMIT_STACK, 512 * kMiB}, {RLIMIT_AS, 2048 * kMiB}}},
        ResourceLimits{"Stacks1GIn2G", {{RLIMIT_STACK, 1024 * kMiB}, {RLIMIT_AS, 2048 * kMiB}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvale::e2e

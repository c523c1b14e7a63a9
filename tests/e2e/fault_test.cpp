// What ends a recording, or keeps it from starting: one report, the right exit, and
// the movie left behind only where it plays.

#include <sys/mount.h>
#include <sys/resource.h>

#include <functional>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

class FaultTest;
using Act = std::function<void(FaultTest&)>;  // starts the program and brings the fault about

struct Fault {
  const char* name;
  Act act;
  int code;  // exit code, or minus the signal that ended the program
  const char* statuses;
  const char* detail = "";  // part of the error's detail
  double movie = 0;         // the movie plays at least this long; -1: no file is left; 0: not checked
  std::vector<std::string> screens{"1280x800x24", "800x600x24"};
  friend void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }
};

class FaultTest : public E2eTest, public ::testing::WithParamInterface<Fault> {
 public:
  void TearDown() override {
    run.reset();  // nothing may hold the small file system busy
    ::umount2((dir.path() / "movies").c_str(), MNT_DETACH);
  }
  // Records for two seconds, brings the fault about, records on (later frames must bring no
  // error of their own) and stops, once the error is reported if `reported`.
  static Act during(Act fault, bool reported = true) {
    return [=](FaultTest& t) {
      fs::create_directories(t.dir.path() / "movies");
      t.record(t.windows[0]->id, t.dir.path() / "movies" / "out.mp4");
      ASSERT_TRUE(t.run->waitFor("started")) << t.run->transcript();
      sleepFor(2);
      fault(t);
      ASSERT_TRUE(!reported || t.run->waitFor("error", 60s)) << t.run->transcript();
      sleepFor(1);
      t.run->process.write("\n");
    };
  }
  static Act signalAfter(double seconds, int signo) {
    return [=](FaultTest& t) { t.startRecording(), sleepFor(seconds), t.run->process.signal(signo); };
  }
  static void fillDisk(FaultTest& t) {
    fs::create_directories(t.dir.path() / "movies");
    if (::mount("tmpfs", (t.dir.path() / "movies").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=300k") !=
        0) {
      GTEST_SKIP() << "cannot mount a small tmpfs";
    }
    // Random blocks barely compress: 300 KiB are full within seconds.
    t.windows[0] = std::make_unique<TestWindow>(t.environment(), "--width 320 --height 240 --noise");
    during([](FaultTest&) {})(t);
  }
  // Stopping takes milliseconds, too little to aim at: both signals arrive together while it is halted.
  static void twoSignals(FaultTest& t) {
    t.startRecording();
    t.run->process.signal(SIGSTOP);
    siginfo_t halted;
    ::waitid(P_PID, t.run->process.pid(), &halted, WSTOPPED | WNOWAIT);
    for (int signo : {SIGINT, SIGTERM, SIGCONT}) t.run->process.signal(signo);
  }
  static void recordOnScreen1(FaultTest& t) {
    auto environment = t.environment().set("DISPLAY", t.x->display() + ".1");
    t.record(t.windows.emplace_back(std::make_unique<TestWindow>(environment, ""))->id);
  }
  std::uint32_t inputOnlyWindow(bool destroyed) {
    const xcb_window_t window = xcb_generate_id(xcb());
    xcb_create_window(xcb(), 0, window, root(), 0, 0, 300, 200, 0, XCB_WINDOW_CLASS_INPUT_ONLY, 0, 0,
                      nullptr);
    destroyed ? xcb_destroy_window(xcb(), window) : xcb_map_window(xcb(), window);
    sync();
    return window;
  }
  xcb_window_t root() { return xcb_setup_roots_iterator(xcb_get_setup(xcb())).data->root; }
};

// Guards against a fault that goes unreported, is reported twice, hangs the program, or leaves
// behind an unplayable movie, the file of a failed start, or a movie claimed as finished.
TEST_P(FaultTest, EndsWithOneReport) {
  x = std::make_unique<XServer>(GetParam().screens);
  open("--x 40 --y 40 --width 480 --height 360 --animate");
  GetParam().act(*this);
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_EQ(run->end(), GetParam().code) << run->transcript();
  EXPECT_EQ(run->statuses(), GetParam().statuses) << run->transcript();
  EXPECT_EQ(run->process.err(), "");
  const std::string detail = Program::event(run->lines.empty() ? "" : run->lines.back()).value("detail", "");
  EXPECT_NE(detail.find(GetParam().detail), std::string::npos) << run->transcript();
  EXPECT_NE(detail.empty(), std::string(GetParam().statuses).ends_with("error")) << run->transcript();
  EXPECT_EQ(fs::exists(fs::symlink_status(run->file)), GetParam().movie >= 0) << "whether a file is left";
  if (GetParam().movie <= 0) return;
  auto info = probe(run->file);
  ASSERT_TRUE(info && info->video) << "no playable movie";
  EXPECT_GE(info->duration, GetParam().movie);
  EXPECT_TRUE(decodesCleanly(run->file));
}

constexpr const char* kNotFound =
    "Could not find the Quorvale window to record. Make sure the app window is open and visible.";
using T = FaultTest;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::Values(
    Fault{"XServerKilled", T::during([](T& t) { t.x->kill(); }), 1, "started error", "", 0.5},
    Fault{"WindowClosed", T::during([](T& t) { t.windows[0]->process.signal(SIGTERM); }), 1, "started error",
          "closed", 0.5},
    Fault{"DiskFull", T::fillDisk, 1, "started error", "No space left on device"},
    // Guards against "finished" for a movie that no longer exists anywhere.
    Fault{"OutputDeleted", T::during([](T& t) { fs::remove(t.run->file); }, false), 1, "started error",
          "was deleted during the recording", -1},
    Fault{"OutputFolderRemoved", T::during([](T& t) { fs::remove_all(t.run->file.parent_path()); }, false), 1,
          "started error", "was deleted during the recording", -1},
    // Guards against a movie that only becomes readable once it is finished.
    Fault{"Sigkill", T::signalAfter(4.5, SIGKILL), -SIGKILL, "started", "", 2.0},
    Fault{"Sigint", T::signalAfter(2, SIGINT), 0, "started finished", "", 1.4},
    Fault{"Sigterm", T::signalAfter(2, SIGTERM), 0, "started finished", "", 1.4},
    Fault{"Sighup", T::signalAfter(2, SIGHUP), 0, "started finished", "", 1.4},
    // Guards against a second stop request being ignored while the first one is finishing the movie.
    Fault{"SecondSignal", T::twoSignals, 1, "started"},
    // Guards against the failed write of "finished" (EPIPE) spoiling the movie or the exit status.
    Fault{"StdoutClosed", T::during([](T& t) { t.run->process.closeStdout(); }, false), 0, "started", "", 1.4},
    // The app's death closes its ends of both pipes.
    Fault{"ParentGone", [](T& t) { t.startRecording(), sleepFor(2), t.run->process.closeStdout(),
                                   t.run->process.closeStdin(); }, 0, "started", "", 1.4},
    // Guards against an end of input before the recording began going unnoticed.
    Fault{"StdinClosedAtOnce", [](T& t) { t.record(t.windows[0]->id).process.closeStdin(); }, 0,
          "started finished", "", 0.01},
    // Guards against leaving the unplayable file of a failed start: a retry under its name would fail.
    Fault{"SixteenBitDisplay", [](T& t) { t.record(t.windows[0]->id); }, 1, "error", "", -1, {"640x480x16"}},
    Fault{"RootWindow", [](T& t) { t.record(t.root()); }, 1, "error", kNotFound, -1},
    Fault{"InputOnlyWindow", [](T& t) { t.record(t.inputOnlyWindow(false)); }, 1, "error", kNotFound, -1},
    Fault{"DestroyedWindow", [](T& t) { t.record(t.inputOnlyWindow(true)); }, 1, "error", kNotFound, -1},
    Fault{"WindowOnAnotherScreen", T::recordOnScreen1, 1, "error", kNotFound, -1},
    // Fails later in the start than the lookup, at a moment of its own.
    Fault{"WindowClosedRightAfterSpawn", [](T& t) { t.record(t.windows[0]->id), t.windows[0].reset(); }, 1,
          "error", "", -1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct ResourceLimits {
  std::string name;
  std::vector<std::pair<int, unsigned long>> limits;
  friend void PrintTo(const ResourceLimits& limits, std::ostream* out) { *out << limits.name; }
};

class ResourceLimitTest : public E2eTest, public ::testing::WithParamInterface<ResourceLimits> {};

// Guards against aborts (threads not created), hangs and libraries' messages on stderr when descriptors,
// memory or room for thread stacks run out: every run ends through one of the program's own exits.
TEST_P(ResourceLimitTest, EndsThroughTheProgramsOwnReport) {
  x = std::make_unique<XServer>();
  pulse = std::make_unique<PulseServer>(dir.path() / "sound");
  Program r(environment(), dir.path() / "out.mp4", open("--animate --tone 440").id, GetParam().limits);
  if (r.waitFor("started")) sleepFor(1.5);
  r.process.write("\n");
  const auto code = r.end();
  ASSERT_TRUE(code) << "no exit after the stop line\n" << r.transcript();
  if (*code == 127 && r.process.err().find("error while loading shared libraries") != std::string::npos) {
    GTEST_SKIP() << "the dynamic loader itself cannot start the program: " << r.transcript();
  }
  EXPECT_EQ(*code, r.statuses() == "started finished" ? 0 : 1) << r.transcript();
  EXPECT_TRUE(*code == 0 || r.statuses() == "error" || r.statuses() == "started error") << r.transcript();
  EXPECT_EQ(r.process.err(), "") << r.transcript();
}

ResourceLimits files(unsigned long n) { return {"Files" + std::to_string(n), {{RLIMIT_NOFILE, n}}}; }
std::string size(unsigned long mib) {
  return mib % 1024 ? std::to_string(mib) + "M" : std::to_string(mib / 1024) + "G";
}
ResourceLimits memory(unsigned long mib) { return {"Memory" + size(mib), {{RLIMIT_AS, mib << 20}}}; }
ResourceLimits stacks(unsigned long mib, unsigned long in) {
  return {"Stacks" + size(mib) + "In" + size(in), {{RLIMIT_STACK, mib << 20}, {RLIMIT_AS, in << 20}}};
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ResourceLimitTest,
    ::testing::Values(
        files(4), files(6), files(8), files(10), files(12), files(16), files(24), files(40), memory(64),
        memory(256), memory(384),
        // Memory runs out mid-start here: no memory to encode the error, exceptions escaping threads.
        memory(470), memory(473), memory(476), memory(480), memory(512), memory(768), memory(1024),
        memory(2048), stacks(256, 1024), stacks(512, 2048), stacks(1024, 2048)),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvale::e2e

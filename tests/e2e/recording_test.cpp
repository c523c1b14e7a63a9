// The program run the way the desktop app runs it, against an own Xvfb, test windows and
// sound servers: a recording checked start to finish, the crop following its window, and
// what ends a recording or keeps it from starting. Members of the fixture end in reverse
// order, so the program and the windows end before the servers they use, also when an
// assertion fails.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <xcb/xcb.h>

#include <functional>
#include <list>

#include "e2e/support/media.h"

namespace quorvale::e2e {
namespace {

namespace fs = std::filesystem;
using std::this_thread::sleep_for;
using Limits = std::vector<std::pair<int, unsigned long>>;  // {resource, soft and hard limit}

// A quorvale_test_window with these options, known by its id once mapped. The helper command runs
// as its child, as an application's helpers do, and ends with the window's process group.
struct TestWindow {
  TestWindow(const Environment& environment, const std::string& options, const std::string& helper = ":")
      : process({"sh", "-c", helper + " & exec \"$0\" " + options, QUORVALE_TEST_WINDOW}, {environment}),
        id(std::stoul(process.readLine(Clock::now() + kStartTimeout).value_or("0"))) {}
  Process process;
  std::uint32_t id;
};

// The program recording a window into `file`, and its stdout lines so far.
struct Program {
  Program(const Environment& environment, const fs::path& file, std::uint32_t window,
          const Limits& limits = {})
      : file(file), process({QUORVALE_PROGRAM, file, std::to_string(window)}, {environment, false, limits}) {}
  // Reads lines until an event of this status.
  bool waitFor(const std::string& status, std::chrono::seconds timeout = kStartTimeout) {
    for (auto deadline = Clock::now() + timeout; auto line = process.readLine(deadline);)
      if (lines.push_back(*line), event(*line).value("status", "") == status) return true;
    return false;
  }
  // Waits for the exit and takes the rest of stdout: "exit code, statuses" ("1 started error"), the code
  // minus the signal that ended it, "?" for a line that is no compact event, and stderr if any.
  std::string end() {
    const auto status = process.waitExit(Clock::now() + kStartTimeout);
    while (auto line = process.readLine(Clock::now())) lines.push_back(*line);
    if (!process.out().empty()) lines.push_back(process.out());
    std::string all =
        !status ? "hung" : std::to_string(WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status));
    for (const auto& line : lines) all += " " + event(line).value("status", "?");
    return process.err().empty() ? all : all + " stderr: " + process.err();
  }
  // The line's JSON object; empty unless the line is exactly one compact object.
  static nlohmann::ordered_json event(const std::string& line) {
    auto json = nlohmann::ordered_json::parse(line, nullptr, false);
    return json.is_object() && json.dump() == line ? json : nlohmann::ordered_json::object();
  }
  std::string transcript() const {  // for failure messages
    return "stdout: " + ::testing::PrintToString(lines) + "\nstderr: " + process.err();
  }

  fs::path file;
  Process process;
  std::vector<std::string> lines;
};

class E2eTest : public ::testing::Test {
 public:
  // The own Xvfb; the own sound server, or an address where none listens.
  Environment environment() const {
    Environment env = pulse ? pulse->environment()
                            : Environment().set("PULSE_SERVER", "unix:/nonexistent").set("HOME", dir.path());
    return env.set("DISPLAY", x->display()).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
  }
  TestWindow& open(const std::string& options, const std::string& helper = ":") {
    return windows.emplace_back(environment(), options, helper);
  }
  Program& record(std::uint32_t window, const Limits& limits = {}) {
    fs::create_directories(dir.path() / "movies");
    return *(run =
                 std::make_unique<Program>(environment(), dir.path() / "movies" / "out.mp4", window, limits));
  }
  void startRecording() {  // of the window opened last
    record(windows.back().id);
    ASSERT_TRUE(run->waitFor("started")) << run->transcript();
  }
  xcb_connection_t* xcb() {
    if (!connection) connection.reset(xcb_connect(x->display().c_str(), nullptr));
    return connection.get();
  }
  void sync() { std::free(xcb_get_input_focus_reply(xcb(), xcb_get_input_focus(xcb()), nullptr)); }

  TempDir dir;
  std::unique_ptr<XServer> x;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection{nullptr, &xcb_disconnect};
  std::unique_ptr<PulseServer> pulse;
  std::list<TestWindow> windows;
  std::unique_ptr<Program> run;
};

// --- A recording, start to finish ---

// The share of a frame's rgb24 pixels within 40 of 0xRRGGBB in each channel.
double share(const std::vector<std::uint8_t>& frame, std::uint32_t rgb) {
  std::size_t matching = 0;
  for (std::size_t at = 0; at + 2 < frame.size(); at += 3) {
    auto near = [&](int c) {
      return std::abs(frame[at + c] - static_cast<int>(rgb >> (16 - 8 * c) & 0xff)) <= 40;
    };
    matching += near(0) && near(1) && near(2);
  }
  return frame.empty() ? 0 : 3.0 * static_cast<double>(matching) / static_cast<double>(frame.size());
}

class RecordingTest : public E2eTest, public ::testing::WithParamInterface<SoundServerKind> {};

// One recording checked for everything the app relies on. The window's process plays 440 Hz and
// its child 660 Hz. Another process plays 1000 Hz and shows a window over TCP, where the program
// cannot tell which process it is: that window, recorded at the same time, must stay silent.
TEST_P(RecordingTest, RecordsTheWindowWithItsApplicationsSoundOnly) {
  x = std::make_unique<XServer>(std::vector<std::string>{"-listen", "tcp", "-screen", "0", "1280x800x24"});
  pulse = std::make_unique<PulseServer>(dir.path() / "sound", GetParam());
  auto& window = open("--x 100 --y 80 --width 640 --height 480 --color 3060c0 --animate --tone 440",
                      "PULSE_LATENCY_MSEC=40 ffmpeg -nostdin -v quiet -re -f lavfi -i "
                      "'aevalsrc=0.5*sin(660*2*PI*t):s=48000:d=60' -f pulse child");
  TestWindow remote(environment().set("DISPLAY", "127.0.0.1" + x->display()), "--x 800 --tone 1000");
  // All three tones must be playing first, or an absent one proves nothing.
  await([&] { return pulse->sinkInputs().size() >= 3; }, "all three tones");
  record(window.id);
  Program other(environment(), dir.path() / "remote.mp4", remote.id);
  ASSERT_TRUE(run->waitFor("started")) << run->transcript();
  ASSERT_TRUE(other.waitFor("started")) << other.transcript();
  sleep_for(3s);
  run->process.write("\n"), other.process.write("\n");

  EXPECT_EQ(run->end(), "0 started finished") << run->transcript();
  auto info = probe(run->file);
  ASSERT_TRUE(info.contains("video") && info.contains("audio")) << "no playable movie";
  auto &video = info["video"], &format = info["format"];
  std::ifstream file(run->file, std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(file), {}).find("moof"), std::string::npos)
      << "not fragmented: a killed recording would not play";
  EXPECT_EQ(format.value("format_name", "") + " " + video.value("codec_name", "") + " " +
                info["audio"].value("codec_name", ""),
            "mov,mp4,m4a,3gp,3g2,mj2 h264 aac");
  EXPECT_TRUE(video.value("width", 0) <= 1280 && video.value("height", 0) <= 720);
  // Guards against raw capture instants as frame times, which players read as 30, 46 or 14.985 fps.
  EXPECT_EQ(video.value("r_frame_rate", "") + " " + video.value("time_base", ""), "15/1 1/15");
  EXPECT_GT(std::stoi(video.value("nb_read_packets", "0")), 10) << "hardly any frames of a moving window";
  EXPECT_GT(share(frameAt(run->file, 1.5), 0x3060c0), 0.5) << "the window's colour is not in the frame";

  auto sound = soundOf(run->file);
  ASSERT_GT(sound.size(), 48000u * 2) << "less than two seconds of sound";
  // Not the edges, where capture starts and the encoder pads.
  const std::vector<std::int16_t> middle(sound.begin() + 24000, sound.end() - 12000);
  EXPECT_GT(toneShare(middle, 48000, 440), 0.3) << "the window's own tone is missing";
  EXPECT_GT(toneShare(middle, 48000, 660), 0.3) << "the tone of the window's child process is missing";
  EXPECT_LT(toneShare(middle, 48000, 1000), 0.02) << "another process's tone is in the movie";

  EXPECT_EQ(other.end(), "0 started finished") << other.transcript();
  EXPECT_LT(rms(soundOf(other.file)), 0.001) << "a client over TCP was not recorded silent";
}

INSTANTIATE_TEST_SUITE_P(BothServers, RecordingTest,
                         ::testing::Values(SoundServerKind::PulseAudio, SoundServerKind::PipeWire),
                         [](const auto& info) { return info.index ? "PipeWire" : "PulseAudio"; });

// Guards against a crop that stays where the window was at the start (title bar offset, moves,
// resizes), and against grabbing the screen, where another application's window covers it.
TEST_F(E2eTest, CropFollowsTheWindowShownMovedEnlargedAndCovered) {
  x = std::make_unique<XServer>();
  WindowManager openbox(x->display(), dir.path());
  auto& window = open("--x 100 --y 100 --width 640 --height 360 --color 00c000 --unmapped");
  startRecording();
  xcb_map_window(xcb(), window.id);
  sync();
  sleep_for(1500ms);
  xcb_delete_property(xcb(), window.id, XCB_ATOM_WM_NORMAL_HINTS);  // its fixed size
  const std::uint32_t enlarged[] = {500, 250, 960, 540};
  xcb_configure_window(
      xcb(), window.id,
      XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
      enlarged);
  sync();
  open("--x 400 --y 200 --width 800 --height 500 --color 0000ff --override-redirect");  // on top of it
  sleep_for(1500ms);
  run->process.write("\n");
  ASSERT_EQ(run->end(), "0 started finished") << run->transcript();

  auto info = probe(run->file);
  ASSERT_TRUE(info.contains("video")) << "no playable movie";
  const int w = info["video"]["width"], h = info["video"]["height"];
  // Near the edges of the window's rectangle scaled into the movie's size, inside the letterbox.
  const std::pair<int, int> points[] = {{8, h / 2}, {w / 2, h * 6 / 100}, {w - 8, h * 94 / 100}};
  // Shown about 0.1 s in; moved, enlarged and covered 1.5 s in.
  for (const double seconds : {1.0, info["duration"].get<double>()}) {
    auto frame = frameAt(run->file, seconds);
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(w) * h * 3);
    for (const auto& [px, py] : points) {
      const auto at = frame.begin() + (py * w + px) * 3;
      EXPECT_EQ(share({at, at + 3}, 0x00c000), 1) << seconds << " s: " << px << "," << py;
    }
    EXPECT_LT(share(frame, 0x0000ff), 0.001) << seconds << " s: another application's window shows";
  }
}

// --- What ends a recording, or keeps it from starting ---

class FaultTest;
using Act = std::function<void(FaultTest&)>;  // starts the program and brings the fault about

struct Fault {
  const char* name;
  Act act;
  const char* outcome;      // as Program::end() reports it
  const char* detail = "";  // part of the error's detail
  double movie = 0;         // the movie plays at least this long; -1: no file is left; 0: not checked
  std::vector<std::string> screens{"-screen", "0", "1280x800x24", "-screen", "1", "800x600x24"};
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
  static Act during(Act fault, bool reported = false) {
    return [=](FaultTest& t) {
      t.startRecording();
      sleep_for(2s);
      fault(t);
      ASSERT_TRUE(!reported || t.run->waitFor("error", 60s)) << t.run->transcript();
      sleep_for(1s);
      t.run->process.write("\n");
    };
  }
  static Act signalAfter(std::chrono::milliseconds wait, int signo) {
    return [=](FaultTest& t) { t.startRecording(), sleep_for(wait), t.run->process.signal(signo); };
  }
  static void fillDisk(FaultTest& t) {
    const auto movies = t.dir.path() / "movies";
    fs::create_directories(movies);
    if (::mount("tmpfs", movies.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=300k") != 0)
      GTEST_SKIP() << "no tmpfs";
    t.open("--width 320 --height 240 --noise");  // random blocks barely compress: 300 KiB are full within
                                                 // seconds
    during([](FaultTest&) {}, true)(t);
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
  const Fault& fault = GetParam();
  x = std::make_unique<XServer>(fault.screens);
  open("--x 40 --y 40 --width 480 --height 360 --animate");
  fault.act(*this);
  if (HasFatalFailure() || IsSkipped()) return;
  EXPECT_EQ(run->end(), fault.outcome) << run->transcript();
  const std::string detail = Program::event(run->lines.empty() ? "" : run->lines.back()).value("detail", "");
  EXPECT_NE(detail.find(fault.detail), std::string::npos) << run->transcript();
  EXPECT_NE(detail.empty(), std::string(fault.outcome).ends_with("error")) << run->transcript();
  EXPECT_EQ(fs::exists(fs::symlink_status(run->file)), fault.movie >= 0) << "whether a file is left";
  const auto info = probe(run->file);
  EXPECT_TRUE(fault.movie <= 0 || (info.contains("video") && info["duration"] >= fault.movie)) << "no movie";
}

using T = FaultTest;
constexpr const char* kNoWindow = "Could not find the Quorvale window";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::Values(
    Fault{"XServerKilled", T::during([](T& t) { t.x->kill(); }, true), "1 started error", "", 0.5},
    Fault{"WindowClosed", T::during([](T& t) { t.windows.back().process.signal(SIGTERM); }, true),
          "1 started error", "closed", 0.5},
    Fault{"DiskFull", T::fillDisk, "1 started error", "No space left on device"},
    // Guards against "finished" for a movie that no longer exists anywhere.
    Fault{"OutputDeleted", T::during([](T& t) { fs::remove(t.run->file); }), "1 started error", "was deleted", -1},
    Fault{"OutputFolderRemoved", T::during([](T& t) { fs::remove_all(t.run->file.parent_path()); }),
          "1 started error", "was deleted", -1},
    // Guards against a movie that only becomes readable once it is finished.
    Fault{"Sigkill", T::signalAfter(4500ms, SIGKILL), "-9 started", "", 2.0},
    Fault{"Sigint", T::signalAfter(2s, SIGINT), "0 started finished", "", 1.4},
    Fault{"Sigterm", T::signalAfter(2s, SIGTERM), "0 started finished", "", 1.4},
    Fault{"Sighup", T::signalAfter(2s, SIGHUP), "0 started finished", "", 1.4},
    // Guards against a second stop request being ignored while the first one is finishing the movie.
    // Stopping takes milliseconds, too little to aim at: both arrive together while it is halted.
    Fault{"SecondSignal", [](T& t) {
      t.startRecording(), t.run->process.signal(SIGSTOP);
      siginfo_t halted;
      ::waitid(P_PID, t.run->process.pid(), &halted, WSTOPPED | WNOWAIT);
      for (int signo : {SIGINT, SIGTERM, SIGCONT}) t.run->process.signal(signo); }, "1 started"},
    // Guards against the failed write of "finished" (EPIPE) spoiling the movie or the exit status.
    Fault{"StdoutClosed", T::during([](T& t) { t.run->process.closeStdout(); }), "0 started", "", 1.4},
    // The app's death closes its ends of both pipes.
    Fault{"ParentGone", [](T& t) { t.startRecording(), sleep_for(2s), t.run->process.closeStdout(),
                                   t.run->process.closeStdin(); }, "0 started", "", 1.4},
    // Guards against an end of input before the recording began going unnoticed.
    Fault{"StdinClosedAtOnce", [](T& t) { t.record(t.windows.back().id).process.closeStdin(); },
          "0 started finished", "", 0.01},
    // Guards against leaving the unplayable file of a failed start: a retry under its name would fail.
    Fault{"SixteenBitDisplay", [](T& t) { t.record(t.windows.back().id); }, "1 error", "", -1,
          {"-screen", "0", "640x480x16"}},
    Fault{"RootWindow", [](T& t) { t.record(t.root()); }, "1 error", kNoWindow, -1},
    Fault{"InputOnlyWindow", [](T& t) { t.record(t.inputOnlyWindow(false)); }, "1 error", kNoWindow, -1},
    Fault{"DestroyedWindow", [](T& t) { t.record(t.inputOnlyWindow(true)); }, "1 error", kNoWindow, -1},
    Fault{"WindowOnAnotherScreen", [](T& t) { t.record(t.windows.emplace_back(
          t.environment().set("DISPLAY", t.x->display() + ".1"), "").id); }, "1 error", kNoWindow, -1},
    // Fails later in the start than the lookup, at a moment of its own.
    Fault{"WindowClosedRightAfterSpawn", [](T& t) { t.record(t.windows.back().id), t.windows.pop_back(); },
          "1 error", "", -1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A row's name and its limits.
using ResourceLimits = std::pair<std::string, Limits>;

class ResourceLimitTest : public E2eTest, public ::testing::WithParamInterface<ResourceLimits> {};

// Guards against aborts (threads not created), hangs and libraries' messages on stderr when descriptors,
// memory or room for thread stacks run out: every run ends through one of the program's own exits.
TEST_P(ResourceLimitTest, EndsThroughTheProgramsOwnReport) {
  x = std::make_unique<XServer>();
  pulse = std::make_unique<PulseServer>(dir.path() / "sound");
  Program& r = record(open("--animate --tone 440").id, GetParam().second);
  if (r.waitFor("started")) sleep_for(1500ms);
  r.process.write("\n");
  const auto outcome = r.end();
  if (outcome.starts_with("127 ") &&
      outcome.find("error while loading shared libraries") != std::string::npos)
    GTEST_SKIP() << "the dynamic loader itself cannot start the program: " << r.transcript();
  EXPECT_TRUE(outcome == "0 started finished" || outcome == "1 error" || outcome == "1 started error")
      << r.transcript();
}

ResourceLimits files(unsigned long n) { return {"Files" + std::to_string(n), {{RLIMIT_NOFILE, n}}}; }
std::string size(unsigned long mib) {
  return std::to_string(mib % 1024 ? mib : mib / 1024) + (mib % 1024 ? "M" : "G");
}
ResourceLimits memory(unsigned long mib) { return {"Memory" + size(mib), {{RLIMIT_AS, mib << 20}}}; }
ResourceLimits stacks(unsigned long mib, unsigned long in) {
  return {"Stacks" + size(mib) + "In" + size(in), {{RLIMIT_STACK, mib << 20}, {RLIMIT_AS, in << 20}}};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Limits, ResourceLimitTest, ::testing::Values(
    files(4), files(6), files(8), files(10), files(12), files(16), files(24), files(40),
    memory(64), memory(256), memory(384),
    // Memory runs out mid-start here: no memory to encode the error, exceptions escaping threads.
    memory(470), memory(473), memory(476), memory(480), memory(512), memory(768), memory(1024), memory(2048),
    stacks(256, 1024), stacks(512, 2048), stacks(1024, 2048)),
    [](const auto& info) { return info.param.first; });
// clang-format on

}  // namespace
}  // namespace quorvale::e2e

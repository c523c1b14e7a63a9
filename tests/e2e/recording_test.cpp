// The program run the way the desktop app runs it, against an own Xvfb, test windows and
// sound servers: a recording checked start to finish, and what ends a recording or keeps it
// from starting. Members of the fixture end in reverse order, so the program and the windows
// end before the servers they use, also when an assertion fails.

#include <gtest/gtest.h>

#include <functional>
#include <list>

#include "e2e/support/media.h"

namespace quorvale::e2e {
namespace {

namespace fs = std::filesystem;
using std::this_thread::sleep_for;

// The line's JSON object; empty unless the line is exactly one compact object.
nlohmann::ordered_json event(const std::string& line) {
  auto json = nlohmann::ordered_json::parse(line, nullptr, false);
  return json.is_object() && json.dump() == line ? json : nlohmann::ordered_json::object();
}

class E2eTest : public ::testing::Test {
 public:
  E2eTest() { fs::create_directories(movie.parent_path()); }
  // The own Xvfb; the own sound server, or an address where none listens.
  Environment environment() const {
    Environment env = pulse ? pulse->environment()
                            : Environment().set("PULSE_SERVER", "unix:/nonexistent").set("HOME", dir.path());
    return env.set("DISPLAY", x->display()).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
  }
  // A quorvale_test_window with these options, known by its id once mapped.
  std::uint32_t open(const std::string& options) {
    auto& window = windows.emplace_back(
        std::vector<std::string>{"sh", "-c", "exec \"$0\" " + options, QUORVALE_TEST_WINDOW}, environment());
    return opened = std::stoul(window.readLine(Clock::now() + kStartTimeout).value_or("0"));
  }
  // The program recording a window into `movie`.
  void record(std::uint32_t window) {
    run.emplace(std::vector<std::string>{QUORVALE_PROGRAM, movie, std::to_string(window)}, environment());
  }
  void startRecording() {  // of the window opened last
    record(opened);
    ASSERT_TRUE(waitFor("started")) << transcript();
  }
  // Reads the program's lines until an event of this status.
  bool waitFor(const std::string& status, std::chrono::seconds timeout = kStartTimeout) {
    for (auto deadline = Clock::now() + timeout; auto line = run->readLine(deadline);)
      if (lines.push_back(*line), event(*line).value("status", "") == status) return true;
    return false;
  }
  // Waits for the program's exit and takes the rest of stdout: "exit code, statuses" ("1 started error"),
  // the code minus the signal that ended it, "?" for a line that is no compact event, and stderr if any.
  std::string end() {
    const auto code = run->waitExit(Clock::now() + kStartTimeout);
    while (auto line = run->readLine(Clock::now())) lines.push_back(*line);
    if (!run->out().empty()) lines.push_back(run->out());
    std::string all = code ? std::to_string(*code) : "hung";
    for (const auto& line : lines) all += " " + event(line).value("status", "?");
    return run->err().empty() ? all : all + " stderr: " + run->err();
  }
  std::string transcript() const {  // for failure messages
    return "stdout: " + ::testing::PrintToString(lines) + "\nstderr: " + run->err();
  }

  TempDir dir;
  const fs::path movie = dir.path() / "movies" / "out.mp4";
  std::unique_ptr<XServer> x;
  std::unique_ptr<PulseServer> pulse;
  std::list<Process> windows;
  std::uint32_t opened = 0;
  std::optional<Process> run;      // the program
  std::vector<std::string> lines;  // its stdout lines read so far
};

// --- A recording, start to finish ---

// The share of a frame's rgb24 pixels within 40 of 0xRRGGBB in each channel.
double share(const std::vector<std::uint8_t>& frame, std::uint32_t rgb) {
  std::size_t matching = 0;
  for (std::size_t at = 0; at + 2 < frame.size(); at += 3)
    matching += std::abs(frame[at] - int(rgb >> 16)) <= 40 &&
                std::abs(frame[at + 1] - int(rgb >> 8 & 0xff)) <= 40 &&
                std::abs(frame[at + 2] - int(rgb & 0xff)) <= 40;
  return frame.empty() ? 0 : 3.0 * static_cast<double>(matching) / static_cast<double>(frame.size());
}

class RecordingTest : public E2eTest, public ::testing::WithParamInterface<SoundServerKind> {};

// One recording checked for everything the app relies on. The window's process plays 440 Hz; another
// process plays 1000 Hz. Whose sound is whose, a child's included, is the sound capture test's.
TEST_P(RecordingTest, RecordsTheWindowWithItsApplicationsSoundOnly) {
  x = std::make_unique<XServer>();
  pulse = std::make_unique<PulseServer>(dir.path() / "sound", GetParam());
  open("--x 800 --tone 1000");
  open("--x 100 --y 80 --width 640 --height 480 --color 3060c0 --animate --tone 440");
  // Both tones must be playing first, or an absent one proves nothing.
  await([&] { return pulse->streams() >= 2; }, "both tones");
  startRecording();
  sleep_for(3s);
  run->write("\n");
  EXPECT_EQ(end(), "0 started finished") << transcript();
  auto info = probe(movie);
  ASSERT_TRUE(info.contains("video") && info.contains("audio")) << "no playable movie";
  // The codecs and the frame rate players read from irregular frame times are the writer test's.
  EXPECT_GT(std::stoi(info["video"].value("nb_read_packets", "0")), 10)
      << "hardly any frames of a moving window";
  EXPECT_GT(share(frameAt(movie, 1.5), 0x3060c0), 0.5) << "the window's colour is not in the frame";

  auto sound = soundOf(movie);
  ASSERT_GT(sound.size(), 48000u * 2) << "less than two seconds of sound";
  // Not the edges, where capture starts and the encoder pads.
  const std::vector<std::int16_t> middle(sound.begin() + 24000, sound.end() - 12000);
  EXPECT_GT(toneShare(middle, 48000, 440), 0.3) << "the window's own tone is missing";
  EXPECT_LT(toneShare(middle, 48000, 1000), 0.02) << "another process's tone is in the movie";
}

INSTANTIATE_TEST_SUITE_P(BothServers, RecordingTest,
                         ::testing::Values(SoundServerKind::PulseAudio, SoundServerKind::PipeWire),
                         [](const auto& info) { return info.index ? "PipeWire" : "PulseAudio"; });

// --- What ends a recording, or keeps it from starting ---

using T = E2eTest;
using Act = std::function<void(T&)>;  // starts the program and brings the fault about

// Records for two seconds, brings the fault about, records on (later frames must bring no error of
// their own) and stops, once the error is reported if `reported`.
Act during(Act fault, bool reported = false) {
  return [=](T& t) {
    t.startRecording(), sleep_for(2s), fault(t);
    ASSERT_TRUE(!reported || t.waitFor("error", 60s)) << t.transcript();
    sleep_for(1s), t.run->write("\n");
  };
}
struct Fault {
  const char* name;
  const char* outcome;  // as E2eTest::end() reports it
  const char* detail;   // part of the error's detail
  double movie;         // the movie plays at least this long; -1: no file is left; 0: not checked
  Act act;
  const char* screen = "1280x800x24";
  friend void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }
};

class FaultTest : public E2eTest, public ::testing::WithParamInterface<Fault> {};

// Guards against a fault that goes unreported, is reported twice, hangs the program, or leaves
// behind an unplayable movie, the file of a failed start, or a movie claimed as finished.
TEST_P(FaultTest, EndsWithOneReport) {
  const Fault& fault = GetParam();
  x = std::make_unique<XServer>(std::vector<std::string>{"-screen", "0", fault.screen});
  open("--x 40 --y 40 --width 480 --height 360 --animate");
  fault.act(*this);
  if (HasFatalFailure() || IsSkipped()) return;
  EXPECT_EQ(end(), fault.outcome) << transcript();
  const std::string detail = event(lines.empty() ? "" : lines.back()).value("detail", "");
  EXPECT_NE(detail.find(fault.detail), std::string::npos) << transcript();
  EXPECT_NE(detail.empty(), std::string(fault.outcome).ends_with("error")) << transcript();
  EXPECT_EQ(fs::exists(fs::symlink_status(movie)), fault.movie >= 0) << "whether a file is left";
  const auto info = probe(movie);
  EXPECT_TRUE(fault.movie <= 0 || (info.contains("video") && info["duration"] >= fault.movie)) << "no movie";
}

constexpr const char* kNoWindow = "Could not find the Quorvale window";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(std::vector<Fault>{
    {"WindowClosed", "1 started error", "closed", 0.5, during([](T& t) { t.windows.pop_back(); }, true)},
    // Guards against a movie that only becomes readable once it is finished.
    {"Sigkill", "-9 started", "", 2.0,
     [](T& t) { t.startRecording(), sleep_for(4500ms), t.run->signal(SIGKILL); }},
    // Guards against the quit key or kill -QUIT reported as running out of memory: a stop, like SIGTERM.
    {"SigquitFromOutside", "0 started finished", "", 1.4,
     [](T& t) { t.startRecording(), sleep_for(2s), t.run->signal(SIGQUIT); }},
    // Guards against the failed write of "finished" (EPIPE) spoiling the movie or the exit status.
    {"StdoutClosed", "0 started", "", 1.4, during([](T& t) { t.run->closeStdout(); })},
    // The app's death closes its ends of both pipes.
    {"ParentGone", "0 started", "", 1.4, during([](T& t) { t.run->closeStdout(), t.run->closeStdin(); })},
    // Guards against leaving the unplayable file of a failed start: a retry under its name would fail.
    {"SixteenBitDisplay", "1 error", "", -1, [](T& t) { t.record(t.opened); }, "640x480x16"},
    {"RootWindow", "1 error", kNoWindow, -1, [](T& t) { t.record(Client(t.x->display()).root()); }}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace quorvale::e2e

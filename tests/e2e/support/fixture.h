#pragma once

// What the end-to-end tests share: a temporary directory, an own Xvfb, test windows,
// optionally a sound server, and the program run the way the desktop app runs it.
// Members end in reverse order, so the program and the windows end before the servers
// they use, also when an assertion fails.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "e2e/support/media.h"
#include "e2e/support/servers.h"

namespace quorvale::e2e {

namespace fs = std::filesystem;
using Limits = std::vector<std::pair<int, unsigned long>>;

inline void PrintTo(SoundServerKind kind, std::ostream* out) {
  *out << (kind == SoundServerKind::PipeWire ? "PipeWire" : "PulseAudio");
}
inline void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// A quorvale_test_window with these options, known by its id once mapped. With a child command, the
// window's process starts that first, as an application starts helpers; it is ended by its pid too.
struct TestWindow {
  static std::vector<std::string> argv(const std::string& options, const std::string& child) {
    std::vector<std::string> argv{QUORVALE_TEST_WINDOW};
    if (!child.empty()) argv = {"sh", "-c", child + " & echo $!; exec \"$0\" \"$@\"", QUORVALE_TEST_WINDOW};
    std::istringstream words(options);
    for (std::string word; words >> word;) argv.push_back(word);
    return argv;
  }
  TestWindow(const Environment& environment, const std::string& options, const std::string& child = "")
      : process(argv(options, child), {environment, false, true}) {
    if (!child.empty()) childPid = std::stoi(process.readLine(Clock::now() + kStartTimeout).value_or("0"));
    id = static_cast<std::uint32_t>(std::stoul(process.readLine(Clock::now() + kStartTimeout).value_or("0")));
  }
  ~TestWindow() {
    if (childPid > 0) ::kill(childPid, SIGTERM);
  }
  Process process;
  pid_t childPid = 0;
  std::uint32_t id = 0;
};

// The program writing `file`: its stdout lines so far, each checked to be one compact JSON object.
struct Program {
  Program(const Environment& environment, const fs::path& file, std::uint32_t window,
          const Limits& limits = {})
      : file(file),
        process({QUORVALE_PROGRAM, file.string(), std::to_string(window)},
                {environment, false, true, true, limits}) {}

  // Reads lines until an event of this status.
  bool waitFor(const std::string& status, std::chrono::seconds timeout = kStartTimeout) {
    for (auto deadline = Clock::now() + timeout; auto line = process.readLine(deadline);) {
      lines.push_back(*line);
      if (event(*line).value("status", "") == status) return true;
    }
    return false;
  }
  // Waits for the exit and takes the rest of stdout: the exit code, or minus the signal that ended it.
  std::optional<int> end() {
    auto status = process.waitExit(Clock::now() + kStartTimeout);
    while (auto line = process.readLine(Clock::now())) lines.push_back(*line);
    if (!process.out().empty()) lines.push_back(process.out());
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status);
  }
  static nlohmann::ordered_json event(const std::string& line) {
    auto json = nlohmann::ordered_json::parse(line, nullptr, false);
    return json.is_object() && json.dump() == line ? json : nlohmann::ordered_json::object();
  }
  // "started finished"; "?" for a line that is no compact JSON event.
  std::string statuses() const {
    std::string all;
    for (const auto& line : lines) all += (all.empty() ? "" : " ") + event(line).value("status", "?");
    return all;
  }
  std::string transcript() const {
    std::string text = "stdout:\n";
    for (const auto& line : lines) text += "  " + line + "\n";
    return text + "stderr:\n" + process.err();
  }

  fs::path file;
  Process process;
  std::vector<std::string> lines;
};

class E2eTest : public ::testing::Test {
 public:
  void TearDown() override {
    run.reset();  // nothing may hold a test's file system busy
    if (!mounted.empty()) ::umount2(mounted.c_str(), MNT_DETACH);
  }

  // DISPLAY of the own Xvfb; the own sound server, or an address where none listens.
  Environment environment() const {
    Environment env = pulse ? pulse->environment() : Environment();
    if (!pulse) {
      env.set("PULSE_SERVER", "unix:" + (dir.path() / "no-sound").string())
          .set("HOME", dir.path().string())
          .set("XDG_RUNTIME_DIR", dir.path().string());
    }
    return env.set("DISPLAY", x->display()).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
  }
  TestWindow& open(const std::string& options, const std::string& child = "") {
    windows.push_back(std::make_unique<TestWindow>(environment(), options, child));
    return *windows.back();
  }
  Program& record(std::uint32_t window, const fs::path& file = {}, const Limits& limits = {}) {
    run = std::make_unique<Program>(environment(), file.empty() ? output() : file, window, limits);
    return *run;
  }
  void startRecording() {
    record(windows.front()->id);
    ASSERT_TRUE(run->waitFor("started")) << run->transcript();
  }
  fs::path output() const { return dir.path() / "out.mp4"; }
  xcb_connection_t* xcb() {
    if (!connection) connection.reset(xcb_connect(x->display().c_str(), nullptr));
    return connection.get();
  }
  void sync() { std::free(xcb_get_input_focus_reply(xcb(), xcb_get_input_focus(xcb()), nullptr)); }
  // Sound streams must be playing before recording, or an absent tone proves nothing.
  void waitForStreams(std::size_t count) {
    for (auto deadline = Clock::now() + kStartTimeout; pulse->sinkInputs().size() < count; sleepFor(0.1)) {
      ASSERT_LT(Clock::now(), deadline) << "the tones never reached the sound server";
    }
  }
  // An H.264 movie that ffmpeg decodes without a complaint and that lasts at least minSeconds.
  static void expectPlayable(const fs::path& file, double minSeconds) {
    auto info = probe(file);
    ASSERT_TRUE(info && info->video) << file << " does not play";
    EXPECT_EQ(info->video->codec, "h264");
    EXPECT_GE(info->duration, minSeconds);
    EXPECT_TRUE(decodesCleanly(file));
  }

  TempDir dir;
  fs::path mounted;
  std::unique_ptr<XServer> x;
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection{nullptr, &xcb_disconnect};
  std::unique_ptr<PulseServer> pulse;
  std::vector<std::unique_ptr<TestWindow>> windows;
  std::unique_ptr<Program> run;
};

}  // namespace quorvale::e2e

#pragma once

// What the end-to-end tests share: a temporary directory, an own Xvfb, test windows,
// optionally a sound server, and the program run the way the desktop app runs it.
// Members end in reverse order, so the program and the windows end before the servers
// they use, also when an assertion fails.

#include <gtest/gtest.h>
#include <signal.h>
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

inline void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// A quorvale_test_window with these options, known by its id once mapped. With a child command, the
// window's process starts that first, as an application starts a helper; the helper is ended by its pid too.
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
    if (!child.empty()) helper = std::stoi(process.readLine(Clock::now() + kStartTimeout).value_or("0"));
    id = static_cast<std::uint32_t>(std::stoul(process.readLine(Clock::now() + kStartTimeout).value_or("0")));
  }
  ~TestWindow() {
    if (helper > 0) ::kill(helper, SIGTERM);
  }
  Process process;
  pid_t helper = 0;
  std::uint32_t id = 0;
};

// The program recording a window into `file`, and its stdout lines so far.
struct Program {
  Program(const Environment& environment, const fs::path& file, std::uint32_t window,
          const std::vector<std::pair<int, unsigned long>>& limits = {})
      : file(file),
        process({QUORVALE_PROGRAM, file, std::to_string(window)}, {environment, false, true, true, limits}) {}
  // Reads lines until an event of this status.
  bool waitFor(const std::string& status, std::chrono::seconds timeout = kStartTimeout) {
    for (auto deadline = Clock::now() + timeout; auto line = process.readLine(deadline);) {
      lines.push_back(*line);
      if (event(*line).value("status", "") == status) return true;
    }
    return false;
  }
  // Waits for the exit and takes the rest of stdout. The exit code, or minus the signal that ended it.
  std::optional<int> end() {
    auto status = process.waitExit(Clock::now() + kStartTimeout);
    while (auto line = process.readLine(Clock::now())) lines.push_back(*line);
    if (!process.out().empty()) lines.push_back(process.out());
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status);
  }
  // The line's JSON object; empty unless the line is exactly one compact object.
  static nlohmann::ordered_json event(const std::string& line) {
    auto json = nlohmann::ordered_json::parse(line, nullptr, false);
    return json.is_object() && json.dump() == line ? json : nlohmann::ordered_json::object();
  }
  std::string statuses() const {  // "started finished", with "?" for a line that is no compact event
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
  // The own Xvfb; the own sound server, or an address where none listens.
  Environment environment() const {
    Environment env = pulse ? pulse->environment() : Environment();
    if (!pulse)
      env.set("PULSE_SERVER", "unix:/nonexistent").set("HOME", dir.path()).set("XDG_RUNTIME_DIR", dir.path());
    return env.set("DISPLAY", x->display()).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
  }
  TestWindow& open(const std::string& options, const std::string& child = "") {
    return *windows.emplace_back(std::make_unique<TestWindow>(environment(), options, child));
  }
  Program& record(std::uint32_t window, const fs::path& file = {}) {
    run = std::make_unique<Program>(environment(), file.empty() ? dir.path() / "out.mp4" : file, window);
    return *run;
  }
  void startRecording() {
    record(windows.front()->id);
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
  std::vector<std::unique_ptr<TestWindow>> windows;
  std::unique_ptr<Program> run;
};

}  // namespace quorvale::e2e

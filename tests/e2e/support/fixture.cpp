#include "e2e/support/fixture.h"

#include <thread>

namespace quorvale::e2e {

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

void DisplayTest::SetUp() {
  dir_ = std::make_unique<TempDir>();
  std::filesystem::create_directories(dir_->path() / "home");
  std::filesystem::create_directories(dir_->path() / "runtime");
  std::filesystem::permissions(dir_->path() / "runtime", std::filesystem::perms::owner_all);
  xserver_ = std::make_unique<XServer>(screens_, tcp_);
}

Environment DisplayTest::environment() const {
  Environment env = pulse_ ? pulse_->environment() : Environment();
  if (!pulse_) {
    // No sound server: nothing listens here, and libpulse does not autospawn one.
    env.set("PULSE_SERVER", "unix:" + (dir_->path() / "no-pulse" / "native").string())
        .set("HOME", (dir_->path() / "home").string())
        .set("XDG_RUNTIME_DIR", (dir_->path() / "runtime").string());
  }
  env.set("DISPLAY", xserver_->display()).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
  return env;
}

void DisplayTest::startWindowManager() {
  windowManager_ = std::make_unique<WindowManager>(xserver_->display(), dir_->path() / "home");
}

void DisplayTest::startPulse() {
  std::filesystem::create_directories(dir_->path() / "pulse");
  pulse_ = std::make_unique<PulseServer>(dir_->path() / "pulse");
}

TestWindow& DisplayTest::openWindow(const WindowOptions& options) {
  windows_.push_back(std::make_unique<TestWindow>(environment(), options));
  return *windows_.back();
}

Recorder& DisplayTest::startRecorder(const std::filesystem::path& output, std::uint32_t windowId) {
  recorder_ = std::make_unique<Recorder>(output, windowId, environment());
  return *recorder_;
}

Recorder& DisplayTest::startRecorder(const std::vector<std::string>& args) {
  recorder_ = std::make_unique<Recorder>(args, environment());
  return *recorder_;
}

double DisplayTest::recordFor(double seconds) {
  auto started = recorder_->waitFor("started");
  if (!started) {
    ADD_FAILURE() << "no \"started\" event\n" << recorder_->transcript();
    return 0;
  }
  auto begin = Clock::now();
  sleepFor(seconds);
  auto end = Clock::now();
  EXPECT_TRUE(recorder_->stop()) << "the program closed its stdin early\n" << recorder_->transcript();
  EXPECT_TRUE(recorder_->waitExit()) << "the program did not exit after the stop line\n"
                                     << recorder_->transcript();
  return std::chrono::duration<double>(end - begin).count();
}

}  // namespace quorvale::e2e

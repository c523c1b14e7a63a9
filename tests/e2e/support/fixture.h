#pragma once

// The common fixture of the end-to-end tests: a temporary directory and an own
// Xvfb per test; openbox, PulseAudio, windows and the recorder on demand.
// Members are destroyed in reverse order, so the recorder and the windows end
// before the servers they talk to, also when an assertion fails.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "e2e/support/media.h"
#include "e2e/support/process.h"
#include "e2e/support/recorder.h"
#include "e2e/support/servers.h"

namespace quorvale::e2e {

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // DISPLAY of the own Xvfb, the private sound server if started (else an
  // address where none listens), and HOME/XDG_RUNTIME_DIR inside the temp dir.
  Environment environment() const;

  void startWindowManager();
  void startPulse();
  TestWindow& openWindow(const WindowOptions& options);
  Recorder& startRecorder(const std::filesystem::path& output, std::uint32_t windowId);
  Recorder& startRecorder(const std::vector<std::string>& args);

  // Waits for "started", records `seconds`, stops and waits for the exit.
  // Returns the time between "started" and the stop line, in seconds.
  double recordFor(double seconds);

  std::filesystem::path output(const std::string& name = "out.mp4") const { return dir_->path() / name; }

  // The X screens SetUp starts Xvfb with; a fixture may set more before SetUp.
  std::vector<std::string> screens_{"1280x800x24"};
  bool tcp_ = false;  // Xvfb also listens on TCP

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<XServer> xserver_;
  std::unique_ptr<WindowManager> windowManager_;
  std::unique_ptr<PulseServer> pulse_;
  std::vector<std::unique_ptr<TestWindow>> windows_;
  std::unique_ptr<Recorder> recorder_;
};

void sleepFor(double seconds);

}  // namespace quorvale::e2e

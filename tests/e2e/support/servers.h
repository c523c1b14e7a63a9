#pragma once

// The servers an end-to-end test runs against: its own Xvfb, optionally
// openbox and a private PulseAudio, plus test windows on that display.

#include <xcb/xcb.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/support/process.h"

namespace quorvale::e2e {

// Xvfb on a display number it picks itself (-displayfd).
class XServer {
 public:
  XServer(int width = 1280, int height = 800);
  // One X screen per entry, e.g. {"1280x800x24", "800x600x24"} for :N.0 and :N.1.
  // tcp: clients may also connect over TCP, as remote ones do.
  explicit XServer(const std::vector<std::string>& screens, bool tcp = false);
  const std::string& display() const { return display_; }
  pid_t pid() const { return process_->pid(); }
  // Kills the server now (for the fault tests).
  void kill();

 private:
  std::string display_;
  std::unique_ptr<Process> process_;
};

// An xcb connection to a test display.
class XConnection {
 public:
  // The screen is the one the display names (":N.1" is screen 1).
  explicit XConnection(const std::string& display);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  xcb_connection_t* get() const { return c_; }
  xcb_screen_t* screen() const { return screen_; }

  // 0xRRGGBB of the root window's pixel at (x, y), i.e. what is on screen there.
  std::uint32_t screenPixel(int x, int y);
  // A window id that names no window: created and destroyed again.
  std::uint32_t destroyedWindowId();
  // A mapped top-level window on this connection's screen, alive as long as the connection.
  std::uint32_t createWindow(int width, int height, bool inputOnly = false);
  void destroyWindow(std::uint32_t window);
  // Waits until the server has handled every request sent so far.
  void sync();

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
};

// openbox as a reparenting window manager, ready once its startup has ended.
class WindowManager {
 public:
  WindowManager(const std::string& display, const std::filesystem::path& home);

 private:
  std::unique_ptr<Process> process_;
};

enum class SoundServerKind { PulseAudio, PipeWire };

// A private sound server with a null sink called "testsink" as the default
// output, reached through PULSE_SERVER: PulseAudio, or PipeWire with its
// PulseAudio server and WirePlumber (which links streams to the sink).
//
// As root, pulseaudio in per-user mode only warns ("not intended to be run as
// root") and runs, as long as HOME and XDG_RUNTIME_DIR are directories owned by
// root: no --system needed. PipeWire needs no session bus once WirePlumber's
// device monitors and D-Bus plugins are left out.
class PulseServer {
 public:
  explicit PulseServer(const std::filesystem::path& directory,
                       SoundServerKind kind = SoundServerKind::PulseAudio);
  ~PulseServer();
  const std::string& serverAddress() const { return address_; }  // "unix:/…/native"
  Environment environment() const;
  // Sink inputs currently playing, as "pactl list sink-inputs short" lines.
  std::vector<std::string> sinkInputs() const;

 private:
  Environment serverEnvironment() const;
  void startPulseAudio();
  void startPipeWire();
  // Until the PulseAudio socket answers; throws when a server process has exited.
  void waitUntilAnswering(const std::filesystem::path& socket);

  std::filesystem::path directory_;
  std::string address_;
  std::vector<std::unique_ptr<Process>> processes_;  // clients after the server they need
};

struct WindowOptions {
  int x = 0;
  int y = 0;
  int width = 640;
  int height = 480;
  std::uint32_t rgb = 0x3060c0;
  bool animate = false;
  bool noise = false;  // random blocks every frame instead of a bar; implies animate
  int toneHz = 0;
  std::vector<std::string> extraArgs;

  // Chained setters, e.g. WindowOptions().at(10, 10).size(320, 240).colour(0xff0000).
  WindowOptions& at(int left, int top) {
    x = left;
    y = top;
    return *this;
  }
  WindowOptions& size(int w, int h) {
    width = w;
    height = h;
    return *this;
  }
  WindowOptions& colour(std::uint32_t value) {
    rgb = value;
    return *this;
  }
  WindowOptions& animated() {
    animate = true;
    return *this;
  }
  WindowOptions& noisy() {
    animate = noise = true;
    return *this;
  }
  WindowOptions& tone(int hz) {
    toneHz = hz;
    return *this;
  }
};

// A quorvale_test_window process; its window id is known once it is mapped.
class TestWindow {
 public:
  TestWindow(const Environment& environment, const WindowOptions& options);
  std::uint32_t id() const { return id_; }
  pid_t pid() const { return process_->pid(); }
  // Ends the process, which closes its window.
  void close() { process_->terminate(); }

 private:
  std::unique_ptr<Process> process_;
  std::uint32_t id_ = 0;
};

}  // namespace quorvale::e2e

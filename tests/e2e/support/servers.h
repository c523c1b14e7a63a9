#pragma once

// The servers a test runs against: its own Xvfb, openbox, and a private sound server.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e/support/process.h"

namespace quorvale::e2e {

// Xvfb on a display number it picks itself (-displayfd).
class XServer {
 public:
  // One X screen per entry ("1280x800x24" for :N.0, …); with tcp, clients may also connect over TCP.
  explicit XServer(const std::vector<std::string>& screens = {"1280x800x24"}, bool tcp = false);
  const std::string& display() const { return display_; }
  void kill();  // now, for the fault tests

 private:
  std::unique_ptr<Process> process_;
  std::string display_;
};

// openbox as a reparenting window manager, ready once its startup has ended.
class WindowManager {
 public:
  WindowManager(const std::string& display, const std::filesystem::path& home);

 private:
  std::vector<std::unique_ptr<Process>> processes_;
};

enum class SoundServerKind { PulseAudio, PipeWire };

// A private sound server with a null sink "testsink" as the default output: PulseAudio, or
// PipeWire with its PulseAudio server and WirePlumber (which links streams to the sink).
// As root, pulseaudio in per-user mode only warns, as long as HOME and XDG_RUNTIME_DIR are
// root's. WirePlumber runs without device monitors and bluetooth, so without a session bus.
class PulseServer {
 public:
  explicit PulseServer(const std::filesystem::path& directory,
                       SoundServerKind kind = SoundServerKind::PulseAudio);
  ~PulseServer();
  const std::string& serverAddress() const { return address_; }  // "unix:/…/native"
  Environment environment() const;                               // for its clients
  std::vector<std::string> sinkInputs() const;                   // streams playing now

 private:
  void start(const std::vector<std::string>& argv);

  std::filesystem::path directory_;
  std::string address_;
  std::vector<std::unique_ptr<Process>> processes_;  // clients after the server they need
};

}  // namespace quorvale::e2e

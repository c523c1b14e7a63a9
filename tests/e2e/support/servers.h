#pragma once

// The servers a test runs against: its own Xvfb, openbox, and a private sound server.

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "e2e/support/process.h"

namespace quorvale::e2e {

// Polls until ready() holds; throws at the deadline.
template <class Ready>
void await(Ready ready, const std::string& what) {
  for (auto deadline = Clock::now() + kStartTimeout; !ready(); std::this_thread::sleep_for(20ms)) {
    if (Clock::now() >= deadline) throw std::runtime_error(what + " did not start");
  }
}

// Xvfb on a display number it picks itself (-displayfd).
class XServer {
 public:
  // One X screen per entry ("1280x800x24" for :N.0, …); with tcp, clients may also connect over TCP.
  explicit XServer(const std::vector<std::string>& screens = {"1280x800x24"}, bool tcp = false) {
    // -noreset: a suite may share one server while its clients come and go.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "1", tcp ? "-listen" : "-nolisten",
                                  "tcp",  "-noreset"};
    for (const auto& screen : screens)
      argv.insert(argv.end(), {"-screen", std::to_string(argv.size() / 3 - 2), screen});
    process_ = std::make_unique<Process>(argv, SpawnOptions{{}, true, true});
    display_ = ":" + process_->readLine(Clock::now() + kStartTimeout).value_or("");
    if (display_ == ":") throw std::runtime_error("Xvfb did not report a display number");
  }
  const std::string& display() const { return display_; }
  void kill() {  // now, for the fault tests
    process_->signal(SIGKILL);
    process_->waitExit(Clock::now() + kStartTimeout);
  }

 private:
  std::unique_ptr<Process> process_;
  std::string display_;
};

// openbox as a reparenting window manager, ready once its startup has ended.
class WindowManager {
 public:
  WindowManager(const std::string& display, const std::filesystem::path& home) {
    // Owning WM_S0 is not enough: openbox drops map requests that come before its
    // startup ends. It runs the --startup command once it is ready.
    const auto ready = home / "openbox-ready";
    std::filesystem::remove(ready);
    Environment environment =
        Environment().set("DISPLAY", display).set("HOME", home).unset("XDG_CONFIG_HOME");
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"openbox", "--sm-disable", "--startup", "touch " + ready.string()},
        SpawnOptions{environment, true});
    await([&] { return std::filesystem::exists(ready); }, "openbox");
  }

 private:
  std::unique_ptr<Process> process_;
};

enum class SoundServerKind { PulseAudio, PipeWire };

// A private sound server with a null sink "testsink" as the default output: PulseAudio, or
// PipeWire with its PulseAudio server and WirePlumber (which links streams to the sink).
// As root, pulseaudio in per-user mode only warns, as long as HOME and XDG_RUNTIME_DIR are
// root's. WirePlumber runs without device monitors and bluetooth, so without a session bus.
class PulseServer {
 public:
  explicit PulseServer(const std::filesystem::path& directory,
                       SoundServerKind kind = SoundServerKind::PulseAudio)
      : home_(directory / "home"), runtime_(directory / "runtime") {
    const auto config = home_ / ".config" / "wireplumber";
    std::filesystem::create_directories(config / "main.lua.d");
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    const bool pipeWire = kind == SoundServerKind::PipeWire;
    address_ = "unix:" + (pipeWire ? runtime_ / "pulse" / "native" : directory / "native").string();
    if (pipeWire) {
      std::ifstream in("/usr/share/wireplumber/wireplumber.conf");
      std::ofstream out(config / "wireplumber.conf");
      for (std::string line; std::getline(in, line);)
        out << (line.find("bluetooth.lua") == line.npos ? line : "") << '\n';
      std::ofstream(config / "main.lua.d" / "60-private.lua")
          << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"
          << "default_access.properties[\"enable-flatpak-portal\"] = false\n";
      out.close();
      start({"pipewire"});
      // Its clients connect once, so the server's socket must be there first.
      await([&] { return std::filesystem::exists(runtime_ / "pipewire-0"); }, "pipewire");
      start({"wireplumber"});
      start({"pipewire-pulse"});
    } else {
      start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--log-target=file:" + (directory / "pulse.log").string(), "-L",
             "module-native-protocol-unix auth-anonymous=1 socket=" + address_.substr(5)});
    }
    await([&] { return std::filesystem::exists(address_.substr(5)) && pactl({"info"}); }, "the sound server");
    if (!pactl({"load-module", "module-null-sink", "sink_name=testsink", "rate=48000", "channels=2"}) ||
        !pactl({"set-default-sink", "testsink"})) {
      throw std::runtime_error("the sound server refused the null sink");
    }
  }
  const std::string& serverAddress() const { return address_; }  // "unix:/…/native"
  Environment environment() const {                              // for its clients
    return Environment().set("PULSE_SERVER", address_).set("HOME", home_).set("XDG_RUNTIME_DIR", runtime_);
  }
  std::vector<std::string> sinkInputs() const {  // the streams playing now
    std::istringstream in(runCommand({"pactl", "list", "sink-inputs", "short"}, environment(), 5s).out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  bool pactl(std::vector<std::string> args) const {
    args.insert(args.begin(), "pactl");
    return runCommand(args, environment(), 5s).succeeded();
  }
  void start(const std::vector<std::string>& argv) {
    // No DISPLAY: D-Bus would otherwise autolaunch a bus of its own through X11.
    Environment env = environment().set("XDG_CONFIG_HOME", home_ / ".config");
    for (const char* name :
         {"PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
      env.unset(name);
    processes_.insert(processes_.begin(), std::make_unique<Process>(argv, SpawnOptions{env, true}));
  }

  std::filesystem::path home_, runtime_;
  std::string address_;
  std::vector<std::unique_ptr<Process>> processes_;  // clients before the server they need, so they end first
};

}  // namespace quorvale::e2e

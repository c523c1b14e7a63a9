#include "e2e/support/servers.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorvale::e2e {

namespace fs = std::filesystem;

namespace {

// Polls until ready() holds; throws when one of the servers has exited or at the deadline.
template <class Ready>
void await(Ready ready, const std::vector<std::unique_ptr<Process>>& servers, const std::string& what) {
  for (auto deadline = Clock::now() + kStartTimeout; !ready(); std::this_thread::sleep_for(20ms)) {
    for (const auto& server : servers) {
      if (server->waitExit(Clock::now()) || Clock::now() >= deadline)
        throw std::runtime_error(what + " did not start");
    }
  }
}

}  // namespace

XServer::XServer(const std::vector<std::string>& screens, bool tcp) {
  // -noreset: a suite may share one server while its clients come and go.
  std::vector<std::string> argv{"Xvfb", "-displayfd", "1", tcp ? "-listen" : "-nolisten", "tcp", "-noreset"};
  int number = 0;
  for (const auto& screen : screens) argv.insert(argv.end(), {"-screen", std::to_string(number++), screen});
  process_ = std::make_unique<Process>(argv, SpawnOptions{{}, true, true});
  display_ = ":" + process_->readLine(Clock::now() + kStartTimeout).value_or("");
  if (display_ == ":") throw std::runtime_error("Xvfb did not report a display number");
}

void XServer::kill() {
  process_->signal(SIGKILL);
  process_->waitExit(Clock::now() + kStartTimeout);
}

WindowManager::WindowManager(const std::string& display, const fs::path& home) {
  // Owning WM_S0 is not enough: openbox drops map requests that come before its
  // startup ends. It runs the --startup command once it is ready.
  auto ready = home / "openbox-ready";
  fs::remove(ready);
  processes_.push_back(std::make_unique<Process>(
      std::vector<std::string>{"openbox", "--sm-disable", "--startup", "touch " + ready.string()},
      SpawnOptions{Environment().set("DISPLAY", display).set("HOME", home.string()).unset("XDG_CONFIG_HOME"),
                   true}));
  await([&] { return fs::exists(ready); }, processes_, "openbox");
}

PulseServer::PulseServer(const fs::path& directory, SoundServerKind kind) : directory_(directory) {
  const auto runtime = directory / "runtime", config = directory / "home" / ".config" / "wireplumber";
  fs::create_directories(config / "main.lua.d");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const bool pulseAudio = kind == SoundServerKind::PulseAudio;
  address_ = "unix:" + (pulseAudio ? directory / "native" : runtime / "pulse" / "native").string();
  auto answering = [&] {
    return fs::exists(address_.substr(5)) && runCommand({"pactl", "info"}, environment(), 5s).succeeded();
  };
  if (pulseAudio) {
    std::ofstream(directory / "server.pa")
        << "load-module module-native-protocol-unix socket=" << address_.substr(5) << " auth-anonymous=1\n"
        << "load-module module-null-sink sink_name=testsink rate=48000 channels=2\n"
        << "set-default-sink testsink\nload-module module-always-sink\n";
    start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
           "--use-pid-file=no", "--log-target=file:" + (directory / "pulse.log").string(), "-F",
           (directory / "server.pa").string()});
    await(answering, processes_, "pulseaudio");
    return;
  }
  // WirePlumber without bluetooth (its logind plugin wants a session bus) and without devices.
  {
    std::ifstream in("/usr/share/wireplumber/wireplumber.conf");
    std::ofstream out(config / "wireplumber.conf");
    for (std::string line; std::getline(in, line);)
      out << (line.find("bluetooth.lua") == std::string::npos ? line : "") << '\n';
  }
  std::ofstream(config / "main.lua.d" / "60-private.lua")
      << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"
      << "default_access.properties[\"enable-flatpak-portal\"] = false\n";
  start({"pipewire"});
  // Its clients connect once, so the server's socket must be there first.
  await([&] { return fs::exists(runtime / "pipewire-0"); }, processes_, "pipewire");
  start({"wireplumber"});
  start({"pipewire-pulse"});
  await(answering, processes_, "pipewire-pulse");
  if (!runCommand(
           {"pactl", "load-module", "module-null-sink", "sink_name=testsink", "rate=48000", "channels=2"},
           environment(), 5s)
           .succeeded() ||
      !runCommand({"pactl", "set-default-sink", "testsink"}, environment(), 5s).succeeded()) {
    throw std::runtime_error("pipewire-pulse refused the null sink");
  }
}

PulseServer::~PulseServer() {
  while (!processes_.empty()) processes_.pop_back();  // clients first
}

void PulseServer::start(const std::vector<std::string>& argv) {
  // No DISPLAY: D-Bus would otherwise autolaunch a bus of its own through X11.
  Environment env;
  env.set("HOME", (directory_ / "home").string())
      .set("XDG_RUNTIME_DIR", (directory_ / "runtime").string())
      .set("XDG_CONFIG_HOME", (directory_ / "home" / ".config").string());
  for (const char* name :
       {"PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
    env.unset(name);
  processes_.push_back(std::make_unique<Process>(argv, SpawnOptions{env, true}));
}

Environment PulseServer::environment() const {
  return Environment()
      .set("PULSE_SERVER", address_)
      .set("HOME", (directory_ / "home").string())
      .set("XDG_RUNTIME_DIR", (directory_ / "runtime").string());
}

std::vector<std::string> PulseServer::sinkInputs() const {
  std::istringstream in(runCommand({"pactl", "list", "sink-inputs", "short"}, environment(), 5s).out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quorvale::e2e

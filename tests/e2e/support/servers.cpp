#include "e2e/support/servers.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorvale::e2e {

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

XServer::XServer(int width, int height)
    : XServer(std::vector<std::string>{std::to_string(width) + "x" + std::to_string(height) + "x24"}) {}

XServer::XServer(const std::vector<std::string>& screens, bool tcp) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  Fd readEnd(fds[0]);
  // Above 3, so mapping it onto the child's fd 3 always clears close-on-exec.
  Fd writeEnd(::fcntl(fds[1], F_DUPFD_CLOEXEC, 10));
  ::close(fds[1]);

  SpawnOptions options;
  options.quiet = true;
  options.extraFds = {{writeEnd.get(), 3}};
  // -noreset: a suite shares one server while its clients come and go.
  std::vector<std::string> argv{"Xvfb", "-displayfd", "3", tcp ? "-listen" : "-nolisten", "tcp", "-noreset"};
  for (std::size_t i = 0; i < screens.size(); ++i) {
    argv.insert(argv.end(), {"-screen", std::to_string(i), screens[i]});
  }
  process_ = std::make_unique<Process>(argv, std::move(options));
  writeEnd.reset();

  LineReader reader(std::move(readEnd));
  auto line = reader.readLine(Clock::now() + kStartTimeout);
  if (!line || line->empty()) throw std::runtime_error("Xvfb did not report a display number");
  display_ = ":" + *line;
}

void XServer::kill() {
  process_->signal(SIGKILL);
  process_->waitExit(Clock::now() + kExitTimeout);
}

XConnection::XConnection(const std::string& display) {
  int screenNumber = 0;
  c_ = xcb_connect(display.c_str(), &screenNumber);
  if (xcb_connection_has_error(c_)) {
    xcb_disconnect(c_);
    throw std::runtime_error("cannot connect to " + display);
  }
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(c_));
  for (int i = 0; i < screenNumber && roots.rem > 0; ++i) xcb_screen_next(&roots);
  if (roots.rem <= 0) {
    xcb_disconnect(c_);
    throw std::runtime_error("no such screen: " + display);
  }
  screen_ = roots.data;
}

XConnection::~XConnection() { xcb_disconnect(c_); }

std::uint32_t XConnection::screenPixel(int x, int y) {
  Reply<xcb_get_image_reply_t> image(
      xcb_get_image_reply(
          c_,
          xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, static_cast<std::int16_t>(x),
                        static_cast<std::int16_t>(y), 1, 1, ~0u),
          nullptr),
      &std::free);
  if (!image || xcb_get_image_data_length(image.get()) < 4) throw std::runtime_error("GetImage failed");
  // Xvfb's 24-bit visual: little-endian 32-bit pixels, 0x00RRGGBB.
  std::uint32_t pixel;
  std::memcpy(&pixel, xcb_get_image_data(image.get()), 4);
  return pixel & 0xffffff;
}

std::uint32_t XConnection::destroyedWindowId() {
  xcb_window_t window = xcb_generate_id(c_);
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen_->root, 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
  xcb_destroy_window(c_, window);
  std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  return window;
}

std::uint32_t XConnection::createWindow(int width, int height, bool inputOnly) {
  xcb_window_t window = xcb_generate_id(c_);
  if (inputOnly) {
    xcb_create_window(c_, 0, window, screen_->root, 0, 0, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
  } else {
    const std::uint32_t values[] = {screen_->white_pixel};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen_->root, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, values);
  }
  xcb_map_window(c_, window);
  sync();
  return window;
}

void XConnection::destroyWindow(std::uint32_t window) {
  xcb_destroy_window(c_, window);
  sync();
}

void XConnection::sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

WindowManager::WindowManager(const std::string& display, const std::filesystem::path& home) {
  // Owning WM_S0 is not enough: openbox drops map requests that come before its
  // startup ends. It runs the --startup command once it is ready.
  auto ready = home / "openbox-ready";
  std::filesystem::remove(ready);
  SpawnOptions options;
  options.quiet = true;
  options.environment.set("DISPLAY", display).set("HOME", home.string()).unset("XDG_CONFIG_HOME");
  process_ = std::make_unique<Process>(
      std::vector<std::string>{"openbox", "--sm-disable", "--startup", "touch " + ready.string()},
      std::move(options));

  auto deadline = Clock::now() + kStartTimeout;
  while (!std::filesystem::exists(ready)) {
    if (process_->waitExit(Clock::now())) throw std::runtime_error("openbox exited");
    if (Clock::now() >= deadline) throw std::runtime_error("openbox did not finish starting");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

PulseServer::PulseServer(const std::filesystem::path& directory, SoundServerKind kind)
    : directory_(directory) {
  std::filesystem::create_directories(directory_ / "home");
  std::filesystem::create_directories(directory_ / "runtime");
  std::filesystem::permissions(directory_ / "runtime", std::filesystem::perms::owner_all);
  if (kind == SoundServerKind::PipeWire) {
    startPipeWire();
  } else {
    startPulseAudio();
  }
}

PulseServer::~PulseServer() {
  while (!processes_.empty()) processes_.pop_back();  // clients first
}

Environment PulseServer::serverEnvironment() const {
  Environment env;
  // No DISPLAY: D-Bus would otherwise autolaunch a bus of its own through X11.
  env.set("HOME", (directory_ / "home").string())
      .set("XDG_RUNTIME_DIR", (directory_ / "runtime").string())
      .set("XDG_CONFIG_HOME", (directory_ / "home" / ".config").string())
      .unset("PULSE_SERVER")
      .unset("PIPEWIRE_REMOTE")
      .unset("PIPEWIRE_RUNTIME_DIR")
      .unset("DISPLAY")
      .unset("DBUS_SESSION_BUS_ADDRESS");
  return env;
}

void PulseServer::startPulseAudio() {
  auto socket = directory_ / "native";
  address_ = "unix:" + socket.string();
  auto config = directory_ / "server.pa";
  {
    std::ofstream out(config);
    out << "load-module module-native-protocol-unix socket=" << socket.string() << " auth-anonymous=1\n"
        << "load-module module-null-sink sink_name=testsink rate=48000 channels=2\n"
        << "set-default-sink testsink\n"
        << "load-module module-always-sink\n";
  }
  SpawnOptions options;
  options.quiet = true;
  options.environment = serverEnvironment();
  processes_.push_back(std::make_unique<Process>(
      std::vector<std::string>{
          "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
          "--log-target=file:" + (directory_ / "pulse.log").string(), "-F", config.string()},
      std::move(options)));
  waitUntilAnswering(socket);
}

void PulseServer::startPipeWire() {
  auto config = directory_ / "home" / ".config" / "wireplumber";
  std::filesystem::create_directories(config / "main.lua.d");
  {
    // Without bluetooth (its logind plugin wants a session bus) and without devices.
    std::ifstream in("/usr/share/wireplumber/wireplumber.conf");
    std::ofstream out(config / "wireplumber.conf");
    for (std::string line; std::getline(in, line);) {
      if (line.find("bluetooth.lua") == std::string::npos) out << line << '\n';
    }
    std::ofstream(config / "main.lua.d" / "60-private.lua")
        << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"
        << "default_access.properties[\"enable-flatpak-portal\"] = false\n";
  }
  auto runtime = directory_ / "runtime";
  for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse"}) {
    SpawnOptions options;
    options.quiet = true;
    options.environment = serverEnvironment();
    processes_.push_back(std::make_unique<Process>(std::vector<std::string>{program}, std::move(options)));
    if (processes_.size() == 1) {
      // Its clients connect once, so the server's socket must be there first.
      auto deadline = Clock::now() + kStartTimeout;
      while (!std::filesystem::exists(runtime / "pipewire-0")) {
        if (processes_[0]->waitExit(Clock::now())) throw std::runtime_error("pipewire exited");
        if (Clock::now() >= deadline) throw std::runtime_error("pipewire did not come up");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  auto socket = runtime / "pulse" / "native";
  address_ = "unix:" + socket.string();
  waitUntilAnswering(socket);
  for (const auto& command : std::vector<std::vector<std::string>>{
           {"pactl", "load-module", "module-null-sink", "sink_name=testsink", "rate=48000", "channels=2"},
           {"pactl", "set-default-sink", "testsink"}}) {
    if (!runCommand(command, environment(), 5000ms).succeeded()) {
      throw std::runtime_error("pipewire-pulse refused " + command[1]);
    }
  }
}

void PulseServer::waitUntilAnswering(const std::filesystem::path& socket) {
  auto deadline = Clock::now() + kStartTimeout;
  while (true) {
    for (const auto& process : processes_) {
      if (auto status = process->waitExit(Clock::now())) {
        throw std::runtime_error("sound server process " + std::to_string(process->pid()) + " exited (" +
                                 describeStatus(status) + ")");
      }
    }
    if (std::filesystem::exists(socket) && runCommand({"pactl", "info"}, environment(), 5000ms).succeeded())
      break;
    if (Clock::now() >= deadline) throw std::runtime_error("the sound server did not come up");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

Environment PulseServer::environment() const {
  Environment env;
  env.set("PULSE_SERVER", address_)
      .set("HOME", (directory_ / "home").string())
      .set("XDG_RUNTIME_DIR", (directory_ / "runtime").string());
  return env;
}

std::vector<std::string> PulseServer::sinkInputs() const {
  auto result = runCommand({"pactl", "list", "sink-inputs", "short"}, environment(), 5000ms);
  std::vector<std::string> lines;
  std::istringstream in(result.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

TestWindow::TestWindow(const Environment& environment, const WindowOptions& o) {
  std::vector<std::string> argv = {QUORVALE_TEST_WINDOW,    "--x",     std::to_string(o.x),     "--y",
                                   std::to_string(o.y),     "--width", std::to_string(o.width), "--height",
                                   std::to_string(o.height)};
  char color[8];
  std::snprintf(color, sizeof color, "%06x", o.rgb & 0xffffff);
  argv.insert(argv.end(), {"--color", color});
  if (o.animate) argv.push_back("--animate");
  if (o.noise) argv.push_back("--noise");
  if (o.toneHz > 0) argv.insert(argv.end(), {"--tone", std::to_string(o.toneHz)});
  argv.insert(argv.end(), o.extraArgs.begin(), o.extraArgs.end());

  SpawnOptions options;
  options.environment = environment;
  options.pipeStdout = true;
  process_ = std::make_unique<Process>(argv, std::move(options));
  auto line = process_->out().readLine(Clock::now() + kStartTimeout);
  if (!line) throw std::runtime_error("quorvale_test_window printed no window id");
  id_ = static_cast<std::uint32_t>(std::stoul(*line));
}

}  // namespace quorvale::e2e

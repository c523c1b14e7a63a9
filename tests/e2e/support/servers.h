#pragma once

// What a test runs: child processes, spawned with pipes, read with deadlines and always ended by their
// own pid; its own Xvfb, and a private sound server.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <list>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/x11_connection.h"

namespace quorvale::e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr auto kStartTimeout = 30s;  // generous: the tests may run on two busy cores

// Writing the stop line to a child that already exited must not kill the tests.
inline const bool kIgnoreSigpipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Polls until ready() holds; throws at the deadline.
template <class Ready>
void await(Ready ready, const std::string& what) {
  for (auto deadline = Clock::now() + kStartTimeout; !ready(); std::this_thread::sleep_for(20ms))
    if (Clock::now() >= deadline) throw std::runtime_error(what + " did not start");
}

// A directory removed with its contents on destruction.
struct TempDir {
  TempDir() {
    if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() { fs::remove_all(path_, ignored_); }
  fs::path path() const { return path_; }
  std::string path_ = (fs::temp_directory_path() / "quorvale-e2e-XXXXXX").string();
  std::error_code ignored_;
};

// This process's environment, with changes: "NAME=value" entries.
struct Environment {
  Environment() {
    for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  }
  Environment& set(const std::string& name, const std::string& value) {
    return unset(name).entries.push_back(name + "=" + value), *this;
  }
  Environment& unset(const std::string& name) {
    return std::erase_if(entries, [&](auto& entry) { return entry.starts_with(name + "="); }), *this;
  }
  std::vector<std::string> entries;
};

// A child process leading a process group of its own, which also holds what it starts. The
// destructor ends it (SIGTERM, then SIGKILL) with its group and reaps it; it is killed as well if
// the tests die first.
class Process {
 public:
  // quiet: stdin, stdout and stderr on /dev/null, else through pipes.
  Process(const std::vector<std::string>& argv, Environment environment = {}, bool quiet = false) {
    int fds[3][2];  // {read end, write end} of stdin, stdout and stderr; the child's unused when quiet
    for (auto& pipe : fds)
      if (::pipe2(pipe, O_CLOEXEC)) throw std::runtime_error("pipe2 failed");
    // Prepared before fork: the child may only make async-signal-safe calls.
    std::vector<char*> args, env;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (auto& entry : environment.entries) env.push_back(entry.data());
    args.push_back(nullptr), env.push_back(nullptr);
    if ((pid_ = ::fork()) < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // so no server outlives tests that were killed outright
      ::setpgid(0, 0);
      ::signal(SIGPIPE, SIG_DFL);
      for (int fd = 0; fd < 3; ++fd) ::dup2(quiet ? ::open("/dev/null", O_RDWR) : fds[fd][fd > 0], fd);
      ::close_range(3, ~0U, 0);  // what the test runner leaked would count against a descriptor limit
      ::execvpe(args[0], args.data(), env.data());
      ::_exit(127);
    }
    for (int fd = 0; fd < 3; ++fd) ::close(fds[fd][fd > 0]);  // the child's ends
    in_ = fds[0][1], outFd_ = fds[1][0], errFd_ = fds[2][0];
  }
  ~Process() {
    signal(SIGTERM);
    if (!waitExit(Clock::now() + 3s)) signal(SIGKILL), ::waitpid(pid_, nullptr, 0);
    ::kill(-pid_, SIGKILL);  // what it started: the group's id stays its own while they live
    for (int* fd : {&in_, &outFd_, &errFd_}) close(*fd);
  }
  pid_t pid() const { return pid_; }
  // To stdin; fails once it is closed.
  auto write(const std::string& text) { return ::write(in_, text.data(), text.size()); }
  void closeStdin() { close(in_); }
  void closeStdout() { close(outFd_); }  // the child's later writes fail with EPIPE
  // The next line on stdout (without '\n'); nothing at the deadline or at EOF.
  std::optional<std::string> readLine(Clock::time_point deadline) {
    for (; out_.find('\n') == std::string::npos; pump(50))
      if (outFd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    std::string line = out_.substr(0, out_.find('\n'));
    return out_.erase(0, line.size() + 1), line;
  }
  // The exit code, or minus the signal that ended it; nothing at the deadline. The pipes keep flowing
  // meanwhile, so that a chatty child cannot block on a full one.
  std::optional<int> waitExit(Clock::time_point deadline) {
    for (int status; !status_ && Clock::now() < deadline; pump(10))
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    while (status_ && pump(0)) continue;
    return status_;
  }
  void signal(int signo) { status_ ? 0 : ::kill(pid_, signo); }  // not reaped: the pid is still this child's
  const std::string& out() const { return out_; }                // stdout beyond the lines read
  const std::string& err() const { return err_; }

 private:
  static void close(int& fd) { ::close(std::exchange(fd, -1)); }  // -1: EBADF, harmless
  // Reads what the pipes offer; false when nothing happened.
  bool pump(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return false;
    for (auto [p, fd, buffer] : {std::tuple{fds[0], &outFd_, &out_}, std::tuple{fds[1], &errFd_, &err_}}) {
      char chunk[65536];
      const ssize_t n = p.revents ? ::read(*fd, chunk, sizeof chunk) : 0;
      if (n > 0) buffer->append(chunk, static_cast<std::size_t>(n));
      if (n <= 0 && p.revents) close(*fd);  // EOF
    }
    return true;
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  int in_ = -1, outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
};

// Runs a command to completion: its stdout, or nothing if it fails, complains on stderr or hangs.
inline std::optional<std::string> output(const std::vector<std::string>& argv, const Environment& env = {}) {
  Process process(argv, env);
  if (process.waitExit(Clock::now() + kStartTimeout) != 0 || !process.err().empty()) return std::nullopt;
  return process.out();
}

// A small file system (size like "200k") at path, for as long as the object lives; where mounting
// is not allowed, none.
struct SmallDisk {
  SmallDisk(fs::path where, const std::string& size) : path(std::move(where)) {
    fs::create_directories(path);
    mounted = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted) ::umount2(path.c_str(), MNT_DETACH);
  }
  fs::path path;
  bool mounted = false;
};

// Xvfb on a display number it picks itself (-displayfd), with these further arguments.
class XServer : public Process {
 public:
  // -noreset: a suite may share one server while its clients come and go.
  explicit XServer(std::vector<std::string> args = {"-screen", "0", "1280x800x24"})
      : Process(
            (args.insert(args.begin(), {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset"}), args)),
        display_(":" + readLine(Clock::now() + kStartTimeout).value_or("")) {
    if (display_ == ":") throw std::runtime_error("Xvfb did not report a display number");
  }
  const std::string& display() const { return display_; }

 private:
  std::string display_;
};

// A test application's X connection and its windows.
class Client : public platform::capture::Connection {
 public:
  explicit Client(const std::string& display) : Connection(display) {}

  xcb_window_t window(int x, int y, int width, int height, std::uint32_t rgb, bool map = true,
                      bool overrideRedirect = false, xcb_window_t parent = XCB_WINDOW_NONE) {
    return make(parent ? parent : root(), {x, y, width, height}, XCB_COPY_FROM_PARENT, screen().root_visual,
                {rgb, 0, overrideRedirect, XCB_COPY_FROM_PARENT}, map);
  }
  void property(xcb_window_t window, const std::string& name, xcb_atom_t type, std::uint8_t format,
                const void* data, std::uint32_t count) {
    xcb_change_property(get(), XCB_PROP_MODE_REPLACE, window, atom(name), type, format, count, data);
    sync();
  }
  void fill(xcb_window_t window, std::uint32_t rgb, xcb_rectangle_t rect) {
    const xcb_gcontext_t gc = xcb_generate_id(get());
    xcb_create_gc(get(), gc, window, XCB_GC_FOREGROUND, &rgb);
    xcb_poly_fill_rectangle(get(), window, gc, 1, &rect);
    xcb_free_gc(get(), gc);
    sync();
  }
  // An override-redirect popup with a 32-bit visual: its pixels carry premultiplied alpha.
  xcb_window_t translucentPopup(int x, int y, int width, int height, std::uint32_t argb) {
    xcb_visualid_t visual = 0;
    for (auto d = xcb_screen_allowed_depths_iterator(&screen()); d.rem && !visual; xcb_depth_next(&d))
      if (d.data->depth == 32 && d.data->visuals_len) visual = xcb_depth_visuals(d.data)->visual_id;
    const xcb_colormap_t colormap = xcb_generate_id(get());
    xcb_create_colormap(get(), XCB_COLORMAP_ALLOC_NONE, colormap, root(), visual);
    return make(root(), {x, y, width, height}, 32, visual, {argb, 0, 1, colormap}, true);
  }
  void move(xcb_window_t window, std::uint32_t x, std::uint32_t y, std::uint32_t width,
            std::uint32_t height) {
    const std::uint32_t geometry[] = {x, y, width, height};
    xcb_configure_window(
        get(), window,
        XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
        geometry);
    sync();
  }
  void warpPointer(int x, int y) {
    xcb_warp_pointer(get(), XCB_NONE, root(), 0, 0, 0, 0, std::int16_t(x), std::int16_t(y));
    sync();
  }
  // A round trip: everything sent before has been processed.
  void sync() { std::free(xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr)); }

 private:
  xcb_window_t make(xcb_window_t parent, std::array<int, 4> area, std::uint8_t depth, xcb_visualid_t visual,
                    std::array<std::uint32_t, 4> values, bool map) {
    const xcb_window_t id = xcb_generate_id(get());
    const auto [x, y, width, height] = area;
    xcb_create_window(get(), depth, id, parent, std::int16_t(x), std::int16_t(y), std::uint16_t(width),
                      std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
                      values.data());
    const std::uint32_t pid = std::uint32_t(::getpid());  // for servers without X-Resource
    xcb_change_property(get(), XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                        &pid);
    if (map) xcb_map_window(get(), id);
    sync();
    return id;
  }
};

enum class SoundServerKind { PulseAudio, PipeWire };

// A private sound server with a null sink "testsink" as the default output: PulseAudio, or
// PipeWire with its PulseAudio server and WirePlumber (which links streams to the sink).
// As root, pulseaudio in per-user mode only warns, as long as HOME and XDG_RUNTIME_DIR are
// root's. WirePlumber runs without device monitors and bluetooth, so without a session bus.
class PulseServer {
 public:
  explicit PulseServer(const fs::path& directory, SoundServerKind kind = SoundServerKind::PulseAudio)
      : home_(directory / "home"), runtime_(directory / "runtime") {
    const auto config = home_ / ".config" / "wireplumber";
    fs::create_directories(config / "main.lua.d");
    ::mkdir(runtime_.c_str(), 0700);  // pulseaudio and pipewire want it private
    // No DISPLAY: D-Bus would otherwise autolaunch a bus of its own through X11.
    Environment env = environment().set("XDG_CONFIG_HOME", home_ / ".config");
    for (auto name :
         {"PULSE_SERVER", "DISPLAY", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"})
      env.unset(name);
    auto start = [&](std::vector<std::string> argv) { children_.emplace_front(argv, env, true); };
    const bool pipeWire = kind == SoundServerKind::PipeWire;
    address_ = "unix:" + (pipeWire ? runtime_ / "pulse" / "native" : directory / "native").string();
    if (pipeWire) {
      std::ofstream(config / "wireplumber.conf")
          << output({"sed", "/bluetooth.lua/d", "/usr/share/wireplumber/wireplumber.conf"}).value_or("");
      std::ofstream(config / "main.lua.d" / "60-private.lua")
          << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"
          << "default_access.properties[\"enable-flatpak-portal\"] = false\n";
      start({"pipewire"});
      // Its clients connect once, so the server's socket must be there first.
      await([&] { return fs::exists(runtime_ / "pipewire-0"); }, "pipewire");
      for (const char* client : {"wireplumber", "pipewire-pulse"}) start({client});
    } else {
      start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--log-target=file:" + (directory / "pulse.log").string(), "-L",
             "module-native-protocol-unix auth-anonymous=1 socket=" + address_.substr(5)});
    }
    // Ready once pactl gets through (it starts no server of its own as root or with PULSE_SERVER set)
    // and the null sink is the default.
    // A server still starting up can refuse either step for a moment: each is retried.
    const char* ready =
        "until pactl list short sinks 2>/dev/null | grep -q testsink; do "
        "pactl load-module module-null-sink sink_name=testsink rate=48000 channels=2 >/dev/null 2>&1 "
        "|| sleep 0.05; done; until pactl set-default-sink testsink 2>/dev/null; do sleep 0.05; done";
    if (!output({"sh", "-c", ready}, environment())) throw std::runtime_error("no sound server");
  }
  const std::string& serverAddress() const { return address_; }  // "unix:/…/native"
  Environment environment() const {                              // for its clients
    return Environment().set("PULSE_SERVER", address_).set("HOME", home_).set("XDG_RUNTIME_DIR", runtime_);
  }
  std::size_t streams() const {  // how many play now
    const auto list = output({"pactl", "list", "sink-inputs", "short"}, environment()).value_or("");
    return std::size_t(std::ranges::count(list, '\n'));
  }

 private:
  fs::path home_, runtime_;
  std::string address_;
  std::list<Process> children_;  // clients before the server they need, so they end first
};

}  // namespace quorvale::e2e

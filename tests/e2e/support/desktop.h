#pragma once

// A headless GNOME or KDE Plasma for recording native Wayland windows: a private system bus
// (gnome-shell aborts without one), a session bus, PipeWire with its PulseAudio server, gnome-shell or
// KWin on a 1280x720 virtual monitor and the screen-cast portal, all in a private runtime folder and
// each ended by its pid.

#include <poll.h>
extern "C" {  // glibc 2.36's header lacks the C++ guards
#include <sys/pidfd.h>
}

#include <sstream>

#include "e2e/support/servers.h"

namespace quorvale::e2e {

enum class DesktopKind { Gnome, Kde };

class Desktop {
 public:
  Desktop(const fs::path& directory, DesktopKind kind) : sound_(directory, SoundServerKind::PipeWire) {
    const bool gnome = kind == DesktopKind::Gnome;
    const std::string name = gnome ? "gnome" : "kde";
    env_ = sound_.environment().unset("DISPLAY");
    const fs::path portals = directory / "portals";
    fs::create_directories(
        portals);  // only the desktop's own portal backend, none that would start beside it
    fs::create_symlink("/usr/share/xdg-desktop-portal/portals/" + name + ".portal",
                       portals / (name + ".portal"));
    std::ofstream(directory / "system.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << (directory / "system_bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>";
    // Set before the session bus starts: the services it starts on demand get the same.
    env_.set("DBUS_SYSTEM_BUS_ADDRESS", bus({"--config-file=" + (directory / "system.conf").string()}))
        .set("WAYLAND_DISPLAY", "wayland-0")
        .set("XDG_CURRENT_DESKTOP", gnome ? "GNOME" : "KDE")
        .set("XDG_SESSION_TYPE", "wayland")
        .set("XDG_DESKTOP_PORTAL_DIR", portals)
        .set("GSETTINGS_BACKEND", "memory")             // no dconf service
        .set("NO_AT_BRIDGE", "1")                       // no accessibility bus, for the shell
        .set("GTK_A11Y", "none")                        // nor for the portal
        .set("KWIN_WAYLAND_NO_PERMISSION_CHECKS", "1")  // fake input for the picker answerer
        .set("KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1");
    const std::string sessionBus =
        bus({"--session", "--address=unix:path=" + (directory / "session_bus").string()});
    env_.set("DBUS_SESSION_BUS_ADDRESS", sessionBus);
    // A copy of KWin: the file capability of the installed one cannot be granted here, and KWin's own Qt
    // plugin loads only for a program of that name.
    const fs::path kwin = directory / "bin" / "kwin_wayland";
    if (!gnome) fs::create_directories(kwin.parent_path()), fs::copy_file("/usr/bin/kwin_wayland", kwin);
    // No Xwayland for KWin: it would listen in the machine's /tmp/.X11-unix.
    const std::vector<std::string> compositor =
        gnome ? std::vector<std::string>{"gnome-shell",       "--headless", "--wayland",         "--no-x11",
                                         "--wayland-display", "wayland-0",  "--virtual-monitor", "1280x720"}
              : std::vector<std::string>{kwin,       "--virtual", "--width",  "1280",
                                         "--height", "720",       "--socket", "wayland-0"};
    // On a busy machine gnome-shell now and then fails to start: once more, then give up.
    for (int attempt = 0; !start(compositor, gnome ? "org.gnome.Mutter.ScreenCast" : "org.kde.KWin");)
      if (desktop_.pop_front(), ++attempt == 2) throw std::runtime_error(compositor[0] + " did not start");
    env_.set("QT_QPA_PLATFORM", "wayland");  // for KDE's portal; KWin itself must not have it
    const std::string backend = gnome ? "/usr/libexec/xdg-desktop-portal-gnome"
                                      : "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde";
    if (!start({backend}, "org.freedesktop.impl.portal.desktop." + name) ||
        !start({"/usr/libexec/xdg-desktop-portal"}, "org.freedesktop.portal.Desktop"))
      throw std::runtime_error("the screen-cast portal did not start");
  }
  ~Desktop() {
    desktop_.clear();
    endStartedOnDemand();
  }
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // For a client of the desktop: WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER
  // (a null sink as the default output) and HOME, whose state folder is private too.
  const Environment& environment() const { return env_; }

 private:
  // A bus daemon with these arguments; its address.
  std::string bus(std::vector<std::string> args) {
    args.insert(args.begin(), {"dbus-daemon", "--nofork", "--syslog-only", "--print-address=1"});
    const std::string address =
        buses_.emplace_front(args, env_).readLine(Clock::now() + kStartTimeout).value_or("");
    if (address.empty()) throw std::runtime_error("dbus-daemon did not start");
    return address;
  }
  // Starts a desktop process and waits until it owns its name on the session bus.
  bool start(const std::vector<std::string>& argv, const std::string& name) {
    desktop_.emplace_front(argv, env_, true);
    return output({"gdbus", "wait", "--session", "--timeout", "25", name}, env_).has_value();
  }
  // What the session bus started on demand (the permission store, the document portal) left the bus
  // daemon, but not its process group: each is ended by its pid, waited for through a pidfd.
  void endStartedOnDemand() {
    const pid_t busPid = buses_.front().pid();
    std::istringstream pids(output({"pgrep", "-g", std::to_string(busPid)}).value_or(""));
    std::vector<pollfd> running;
    for (pid_t pid; pids >> pid;)
      if (const int fd = pid == busPid ? -1 : ::pidfd_open(pid, 0); fd >= 0)
        ::pidfd_send_signal(fd, SIGTERM, nullptr, 0), running.push_back({fd, POLLIN, 0});
    for (const auto deadline = Clock::now() + 3s;
         std::ranges::any_of(running, [](auto& p) { return !p.revents; });) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (::poll(running.data(), running.size(), int(std::max<long>(left, 0))) <= 0) break;
    }
    for (auto& [fd, events, revents] : running) {
      if (!revents) ::pidfd_send_signal(fd, SIGKILL, nullptr, 0);
      ::close(fd);
    }
  }

  PulseServer sound_;  // PipeWire: ended last
  Environment env_;
  std::list<Process> buses_;    // the session bus first
  std::list<Process> desktop_;  // the compositor and the portals, newest first
};

// Answers the next screen-sharing dialog: shares the window in this row of GNOME's list, or on KDE the
// window of this solid colour; cancels with row -1. Call it before the dialog is asked for; the process
// exits with 0 once the dialog is gone.
inline std::unique_ptr<Process> answerPicker(const Desktop& desktop, int row, std::uint32_t rgb = 0x3060c0) {
  char colour[8];
  std::snprintf(colour, sizeof colour, "%06x", rgb);
  std::vector<std::string> argv{QUORVALE_ANSWER_PICKER, "--color", colour, "--cancel"};
  if (row >= 0) argv.back() = "--row", argv.push_back(std::to_string(row));
  auto answer = std::make_unique<Process>(argv, desktop.environment());
  if (answer->readLine(Clock::now() + kStartTimeout) != "ready")
    throw std::runtime_error("no picker answerer");
  return answer;
}

}  // namespace quorvale::e2e

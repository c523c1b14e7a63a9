// quorvale_answer_picker: answers the screen-sharing dialog of a headless GNOME or KDE Plasma without a
// person, for the tests and the demo: on GNOME through mutter's own remote-desktop D-Bus API (a
// pointer driven on a screen cast of the monitor), on KDE through KWin's fake input.
//
//   quorvale_answer_picker [--row N | --cancel] [--color RRGGBB] [--timeout SECONDS]
//
// Prints "ready" once it can act. On GNOME (the default) it first leaves the overview GNOME starts in;
// then waits for the dialog to appear (a change in GNOME's window list), clicks the Nth window row (0,
// the default, is the first) and Share, or Cancel, and exits with 0 once the dialog has gone. Start it
// before the dialog is asked for: it recognises the dialog by its appearing. The places are those of
// the dialog on a 1280x720 monitor.
// With XDG_CURRENT_DESKTOP=KDE it looks for the dialog in screenshots: the tile whose thumbnail has
// the window's colour (--color, default the test windows' 3060c0), clicks it and presses Enter (share)
// or Escape (cancel), and exits with 0 once the tile has gone. KWin must run with
// KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 and KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1.
// Exits with 1 when the dialog did not appear or did not go within the time-out (default 60 s).

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "fake-input-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kRowX = 640, kFirstRowY = 401, kRowStep = 55;
constexpr double kShareX = 851, kCancelX = 430, kButtonY = 249;
constexpr std::uint32_t kEscape = 0xff1b;  // keysym
constexpr std::int32_t kLeftButton = 272;  // BTN_LEFT
constexpr auto kQuiet = 300ms;             // the window list settles: the dialog is in place
// The dialog ignores clicks for a moment after it appears, at times for more than a second; clicking
// again is harmless, and slower than a double click.
constexpr auto kRetry = 500ms;
constexpr auto kGap = 100ms;  // Share is enabled once the row's choice has gone through

struct Unref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
  void operator()(gpointer object) const { g_object_unref(object); }
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
  void operator()(GSource* source) const { g_source_destroy(source), g_source_unref(source); }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;

class Bus {
 public:
  Bus() {
    GError* error = nullptr;
    connection_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    check(error, "the session bus");
  }
  GDBusConnection* get() const { return connection_.get(); }
  // A method call; args may be a floating reference, which the call takes.
  Owned<GVariant> call(const char* name, const std::string& path, const char* interface, const char* method,
                       GVariant* args = nullptr, const char* replyType = nullptr) const {
    GError* error = nullptr;
    Owned<GVariant> reply(g_dbus_connection_call_sync(get(), name, path.c_str(), interface, method, args,
                                                      replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr, &error));
    check(error, method);
    return reply;
  }
  std::string callForPath(const char* name, const std::string& path, const char* interface,
                          const char* method, GVariant* args = nullptr) const {
    const auto reply = call(name, path, interface, method, args, "(o)");
    const char* result = nullptr;
    g_variant_get(reply.get(), "(&o)", &result);  // points into the reply
    return result;
  }

 private:
  static void check(GError* error, const std::string& what) {
    if (!error) return;
    const std::string message = what + ": " + error->message;
    g_error_free(error);
    throw std::runtime_error(message);
  }
  Owned<GDBusConnection> connection_;
};

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";

// A remote-desktop session tied to a screen cast of the monitor, whose stream gives the pointer's
// coordinates their meaning. Mutter ends it when its caller's connection goes, so one connection
// makes every call.
class Pointer {
 public:
  explicit Pointer(const Bus& bus) : bus_(bus) {
    session_ =
        bus.callForPath(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession");
    auto id = bus.call(kRemoteDesktop, session_, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", "org.gnome.Mutter.RemoteDesktop.Session", "SessionId"), "(v)");
    Owned<GVariant> value(g_variant_get_child_value(id.get(), 0)), text(g_variant_get_variant(value.get()));
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", text.get());
    const std::string cast = bus.callForPath(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast,
                                             "CreateSession", g_variant_new("(a{sv})", &options));
    stream_ = bus.callForPath(kScreenCast, cast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                              g_variant_new("(sa{sv})", "", nullptr));  // "": the primary monitor
    session("Start");
  }
  ~Pointer() {
    try {
      session("Stop");
    } catch (const std::exception&) {  // mutter ends it anyway once this process's connection goes
    }
  }
  Pointer(const Pointer&) = delete;
  Pointer& operator=(const Pointer&) = delete;

  void key(std::uint32_t keysym) {
    for (gboolean pressed : {1, 0}) session("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
  }
  void click(double x, double y) {
    session("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", stream_.c_str(), x, y));
    for (gboolean pressed : {1, 0})
      session("NotifyPointerButton", g_variant_new("(ib)", kLeftButton, pressed));
  }

 private:
  void session(const char* method, GVariant* args = nullptr) {
    bus_.call(kRemoteDesktop, session_, "org.gnome.Mutter.RemoteDesktop.Session", method, args);
  }
  const Bus& bus_;
  std::string session_, stream_;
};

// GNOME's window list: counts its changes, which it announces to everyone.
class WindowList {
 public:
  explicit WindowList(const Bus& bus) : bus_(bus), loop_(g_main_loop_new(nullptr, FALSE)) {
    subscription_ = g_dbus_connection_signal_subscribe(
        bus.get(), nullptr, "org.gnome.Shell.Introspect", "WindowsChanged", "/org/gnome/Shell/Introspect",
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, gpointer self) {
          auto* list = static_cast<WindowList*>(self);
          ++list->changes_;
          g_main_loop_quit(list->loop_.get());
        },
        this, nullptr);
  }
  ~WindowList() { g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_); }
  WindowList(const WindowList&) = delete;
  WindowList& operator=(const WindowList&) = delete;

  // Whether the list changes within timeout.
  bool changes(Clock::duration timeout) {
    const int before = changes_;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    Owned<GSource> timer(g_timeout_source_new(static_cast<guint>(std::max<long>(ms, 0))));
    g_source_set_callback(
        timer.get(),
        [](gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; },
        loop_.get(), nullptr);
    g_source_attach(timer.get(), nullptr);
    g_main_loop_run(loop_.get());
    return changes_ > before;
  }
  // Waits until the list has not changed for kQuiet.
  void settle() {
    while (changes(kQuiet)) continue;
  }

 private:
  const Bus& bus_;
  Owned<GMainLoop> loop_;
  guint subscription_ = 0;
  int changes_ = 0;
};

int answerGnome(int row, bool cancel, Clock::time_point deadline) {
  Bus bus;
  WindowList windows(bus);
  Pointer pointer(bus);
  pointer.key(kEscape);  // GNOME starts in the overview, which would take the clicks
  std::puts("ready");
  std::fflush(stdout);

  if (!windows.changes(deadline - Clock::now())) throw std::runtime_error("no dialog appeared");
  windows.settle();
  while (Clock::now() < deadline) {
    if (cancel) {
      pointer.click(kCancelX, kButtonY);
    } else {
      pointer.click(kRowX, kFirstRowY + kRowStep * row);
      if (windows.changes(kGap)) return windows.settle(), 0;  // gone already: a double click shares too
      pointer.click(kShareX, kButtonY);
    }
    if (windows.changes(kRetry)) return windows.settle(), 0;
  }
  throw std::runtime_error("the dialog did not go");
}

template <auto destroy>
struct Deleter {
  void operator()(auto* p) const { destroy(p); }
};

// KWin's fake input, which it grants any client while KWIN_WAYLAND_NO_PERMISSION_CHECKS is set.
class FakeInput {
 public:
  FakeInput() : display_(wl_display_connect(nullptr)) {
    if (!display_) throw std::runtime_error("cannot connect to the Wayland compositor (WAYLAND_DISPLAY)");
    registry_.reset(wl_display_get_registry(display_.get()));
    wl_registry_add_listener(registry_.get(), &kListener, this);
    wl_display_roundtrip(display_.get());
    if (!input_) throw std::runtime_error("the compositor offers no fake input");
    org_kde_kwin_fake_input_authenticate(input_.get(), "quorvale_answer_picker", "answering a test's dialog");
  }
  void click(double x, double y) {
    org_kde_kwin_fake_input_pointer_motion_absolute(input_.get(), wl_fixed_from_double(x),
                                                    wl_fixed_from_double(y));
    for (std::uint32_t pressed : {1, 0}) org_kde_kwin_fake_input_button(input_.get(), BTN_LEFT, pressed);
    wl_display_roundtrip(display_.get());
  }
  void key(std::uint32_t code) {
    for (std::uint32_t pressed : {1, 0}) org_kde_kwin_fake_input_keyboard_key(input_.get(), code, pressed);
    wl_display_roundtrip(display_.get());
  }

 private:
  std::unique_ptr<wl_display, Deleter<wl_display_disconnect>> display_;
  std::unique_ptr<wl_registry, Deleter<wl_registry_destroy>> registry_;
  std::unique_ptr<org_kde_kwin_fake_input, Deleter<org_kde_kwin_fake_input_destroy>> input_;
  static constexpr wl_registry_listener kListener{
      [](void* self, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
        if (std::string_view(interface) == org_kde_kwin_fake_input_interface.name)
          static_cast<FakeInput*>(self)->input_.reset(static_cast<org_kde_kwin_fake_input*>(
              wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4)));
      },
      [](void*, wl_registry*, std::uint32_t) {}};
};

// The active screen through KWin's screenshot API: 32-bit pixels, 0xAARRGGBB in memory order.
struct Shot {
  std::uint32_t width = 0, height = 0, stride = 0;
  std::string pixels;
  std::uint32_t rgb(std::uint32_t x, std::uint32_t y) const {
    const auto* p = reinterpret_cast<const unsigned char*>(pixels.data()) + std::size_t(y) * stride + x * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
};

Shot screenshot(const Bus& bus) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  Owned<GUnixFDList> fds(g_unix_fd_list_new());
  const int index = g_unix_fd_list_append(fds.get(), ends[1], nullptr);
  ::close(ends[1]);
  Shot shot;
  {  // KWin writes while it answers: read at the same time, until it closes its end
    std::jthread reader([&, fd = ends[0]] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) shot.pixels.append(chunk, std::size_t(n));
      ::close(fd);
    });
    GError* error = nullptr;
    Owned<GVariant> reply(g_dbus_connection_call_with_unix_fd_list_sync(
        bus.get(), "org.kde.KWin", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2",
        "CaptureActiveScreen", g_variant_new("(a{sv}h)", nullptr, index), G_VARIANT_TYPE("(a{sv})"),
        G_DBUS_CALL_FLAGS_NONE, 10'000, fds.get(), nullptr, nullptr, &error));
    fds.reset();  // this process's copy of the write end
    if (!reply) {
      const std::string message = std::string("screenshot: ") + error->message;
      g_error_free(error);
      throw std::runtime_error(message);
    }
    Owned<GVariant> results(g_variant_get_child_value(reply.get(), 0));
    g_variant_lookup(results.get(), "width", "u", &shot.width);
    g_variant_lookup(results.get(), "height", "u", &shot.height);
    g_variant_lookup(results.get(), "stride", "u", &shot.stride);
  }
  if (shot.pixels.size() < std::size_t(shot.stride) * shot.height)
    throw std::runtime_error("short screenshot");
  return shot;
}

// The window's tile in the dialog: the first pixel of its colour with the list's white to its left
// (the window itself stands on the dark desktop).
std::optional<std::pair<double, double>> findTile(const Shot& shot, std::uint32_t rgb) {
  auto near = [](std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16})
      if (std::abs(int(a >> shift & 0xff) - int(b >> shift & 0xff)) > tolerance) return false;
    return true;
  };
  for (std::uint32_t y = 0; y < shot.height; ++y)
    for (std::uint32_t x = 4; x < shot.width; ++x)
      if (near(shot.rgb(x, y), rgb, 8) && near(shot.rgb(x - 4, y), 0xffffff, 16))
        return std::pair{x + 10.0, y + 10.0};
  return std::nullopt;
}

int answerKde(bool cancel, std::uint32_t rgb, Clock::time_point deadline) {
  Bus bus;
  FakeInput input;
  std::puts("ready");
  std::fflush(stdout);
  bool answered = false;
  // Screenshots are the only sign of the dialog: one every kRetry.
  for (; Clock::now() < deadline; ::poll(nullptr, 0, int(kRetry / 1ms))) {
    const auto tile = findTile(screenshot(bus), rgb);
    if (!tile && answered) return 0;
    if (!tile) continue;
    input.click(tile->first, tile->second);
    input.key(cancel ? KEY_ESC : KEY_ENTER);
    answered = true;
  }
  throw std::runtime_error(answered ? "the dialog did not go" : "no dialog appeared");
}

}  // namespace

int main(int argc, char** argv) {
  int row = 0;
  bool cancel = false;
  std::uint32_t rgb = 0x3060c0;
  long seconds = 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cancel")
      cancel = true;
    else if (arg == "--row" && i + 1 < argc)
      row = std::atoi(argv[++i]);
    else if (arg == "--color" && i + 1 < argc)
      rgb = std::uint32_t(std::strtoul(argv[++i], nullptr, 16));
    else if (arg == "--timeout" && i + 1 < argc)
      seconds = std::atol(argv[++i]);
    else
      return std::fprintf(stderr, "quorvale_answer_picker: unknown option %s\n", arg.c_str()), 2;
  }
  try {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop && std::string_view(desktop).find("KDE") != std::string_view::npos)
      return answerKde(cancel, rgb, deadline);
    return answerGnome(row, cancel, deadline);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvale_answer_picker: %s\n", e.what());
    return 1;
  }
}

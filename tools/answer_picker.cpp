// quorvale_answer_picker: answers GNOME's screen-sharing dialog without a person, for the tests and
// the demo on a headless GNOME, through mutter's own remote-desktop D-Bus API (a pointer driven on a
// screen cast of the monitor).
//
//   quorvale_answer_picker [--row N | --cancel] [--timeout SECONDS]
//
// Leaves the overview GNOME starts in and prints "ready"; then waits for the dialog to appear (a
// change in GNOME's window list), clicks the Nth window row (0, the default, is the first) and Share,
// or Cancel, and exits with 0 once the dialog has gone. Start it before the dialog is asked for: it
// recognises the dialog by its appearing. Exits with 1 when the dialog did not appear or did not go
// within the time-out (default 60 s). The places are those of the dialog on a 1280x720 monitor.

#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

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

int run(int row, bool cancel, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
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

}  // namespace

int main(int argc, char** argv) {
  int row = 0;
  bool cancel = false;
  long seconds = 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cancel")
      cancel = true;
    else if (arg == "--row" && i + 1 < argc)
      row = std::atoi(argv[++i]);
    else if (arg == "--timeout" && i + 1 < argc)
      seconds = std::atol(argv[++i]);
    else
      return std::fprintf(stderr, "quorvale_answer_picker: unknown option %s\n", arg.c_str()), 2;
  }
  try {
    return run(row, cancel, std::chrono::seconds(seconds));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvale_answer_picker: %s\n", e.what());
    return 1;
  }
}

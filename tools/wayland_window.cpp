// quorvale_wayland_window: a native Wayland top-level window (wl_shm + xdg_shell) for the tests and
// the demo on a Wayland desktop, where a window has no X11 id.
//
//   quorvale_wayland_window [--width N] [--height N] [--title TEXT] [--app-id ID] [--color RRGGBB]
//                           [--animate] [--tone HZ]...
//
// Prints "shown WIDTHxHEIGHT" as the first stdout line once the compositor has configured the window
// and drawn its first picture. --animate moves a bar across it at about 30 Hz, as the X11 test window
// does; --tone plays a sine through the default sound server. Exits with 0 on SIGTERM, SIGINT or
// SIGHUP, when the compositor closes the window, or when the compositor goes away. Stdin is not read.

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>

#include "tone_player.h"
#include "xdg-shell-client-protocol.h"

namespace {

using quorvale::tools::TonePlayer;

struct Options {
  int width = 640;
  int height = 480;
  std::string title = "Quorvale test window";
  std::string appId = "quorvale_test_window";
  std::uint32_t rgb = 0x3060c0;
  bool animate = false;
  std::list<double> tonesHz;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "quorvale_wayland_window: %s\n", why);
  std::exit(2);
}

long parseNumber(const char* text, int base = 10) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, base);
  if (errno != 0 || end == text || *end != '\0') usage("bad number");
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage("missing value");
      return argv[++i];
    };
    if (arg == "--width")
      o.width = static_cast<int>(parseNumber(value()));
    else if (arg == "--height")
      o.height = static_cast<int>(parseNumber(value()));
    else if (arg == "--title")
      o.title = value();
    else if (arg == "--app-id")
      o.appId = value();
    else if (arg == "--color")
      o.rgb = static_cast<std::uint32_t>(parseNumber(value(), 16)) & 0xffffff;
    else if (arg == "--animate")
      o.animate = true;
    else if (arg == "--tone")
      o.tonesHz.push_back(static_cast<double>(parseNumber(value())));
    else
      usage(("unknown option " + arg).c_str());
  }
  if (o.width <= 0 || o.height <= 0 || o.width > 8192 || o.height > 8192) usage("bad size");
  return o;
}

template <auto destroy>
struct Deleter {
  void operator()(auto* p) const { destroy(p); }
};
template <class T, auto destroy>
using Owned = std::unique_ptr<T, Deleter<destroy>>;
using Display = Owned<wl_display, wl_display_disconnect>;
using Registry = Owned<wl_registry, wl_registry_destroy>;
using Compositor = Owned<wl_compositor, wl_compositor_destroy>;
using Shm = Owned<wl_shm, wl_shm_destroy>;
using WmBase = Owned<xdg_wm_base, xdg_wm_base_destroy>;
using Surface = Owned<wl_surface, wl_surface_destroy>;
using XdgSurface = Owned<xdg_surface, xdg_surface_destroy>;
using Toplevel = Owned<xdg_toplevel, xdg_toplevel_destroy>;
using Buffer = Owned<wl_buffer, wl_buffer_destroy>;
using Callback = Owned<wl_callback, wl_callback_destroy>;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {
    if (fd_ < 0) throw std::runtime_error(std::string("cannot open a descriptor: ") + std::strerror(errno));
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Two shared-memory pictures, so one is drawn while the compositor may still read the other.
class Pictures {
 public:
  Pictures(wl_shm* shm, int width, int height) : width_(width), height_(height) {
    const std::size_t size = bytes() * 2;
    Fd fd(::memfd_create("quorvale_wayland_window", MFD_CLOEXEC));
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
      throw std::runtime_error("cannot size the buffers");
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) throw std::runtime_error("cannot map the buffers");
    pixels_ = {static_cast<std::uint32_t*>(map), Unmap{size}};
    Owned<wl_shm_pool, wl_shm_pool_destroy> pool(wl_shm_create_pool(shm, fd.get(), static_cast<int>(size)));
    for (int i = 0; i < 2; ++i) {
      buffers_[i].reset(wl_shm_pool_create_buffer(pool.get(), static_cast<int>(bytes()) * i, width, height,
                                                  width * 4, WL_SHM_FORMAT_XRGB8888));
      wl_buffer_add_listener(buffers_[i].get(), &kListener, &busy_[i]);
    }
  }
  // A free picture's pixels and its buffer, or nothing while the compositor holds both.
  std::pair<std::uint32_t*, wl_buffer*> acquire() {
    for (int i = 0; i < 2; ++i)
      if (!busy_[i]) return busy_[i] = true, std::pair{pixels_.get() + bytes() / 4 * i, buffers_[i].get()};
    return {nullptr, nullptr};
  }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  std::size_t bytes() const { return std::size_t(width_) * std::size_t(height_) * 4; }
  static constexpr wl_buffer_listener kListener{
      [](void* busy, wl_buffer*) { *static_cast<bool*>(busy) = false; }};

  struct Unmap {
    std::size_t size;
    void operator()(std::uint32_t* p) const { ::munmap(p, size); }
  };
  int width_, height_;
  std::unique_ptr<std::uint32_t, Unmap> pixels_;
  std::array<Buffer, 2> buffers_;
  bool busy_[2] = {false, false};
};

struct Window {
  Compositor compositor;
  Shm shm;
  WmBase wmBase;
  Surface surface;
  XdgSurface xdgSurface;
  Toplevel toplevel;
  Callback frame;
  bool configured = false;
  bool shown = false;
  bool closed = false;
};

const wl_registry_listener kRegistryListener{
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
      auto* w = static_cast<Window*>(data);
      auto bind = [&](const wl_interface* type, std::uint32_t version) {
        return wl_registry_bind(registry, name, type, version);
      };
      if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        w->compositor.reset(static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4)));
      else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        w->shm.reset(static_cast<wl_shm*>(bind(&wl_shm_interface, 1)));
      else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
        w->wmBase.reset(static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1)));
    },
    [](void*, wl_registry*, std::uint32_t) {}};

const xdg_wm_base_listener kWmBaseListener{
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const xdg_surface_listener kXdgSurfaceListener{[](void* data, xdg_surface* surface, std::uint32_t serial) {
  xdg_surface_ack_configure(surface, serial);
  static_cast<Window*>(data)->configured = true;
}};

// The compositor's suggested size is ignored: the window keeps the size it was asked for.
const xdg_toplevel_listener kToplevelListener{
    [](void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {},
    [](void* data, xdg_toplevel*) { static_cast<Window*>(data)->closed = true; }, nullptr,
    nullptr};  // xdg_wm_base version 1: no bounds or capabilities

// The first frame callback after the first picture: the compositor has drawn it.
const wl_callback_listener kFrameListener{
    [](void* data, wl_callback*, std::uint32_t) { static_cast<Window*>(data)->shown = true; }};

// The background, and with animate a bar in the complementary colour sweeping once a second.
void draw(std::uint32_t* pixels, int width, int height, const Options& o, double seconds) {
  std::fill_n(pixels, std::size_t(width) * std::size_t(height), o.rgb);
  if (!o.animate) return;
  const int barWidth = std::max(8, width / 10), travel = std::max(1, width - barWidth);
  const double t = std::fmod(seconds, 2.0);
  const int x = static_cast<int>((t < 1 ? t : 2 - t) * travel);
  for (int y = 0; y < height; ++y)
    std::fill_n(pixels + std::size_t(y) * width + x, barWidth, ~o.rgb & 0xffffff);
}

int run(const Options& o) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signo);
  sigprocmask(SIG_BLOCK, &signals, nullptr);  // before the tone threads start, so only the signalfd sees them
  ::signal(SIGPIPE, SIG_IGN);
  Fd signalFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));

  Display display(wl_display_connect(nullptr));
  if (!display) throw std::runtime_error("cannot connect to the Wayland compositor (WAYLAND_DISPLAY)");
  Window w;
  Registry registry(wl_display_get_registry(display.get()));
  wl_registry_add_listener(registry.get(), &kRegistryListener, &w);
  wl_display_roundtrip(display.get());
  if (!w.compositor || !w.shm || !w.wmBase)
    throw std::runtime_error("the compositor lacks wl_shm or xdg_shell");
  xdg_wm_base_add_listener(w.wmBase.get(), &kWmBaseListener, &w);

  w.surface.reset(wl_compositor_create_surface(w.compositor.get()));
  w.xdgSurface.reset(xdg_wm_base_get_xdg_surface(w.wmBase.get(), w.surface.get()));
  xdg_surface_add_listener(w.xdgSurface.get(), &kXdgSurfaceListener, &w);
  w.toplevel.reset(xdg_surface_get_toplevel(w.xdgSurface.get()));
  xdg_toplevel_add_listener(w.toplevel.get(), &kToplevelListener, &w);
  xdg_toplevel_set_title(w.toplevel.get(), o.title.c_str());
  xdg_toplevel_set_app_id(w.toplevel.get(), o.appId.c_str());
  // A fixed size, so the compositor neither tiles nor maximizes it.
  xdg_toplevel_set_min_size(w.toplevel.get(), o.width, o.height);
  xdg_toplevel_set_max_size(w.toplevel.get(), o.width, o.height);
  wl_surface_commit(w.surface.get());  // no buffer yet: asks for the first configure

  Pictures pictures(w.shm.get(), o.width, o.height);
  const auto start = std::chrono::steady_clock::now();
  std::list<TonePlayer> tones;  // players own threads that point at them: never moved
  for (double hz : o.tonesHz)
    if (hz > 0) tones.emplace_back(hz, std::nullopt);
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  constexpr auto kFrame = std::chrono::milliseconds(33);
  auto nextFrame = std::chrono::steady_clock::now();
  bool drawn = false, announced = false;
  while (!w.closed) {
    const auto now = std::chrono::steady_clock::now();
    if (w.configured && (!drawn || (o.animate && now >= nextFrame))) {
      if (auto [pixels, buffer] = pictures.acquire(); pixels) {
        draw(pixels, o.width, o.height, o, seconds());
        wl_surface_attach(w.surface.get(), buffer, 0, 0);
        wl_surface_damage_buffer(w.surface.get(), 0, 0, o.width, o.height);
        if (!drawn) {
          w.frame.reset(wl_surface_frame(w.surface.get()));
          wl_callback_add_listener(w.frame.get(), &kFrameListener, &w);
        }
        wl_surface_commit(w.surface.get());
        drawn = true;
        nextFrame = now + kFrame;
      }
    }
    if (w.shown && !announced) {
      std::printf("shown %dx%d\n", o.width, o.height);
      std::fflush(stdout);
      announced = true;
    }
    while (wl_display_prepare_read(display.get()) != 0) wl_display_dispatch_pending(display.get());
    wl_display_flush(display.get());
    const int timeout =
        o.animate && drawn
            ? static_cast<int>(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     nextFrame - std::chrono::steady_clock::now())
                                                     .count()))
            : -1;
    pollfd fds[] = {{wl_display_get_fd(display.get()), POLLIN, 0}, {signalFd.get(), POLLIN, 0}};
    ::poll(fds, 2, timeout);
    if (fds[0].revents & POLLIN)
      wl_display_read_events(display.get());
    else
      wl_display_cancel_read(display.get());
    // The compositor is gone, or the signal came.
    if (wl_display_dispatch_pending(display.get()) < 0 || wl_display_get_error(display.get())) return 0;
    if (signalfd_siginfo info; ::read(signalFd.get(), &info, sizeof info) == ssize_t(sizeof info)) return 0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvale_wayland_window: %s\n", e.what());
    return 1;
  }
}

// quorvale_test_window: a top-level X11 window for the end-to-end tests and the demo.
//
//   quorvale_test_window [--x N] [--y N] [--width N] [--height N] [--title TEXT]
//                        [--class NAME] [--color RRGGBB] [--animate] [--noise] [--typing] [--scroll]
//                        [--tone HZ]...
//                        [--beep-flash] [--override-redirect] [--unmapped] [--transient-for ID]
//
// Prints the window id in decimal as the first stdout line once the window is
// mapped (or created, with --unmapped). --animate moves a bar across the window
// at about 30 Hz so every frame differs; otherwise the window is one solid colour.
// --noise (implies --animate) fills the window with random 8x8 blocks instead, every
// frame anew: content that barely compresses, for filling a disk quickly.
// --tone plays a sine of that frequency through the default sound server
// (PULSE_SERVER) until exit; the stream carries this process's pid. Each --tone
// is a stream of its own, so one process can play several at once.
// --beep-flash (implies --animate) gives audio and video a shared marker for
// measuring their sync: every kFlashPeriod seconds the window turns white for
// kFlashSeconds and the tone, otherwise quiet, beeps for kBeepSeconds from the
// moment the sound server plays it, both on the same steady clock.
// --typing: a terminal where a line is typed every 200 ms, a fresh page when full;
// --scroll: a list that scrolls by three rows once a second, round a ring of items.
// Both repeat with a period, draw each state in one server grab (so no capture sees
// half of one) and mark it in binary with 8 black or white 16x16 blocks at the top
// right, so a benchmark can tell which state a decoded frame shows.
// The window goes on the screen DISPLAY names (":N.1" is screen 1).
// Exits with 0 on SIGTERM, SIGINT or SIGHUP, when the window manager closes the
// window, or when the X server goes away. Stdin is not read.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tone_player.h"

namespace {

using namespace quorvale::tools;

struct Options {
  int x = 0;
  int y = 0;
  int width = 640;
  int height = 480;
  std::string title = "Quorvale test window";
  std::string wmClass = "quorvale_test_window";
  std::uint32_t rgb = 0x3060c0;
  bool animate = false;
  bool noise = false;
  bool typing = false;
  bool scroll = false;
  std::vector<double> tonesHz;
  bool beepFlash = false;
  bool overrideRedirect = false;
  bool unmapped = false;
  std::uint32_t transientFor = 0;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "quorvale_test_window: %s\n", why);
  std::exit(2);
}

long parseNumber(const char* text, int base = 10) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, base);
  if (errno != 0 || end == text || *end != '\0') usage("bad number");
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage("missing value");
      return argv[++i];
    };
    if (arg == "--x") {
      o.x = static_cast<int>(parseNumber(value()));
    } else if (arg == "--y") {
      o.y = static_cast<int>(parseNumber(value()));
    } else if (arg == "--width") {
      o.width = static_cast<int>(parseNumber(value()));
    } else if (arg == "--height") {
      o.height = static_cast<int>(parseNumber(value()));
    } else if (arg == "--title") {
      o.title = value();
    } else if (arg == "--class") {
      o.wmClass = value();
    } else if (arg == "--color") {
      o.rgb = static_cast<std::uint32_t>(parseNumber(value(), 16)) & 0xffffff;
    } else if (arg == "--animate") {
      o.animate = true;
    } else if (arg == "--noise") {
      o.animate = o.noise = true;
    } else if (arg == "--typing") {
      o.animate = o.typing = true;
    } else if (arg == "--scroll") {
      o.animate = o.scroll = true;
    } else if (arg == "--tone") {
      o.tonesHz.push_back(static_cast<double>(parseNumber(value())));
    } else if (arg == "--beep-flash") {
      o.animate = o.beepFlash = true;
    } else if (arg == "--override-redirect") {
      o.overrideRedirect = true;
    } else if (arg == "--unmapped") {
      o.unmapped = true;
    } else if (arg == "--transient-for") {
      o.transientFor = static_cast<std::uint32_t>(parseNumber(value()));
    } else {
      usage(("unknown option " + arg).c_str());
    }
  }
  if (o.width <= 0 || o.height <= 0) usage("size must be positive");
  return o;
}

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
                            nullptr),
      &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// Maps 0xRRGGBB onto the visual's channel masks, so the colour is exact on any TrueColor visual.
std::uint32_t pixelFor(const xcb_visualtype_t* visual, std::uint32_t rgb) {
  auto channel = [](std::uint32_t mask, std::uint32_t value8) -> std::uint32_t {
    if (mask == 0) return 0;
    int shift = __builtin_ctz(mask);
    std::uint32_t bits = mask >> shift;
    return ((value8 * bits + 127) / 255) << shift;
  };
  return channel(visual->red_mask, (rgb >> 16) & 0xff) | channel(visual->green_mask, (rgb >> 8) & 0xff) |
         channel(visual->blue_mask, rgb & 0xff);
}

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen) {
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
    for (auto v = xcb_depth_visuals_iterator(depths.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) return v.data;
    }
  }
  return nullptr;
}

class TestWindow {
 public:
  TestWindow(xcb_connection_t* c, xcb_screen_t* screen, const Options& o)
      : c_(c), o_(o), width_(o.width), height_(o.height) {
    const xcb_visualtype_t* visual = findVisual(screen);
    if (!visual) throw std::runtime_error("no root visual");
    background_ = pixelFor(visual, o.rgb);
    // The bar uses the complementary colour so it always stands out.
    bar_ = pixelFor(visual, ~o.rgb & 0xffffff);
    white_ = pixelFor(visual, 0xffffff);
    for (std::uint32_t i = 0; i < kNoiseColours; ++i) {
      std::uint32_t level = i * 255 / (kNoiseColours - 1);
      noisePalette_[i] =
          pixelFor(visual, (level << 16) | (((level * 7) & 0xff) << 8) | ((level * 13) & 0xff));
    }

    window_ = xcb_generate_id(c);
    std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
    std::uint32_t values[] = {background_, o.overrideRedirect ? 1u : 0u,
                              XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<std::int16_t>(o.x),
                      static_cast<std::int16_t>(o.y), static_cast<std::uint16_t>(o.width),
                      static_cast<std::uint16_t>(o.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, mask, values);

    for (std::uint32_t rgb : kTextColours) textPalette_.push_back(pixelFor(visual, rgb));
    font_ = xcb_generate_id(c);
    xcb_open_font(c, font_, 5, "fixed");  // 6x13, built into every X server
    gc_ = xcb_generate_id(c);
    xcb_create_gc(c, gc_, window_, XCB_GC_FONT, &font_);

    setProperties();
  }

  ~TestWindow() {
    xcb_free_gc(c_, gc_);
    xcb_close_font(c_, font_);
    xcb_destroy_window(c_, window_);
    xcb_flush(c_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  xcb_window_t id() const { return window_; }
  xcb_atom_t deleteAtom() const { return wmDeleteWindow_; }

  void resized(int width, int height) {
    width_ = width;
    height_ = height;
  }

  // exposed: everything must be drawn again, not only what changed.
  void draw(double seconds, bool exposed = false) {
    if (o_.typing || o_.scroll) {
      drawText(seconds, exposed);
      return;
    }
    if (o_.noise) {
      drawNoise();
      return;
    }
    if (o_.beepFlash && inMarker(seconds, kFlashSeconds)) {
      fill(white_, 0, 0, width_, height_);
      xcb_flush(c_);
      return;
    }
    fill(background_, 0, 0, width_, height_);
    if (o_.animate) {
      int barWidth = std::max(8, width_ / 10);
      int travel = std::max(1, width_ - barWidth);
      // One sweep a second, back and forth.
      double t = std::fmod(seconds, 2.0);
      int x = static_cast<int>((t < 1 ? t : 2 - t) * travel);
      fill(bar_, x, 0, barWidth, height_);
    }
    xcb_flush(c_);
  }

 private:
  static constexpr std::uint32_t kNoiseColours = 16;
  static constexpr int kNoiseBlock = 8;

  static constexpr std::uint32_t kTextColours[] = {0x1e1e1e, 0xd0d0d0, 0x40c040, 0xffffff, 0xececec, 0x202020};
  static constexpr int kLineHeight = 15;
  static constexpr int kRowHeight = 24;
  static constexpr int kScrollRows = 3;

  void drawText(double seconds, bool exposed) {
    const int lines = std::max(1, (height_ - 4) / kLineHeight);
    const int rows = std::max(1, height_ / kRowHeight);
    const int state = o_.typing ? static_cast<int>(seconds / 0.2) % lines
                                : static_cast<int>(seconds) % std::max(1, rows / kScrollRows);
    if (state == state_ && !exposed) return;
    xcb_grab_server(c_);
    if (o_.typing) {
      // A terminal draws the new line only, and clears for a fresh page.
      const bool fresh = exposed || state == 0 || state < state_;
      if (fresh) fill(textPalette_[0], 0, 0, width_, height_);
      for (int line = fresh ? 0 : state_ + 1; line <= state; ++line) {
        const int y = 2 + line * kLineHeight + 11;
        text(2, y, textPalette_[2], textPalette_[0], "ana@quorvale:~/src$ ");
        text(2 + 20 * 6, y, textPalette_[1], textPalette_[0], sentence(line, 4 + line % 9));
      }
    } else {
      for (int row = 0; row < rows; ++row) {
        const int item = (state * kScrollRows + row) % rows;
        const std::uint32_t back = textPalette_[item % 2 ? 4 : 3];
        fill(back, 0, row * kRowHeight, width_, kRowHeight);
        char label[32];
        std::snprintf(label, sizeof label, "%04d  ", item * 37 % 10000);
        text(8, row * kRowHeight + 16, textPalette_[5], back, label + sentence(item, 3 + item % 5));
      }
    }
    for (int bit = 0; bit < 8; ++bit)
      fill(textPalette_[state >> bit & 1 ? 3 : 5], width_ - 128 + (7 - bit) * 16, 0, 16, 16);
    xcb_ungrab_server(c_);
    xcb_flush(c_);
    state_ = state;
  }

  static std::string sentence(int seed, int words) {
    static const char* const kWords[] = {"make", "-j2", "git", "status", "grep", "-rn", "TODO", "src/",
                                         "build", "cat", "log.txt", "ls", "-la", "ssh", "deploy", "tests",
                                         "render", "queue", "frame", "--verbose", "tail", "-f", "cmake", "ok"};
    std::string out;
    std::uint32_t h = static_cast<std::uint32_t>(seed) * 2654435761u + 12345u;
    for (int i = 0; i < words; ++i) {
      h = h * 1664525u + 1013904223u;
      out += kWords[(h >> 16) % std::size(kWords)];
      out += ' ';
    }
    return out;
  }

  void text(int x, int y, std::uint32_t foreground, std::uint32_t background, const std::string& s) {
    std::uint32_t values[] = {foreground, background};
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, values);
    xcb_image_text_8(c_, static_cast<std::uint8_t>(std::min<std::size_t>(s.size(), 255)), window_, gc_,
                     static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), s.c_str());
  }

  // One request per colour, so a frame costs a few dozen requests however large.
  void drawNoise() {
    std::vector<xcb_rectangle_t> blocks[kNoiseColours];
    for (int y = 0; y < height_; y += kNoiseBlock) {
      for (int x = 0; x < width_; x += kNoiseBlock) {
        blocks[random_() % kNoiseColours].push_back(
            {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), kNoiseBlock, kNoiseBlock});
      }
    }
    for (std::uint32_t i = 0; i < kNoiseColours; ++i) {
      xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &noisePalette_[i]);
      for (std::size_t at = 0; at < blocks[i].size(); at += 4096) {
        auto count = static_cast<std::uint32_t>(std::min<std::size_t>(4096, blocks[i].size() - at));
        xcb_poly_fill_rectangle(c_, window_, gc_, count, blocks[i].data() + at);
      }
    }
    xcb_flush(c_);
  }

  void fill(std::uint32_t pixel, int x, int y, int w, int h) {
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &pixel);
    xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(c_, window_, gc_, 1, &r);
  }

  void setString(xcb_atom_t property, xcb_atom_t type, const std::string& value) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, property, type, 8,
                        static_cast<std::uint32_t>(value.size()), value.data());
  }

  void setProperties() {
    xcb_atom_t utf8 = internAtom(c_, "UTF8_STRING");
    setString(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, o_.title);
    setString(internAtom(c_, "_NET_WM_NAME"), utf8, o_.title);

    std::string wmClass = o_.wmClass + '\0' + o_.wmClass + '\0';
    setString(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);

    std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, internAtom(c_, "_NET_WM_PID"), XCB_ATOM_CARDINAL,
                        32, 1, &pid);

    wmDeleteWindow_ = internAtom(c_, "WM_DELETE_WINDOW");
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, internAtom(c_, "WM_PROTOCOLS"), XCB_ATOM_ATOM, 32,
                        1, &wmDeleteWindow_);

    // WM_NORMAL_HINTS with USPosition|USSize|PMinSize|PMaxSize: a reparenting
    // manager then keeps the requested place and size.
    std::uint32_t hints[18] = {};
    hints[0] = 1 | 2 | 16 | 32;
    hints[1] = static_cast<std::uint32_t>(o_.x);
    hints[2] = static_cast<std::uint32_t>(o_.y);
    hints[3] = static_cast<std::uint32_t>(o_.width);
    hints[4] = static_cast<std::uint32_t>(o_.height);
    hints[5] = hints[7] = static_cast<std::uint32_t>(o_.width);
    hints[6] = hints[8] = static_cast<std::uint32_t>(o_.height);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS,
                        32, 18, hints);

    if (o_.transientFor != 0) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32,
                          1, &o_.transientFor);
    }
  }

  xcb_connection_t* c_;
  const Options& o_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::uint32_t background_ = 0;
  std::uint32_t bar_ = 0;
  std::uint32_t white_ = 0;
  std::uint32_t noisePalette_[kNoiseColours] = {};
  std::vector<std::uint32_t> textPalette_;
  xcb_font_t font_ = 0;
  int state_ = -1;
  std::minstd_rand random_{12345};
  xcb_atom_t wmDeleteWindow_ = XCB_ATOM_NONE;
  int width_;
  int height_;
};

void announce(xcb_connection_t* c, xcb_window_t window) {
  // A round trip makes sure the server has drawn everything before anyone looks.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::printf("%u\n", window);
  std::fflush(stdout);
}

int run(const Options& o) {
  // Blocked before any thread starts, so only the signalfd sees these.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  Fd signalFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (signalFd.get() < 0) throw std::runtime_error("signalfd failed");

  int screenNumber = 0;
  Connection connection(xcb_connect(nullptr, &screenNumber));
  xcb_connection_t* c = connection.get();
  if (xcb_connection_has_error(c)) throw std::runtime_error("cannot connect to the X server");
  // The screen DISPLAY names: ":N.1" puts the window on screen 1.
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && roots.rem > 0; ++i) xcb_screen_next(&roots);
  if (roots.rem <= 0) throw std::runtime_error("no such screen");
  xcb_screen_t* screen = roots.data;

  TestWindow window(c, screen, o);
  const auto start = std::chrono::steady_clock::now();
  std::list<TonePlayer> tones;  // players own threads that point at them: never moved
  for (double hz : o.tonesHz) {
    if (hz > 0) tones.emplace_back(hz, o.beepFlash ? std::optional(start) : std::nullopt);
  }

  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  bool announced = false;
  if (o.unmapped) {
    window.draw(0);
    announce(c, window.id());
    announced = true;
  } else {
    xcb_map_window(c, window.id());
    xcb_flush(c);
  }

  constexpr auto kFrame = std::chrono::milliseconds(33);
  auto nextFrame = std::chrono::steady_clock::now();
  while (true) {
    while (auto* event = xcb_poll_for_event(c)) {
      Reply<xcb_generic_event_t> owned(event, &std::free);
      switch (event->response_type & 0x7f) {
        case XCB_MAP_NOTIFY:
          window.draw(seconds(), true);
          if (!announced) {
            announce(c, window.id());
            announced = true;
          }
          break;
        case XCB_EXPOSE:
          window.draw(seconds(), true);
          break;
        case XCB_CONFIGURE_NOTIFY: {
          auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
          if (configure->window == window.id()) window.resized(configure->width, configure->height);
          break;
        }
        case XCB_CLIENT_MESSAGE: {
          auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
          if (message->data.data32[0] == window.deleteAtom()) return 0;
          break;
        }
        default:
          break;
      }
    }
    if (xcb_connection_has_error(c)) return 0;  // the X server is gone

    signalfd_siginfo info;
    if (::read(signalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return 0;

    auto now = std::chrono::steady_clock::now();
    if (o.animate && now >= nextFrame) {
      window.draw(seconds());
      nextFrame = now + kFrame;
      if (o.beepFlash) {
        // Draw right at a flash's start and end rather than up to a frame later.
        const double t = seconds();
        const double flash = (std::floor(t / kFlashPeriod) + 1) * kFlashPeriod;
        const double flashEnd = flash - kFlashPeriod + kFlashSeconds;
        const double next = t < flashEnd ? flashEnd : flash;
        nextFrame =
            std::min(nextFrame, start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(next)));
      }
    }
    int timeout = -1;
    if (o.animate) {
      timeout = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(nextFrame - std::chrono::steady_clock::now())
              .count());
      timeout = std::max(timeout, 0);
    }
    pollfd fds[] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {signalFd.get(), POLLIN, 0}};
    ::poll(fds, 2, timeout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvale_test_window: %s\n", e.what());
    return 1;
  }
}

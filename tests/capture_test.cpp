// The X11 capture service against a private Xvfb: the catalog, pixels from
// Composite pixmaps, the application filter and the stream's fault handling.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "e2e/support/servers.h"
#include "platform/capture/compose.h"
#include "platform/capture/frame_source.h"
#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"
#include "platform/pipeline/media_clock.h"
#include "platform/platform_error.h"
#include "platform/service/linux_platform.h"
#include "platform/sound/audio_capture.h"

namespace quorvale::platform {
namespace {

using namespace capture;
using namespace encoding;
using namespace pipeline;
using namespace service;
using namespace sound;

using namespace std::chrono_literals;

constexpr std::uint32_t kRed = 0xd02020;
constexpr std::uint32_t kBlue = 0x2040d0;
constexpr std::uint32_t kGreen = 0x20c040;

// Reads what a child writes to a pipe, up to a newline, within a deadline.
std::string readLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (line.empty() || line.back() != '\n') {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c = 0;
    if (::read(fd, &c, 1) != 1) break;
    line.push_back(c);
  }
  return line;
}

// A test application's X connection and its windows.
class Client {
 public:
  explicit Client(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Client() { xcb_disconnect(c_); }
  bool ok() const { return xcb_connection_has_error(c_) == 0; }
  xcb_connection_t* get() const { return c_; }

  xcb_window_t window(int x, int y, int width, int height, std::uint32_t rgb, bool map = true,
                      bool overrideRedirect = false) {
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {rgb, overrideRedirect ? 1u : 0u};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (map) xcb_map_window(c_, id);
    sync();
    return id;
  }
  void property(xcb_window_t window, const std::string& name, xcb_atom_t type, std::uint8_t format,
                const void* data, std::uint32_t count) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(name), type, format, count, data);
    sync();
  }
  xcb_atom_t atom(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
  }
  void fill(xcb_window_t window, std::uint32_t rgb, xcb_rectangle_t rect) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, window, XCB_GC_FOREGROUND, &rgb);
    xcb_poly_fill_rectangle(c_, window, gc, 1, &rect);
    xcb_free_gc(c_, gc);
    sync();
  }
  // Waits (by events, with a deadline) until the window has the property.
  bool waitForProperty(xcb_window_t window, const std::string& name,
                       std::chrono::milliseconds timeout = 10s) {
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t wanted = atom(name);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto* reply = xcb_get_property_reply(
          c_, xcb_get_property(c_, 0, window, wanted, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr);
      const bool present = reply && reply->type != XCB_ATOM_NONE;
      std::free(reply);
      if (present) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      while (auto* event = xcb_poll_for_event(c_)) std::free(event);
    }
  }
  xcb_window_t root() const { return screen_->root; }

  // A round trip: everything sent before has been processed.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

// A window of another process (another X client and another pid).
class ForeignWindow {
 public:
  ForeignWindow(const std::string& display, int x, int y, int width, int height, std::uint32_t rgb) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      Client client(display);
      const xcb_window_t id = client.window(x, y, width, height, rgb);
      const std::string line = std::to_string(id) + "\n";
      [[maybe_unused]] auto written = ::write(fds[1], line.data(), line.size());
      for (;;) ::pause();  // until the test kills us
    }
    ::close(fds[1]);
    const std::string line = readLine(fds[0], 10s);
    ::close(fds[0]);
    if (!line.empty()) id_ = static_cast<xcb_window_t>(std::stoul(line));
  }
  ~ForeignWindow() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  xcb_window_t id() const { return id_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  xcb_window_t id_ = 0;
};

Window windowNamed(xcb_window_t id, Rect frame = {}) {
  Window window;
  window.windowID = id;
  window.frame = frame;
  return window;
}

CaptureOptions options(bool cursor, bool children, std::optional<Rect> source = std::nullopt) {
  CaptureOptions result;
  result.showsCursor = cursor;
  result.includeChildWindows = children;
  result.sourceRect = source;
  return result;
}

std::uint32_t pixelAt(const FramePixels& frame, int x, int y) {
  const std::uint8_t* p = frame.data.data() + y * frame.stride + x * 4;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16;
}

// Collects the callbacks of a stream and its output.
class Events final : public StreamDelegate, public RecordingOutputDelegate {
 public:
  void recordingOutputDidStartRecording(RecordingOutput&) override { note("started"); }
  void recordingOutputDidFailWithError(RecordingOutput&, std::exception_ptr error) override {
    note("failed", error);
  }
  void recordingOutputDidFinishRecording(RecordingOutput&) override { note("finished"); }
  void streamDidStopWithError(Stream&, std::exception_ptr error) override { note("stopped", error); }

  Stream::Completion completion(std::string name) {
    return [this, name](std::exception_ptr error) { note(name, error); };
  }
  // The error (as text, empty for none) of the named event, once it happened.
  std::optional<std::string> waitFor(const std::string& name, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> result;
    changed_.wait_for(lock, timeout, [&] {
      for (const auto& [event, message] : events_) {
        if (event == name) result = message;
      }
      return result.has_value();
    });
    return result;
  }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const auto& event : events_) result.push_back(event.first);
    return result;
  }

 private:
  void note(const std::string& name, std::exception_ptr error = nullptr) {
    std::string message;
    if (error) {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        message = e.what();
        if (message.empty()) message = "?";
      }
    }
    {
      std::lock_guard lock(mutex_);
      events_.emplace_back(name, message);
    }
    changed_.notify_all();
  }
  std::mutex mutex_;  // guards events_
  std::condition_variable changed_;
  std::vector<std::pair<std::string, std::string>> events_;
};

class X11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new e2e::XServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    client_.emplace(server_->display());
    ASSERT_TRUE(client_->ok());
  }
  void TearDown() override { client_.reset(); }

  const std::string& display() const { return server_->display(); }

  std::shared_ptr<const ShareableContent> content(Platform& platform, bool excludeDesktop = true,
                                                  bool onScreenOnly = false) {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::pair<std::shared_ptr<const ShareableContent>, std::exception_ptr>> result;
    platform.getShareableContent(excludeDesktop, onScreenOnly,
                                 [&](std::shared_ptr<const ShareableContent> c, std::exception_ptr e) {
                                   std::lock_guard lock(mutex);
                                   result.emplace(std::move(c), e);
                                   done.notify_all();
                                 });
    std::unique_lock lock(mutex);
    done.wait_for(lock, 10s, [&] { return result.has_value(); });
    if (!result || result->second) return nullptr;
    return result->first;
  }

  static std::optional<Window> find(const ShareableContent& content, xcb_window_t id) {
    for (const auto& window : content.windows) {
      if (window.windowID == id) return window;
    }
    return std::nullopt;
  }

  // A stream of the window recording into file (size width x height), asked to start.
  struct Recording {
    std::shared_ptr<Stream> stream;
    RecordingOutputConfiguration outputConfig;
    StreamConfiguration config;
  };
  static Recording startRecording(Platform& platform, xcb_window_t target, int width, int height,
                                  const std::filesystem::path& file, Events& events) {
    Recording recording;
    recording.config.setWidth(width);
    recording.config.setHeight(height);
    recording.config.setMinimumFrameInterval({1, 15});
    recording.outputConfig = platform.makeRecordingOutputConfiguration();
    recording.outputConfig.outputURL = file;
    recording.stream =
        platform.makeStream(WindowFilter{windowNamed(target, Rect{0, 0, double(width), double(height)})},
                            recording.config, events);
    recording.stream->addRecordingOutput(platform.makeRecordingOutput(recording.outputConfig, events));
    recording.stream->startCapture(events.completion("start"));
    return recording;
  }

  static inline e2e::XServer* server_ = nullptr;
  std::optional<Client> client_;
};

// Handles the source's events and draws until the picture shows what is wanted, for at most 10 s.
template <class Shows>
bool renderUntil(FrameSource& source, FramePixels& frame, Shows shows) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{source.fileDescriptor(), POLLIN, 0};
    ::poll(&p, 1, 100);
    source.processEvents(monotonicMicros());
    if (source.wantsFrame() && source.render(frame, monotonicMicros()) && shows(frame)) return true;
  }
  return false;
}

TEST_F(X11Test, CatalogListsClientWindowsWithFramePidAndVisibility) {
  const xcb_window_t shown = client_->window(40, 60, 320, 200, kRed);
  const std::string title = "Quorvale catalog";
  client_->property(shown, "_NET_WM_NAME", client_->atom("UTF8_STRING"), 8, title.data(),
                    static_cast<std::uint32_t>(title.size()));
  client_->property(shown, "WM_CLASS", XCB_ATOM_STRING, 8, "inst\0Qclass\0", 12);
  const xcb_window_t hidden = client_->window(10, 10, 50, 50, kBlue, false);
  const xcb_window_t popup = client_->window(0, 0, 30, 30, kGreen, true, true);
  const xcb_window_t desktop = client_->window(0, 0, 1280, 800, kGreen, true);
  const std::uint32_t desktopType = client_->atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  client_->property(desktop, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, 32, &desktopType, 1);

  auto platform = makeX11Platform(display());
  auto all = content(*platform);
  ASSERT_TRUE(all);
  const auto window = find(*all, shown);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->frame, (Rect{40, 60, 320, 200}));
  EXPECT_TRUE(window->onScreen);
  EXPECT_EQ(window->title, title);
  ASSERT_TRUE(window->owningApplication);
  EXPECT_EQ(window->owningApplication->processID, ::getpid());
  EXPECT_EQ(window->owningApplication->applicationName, "Qclass");

  const auto unmapped = find(*all, hidden);
  ASSERT_TRUE(unmapped);
  EXPECT_FALSE(unmapped->onScreen);
  EXPECT_FALSE(find(*all, popup)) << "override-redirect windows are not listed";
  EXPECT_FALSE(find(*all, desktop));
  // Front to back: the desktop window, mapped last, would come first.
  EXPECT_TRUE(find(*content(*platform, false), desktop));
  EXPECT_FALSE(find(*content(*platform, true, true), hidden));

  ASSERT_EQ(all->displays.size(), 1u);
  EXPECT_EQ(all->displays[0].frame, (Rect{0, 0, 1280, 800}));
}

TEST_F(X11Test, ContentQueryNamesTheDisplayItCannotReach) {
  auto message = [&](std::optional<std::string> name) {
    auto platform = makeX11Platform(name);
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::string> text;
    platform->getShareableContent(true, false,
                                  [&](std::shared_ptr<const ShareableContent> c, std::exception_ptr e) {
                                    std::lock_guard lock(mutex);
                                    text = c ? "content" : "";
                                    try {
                                      if (e) std::rethrow_exception(e);
                                    } catch (const PlatformError& error) {
                                      text = error.what();
                                    }
                                    done.notify_all();
                                  });
    std::unique_lock lock(mutex);
    done.wait_for(lock, 10s, [&] { return text.has_value(); });
    return text.value_or("no completion");
  };
  EXPECT_EQ(message(std::string(":9876")), "Could not connect to the X display :9876.");
  EXPECT_EQ(message(std::string("")), "No X display is set (DISPLAY is empty).");
}

TEST_F(X11Test, WindowFilterCapturesTheWindowItselfWhenCoveredOrOffScreen) {
  const xcb_window_t target = client_->window(50, 50, 300, 200, kRed);
  client_->fill(target, kGreen, {0, 0, 20, 20});
  client_->window(100, 100, 300, 200, kBlue);                            // covers most of it
  const xcb_window_t edge = client_->window(1200, 700, 200, 200, kRed);  // mostly off-screen

  FrameSource source(display(), WindowFilter{windowNamed(target)}, options(false, true));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  ASSERT_EQ(frame.width, 300);
  ASSERT_EQ(frame.height, 200);
  EXPECT_EQ(pixelAt(frame, 5, 5), kGreen);
  EXPECT_EQ(pixelAt(frame, 150, 150), kRed) << "the covering window must not show";
  EXPECT_EQ(pixelAt(frame, 299, 199), kRed);

  // Unchanged: no new frame. Drawn on: the change shows.
  source.processEvents(monotonicMicros());
  EXPECT_FALSE(source.wantsFrame());
  EXPECT_FALSE(source.render(frame, monotonicMicros()));
  client_->fill(target, kBlue, {200, 100, 50, 50});
  pollfd p{source.fileDescriptor(), POLLIN, 0};
  ::poll(&p, 1, 2000);
  source.processEvents(monotonicMicros());
  EXPECT_TRUE(source.wantsFrame());
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  EXPECT_EQ(pixelAt(frame, 220, 120), kBlue);

  FrameSource offScreen(display(), WindowFilter{windowNamed(edge)}, options(false, true));
  ASSERT_TRUE(offScreen.render(frame, monotonicMicros()));
  EXPECT_EQ(pixelAt(frame, 190, 190), kRed);
}

TEST_F(X11Test, WindowFilterAddsTransientsAndOwnPopupsAndTheCursor) {
  const xcb_window_t target = client_->window(100, 100, 400, 300, kRed);
  const xcb_window_t dialog = client_->window(150, 150, 50, 50, kGreen);
  client_->property(dialog, "WM_TRANSIENT_FOR", XCB_ATOM_WINDOW, 32, &target, 1);
  client_->window(300, 300, 40, 40, kBlue, true, true);     // our own menu
  ForeignWindow other(display(), 400, 100, 50, 50, kBlue);  // another program, on top
  ASSERT_NE(other.id(), 0u);

  FrameSource source(display(), WindowFilter{windowNamed(target)}, options(false, true));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  EXPECT_EQ(pixelAt(frame, 60, 60), kGreen);
  EXPECT_EQ(pixelAt(frame, 210, 210), kBlue);
  EXPECT_EQ(pixelAt(frame, 320, 20), kRed) << "another program's window must not show";

  FrameSource alone(display(), WindowFilter{windowNamed(target)}, options(false, false));
  ASSERT_TRUE(alone.render(frame, monotonicMicros()));
  EXPECT_EQ(pixelAt(frame, 60, 60), kRed);

  // The pointer over the window: its cursor is drawn there, and only with showsCursor.
  xcb_warp_pointer(client_->get(), XCB_NONE,
                   xcb_setup_roots_iterator(xcb_get_setup(client_->get())).data->root, 0, 0, 0, 0, 300, 250);
  client_->sync();
  FrameSource withCursor(display(), WindowFilter{windowNamed(target)}, options(true, false));
  ASSERT_TRUE(withCursor.render(frame, monotonicMicros()));
  auto cursorNear = [](const FramePixels& f, int cx, int cy) {
    int changed = 0;
    for (int y = cy - 20; y < cy + 20; ++y) {
      for (int x = cx - 20; x < cx + 20; ++x) changed += pixelAt(f, x, y) != kRed;
    }
    return changed > 10;
  };
  EXPECT_TRUE(cursorNear(frame, 200, 150));

  // Guards against a cursor that stays where the last motion left it: warps make no motion events.
  xcb_warp_pointer(client_->get(), XCB_NONE, client_->root(), 0, 0, 0, 0, 10, 10);
  client_->sync();
  EXPECT_TRUE(renderUntil(withCursor, frame, [&](const FramePixels& f) { return !cursorNear(f, 200, 150); }));
  xcb_warp_pointer(client_->get(), XCB_NONE, client_->root(), 0, 0, 0, 0, 150, 350);
  client_->sync();
  EXPECT_TRUE(renderUntil(withCursor, frame, [&](const FramePixels& f) { return cursorNear(f, 50, 250); }));
}

// The picture as the stream takes it: band by band, put together again. onBand runs after each band.
FramePixels renderInBands(
    FrameSource& source, std::function<void()> onBand = [] {}) {
  struct Collect final : FrameSource::BandSink {
    FramePixels picture;
    int nextTop = 0;
    std::function<void()> onBand;
    void begin(int width, int height) override {
      picture.width = width;
      picture.height = height;
      picture.stride = width * 4;
      picture.data.assign(std::size_t(picture.stride) * height, 0xcd);
    }
    void band(const BgraImageView& rows, int top) override {
      EXPECT_EQ(top, nextTop);
      nextTop = top + rows.height;
      for (int y = 0; y < rows.height; ++y) {
        std::memcpy(&picture.data[std::size_t(top + y) * picture.stride],
                    rows.data + std::size_t(y) * rows.stride, std::size_t(rows.width) * 4);
      }
      onBand();
    }
  } sink;
  sink.onBand = std::move(onBand);
  FramePixels band;
  EXPECT_TRUE(source.render(band, sink, monotonicMicros()));
  EXPECT_LE(band.data.size(), std::size_t(band.stride) * FrameSource::kBandRows);
  EXPECT_EQ(sink.nextTop, sink.picture.height);
  return sink.picture;
}

void expectSamePicture(const FramePixels& banded, const FramePixels& whole) {
  ASSERT_EQ(banded.width, whole.width);
  ASSERT_EQ(banded.height, whole.height);
  for (int y = 0; y < whole.height; ++y) {
    ASSERT_EQ(0, std::memcmp(&banded.data[std::size_t(y) * banded.stride],
                             &whole.data[std::size_t(y) * whole.stride], std::size_t(whole.width) * 4))
        << "row " << y;
  }
}

TEST_F(X11Test, BandByBandRenderingDrawsTheSamePicture) {
  const xcb_window_t target = client_->window(100, 100, 400, 300, kRed);
  // Rows far apart, so that a window read in strips shows each strip in its place.
  client_->fill(target, kBlue, {0, 140, 400, 20});
  client_->fill(target, kGreen, {0, 280, 400, 20});
  const xcb_window_t dialog = client_->window(150, 150, 50, 50, kGreen);
  client_->property(dialog, "WM_TRANSIENT_FOR", XCB_ATOM_WINDOW, 32, &target, 1);
  // The cursor straddles a band boundary (rows 160 and on start a band).
  xcb_warp_pointer(client_->get(), XCB_NONE, client_->root(), 0, 0, 0, 0, 300, 255);
  client_->sync();

  for (const bool children : {true, false}) {  // several windows; one alone, read while composing
    SCOPED_TRACE(children ? "with its transient" : "alone");
    FrameSource whole(display(), WindowFilter{windowNamed(target)}, options(true, children));
    FramePixels frame;
    ASSERT_TRUE(whole.render(frame, monotonicMicros()));
    EXPECT_EQ(pixelAt(frame, 5, 150), kBlue);
    EXPECT_EQ(pixelAt(frame, 5, 290), kGreen);
    FrameSource banded(display(), WindowFilter{windowNamed(target)}, options(true, children));
    expectSamePicture(renderInBands(banded), frame);
  }
}

// Guards against a window read in strips showing two of its states in one picture (a torn frame).
TEST_F(X11Test, APictureShowsOneStateOfAWindowThatDrawsWhileItIsRead) {
  const xcb_window_t target = client_->window(100, 100, 400, 300, kRed);
  FrameSource source(display(), WindowFilter{windowNamed(target)}, options(false, false));
  const auto picture = renderInBands(source, [&] { client_->fill(target, kBlue, {0, 0, 400, 300}); });
  EXPECT_EQ(pixelAt(picture, 5, 290), kRed);
}

// Guards against a window read strip by strip (no copy kept) drawing as black once a popup joins it.
TEST_F(X11Test, PopupJoiningAWindowReadInStripsKeepsTheWindowsPixels) {
  const xcb_window_t target = client_->window(100, 100, 400, 300, kRed);
  client_->fill(target, kBlue, {0, 280, 400, 20});
  FrameSource source(display(), WindowFilter{windowNamed(target)}, options(false, true));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  ASSERT_EQ(pixelAt(frame, 5, 290), kBlue);

  client_->window(300, 300, 40, 40, kGreen, true, true);  // our own menu
  ASSERT_TRUE(
      renderUntil(source, frame, [](const FramePixels& f) { return pixelAt(f, 210, 210) == kGreen; }));
  EXPECT_EQ(pixelAt(frame, 5, 5), kRed);
  EXPECT_EQ(pixelAt(frame, 5, 290), kBlue);
}

TEST_F(X11Test, ButtonPressLeavesAVisibleMarkWhereThePointerIs) {
  const xcb_window_t target = client_->window(100, 100, 400, 300, kRed);
  xcb_warp_pointer(client_->get(), XCB_NONE, client_->root(), 0, 0, 0, 0, 300, 250);
  client_->sync();
  auto clickOptions = options(false, false);
  clickOptions.showMouseClicks = true;
  FrameSource source(display(), WindowFilter{windowNamed(target)}, clickOptions);
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  ASSERT_EQ(pixelAt(frame, 200, 150), kRed);

  xcb_test_fake_input(client_->get(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(client_->get(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  client_->sync();
  // The press reaches the source as an input event.
  EXPECT_TRUE(renderUntil(source, frame, [](const FramePixels& f) { return pixelAt(f, 200, 150) != kRed; }))
      << "no click mark at the pointer";
  EXPECT_EQ(pixelAt(frame, 20, 20), kRed) << "the mark stays near the pointer";
}

TEST_F(X11Test, DisplayFilterShowsOnlyTheApplicationsWindowsInStackingOrder) {
  client_->window(100, 100, 200, 200, kRed);
  client_->window(150, 150, 50, 50, kGreen);
  ForeignWindow other(display(), 120, 120, 250, 250, kBlue);  // on top of both
  ASSERT_NE(other.id(), 0u);

  const Display screen{1, Rect{0, 0, 1280, 800}};
  DisplayFilter filter{screen, {RunningApplication{::getpid(), ""}}, {}};
  FrameSource source(display(), filter, options(false, true, Rect{50, 50, 400, 300}));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  ASSERT_EQ(frame.width, 400);
  ASSERT_EQ(frame.height, 300);
  EXPECT_EQ(pixelAt(frame, 60, 60), kRed);  // root (110,110)
  EXPECT_EQ(pixelAt(frame, 80, 80), kRed);  // under the other program's window
  EXPECT_EQ(pixelAt(frame, 110, 110), kGreen);
  EXPECT_EQ(pixelAt(frame, 300, 250), 0u);  // only the other program here: black
  EXPECT_EQ(pixelAt(frame, 5, 5), 0u);
}

// Guards against unreported window moves, and a crop past the display's edge enlarging the visible part.
TEST_F(X11Test, DisplayFilterReportsWindowFramesAndCropsPastTheDisplaysEdge) {
  const xcb_window_t target = client_->window(100, 100, 200, 150, kRed);
  const DisplayFilter filter{{1, Rect{0, 0, 1280, 800}}, {RunningApplication{::getpid(), ""}}, {}};
  FrameSource source(display(), filter, options(false, true, Rect{100, 100, 200, 150}));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  using Change = std::pair<WindowID, Rect>;
  auto changes = source.takeWindowFrameChanges();
  EXPECT_NE(std::find(changes.begin(), changes.end(), Change{target, Rect{100, 100, 200, 150}}),
            changes.end());

  const std::uint32_t moved[] = {1180, 700, 300, 200};  // and larger
  xcb_configure_window(
      client_->get(), target,
      XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, moved);
  client_->sync();
  ASSERT_TRUE(renderUntil(source, frame, [&](const FramePixels&) {
    changes = source.takeWindowFrameChanges();
    return !changes.empty();
  }));
  EXPECT_EQ(changes, (std::vector<Change>{{target, Rect{1180, 700, 300, 200}}}));

  source.setSourceRect(Rect{1180, 700, 300, 200});
  ASSERT_TRUE(renderUntil(source, frame, [](const FramePixels& f) { return f.width != 200; }));
  ASSERT_EQ(frame.width, 300);
  ASSERT_EQ(frame.height, 200);
  EXPECT_EQ(pixelAt(frame, 250, 150), kRed) << "the window's own pixels past the display's edge";
}

TEST_F(X11Test, StreamRecordsAndReportsAClosedWindowOnce) {
  const xcb_window_t target = client_->window(0, 0, 320, 240, kRed);
  const auto dir = std::filesystem::temp_directory_path() / ("quorvale_x11_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "closed.mp4";
  std::filesystem::remove(file);

  auto platform = makeX11Platform(display());
  Events events;
  auto [stream, outputConfig, config] = startRecording(*platform, target, 320, 240, file, events);
  EXPECT_FALSE(outputConfig.availableVideoCodecTypes.empty());
  EXPECT_EQ(events.waitFor("start"), "");
  EXPECT_EQ(events.waitFor("started"), "");

  xcb_destroy_window(client_->get(), target);
  client_->sync();
  EXPECT_EQ(events.waitFor("stopped"), "The recorded window was closed.");
  stream->stopCapture(events.completion("stop"));
  EXPECT_EQ(events.waitFor("stop"), "");
  stream.reset();
  const auto names = events.names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "finished"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "failed"), 0);
  EXPECT_GT(std::filesystem::file_size(file), 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(X11Test, StreamReportsALostConnectionAndStillStops) {
  e2e::XServer server;
  Client client(server.display());
  const xcb_window_t target = client.window(0, 0, 160, 120, kRed);
  const auto dir = std::filesystem::temp_directory_path() / ("quorvale_x11l_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);

  auto platform = makeX11Platform(server.display());
  Events events;
  auto stream = startRecording(*platform, target, 160, 120, dir / "lost.mp4", events).stream;
  EXPECT_EQ(events.waitFor("started"), "");

  server.kill();
  EXPECT_EQ(events.waitFor("stopped"), "The connection to the X display was lost.");
  stream->stopCapture(events.completion("stop"));
  EXPECT_EQ(events.waitFor("stop"), "");
  EXPECT_GT(std::filesystem::file_size(dir / "lost.mp4"), 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(X11Test, StreamStopFinishesTheFileAndStartFailsForHiddenWindows) {
  const xcb_window_t target = client_->window(0, 0, 160, 120, kRed);
  const xcb_window_t hidden = client_->window(0, 0, 160, 120, kRed, false);
  const auto dir = std::filesystem::temp_directory_path() / ("quorvale_x11s_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);

  auto platform = makeX11Platform(display());
  Events events;
  auto [stream, outputConfig, config] =
      startRecording(*platform, target, 160, 120, dir / "stopped.mp4", events);
  EXPECT_EQ(events.waitFor("started"), "");
  stream->stopCapture(events.completion("stop"));
  EXPECT_EQ(events.waitFor("stop"), "");
  EXPECT_EQ(events.waitFor("finished"), "");
  EXPECT_GT(std::filesystem::file_size(dir / "stopped.mp4"), 0u);

  // The same file again: the writer refuses to replace it, and start says so.
  Events second;
  auto again = platform->makeStream(WindowFilter{windowNamed(target)}, config, second);
  again->addRecordingOutput(platform->makeRecordingOutput(outputConfig, second));
  again->startCapture(second.completion("start"));
  const auto refused = second.waitFor("start");
  ASSERT_TRUE(refused);
  EXPECT_NE(*refused, "");

  Events third;
  auto invisible = platform->makeStream(WindowFilter{windowNamed(hidden)}, config, third);
  invisible->startCapture(third.completion("start"));
  EXPECT_EQ(third.waitFor("start"), "The window to record is not shown on screen.");
  std::filesystem::remove_all(dir);
}

TEST_F(X11Test, UnderAReparentingWindowManagerTheClientIsListedAndCaptured) {
  e2e::TempDir home;
  e2e::WindowManager manager(display(), home.path());
  ASSERT_TRUE(client_->waitForProperty(client_->root(), "_NET_CLIENT_LIST"));  // set once it manages windows
  const xcb_window_t target = client_->window(200, 150, 300, 200, kRed);
  // A manager still starting up can drop the map request: ask again until it takes the window.
  bool managed = false;
  for (int attempt = 0; attempt < 20 && !managed; ++attempt) {
    managed = client_->waitForProperty(target, "WM_STATE", 500ms);
    if (!managed) xcb_map_window(client_->get(), target);
  }
  ASSERT_TRUE(managed);
  client_->window(260, 180, 100, 100, kBlue, true, true);  // covers part of it

  auto platform = makeX11Platform(display());
  auto all = content(*platform);
  ASSERT_TRUE(all);
  const auto window = find(*all, target);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->frame.width, 300);
  EXPECT_EQ(window->frame.height, 200);
  ASSERT_TRUE(window->owningApplication);
  EXPECT_EQ(window->owningApplication->processID, ::getpid());
  EXPECT_EQ(std::count_if(all->windows.begin(), all->windows.end(),
                          [](const Window& w) { return w.onScreen && w.frame.width == 300; }),
            1)
      << "the manager's frame is not a window of its own";

  FrameSource source(display(), WindowFilter{*window}, options(false, true));
  FramePixels frame;
  ASSERT_TRUE(source.render(frame, monotonicMicros()));
  ASSERT_EQ(frame.width, 300);
  EXPECT_EQ(pixelAt(frame, 100, 80), kRed);
}

TEST(X11ComposeTest, AlphaBlendsClipsAndMarksClicks) {
  std::vector<std::uint8_t> pixels(8 * 8 * 4, 0);
  MutableImageView canvas{pixels.data(), 8, 8, 32};
  // Premultiplied half-transparent white over black, partly outside the canvas.
  std::vector<std::uint8_t> source(4 * 4 * 4);
  for (std::size_t i = 0; i < source.size(); i += 4) {
    source[i] = source[i + 1] = source[i + 2] = 128;
    source[i + 3] = 128;
  }
  drawImage(canvas, {source.data(), 4, 4, 16}, 6, -2, true);
  EXPECT_EQ(pixels[(0 * 8 + 6) * 4], 128);
  EXPECT_EQ(pixels[(1 * 8 + 7) * 4], 128);
  EXPECT_EQ(pixels[(2 * 8 + 6) * 4], 0) << "rows past the source stay untouched";
  EXPECT_EQ(pixels[(0 * 8 + 5) * 4], 0);
  drawImage(canvas, {source.data(), 4, 4, 16}, 6, -2, true);
  EXPECT_EQ(pixels[(0 * 8 + 6) * 4], 128 + 64);

  std::vector<std::uint8_t> grey(64 * 64 * 4, 100);
  MutableImageView view{grey.data(), 64, 64, 256};
  drawClickMark(view, 32, 32, 12, 1.0f);
  EXPECT_NE(grey[(32 * 64 + 32) * 4 + 2], 100);
  EXPECT_EQ(grey[(2 * 64 + 2) * 4 + 2], 100);
  drawClickMark(view, -100, -100, 12, 1.0f);  // off the picture: nothing, no crash
}

}  // namespace
}  // namespace quorvale::platform

// Capture-side cost per frame: layering, the cursor, click marks, and reading a
// damaged window from a private Xvfb (MIT-SHM), plus the cost of an idle check.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "e2e/support/servers.h"
#include "platform/capture/compose.h"
#include "platform/capture/frame_source.h"
#include "platform/pipeline/frames.h"
#include "platform/pipeline/media_clock.h"

namespace {

using namespace quorvale::platform;
using namespace quorvale::platform::capture;
using namespace quorvale::platform::pipeline;

std::vector<std::uint8_t> solid(int width, int height, std::uint8_t value, std::uint8_t alpha) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4, value);
  for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = alpha;
  return pixels;
}

void BM_CopyWindow(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  auto source = solid(width, height, 90, 255);
  auto target = solid(width, height, 0, 255);
  MutableImageView out{target.data(), width, height, width * 4};
  for (auto _ : state) {
    drawImage(out, {source.data(), width, height, width * 4}, 0, 0, false);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * width * height * 4);
}
BENCHMARK(BM_CopyWindow)->Args({1280, 720})->Args({1920, 1080});

void BM_BlendTranslucentWindow(benchmark::State& state) {
  auto source = solid(1280, 720, 60, 128);
  auto target = solid(1280, 720, 200, 255);
  MutableImageView out{target.data(), 1280, 720, 1280 * 4};
  for (auto _ : state) {
    drawImage(out, {source.data(), 1280, 720, 1280 * 4}, 0, 0, true);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BlendTranslucentWindow);

void BM_CursorAndClickMark(benchmark::State& state) {
  auto cursor = solid(32, 32, 128, 128);
  auto target = solid(1280, 720, 200, 255);
  MutableImageView out{target.data(), 1280, 720, 1280 * 4};
  for (auto _ : state) {
    drawClickMark(out, 640, 360, 12, 0.7f);
    drawImage(out, {cursor.data(), 32, 32, 32 * 4}, 630, 350, true);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CursorAndClickMark);

// A private Xvfb with one 1280x720 window, and a frame source watching it.
class XFixture {
 public:
  explicit XFixture(bool showsCursor = false) : server_({"-screen", "0", "1920x1080x24"}) {
    display_ = server_.display();
    c_ = xcb_connect(display_.c_str(), nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t background = 0x406080;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1280, 720, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, &background);
    xcb_map_window(c_, window_);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, 0, nullptr);
    sync();
    Window target;
    target.windowID = window_;
    CaptureOptions options;
    options.showsCursor = showsCursor;
    source_.emplace(display_, WindowFilter{target}, options);
  }
  ~XFixture() {
    source_.reset();
    if (c_) xcb_disconnect(c_);
  }
  bool ok() const { return source_.has_value(); }
  void draw(std::uint32_t colour) {
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t rect{0, 0, 1280, 720};
    xcb_poly_fill_rectangle(c_, window_, gc_, 1, &rect);
    sync();
  }
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  X11FrameSource& source() { return *source_; }

 private:
  quorvale::e2e::XServer server_;
  std::string display_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::optional<X11FrameSource> source_;
};

// Takes the bands as the converter would, without converting them.
struct Discard final : quorvale::platform::pipeline::BandSink {
  void begin(int, int) override {}
  void band(const quorvale::platform::pipeline::BgraImageView& rows, int) override {
    benchmark::DoNotOptimize(rows.data);
  }
};

// Damage arrives, the window is read through shared memory and composed band by band.
void BM_CaptureDamagedWindow(benchmark::State& state) {
  XFixture x;
  if (!x.ok()) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  FramePixels frame;
  std::uint32_t colour = 0;
  for (auto _ : state) {
    state.PauseTiming();
    x.draw(colour += 0x010101);
    state.ResumeTiming();
    pollfd p{x.source().fileDescriptor(), POLLIN, 0};
    while (!x.source().wantsFrame() && ::poll(&p, 1, 1000) > 0) x.source().processEvents(monotonicMicros());
    Discard sink;
    benchmark::DoNotOptimize(x.source().render(frame, sink, monotonicMicros()));
  }
}
BENCHMARK(BM_CaptureDamagedWindow)->Unit(benchmark::kMicrosecond);

// What a frame tick costs while nothing changes, with the cursor shown as the program shows it:
// no copy, but one round trip for the pointer's place (warps come with no event).
void BM_IdleTick(benchmark::State& state) {
  XFixture x(true);
  if (!x.ok()) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  FramePixels frame;
  Discard sink;
  x.source().render(frame, sink, monotonicMicros());
  for (auto _ : state) {
    x.source().processEvents(monotonicMicros());
    if (x.source().wantsFrame()) benchmark::DoNotOptimize(x.source().render(frame, sink, monotonicMicros()));
  }
}
BENCHMARK(BM_IdleTick);

}  // namespace

BENCHMARK_MAIN();

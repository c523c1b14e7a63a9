// The conversion step of the per-frame path: BGRX to NV12 at the 1280x720
// output, with the swscale parameters MovieWriter uses. One iteration is one
// frame (ns/frame). Capture and compositing are in capture_bench.cpp, the whole
// writer (conversion plus x264) in media_bench.cpp.

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <cstdint>
#include <vector>

#include "platform/encoding/pixel_convert.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

std::vector<std::uint8_t> pattern(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      const std::uint8_t value = ((x / 3) ^ (y / 5)) & 1 ? 230 : 30;
      p[0] = value;
      p[1] = static_cast<std::uint8_t>(value + y);
      p[2] = static_cast<std::uint8_t>(x);
      p[3] = 0;
    }
  }
  return pixels;
}

// BGRX to NV12 in one swscale pass, as MovieWriter converts: range(0..1) is the
// source size, the output is always 1280x720.
void convertToNV12(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const auto source = pattern(width, height);
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth) * kHeight);
  std::vector<std::uint8_t> chroma(static_cast<std::size_t>(kWidth) * kHeight / 2);
  SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_BGR0, kWidth, kHeight, AV_PIX_FMT_NV12,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!context) {
    state.SkipWithError("no scaler");
    return;
  }
  sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709),
                           0, 0, 1 << 16, 1 << 16);
  const std::uint8_t* in[4] = {source.data(), nullptr, nullptr, nullptr};
  const int inStride[4] = {width * 4, 0, 0, 0};
  std::uint8_t* out[4] = {luma.data(), chroma.data(), nullptr, nullptr};
  const int outStride[4] = {kWidth, kWidth, 0, 0};
  for (auto _ : state) {
    sws_scale(context, in, inStride, 0, height, out, outStride);
    benchmark::ClobberMemory();
  }
  sws_freeContext(context);
}
BENCHMARK(convertToNV12)->Args({1280, 720})->Args({1920, 1080})->Args({2560, 1440});

// The alternative with libyuv: its SIMD scaling (range(2): 1 bilinear, 3 box) to the output
// size, then our BT.709 conversion (libyuv converts to BT.601 only). It needs the whole source
// picture at once, where swscale takes the bands the stream hands on.
void libyuvScaleThenConvert(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const auto source = pattern(width, height);
  std::vector<std::uint8_t> scaled(static_cast<std::size_t>(kWidth) * kHeight * 4);
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth) * kHeight);
  std::vector<std::uint8_t> chroma(static_cast<std::size_t>(kWidth) * kHeight / 2);
  const quorvale::platform::pipeline::BgraImageView view{scaled.data(), kWidth, kHeight, kWidth * 4};
  for (auto _ : state) {
    libyuv::ARGBScale(source.data(), width * 4, width, height, scaled.data(), kWidth * 4, kWidth, kHeight,
                      static_cast<libyuv::FilterMode>(state.range(2)));
    quorvale::platform::encoding::bgrxToNv12(view, luma.data(), kWidth, chroma.data(), kWidth);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(libyuvScaleThenConvert)
    ->Args({1920, 1080, libyuv::kFilterBilinear})
    ->Args({1920, 1080, libyuv::kFilterBox})
    ->Args({2560, 1440, libyuv::kFilterBox});

// libyuv's own conversion at the output size, for scale: BT.601, which the movie is not tagged with.
void libyuvArgbToNv12(benchmark::State& state) {
  const auto source = pattern(kWidth, kHeight);
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth) * kHeight);
  std::vector<std::uint8_t> chroma(static_cast<std::size_t>(kWidth) * kHeight / 2);
  for (auto _ : state) {
    libyuv::ARGBToNV12(source.data(), kWidth * 4, luma.data(), kWidth, chroma.data(), kWidth, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(libyuvArgbToNv12);

// MovieWriter's own conversion for an image already at the output size.
void convertToNV12Unscaled(benchmark::State& state) {
  const auto source = pattern(kWidth, kHeight);
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth) * kHeight);
  std::vector<std::uint8_t> chroma(static_cast<std::size_t>(kWidth) * kHeight / 2);
  const quorvale::platform::pipeline::BgraImageView view{source.data(), kWidth, kHeight, kWidth * 4};
  for (auto _ : state) {
    quorvale::platform::encoding::bgrxToNv12(view, luma.data(), kWidth, chroma.data(), kWidth);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(convertToNV12Unscaled);

}  // namespace

BENCHMARK_MAIN();

#include "platform/encoding/pixel_convert.h"

namespace quorvale::platform::encoding {
namespace {

// BT.709 in 16-bit fixed point, scaled to the limited (16..235, 16..240) ranges.
constexpr double kR = 0.2126, kG = 0.7152, kB = 0.0722;
constexpr int fixed(double value) { return static_cast<int>(value * 65536 + (value >= 0 ? 0.5 : -0.5)); }
constexpr int kYR = fixed(kR * 219 / 255), kYG = fixed(kG * 219 / 255), kYB = fixed(kB * 219 / 255);
constexpr int kUR = fixed(-kR / (2 * (1 - kB)) * 224 / 255), kUG = fixed(-kG / (2 * (1 - kB)) * 224 / 255),
              kUB = fixed(0.5 * 224 / 255);
constexpr int kVR = fixed(0.5 * 224 / 255), kVG = fixed(-kG / (2 * (1 - kR)) * 224 / 255),
              kVB = fixed(-kB / (2 * (1 - kR)) * 224 / 255);

// Plain loops over whole rows with no aliasing between input and output, so the
// compiler can vectorise them; each is built twice below, for AVX2 and for any x86-64.
[[gnu::always_inline]] inline void lumaRowBody(const std::uint8_t* __restrict in,
                                               std::uint8_t* __restrict out, int width) {
  for (int x = 0; x < width; ++x) {
    const int b = in[4 * x], g = in[4 * x + 1], r = in[4 * x + 2];
    out[x] = static_cast<std::uint8_t>((kYR * r + kYG * g + kYB * b + (16 << 16) + (1 << 15)) >> 16);
  }
}

// Sums of 2x2 blocks (4x the mean) into one chroma row.
[[gnu::always_inline]] inline void chromaRowBody(const std::uint8_t* __restrict top,
                                                 const std::uint8_t* __restrict bottom,
                                                 std::uint8_t* __restrict out, int pairs) {
  for (int x = 0; x < pairs; ++x) {
    const int b = top[8 * x] + top[8 * x + 4] + bottom[8 * x] + bottom[8 * x + 4];
    const int g = top[8 * x + 1] + top[8 * x + 5] + bottom[8 * x + 1] + bottom[8 * x + 5];
    const int r = top[8 * x + 2] + top[8 * x + 6] + bottom[8 * x + 2] + bottom[8 * x + 6];
    out[2 * x] = static_cast<std::uint8_t>((kUR * r + kUG * g + kUB * b + (128 << 18) + (1 << 17)) >> 18);
    out[2 * x + 1] = static_cast<std::uint8_t>((kVR * r + kVG * g + kVB * b + (128 << 18) + (1 << 17)) >> 18);
  }
}

[[gnu::optimize("O3")]] void lumaRowPlain(const std::uint8_t* in, std::uint8_t* out, int width) {
  lumaRowBody(in, out, width);
}
[[gnu::optimize("O3"), gnu::target("avx2")]] void lumaRowAvx2(const std::uint8_t* in, std::uint8_t* out,
                                                              int width) {
  lumaRowBody(in, out, width);
}
[[gnu::optimize("O3")]] void chromaRowPlain(const std::uint8_t* top, const std::uint8_t* bottom,
                                            std::uint8_t* out, int pairs) {
  chromaRowBody(top, bottom, out, pairs);
}
[[gnu::optimize("O3"), gnu::target("avx2")]] void chromaRowAvx2(const std::uint8_t* top,
                                                                const std::uint8_t* bottom, std::uint8_t* out,
                                                                int pairs) {
  chromaRowBody(top, bottom, out, pairs);
}

// Picked once, at first use: not through an ifunc, whose resolver would run before the
// sanitizers' runtime is ready.
bool hasAvx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}

}  // namespace

void bgrxToNv12(const BgraImageView& source, std::uint8_t* luma, int lumaStride, std::uint8_t* chroma,
                int chromaStride) {
  const int width = source.width;
  const int height = source.height;
  const int pairs = width / 2;
  // An odd last column: its pixel stands in for the missing right neighbour.
  std::uint8_t tail[2][8];
  const auto lumaRow = hasAvx2() ? &lumaRowAvx2 : &lumaRowPlain;
  const auto chromaRow = hasAvx2() ? &chromaRowAvx2 : &chromaRowPlain;
  for (int y = 0; y < height; ++y) {
    lumaRow(source.data + static_cast<std::ptrdiff_t>(y) * source.stride,
            luma + static_cast<std::ptrdiff_t>(y) * lumaStride, width);
  }
  for (int y = 0; y < height; y += 2) {
    const std::uint8_t* top = source.data + static_cast<std::ptrdiff_t>(y) * source.stride;
    const std::uint8_t* bottom = y + 1 < height ? top + source.stride : top;
    std::uint8_t* out = chroma + static_cast<std::ptrdiff_t>(y / 2) * chromaStride;
    chromaRow(top, bottom, out, pairs);
    if (width & 1) {
      for (int k = 0; k < 4; ++k) {
        tail[0][k] = tail[0][k + 4] = top[4 * (width - 1) + k];
        tail[1][k] = tail[1][k + 4] = bottom[4 * (width - 1) + k];
      }
      chromaRow(tail[0], tail[1], out + 2 * pairs, 1);
    }
  }
}

}  // namespace quorvale::platform::encoding

#include "platform/capture/compose.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quorvale::platform::capture {
namespace {

// x * y / 255, rounded, without a division.
inline std::uint32_t mul255(std::uint32_t x, std::uint32_t y) {
  const std::uint32_t t = x * y + 128;
  return (t + (t >> 8)) >> 8;
}

struct Clip {
  int srcX, srcY, dstX, dstY, width, height;
};

bool clip(const MutableImageView& destination, const BgraImageView& source, int x, int y, Clip& out) {
  const int left = std::max(x, 0);
  const int top = std::max(y, 0);
  const int right = std::min(x + source.width, destination.width);
  const int bottom = std::min(y + source.height, destination.height);
  if (right <= left || bottom <= top) return false;
  out = Clip{left - x, top - y, left, top, right - left, bottom - top};
  return true;
}

}  // namespace

void fillBlack(MutableImageView destination) {
  for (int row = 0; row < destination.height; ++row) {
    std::memset(destination.data + static_cast<std::ptrdiff_t>(row) * destination.stride, 0,
                static_cast<std::size_t>(destination.width) * 4);
  }
}

void drawImage(MutableImageView destination, BgraImageView source, int x, int y, bool withAlpha) {
  Clip c{};
  if (!clip(destination, source, x, y, c)) return;
  for (int row = 0; row < c.height; ++row) {
    const std::uint8_t* src =
        source.data + static_cast<std::ptrdiff_t>(c.srcY + row) * source.stride + c.srcX * 4;
    std::uint8_t* dst =
        destination.data + static_cast<std::ptrdiff_t>(c.dstY + row) * destination.stride + c.dstX * 4;
    if (!withAlpha) {
      std::memcpy(dst, src, static_cast<std::size_t>(c.width) * 4);
      continue;
    }
    for (int i = 0; i < c.width; ++i, src += 4, dst += 4) {
      const std::uint32_t alpha = src[3];
      if (alpha == 0) continue;
      if (alpha == 255) {
        std::memcpy(dst, src, 4);
        continue;
      }
      const std::uint32_t keep = 255 - alpha;
      for (int k = 0; k < 3; ++k) {
        dst[k] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, src[k] + mul255(dst[k], keep)));
      }
    }
  }
}

void drawClickMark(MutableImageView destination, int centreX, int centreY, int radius, float opacity) {
  if (radius <= 0 || opacity <= 0) return;
  // A light yellow that shows on dark and light backgrounds alike.
  constexpr std::uint32_t kColour[3] = {64, 224, 255};  // B, G, R
  const float maxAlpha = std::clamp(opacity, 0.0f, 1.0f) * 0.6f;
  const int top = std::max(centreY - radius - 1, 0);
  const int bottom = std::min(centreY + radius + 1, destination.height - 1);
  const int left = std::max(centreX - radius - 1, 0);
  const int right = std::min(centreX + radius + 1, destination.width - 1);
  for (int y = top; y <= bottom; ++y) {
    std::uint8_t* row = destination.data + static_cast<std::ptrdiff_t>(y) * destination.stride;
    for (int x = left; x <= right; ++x) {
      const float distance = std::hypot(static_cast<float>(x - centreX), static_cast<float>(y - centreY));
      const float coverage = std::clamp(static_cast<float>(radius) + 0.5f - distance, 0.0f, 1.0f);
      if (coverage <= 0) continue;
      const auto alpha = static_cast<std::uint32_t>(std::lround(maxAlpha * coverage * 255));
      std::uint8_t* pixel = row + x * 4;
      for (int k = 0; k < 3; ++k) {
        pixel[k] = static_cast<std::uint8_t>(mul255(kColour[k], alpha) + mul255(pixel[k], 255 - alpha));
      }
    }
  }
}

}  // namespace quorvale::platform::capture

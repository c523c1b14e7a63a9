#include "recorder/capture_configuration.h"

#include <algorithm>
#include <cmath>

namespace quorvale::recorder {

using platform::Rect;

namespace {

double overlapArea(const Rect& a, const Rect& b) {
  const Rect overlap = a.intersection(b);
  if (overlap.isNull() || overlap.isEmpty()) return 0;
  return overlap.getWidth() * overlap.getHeight();
}

// Content side in pixels, before fitting; NaN and non-positive fall back.
double rawSide(double contentSide, double scale, double windowSide) {
  return contentSide > 0 ? contentSide * scale : windowSide * 2;
}

double atLeastMinimum(double side) { return side > kMinimumSide ? side : kMinimumSide; }

// Written so that NaN and infinities land inside [64, bound] instead of
// reaching an integer conversion out of range.
std::int64_t fittedSide(double side, double scale, std::int64_t bound) {
  const double fitted = std::floor(side * scale);
  if (!(fitted > kMinimumSide)) return kMinimumSide;
  return static_cast<std::int64_t>(std::min(fitted, static_cast<double>(bound)));
}

}  // namespace

std::optional<std::size_t> chooseDisplay(const Rect& windowFrame, const std::vector<Rect>& displayFrames) {
  if (displayFrames.empty()) return std::nullopt;
  std::size_t best = 0;
  if (displayFrames.size() == 1) return best;
  double bestArea = overlapArea(windowFrame, displayFrames[0]);
  for (std::size_t i = 1; i < displayFrames.size(); ++i) {
    const double area = overlapArea(windowFrame, displayFrames[i]);
    if (area > bestArea) {
      best = i;
      bestArea = area;
    }
  }
  return best;
}

Rect sourceRect(const Rect& windowFrame, const Rect& displayFrame) {
  const double x = windowFrame.x - displayFrame.x;
  const double y = windowFrame.y - displayFrame.y;
  return Rect{x > 0 ? x : 0, y > 0 ? y : 0, std::min(windowFrame.getWidth(), displayFrame.getWidth()),
              std::min(windowFrame.getHeight(), displayFrame.getHeight())};
}

Rect followedRect(const Rect& windowFrame, const Rect& displayFrame) {
  const Rect window = windowFrame.standardized();
  return Rect{window.x - displayFrame.x, window.y - displayFrame.y, window.width, window.height};
}

bool isUsableSourceRect(const Rect& rect) { return rect.getWidth() >= 1 && rect.getHeight() >= 1; }

PixelSize outputSize(const Rect& contentRect, float pointPixelScale, const Rect& windowFrame) {
  const double pointScale = static_cast<double>(pointPixelScale);
  const double scale = pointScale > 1 ? pointScale : 1;
  const double width =
      atLeastMinimum(std::ceil(rawSide(contentRect.getWidth(), scale, windowFrame.getWidth())));
  const double height =
      atLeastMinimum(std::ceil(rawSide(contentRect.getHeight(), scale, windowFrame.getHeight())));
  const double fit = std::min({1.0, kMaximumWidth / width, kMaximumHeight / height});
  // An infinite side makes the fit 0 (or NaN); such a side is as large as it can be.
  if (!(fit > 0)) {
    return PixelSize{std::isinf(width) ? kMaximumWidth : kMinimumSide,
                     std::isinf(height) ? kMaximumHeight : kMinimumSide};
  }
  return PixelSize{fittedSide(width, fit, kMaximumWidth), fittedSide(height, fit, kMaximumHeight)};
}

std::optional<std::string> chooseType(const std::vector<std::string>& offered, std::string_view preferred) {
  if (std::find(offered.begin(), offered.end(), preferred) != offered.end()) return std::string(preferred);
  if (offered.empty()) return std::nullopt;
  return offered.front();
}

}  // namespace quorvale::recorder

#pragma once

// The decisions that shape a recording, as plain functions of plain values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.h"

namespace quorvale::recorder {

inline constexpr std::int64_t kMaximumWidth = 1280;
inline constexpr std::int64_t kMaximumHeight = 720;
inline constexpr std::int64_t kMinimumSide = 64;

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// Index of the display that shows most of the window: ties go to the earlier
// one, no overlap at all to the first. None for an empty list.
std::optional<std::size_t> chooseDisplay(const platform::Rect& windowFrame,
                                         const std::vector<platform::Rect>& displayFrames);

// The window's rectangle relative to the display, origin clamped at 0, size
// limited by the display's; not clipped at the far edges.
platform::Rect sourceRect(const platform::Rect& windowFrame, const platform::Rect& displayFrame);
// Once recording: the window's own rectangle relative to the display, wherever it is (past
// an edge, on another display, larger than this one), since its pixels come from the window.
platform::Rect followedRect(const platform::Rect& windowFrame, const platform::Rect& displayFrame);
bool isUsableSourceRect(const platform::Rect& rect);

// Pixels to record: the content at its pixel size, fitted inside 1280 x 720
// without enlarging, each side at least 64. Any input, however odd, gives
// sizes within those bounds.
PixelSize outputSize(const platform::Rect& contentRect, float pointPixelScale,
                     const platform::Rect& windowFrame);

// The preferred entry when offered, else the first offered, else none.
std::optional<std::string> chooseType(const std::vector<std::string>& offered, std::string_view preferred);

}  // namespace quorvale::recorder

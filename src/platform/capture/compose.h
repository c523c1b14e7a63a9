#pragma once

// Pixel work on BGRX frames: layering windows, the cursor and click marks.
// Pure functions; any thread.

#include <cstdint>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::capture {

using pipeline::BgraImageView;

struct MutableImageView {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
  operator BgraImageView() const { return {data, width, height, stride}; }
};

void fillBlack(MutableImageView destination);

// Draws source with its top-left corner at (x, y) of destination, clipped to it.
// withAlpha: source is premultiplied BGRA and goes "over"; else it is copied as is.
void drawImage(MutableImageView destination, BgraImageView source, int x, int y, bool withAlpha);

// A filled disc centred on (centreX, centreY), blended with the given opacity
// (0..1) and a soft one-pixel edge: the mark left by a mouse click.
void drawClickMark(MutableImageView destination, int centreX, int centreY, int radius, float opacity);

}  // namespace quorvale::platform::capture

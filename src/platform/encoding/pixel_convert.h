#pragma once

// BGRX to NV12 (BT.709, limited range) without scaling: the common case of a
// window recorded at its own size, where swscale's general path costs several
// times more. Pure function; any thread.

#include <cstdint>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::encoding {

using pipeline::BgraImageView;

// Writes a source.width x source.height picture: luma rows `lumaStride` bytes
// apart, interleaved Cb/Cr rows (half the height, rounded up) `chromaStride`
// apart. Each chroma sample is the mean of its 2x2 block; an odd last column or
// row repeats its neighbour.
void bgrxToNv12(const BgraImageView& source, std::uint8_t* luma, int lumaStride, std::uint8_t* chroma,
                int chromaStride);

}  // namespace quorvale::platform::encoding

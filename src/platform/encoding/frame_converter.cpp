// FrameConverter: BGRX to NV12 at the movie's size; our own loops when no
// scaling is needed, swscale otherwise.

extern "C" {
#include <libswscale/swscale.h>
}

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "platform/encoding/ffmpeg_errors.h"
#include "platform/encoding/ffmpeg_handles.h"
#include "platform/encoding/frame_converter.h"
#include "platform/encoding/pixel_convert.h"

namespace quorvale::platform::encoding {
namespace {

constexpr std::uint8_t kBlackLuma = 16;
constexpr std::uint8_t kNeutralChroma = 128;
// Rows on cache-line boundaries, as the encoder's own frames have them.
constexpr int kRowAlignment = 64;

int alignedStride(int bytes) { return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment; }

void fillSpan(std::vector<std::uint8_t>& plane, int stride, int row, int from, int to, std::uint8_t value) {
  if (to > from)
    std::memset(plane.data() + static_cast<std::ptrdiff_t>(row) * stride + from, value, to - from);
}

}  // namespace

struct FrameConverter::Impl {
  VideoFormat video;
  bool scalesToFit = true;
  int outputWidth = 0;  // even
  int outputHeight = 0;

  int sourceWidth = 0;  // the size the placement was worked out for
  int sourceHeight = 0;
  bool unscaled = false;
  int placeX = 0;  // where the image goes in the output, even
  int placeY = 0;
  int placeWidth = 0;
  int placeHeight = 0;
  ffmpeg::SwsContextPtr scaler;
  Nv12Frame* out = nullptr;  // the frame begin() set up

  void place(int width, int height) {
    if (!scalesToFit) {
      placeX = placeY = 0;
      placeWidth = std::min(width, video.width);
      placeHeight = std::min(height, video.height);
    } else if (video.preserveAspectRatio) {
      // Fit inside the configured size; compare cross products to avoid rounding.
      if (static_cast<std::int64_t>(width) * video.height >=
          static_cast<std::int64_t>(height) * video.width) {
        placeWidth = video.width;
        placeHeight = static_cast<int>((static_cast<std::int64_t>(height) * video.width + width / 2) / width);
      } else {
        placeHeight = video.height;
        placeWidth =
            static_cast<int>((static_cast<std::int64_t>(width) * video.height + height / 2) / height);
      }
      placeWidth = std::clamp(placeWidth, 1, video.width);
      placeHeight = std::clamp(placeHeight, 1, video.height);
    } else {
      placeWidth = video.width;
      placeHeight = video.height;
    }
    if (scalesToFit) {
      // Even offsets keep the image aligned with the subsampled chroma.
      placeX = ((video.width - placeWidth) / 2) & ~1;
      placeY = ((video.height - placeHeight) / 2) & ~1;
    }
    unscaled = !scalesToFit || (placeWidth == width && placeHeight == height);
    sourceWidth = width;
    sourceHeight = height;
    if (unscaled) {
      scaler.reset();
      return;
    }
    SwsContext* context =
        sws_getCachedContext(scaler.release(), width, height, AV_PIX_FMT_BGR0, placeWidth, placeHeight,
                             AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) {
      sourceWidth = sourceHeight = 0;
      throw systemError(
          EINVAL, "Could not convert a " + std::to_string(width) + "x" + std::to_string(height) + " image");
    }
    scaler.reset(context);
    // BT.709 limited range, matching what the stream is tagged with.
    sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(SWS_CS_ITU709), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
  }

  void prepare(Nv12Frame& out) const {
    if (out.width == outputWidth && out.height == outputHeight) return;
    out.width = outputWidth;
    out.height = outputHeight;
    out.lumaStride = alignedStride(outputWidth);
    out.chromaStride = out.lumaStride;
    out.luma.assign(static_cast<std::size_t>(out.lumaStride) * static_cast<std::size_t>(outputHeight),
                    kBlackLuma);
    out.chroma.assign(static_cast<std::size_t>(out.chromaStride) * static_cast<std::size_t>(outputHeight / 2),
                      kNeutralChroma);
  }

  // The black around the image; a recycled frame may hold another picture's there.
  void fillBars(Nv12Frame& out) const {
    const int right = placeX + placeWidth;
    const int bottom = placeY + placeHeight;
    for (int y = 0; y < outputHeight; ++y) {
      if (y < placeY || y >= bottom) {
        fillSpan(out.luma, out.lumaStride, y, 0, outputWidth, kBlackLuma);
      } else {
        fillSpan(out.luma, out.lumaStride, y, 0, placeX, kBlackLuma);
        fillSpan(out.luma, out.lumaStride, y, right, outputWidth, kBlackLuma);
      }
    }
    // A chroma sample the image touches at all is the image's.
    const int chromaTop = placeY / 2;
    const int chromaBottom = (bottom + 1) / 2;
    const int chromaRight = (right + 1) / 2 * 2;
    for (int y = 0; y < outputHeight / 2; ++y) {
      if (y < chromaTop || y >= chromaBottom) {
        fillSpan(out.chroma, out.chromaStride, y, 0, outputWidth, kNeutralChroma);
      } else {
        fillSpan(out.chroma, out.chromaStride, y, 0, placeX, kNeutralChroma);
        fillSpan(out.chroma, out.chromaStride, y, chromaRight, outputWidth, kNeutralChroma);
      }
    }
  }
};

FrameConverter::FrameConverter(VideoFormat video, bool scalesToFit) : impl_(std::make_unique<Impl>()) {
  if (video.width < 2 || video.height < 2 || video.width % 2 || video.height % 2) {
    throw systemError(
        EINVAL, "Invalid video size " + std::to_string(video.width) + "x" + std::to_string(video.height));
  }
  impl_->video = video;
  impl_->scalesToFit = scalesToFit;
  impl_->outputWidth = video.width;
  impl_->outputHeight = video.height;
}

FrameConverter::~FrameConverter() = default;

void FrameConverter::begin(int width, int height, Nv12Frame& out) {
  Impl& self = *impl_;
  self.out = nullptr;
  if (width < 1 || height < 1) throw systemError(EINVAL, "Invalid image for the movie");
  if (width != self.sourceWidth || height != self.sourceHeight) self.place(width, height);
  self.prepare(out);
  if (self.unscaled) self.fillBars(out);  // a scaled image's are filled after its last band
  self.out = &out;
}

void FrameConverter::convertRows(const BgraImageView& rows, int top) {
  Impl& self = *impl_;
  if (!self.out || !rows.data || rows.width != self.sourceWidth || rows.stride < rows.width * 4 || top < 0 ||
      top + rows.height > self.sourceHeight || (self.unscaled && (top & 1))) {
    throw systemError(EINVAL, "Invalid image for the movie");
  }
  Nv12Frame& out = *self.out;
  std::uint8_t* luma =
      out.luma.data() + static_cast<std::ptrdiff_t>(self.placeY) * out.lumaStride + self.placeX;
  std::uint8_t* chroma =
      out.chroma.data() + static_cast<std::ptrdiff_t>(self.placeY / 2) * out.chromaStride + self.placeX;
  if (self.unscaled) {
    // Rows below the output are cut off; bands start on even rows, so chroma rows line up.
    const int count = std::min(rows.height, self.placeHeight - top);
    if (count < 1) return;
    bgrxToNv12({rows.data, self.placeWidth, count, rows.stride},
               luma + static_cast<std::ptrdiff_t>(top) * out.lumaStride, out.lumaStride,
               chroma + static_cast<std::ptrdiff_t>(top / 2) * out.chromaStride, out.chromaStride);
    return;
  }
  // swscale takes the slices in order and writes whole output rows as they become ready.
  const std::uint8_t* source[4] = {rows.data, nullptr, nullptr, nullptr};
  const int sourceStride[4] = {rows.stride, 0, 0, 0};
  std::uint8_t* destination[4] = {luma, chroma, nullptr, nullptr};
  const int destinationStride[4] = {out.lumaStride, out.chromaStride, 0, 0};
  sws_scale(self.scaler.get(), source, sourceStride, top, rows.height, destination, destinationStride);
  // swscale writes rows in whole vector widths, past the image into the bar beside it.
  if (top + rows.height == self.sourceHeight) self.fillBars(out);
}

}  // namespace quorvale::platform::encoding

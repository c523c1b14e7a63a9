#pragma once

// Window pixels to the movie's frames: BGRX images to NV12 at the output size,
// scaled and letterboxed as the movie wants them, band by band as the picture is
// composed. Threading: one thread uses a converter (the stream's capture thread).

#include <memory>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::encoding {

using pipeline::BgraImageView;
using pipeline::Nv12Frame;
using pipeline::VideoFormat;

class FrameConverter {
 public:
  // scalesToFit false: the image at its own size in the top-left corner, cut off
  // where it is larger than the output. Throws PlatformError on an invalid size (4:2:0
  // takes even ones; the stream rounds the output size down to them).
  FrameConverter(VideoFormat video, bool scalesToFit = true);
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // An image into out (allocated only when it has the wrong size), band by band, top to
  // bottom, so the whole image never needs to exist at once: begin with its size, then
  // every run of rows in order. out must stay alive until the last rows. Throw PlatformError.
  void begin(int width, int height, Nv12Frame& out);
  void convertRows(const BgraImageView& rows, int top);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::encoding

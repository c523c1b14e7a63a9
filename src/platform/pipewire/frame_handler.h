#pragma once

// What the screen-cast stream's buffers mean, apart from how they arrive: the
// negotiated format, the crop, the rows' stride, the cursor metadata, and the
// newest picture kept as BGRX of the window's region only.
// Threading: one thread at a time (the thread that drives the PipeWire loop).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/geometry.h"
#include "platform/pipeline/frame_source.h"

struct spa_buffer;

namespace quorvale::platform::pipewire {

class FrameHandler {
 public:
  // The pointer as the metadata last described it.
  struct Cursor {
    bool visible = false;
    int x = 0;  // where the bitmap's top-left corner goes, in the picture
    int y = 0;
    int positionX = 0;
    int positionY = 0;
    int hotspotX = 0;
    int hotspotY = 0;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // premultiplied BGRA, width * 4 a row
  };

  explicit FrameHandler(bool showsCursor) : showsCursor_(showsCursor) {}

  // Another connection to the same stream sees no bitmap until the pointer changes
  // shape: it starts from the one this connection saw.
  const Cursor& cursor() const { return cursor_; }
  void seedCursor(const Cursor& cursor) { cursor_ = cursor; }

  // A newly negotiated format (an spa_video_format and the buffers' size). The
  // kept picture stays until a buffer of the new format replaces it.
  void setFormat(std::uint32_t videoFormat, int width, int height);
  bool hasFormat() const { return videoFormat_ != 0; }

  // The buffers dequeued in one go, oldest first: the cursor metadata of each
  // applies in turn; the picture comes from the newest that carries one.
  void take(std::span<spa_buffer* const> buffers);

  // Something visible changed since the last render.
  bool changed() const { return changed_; }

  // The kept picture's size: the window's region of the newest buffer.
  std::optional<Size> pictureSize() const;

  // Hands the kept picture, with the cursor drawn on it, to sink in bands of
  // FrameSource::kBandRows rows. False when nothing changed or there is no picture.
  bool render(pipeline::FramePixels& band, pipeline::BandSink& sink);

 private:
  void takeCursor(const spa_buffer& buffer);
  bool takePicture(const spa_buffer& buffer);
  bool cursorOverPicture(const Cursor& cursor) const;
  void drawCursor(pipeline::FramePixels& band, int top) const;

  const bool showsCursor_;
  std::uint32_t videoFormat_ = 0;
  int bufferWidth_ = 0;
  int bufferHeight_ = 0;

  std::vector<std::uint8_t> picture_;  // BGRX, width * 4 a row
  int width_ = 0;
  int height_ = 0;
  Cursor cursor_;
  bool changed_ = false;
};

}  // namespace quorvale::platform::pipewire

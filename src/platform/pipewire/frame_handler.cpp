#include "platform/pipewire/frame_handler.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstring>

namespace quorvale::platform::pipewire {
namespace {

using pipeline::FramePixels;

bool swapsRedAndBlue(std::uint32_t format) {
  return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

bool isSupported(std::uint32_t format) {
  return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA ||
         format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

// Rows of 4-byte pixels into BGRX (or BGRA: the fourth byte passes unchanged).
void copyRow(std::uint8_t* to, const std::uint8_t* from, int pixels, bool swap) {
  if (!swap) {
    std::memcpy(to, from, static_cast<std::size_t>(pixels) * 4);
    return;
  }
  for (int i = 0; i < pixels; ++i, to += 4, from += 4) {
    to[0] = from[2];
    to[1] = from[1];
    to[2] = from[0];
    to[3] = from[3];
  }
}

// A chunk that carries no picture: empty or flagged as damaged goods.
bool carriesPicture(const spa_buffer& buffer) {
  if (buffer.n_datas < 1 || !buffer.datas[0].chunk || !buffer.datas[0].data) return false;
  const spa_chunk& chunk = *buffer.datas[0].chunk;
  if (chunk.size == 0 || (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED)) return false;
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
  return !(header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED));
}

}  // namespace

void FrameHandler::setFormat(std::uint32_t videoFormat, int width, int height) {
  videoFormat_ = isSupported(videoFormat) && width > 0 && height > 0 ? videoFormat : 0;
  bufferWidth_ = width;
  bufferHeight_ = height;
}

std::optional<Size> FrameHandler::pictureSize() const {
  if (picture_.empty()) return std::nullopt;
  return Size{static_cast<double>(width_), static_cast<double>(height_)};
}

void FrameHandler::take(std::span<spa_buffer* const> buffers) {
  const spa_buffer* newest = nullptr;
  for (const spa_buffer* buffer : buffers) {
    if (!buffer) continue;
    takeCursor(*buffer);
    if (carriesPicture(*buffer)) newest = buffer;
  }
  if (newest && takePicture(*newest)) changed_ = true;
}

bool FrameHandler::takePicture(const spa_buffer& buffer) {
  if (!videoFormat_) return false;
  const spa_data& data = buffer.datas[0];
  const spa_chunk& chunk = *data.chunk;
  const std::int64_t stride = chunk.stride > 0 ? chunk.stride : std::int64_t{bufferWidth_} * 4;
  if (stride < std::int64_t{bufferWidth_} * 4) return false;

  // The window's region: the whole buffer unless the compositor crops it.
  std::int64_t left = 0, top = 0, width = bufferWidth_, height = bufferHeight_;
  const auto* crop = static_cast<const spa_meta_region*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
  if (crop && spa_meta_region_is_valid(crop)) {
    left = std::clamp<std::int64_t>(crop->region.position.x, 0, bufferWidth_);
    top = std::clamp<std::int64_t>(crop->region.position.y, 0, bufferHeight_);
    width = std::min<std::int64_t>(crop->region.size.width, bufferWidth_ - left);
    height = std::min<std::int64_t>(crop->region.size.height, bufferHeight_ - top);
  }
  if (width <= 0 || height <= 0) return false;

  // Only rows the chunk really holds are read.
  const std::int64_t offset = std::min<std::int64_t>(chunk.offset, data.maxsize);
  const std::int64_t end = std::min<std::int64_t>(offset + chunk.size, data.maxsize);
  if (offset + (top + height - 1) * stride + (left + width) * 4 > end) return false;

  width_ = static_cast<int>(width);
  height_ = static_cast<int>(height);
  picture_.resize(static_cast<std::size_t>(width * height * 4));
  const auto* base = static_cast<const std::uint8_t*>(data.data) + offset + top * stride + left * 4;
  const bool swap = swapsRedAndBlue(videoFormat_);
  for (std::int64_t row = 0; row < height; ++row) {
    copyRow(picture_.data() + row * width * 4, base + row * stride, width_, swap);
  }
  // A cursor placed relative to the old picture is placed the same in the new one.
  return true;
}

void FrameHandler::takeCursor(const spa_buffer& buffer) {
  const auto* meta = static_cast<const spa_meta_cursor*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
  if (!meta) return;
  const bool wasVisible = cursorOverPicture(cursor_);
  const int oldX = cursor_.x, oldY = cursor_.y;
  bool newBitmap = false;
  if (meta->id == 0) {
    cursor_.visible = false;
  } else {
    cursor_.visible = true;
    cursor_.positionX = meta->position.x;
    cursor_.positionY = meta->position.y;
    const spa_meta* found = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    // A position-only update carries no bitmap: the last one and its hotspot stay.
    if (meta->bitmap_offset >= sizeof(spa_meta_cursor) &&
        meta->bitmap_offset + sizeof(spa_meta_bitmap) <= found->size) {
      const auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, const spa_meta_bitmap);
      const bool known = bitmap->format == SPA_VIDEO_FORMAT_RGBA || bitmap->format == SPA_VIDEO_FORMAT_BGRA;
      const std::int64_t w = bitmap->size.width, h = bitmap->size.height;
      const std::int64_t stride = bitmap->stride > 0 ? bitmap->stride : w * 4;
      const std::int64_t bytes = meta->bitmap_offset + bitmap->offset + (h - 1) * stride + w * 4;
      if (bitmap->offset == 0) {
        cursor_.width = cursor_.height = 0;  // an invisible pointer
        cursor_.pixels.clear();
        newBitmap = true;
      } else if (known && w > 0 && h > 0 && stride >= w * 4 && bytes <= found->size) {
        cursor_.hotspotX = meta->hotspot.x;
        cursor_.hotspotY = meta->hotspot.y;
        cursor_.width = static_cast<int>(w);
        cursor_.height = static_cast<int>(h);
        cursor_.pixels.resize(static_cast<std::size_t>(w * h * 4));
        const auto* from = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
        for (std::int64_t row = 0; row < h; ++row) {
          copyRow(cursor_.pixels.data() + row * w * 4, from + row * stride, cursor_.width,
                  bitmap->format == SPA_VIDEO_FORMAT_RGBA);
        }
        newBitmap = true;
      }
    }
  }
  cursor_.x = cursor_.positionX - cursor_.hotspotX;
  cursor_.y = cursor_.positionY - cursor_.hotspotY;
  if (!showsCursor_) return;
  const bool isVisible = cursorOverPicture(cursor_);
  if (wasVisible != isVisible || (isVisible && (newBitmap || cursor_.x != oldX || cursor_.y != oldY))) {
    changed_ = true;
  }
}

bool FrameHandler::cursorOverPicture(const Cursor& cursor) const {
  return cursor.visible && cursor.width > 0 && cursor.x < width_ && cursor.y < height_ &&
         cursor.x + cursor.width > 0 && cursor.y + cursor.height > 0;
}

void FrameHandler::drawCursor(FramePixels& band, int top) const {
  if (!showsCursor_ || !cursorOverPicture(cursor_)) return;
  const int firstRow = std::max(cursor_.y, top),
            endRow = std::min(cursor_.y + cursor_.height, top + band.height);
  const int firstColumn = std::max(cursor_.x, 0), endColumn = std::min(cursor_.x + cursor_.width, width_);
  for (int y = firstRow; y < endRow; ++y) {
    std::uint8_t* to = band.data.data() + (y - top) * band.stride + firstColumn * 4;
    const std::uint8_t* from =
        cursor_.pixels.data() + ((y - cursor_.y) * cursor_.width + (firstColumn - cursor_.x)) * 4;
    for (int x = firstColumn; x < endColumn; ++x, to += 4, from += 4) {
      const unsigned keep = 255u - from[3];  // premultiplied "over"
      for (int c = 0; c < 3; ++c) to[c] = static_cast<std::uint8_t>(from[c] + (to[c] * keep + 127) / 255);
    }
  }
}

bool FrameHandler::render(FramePixels& band, pipeline::BandSink& sink) {
  if (!changed_) return false;
  changed_ = false;
  if (picture_.empty()) return false;
  sink.begin(width_, height_);
  const int rows = pipeline::FrameSource::kBandRows;
  band.width = width_;
  band.stride = width_ * 4;
  band.data.resize(static_cast<std::size_t>(band.stride) * rows);
  for (int top = 0; top < height_; top += rows) {
    band.height = std::min(rows, height_ - top);
    std::memcpy(band.data.data(), picture_.data() + static_cast<std::size_t>(top) * band.stride,
                static_cast<std::size_t>(band.stride) * band.height);
    drawCursor(band, top);
    sink.band({band.data.data(), band.width, band.height, band.stride}, top);
  }
  return true;
}

}  // namespace quorvale::platform::pipewire

#include "platform/capture/window_pixels.h"

#include <xcb/shm.h>

#include <algorithm>
#include <string>

#include "platform/pipeline/frame_source.h"
#include "platform/platform_error.h"

namespace quorvale::platform::capture {
namespace {

// A window alone is read from the server this many rows at a time while the picture is
// composed: the shared segment then holds a strip, not the whole window.
constexpr int kStreamRows = 4 * pipeline::FrameSource::kBandRows;

}  // namespace

WindowPixels::WindowPixels(const Connection& connection) : connection_(connection) {
  xcb_connection_t* c = connection_.get();
  if (connection_.extension(&xcb_shm_id)) {
    auto version = optionalReply(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
    tryShm_ = version != nullptr;
  }
}

bool WindowPixels::fetch(Layer& layer, bool alone) {
  if (!layer.pixmap || layer.width <= 0 || layer.height <= 0) return false;
  // One window alone is read strip by strip as it is composed. With several, each keeps a
  // copy, so that composing a band does not read every window's strip again.
  layer.streamed = tryShm_ && alone;
  if (layer.streamed) {
    std::vector<std::uint8_t>().swap(layer.pixels);
    layer.hasPixels = takeSnapshot(layer);  // not drawn from a copy that failed
    return layer.hasPixels;
  }
  const std::uint8_t* source = readRows(layer, 0, layer.height);
  if (!source) return false;
  layer.pixels.assign(
      source, source + static_cast<std::size_t>(layer.width) * static_cast<std::size_t>(layer.height) * 4);
  plainImage_.reset();  // copied: a reply read without shared memory is not kept as well
  layer.hasPixels = true;
  return true;
}

bool WindowPixels::takeSnapshot(const Layer& layer) {
  xcb_connection_t* c = connection_.get();
  if (!snapshot_ || snapshotWidth_ != layer.width || snapshotHeight_ != layer.height ||
      snapshotDepth_ != layer.depth) {
    snapshotGc_.reset();
    snapshot_.reset();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    checkRequest(c,
                 xcb_create_pixmap_checked(c, layer.depth, pixmap, connection_.root(),
                                           static_cast<std::uint16_t>(layer.width),
                                           static_cast<std::uint16_t>(layer.height)),
                 "Could not set up window capture");
    snapshot_ = PixmapPtr(Xid(pixmap), {c});
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t noExposures = 0;
    checkRequest(c, xcb_create_gc_checked(c, gc, pixmap, XCB_GC_GRAPHICS_EXPOSURES, &noExposures),
                 "Could not set up window capture");
    snapshotGc_ = GcPtr(Xid(gc), {c});
    snapshotWidth_ = layer.width;
    snapshotHeight_ = layer.height;
    snapshotDepth_ = layer.depth;
  }
  ErrorPtr error(xcb_request_check(
      c, xcb_copy_area_checked(c, layer.pixmap.get().value, snapshot_.get().value, snapshotGc_.get().value, 0,
                               0, 0, 0, static_cast<std::uint16_t>(layer.width),
                               static_cast<std::uint16_t>(layer.height))));
  if (error) {
    vanished_ = true;
    return false;
  }
  return true;
}

const std::uint8_t* WindowPixels::readRows(const Layer& layer, int first, int rows) {
  xcb_connection_t* c = connection_.get();
  const std::uint32_t drawable = layer.streamed ? snapshot_.get().value : layer.pixmap.get().value;
  const std::size_t size = static_cast<std::size_t>(layer.width) * static_cast<std::size_t>(rows) * 4;
  const auto x = std::int16_t{0};
  const auto y = static_cast<std::int16_t>(first);
  const auto width = static_cast<std::uint16_t>(layer.width);
  const auto height = static_cast<std::uint16_t>(rows);
  if (tryShm_ && (!shm_ || shm_->size() < size)) {
    stripLayer_ = nullptr;
    shm_.reset();
    // Headroom for a growing window; a streamed one needs only a strip.
    shm_ = ShmBuffer::create(c, size + size / 4);
    tryShm_ = shm_ != nullptr;
  }
  const std::uint8_t* source = nullptr;
  std::size_t length = 0;
  if (shm_) {
    auto reply = optionalReply(c,
                               xcb_shm_get_image(c, drawable, x, y, width, height, ~0u,
                                                 XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->segment(), 0),
                               xcb_shm_get_image_reply);
    if (!reply) {
      vanished_ = true;
      return nullptr;
    }
    source = shm_->data();
    length = reply->size;
  } else {
    plainImage_ =
        optionalReply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u),
                      xcb_get_image_reply);
    if (!plainImage_) {
      vanished_ = true;
      return nullptr;
    }
    source = xcb_get_image_data(plainImage_.get());
    length = static_cast<std::size_t>(xcb_get_image_data_length(plainImage_.get()));
  }
  if (length < size) {
    throw PlatformError("x11", 0, "Windows of depth " + std::to_string(layer.depth) + " cannot be recorded.");
  }
  return source;
}

bool WindowPixels::draw(MutableImageView out, const Layer& layer, int top, bool blend) {
  if (!layer.streamed) {
    const BgraImageView pixels{layer.pixels.data(), layer.width, layer.height, layer.width * 4};
    drawImage(out, pixels, layer.x, layer.y - top, blend);
    return true;
  }
  const int first = std::max(0, top - layer.y);
  const int end = std::min(layer.height, top + out.height - layer.y);
  for (int row = first; row < end; row = stripTop_ + stripRows_) {
    if (stripLayer_ != &layer || row < stripTop_ || row >= stripTop_ + stripRows_) {
      stripLayer_ = nullptr;
      const int rows = std::min(kStreamRows, layer.height - row);
      stripData_ = readRows(layer, row, rows);
      if (!stripData_) return false;
      stripLayer_ = &layer;
      stripTop_ = row;
      stripRows_ = rows;
    }
    const BgraImageView strip{stripData_, layer.width, stripRows_, layer.width * 4};
    drawImage(out, strip, layer.x, layer.y + stripTop_ - top, blend);
  }
  return true;
}

}  // namespace quorvale::platform::capture

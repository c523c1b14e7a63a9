#pragma once

// Where a frame's window pixels are read: each captured window's Composite pixmap
// over shared memory when the server allows it, else over the socket; a window alone
// is copied once when the picture begins and read strip by strip while composing, so
// the picture shows one state of it without a copy of its size here.
// Threading: the stream's capture thread, with the frame source that owns it.

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/capture/compose.h"
#include "platform/capture/x11_connection.h"
#include "platform/capture/x_resources.h"

namespace quorvale::platform::capture {

// One captured window and its cached pixels.
struct Layer {
  xcb_window_t window = 0;
  RedirectPtr redirect;
  DamagePtr damage;
  PixmapPtr pixmap;
  int x = 0;  // in the output
  int y = 0;
  int width = 0;
  int height = 0;
  std::uint8_t depth = 0;
  bool viewable = false;
  bool contentDirty = true;
  std::optional<std::uint32_t> subtractSequence;  // of our latest damage subtract request
  std::vector<std::uint8_t> pixels;               // width * 4 bytes a row
  bool hasPixels = false;
  bool streamed = false;  // no copy kept: compose reads the rows it needs from the server
};

class WindowPixels {
 public:
  explicit WindowPixels(const Connection& connection);

  // A new picture: a strip held from the last one is stale.
  void beginPicture() { stripLayer_ = nullptr; }
  // Takes the layer's current pixels; alone, it is streamed instead. False when there
  // is nothing to show.
  bool fetch(Layer& layer, bool alone);
  // Draws the layer's rows that fall into out, whose first row is the picture's row top.
  // False when a streamed window vanished while it was read.
  bool draw(MutableImageView out, const Layer& layer, int top, bool blend);
  // A window went while it was read since the last call: the layout is stale.
  bool takeVanished() { return std::exchange(vanished_, false); }

 private:
  // Copies the layer's pixmap into the snapshot in one request; false when it is gone.
  bool takeSnapshot(const Layer& layer);
  // Reads rows first .. first + rows - 1 of the layer's pixels (its pixmap, or the
  // snapshot when streamed); null when they are gone.
  const std::uint8_t* readRows(const Layer& layer, int first, int rows);

  const Connection& connection_;
  bool tryShm_ = false;
  bool vanished_ = false;
  std::unique_ptr<ShmBuffer> shm_;
  XcbPtr<xcb_get_image_reply_t> plainImage_;  // the last read without shared memory
  // A streamed window's pixels as they were when the picture began: the application may
  // draw while the strips are read, and the picture must show one state of it.
  PixmapPtr snapshot_;
  GcPtr snapshotGc_;
  int snapshotWidth_ = 0;
  int snapshotHeight_ = 0;
  std::uint8_t snapshotDepth_ = 0;
  // The strip of a streamed layer that the segment holds now.
  const Layer* stripLayer_ = nullptr;
  const std::uint8_t* stripData_ = nullptr;
  int stripTop_ = 0;
  int stripRows_ = 0;
};

}  // namespace quorvale::platform::capture

#pragma once

// The frame source of one stream: its own X connection, the captured windows'
// Composite pixmaps, Damage tracking, the cursor and click marks.
// Threading: created, used and destroyed by one thread (the stream's capture thread).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pipeline/frames.h"
#include "platform/platform.h"

namespace quorvale::platform::capture {

using pipeline::BgraImageView;

struct CaptureOptions {
  bool showsCursor = true;
  bool showMouseClicks = false;
  bool includeChildWindows = true;
  std::optional<Rect> sourceRect;  // display filter: relative to the display
};

struct FramePixels {
  std::vector<std::uint8_t> data;  // BGRX
  int width = 0;
  int height = 0;
  int stride = 0;
};

class FrameSource {
 public:
  // Connects and starts watching the content. Throws PlatformError when that
  // fails or a window filter's window is gone or not shown.
  FrameSource(const std::optional<std::string>& displayName, const ContentFilter& filter,
              const CaptureOptions& options);
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  // Poll this for input, then call processEvents().
  int fileDescriptor() const;

  // Handles the queued X events. Throws PlatformError when the recording
  // cannot go on: the window was closed or the connection was lost.
  void processEvents(std::int64_t nowMicros);

  // Something visible may have changed since the last render.
  bool wantsFrame() const;

  // Draws the current picture into frame. False when there is nothing new to
  // show (the window is hidden, or only the pointer moved elsewhere). Throws
  // like processEvents().
  bool render(FramePixels& frame, std::int64_t nowMicros);

  // Takes a picture band by band, top to bottom; called on the capturing thread.
  class BandSink {
   public:
    // The whole picture's size, before its first band.
    virtual void begin(int width, int height) = 0;
    // Rows top .. top + rows.height - 1 of the picture.
    virtual void band(const BgraImageView& rows, int top) = 0;

   protected:
    ~BandSink() = default;
  };
  // An even number, so bands keep to the 2x2 blocks of 4:2:0.
  static constexpr int kBandRows = 32;

  // Like render(frame), but composes kBandRows rows at a time into band and
  // hands each to sink: no buffer of the picture's size. sink's exceptions pass through.
  bool render(FramePixels& band, BandSink& sink, std::int64_t nowMicros);

  // Display filter: the area to record from now on, relative to the display (the
  // picture takes its size). A window filter follows its window by itself.
  void setSourceRect(const std::optional<Rect>& sourceRect);

  // Display filter: the applications' windows whose frame is new or changed since the
  // last call, as the layout last seen by a render has them.
  std::vector<std::pair<WindowID, Rect>> takeWindowFrameChanges();

  // The process whose windows are captured, when known (for its audio).
  std::optional<std::int64_t> processID() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::capture

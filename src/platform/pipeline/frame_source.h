#pragma once

// Where a stream's pictures come from: the X server's windows or a desktop's
// screen-cast stream. The stream drives one source on its capture thread.
// Threading: created, used and destroyed by that one thread.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/pipeline/frames.h"
#include "platform/platform.h"

namespace quorvale::platform::pipeline {

struct CaptureOptions {
  bool showsCursor = true;
  bool showMouseClicks = false;
  bool includeChildWindows = true;
  std::optional<Rect> sourceRect;  // display filter: relative to the display
};

// A few rows of a picture, reused from band to band.
struct FramePixels {
  std::vector<std::uint8_t> data;  // BGRX
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Takes a picture band by band, top to bottom, on the capture thread.
class BandSink {
 public:
  // The whole picture's size, before its first band.
  virtual void begin(int width, int height) = 0;
  // Rows top .. top + rows.height - 1 of the picture.
  virtual void band(const BgraImageView& rows, int top) = 0;

 protected:
  ~BandSink() = default;
};

class FrameSource {
 public:
  // An even number, so bands keep to the 2x2 blocks of 4:2:0.
  static constexpr int kBandRows = 32;

  virtual ~FrameSource() = default;

  // Poll this for input, then call processEvents().
  virtual int fileDescriptor() const = 0;

  // Takes in what arrived. Throws PlatformError when the recording cannot go
  // on: the window was closed or the connection was lost.
  virtual void processEvents(std::int64_t nowMicros) = 0;

  // Something visible may have changed since the last render.
  virtual bool wantsFrame() const = 0;

  // Composes the current picture kBandRows rows at a time into band and hands
  // each to sink. False when there is nothing new to show (the window is
  // hidden, or nothing changed): the movie keeps the last picture. sink's
  // exceptions pass through; otherwise throws like processEvents().
  virtual bool render(FramePixels& band, BandSink& sink, std::int64_t nowMicros) = 0;

  // Display filter: the area to record from now on, relative to the display.
  // Sources that follow their window by themselves ignore it.
  virtual void setSourceRect(const std::optional<Rect>& sourceRect) = 0;

  // Display filter: the applications' windows whose frame is new or changed
  // since the last call, as the layout now stands (asked before each render,
  // so a new crop applies to the very next picture).
  virtual std::vector<std::pair<WindowID, Rect>> takeWindowFrameChanges() = 0;

  // The process whose sound belongs to the recording, when known.
  virtual std::optional<std::int64_t> processID() const = 0;
};

}  // namespace quorvale::platform::pipeline

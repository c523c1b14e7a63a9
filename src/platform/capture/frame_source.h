#pragma once

// The X11 frame source of one stream: its own X connection, the captured windows'
// Composite pixmaps, Damage tracking, the cursor and click marks.
// Threading: created, used and destroyed by one thread (the stream's capture thread).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pipeline/frame_source.h"
#include "platform/platform.h"

namespace quorvale::platform::capture {

using pipeline::BandSink;
using pipeline::BgraImageView;
using pipeline::CaptureOptions;
using pipeline::FramePixels;

class X11FrameSource final : public pipeline::FrameSource {
 public:
  // Connects and starts watching the content. Throws PlatformError when that
  // fails or a window filter's window is gone or not shown.
  X11FrameSource(const std::optional<std::string>& displayName, const ContentFilter& filter,
                 const CaptureOptions& options);
  ~X11FrameSource() override;
  X11FrameSource(const X11FrameSource&) = delete;
  X11FrameSource& operator=(const X11FrameSource&) = delete;

  int fileDescriptor() const override;
  // Handles the queued X events.
  void processEvents(std::int64_t nowMicros) override;
  // True at every frame while the cursor is shown: its place is asked for each picture.
  bool wantsFrame() const override;
  // No buffer of the picture's size: each band is composed as it is handed on.
  bool render(FramePixels& band, BandSink& sink, std::int64_t nowMicros) override;
  // A window filter follows its window by itself and ignores this.
  void setSourceRect(const std::optional<Rect>& sourceRect) override;
  std::vector<std::pair<WindowID, Rect>> takeWindowFrameChanges() override;
  // The process whose windows are captured, when known.
  std::optional<std::int64_t> processID() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::capture

#pragma once

// Pictures from a desktop's screen-cast stream: a PipeWire stream read on a
// plain loop that the caller drives (no thread of PipeWire's own).
// Threading: created, used and destroyed by one thread (the stream's capture
// thread, or the platform's while it waits for a first picture). PipeWire's
// context runs a data thread of its own; what it hands over is queued on the
// loop for that one thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/pipeline/frame_source.h"
#include "platform/pipeline/unique_fd.h"
#include "platform/pipewire/frame_handler.h"

namespace quorvale::platform::pipewire {

struct StreamTarget {
  pipeline::UniqueFd remote;  // the portal's PipeWire connection
  std::uint32_t nodeId = 0;
  // Readable once the screen-cast session is over (the window was closed); -1: none.
  pipeline::UniqueFd sessionClosed;
  std::optional<FrameHandler::Cursor> cursor;  // as an earlier connection last saw it
};

class PipeWireFrameSource final : public pipeline::FrameSource {
 public:
  // Connects to the node. Throws PlatformError when that fails.
  PipeWireFrameSource(StreamTarget target, const pipeline::CaptureOptions& options,
                      std::optional<std::int64_t> processID);
  ~PipeWireFrameSource() override;
  PipeWireFrameSource(const PipeWireFrameSource&) = delete;
  PipeWireFrameSource& operator=(const PipeWireFrameSource&) = delete;

  // The size of the first picture, waiting for it until the deadline (nullopt
  // then). Throws like processEvents().
  std::optional<Size> waitForPicture(std::chrono::steady_clock::time_point deadline);

  const FrameHandler::Cursor& cursor() const;

  int fileDescriptor() const override;
  void processEvents(std::int64_t nowMicros) override;
  bool wantsFrame() const override;
  bool render(pipeline::FramePixels& band, pipeline::BandSink& sink, std::int64_t nowMicros) override;
  // The portal follows the window by itself.
  void setSourceRect(const std::optional<Rect>&) override {}
  std::vector<std::pair<WindowID, Rect>> takeWindowFrameChanges() override { return {}; }
  std::optional<std::int64_t> processID() const override { return processID_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  const std::optional<std::int64_t> processID_;
};

// The text of the window-closed case, as the X11 path words it.
inline constexpr const char* kWindowClosedMessage = "The recorded window was closed.";

}  // namespace quorvale::platform::pipewire

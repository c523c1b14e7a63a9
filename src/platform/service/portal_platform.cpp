// The Linux platform on a Wayland session: the window comes from the desktop's
// ScreenCast portal, its pictures from the portal's PipeWire stream.

#include <unistd.h>

#include <chrono>
#include <mutex>

#include "events/support_recording_error.h"
#include "platform/pipewire/pipewire_frame_source.h"
#include "platform/platform_error.h"
#include "platform/portal/screencast_portal.h"
#include "platform/service/linux_platform.h"
#include "platform/service/serial_queue.h"
#include "platform/service/stream.h"

namespace quorvale::platform::service {
namespace {

using std::chrono::steady_clock;

// The recorder's own bound on starting: the picker is part of the start.
constexpr auto kPickerBound = std::chrono::seconds(120);
// How long the stream may take to send its first picture.
constexpr auto kFirstPictureBound = std::chrono::seconds(10);
constexpr auto kOpenStreamBound = std::chrono::seconds(10);

// The pointer as the platform's own connection last saw it, for the stream's.
struct SeenCursor {
  std::mutex mutex;  // guards cursor
  std::optional<pipewire::FrameHandler::Cursor> cursor;
};

std::unique_ptr<pipewire::PipeWireFrameSource> connectSource(
    portal::ScreenCastPortal& portal, const pipeline::CaptureOptions& options,
    std::optional<pipewire::FrameHandler::Cursor> cursor = std::nullopt) {
  const auto grant = portal.grant();
  if (!grant) throw PlatformError("portal", 0, pipewire::kWindowClosedMessage);
  pipewire::StreamTarget target{portal.openPipeWireRemote(steady_clock::now() + kOpenStreamBound),
                                grant->nodeId, portal.sessionClosedNotification(), std::move(cursor)};
  // The portal does not say whose window it is: the sound is the application's,
  // the process that started us, and its descendants'.
  return std::make_unique<pipewire::PipeWireFrameSource>(std::move(target), options, ::getppid());
}

// Threading: any thread. Content queries run on the service thread; the portal
// does its D-Bus work on a thread of its own.
class PortalPlatform final : public MovieFilePlatform {
 public:
  explicit PortalPlatform(WindowID window)
      : window_(window),
        portal_(std::make_shared<portal::ScreenCastPortal>(portal::TokenStore::forParentProcess())),
        seen_(std::make_shared<SeenCursor>()) {}
  ~PortalPlatform() override {
    service_.shutdown();
    portal_->close();
  }

  bool isOperatingSystemAtLeast(OperatingSystemVersion) override { return true; }
  bool preflightScreenCaptureAccess() override { return portal_->grant().has_value(); }
  bool requestScreenCaptureAccess() override {
    switch (portal_->request(steady_clock::now() + kPickerBound)) {
      case portal::RequestOutcome::granted:
        return true;
      case portal::RequestOutcome::cancelled:
        return false;
      case portal::RequestOutcome::timedOut:
        break;
    }
    throw events::SupportRecordingError::startTimedOut();
  }
  void sharedApplication() override {}

  void getShareableContent(bool, bool, ContentCompletion completion) override {
    service_.post([this, completion = std::move(completion)] {
      std::shared_ptr<const ShareableContent> content;
      std::exception_ptr error;
      try {
        content = std::make_shared<const ShareableContent>(query());
      } catch (...) {
        error = std::current_exception();
      }
      completion(std::move(content), error);
    });
  }

  ContentInfo contentInfo(const ContentFilter& filter) override {
    const Rect frame = std::holds_alternative<WindowFilter>(filter)
                           ? std::get<WindowFilter>(filter).window.frame
                           : std::get<DisplayFilter>(filter).display.frame;
    return {Rect{0, 0, frame.getWidth(), frame.getHeight()}, 1};
  }

  std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override {
    auto makeSource = [portal = portal_, seen = seen_](const pipeline::CaptureOptions& options) {
      std::lock_guard lock(seen->mutex);
      return std::unique_ptr<FrameSource>(connectSource(*portal, options, seen->cursor));
    };
    return std::make_shared<CaptureStream>(std::move(makeSource), filter, configuration, delegate);
  }

 private:
  // The shared window, sized as its first picture is: GNOME's Start names the
  // monitor's size for a window, KDE's names none.
  ShareableContent query() {
    ShareableContent content;
    const auto grant = portal_->grant();
    if (!grant) return content;
    // A connection of its own: the stream's capture thread makes another.
    auto source = connectSource(*portal_, pipeline::CaptureOptions{});
    std::optional<Size> size = source->waitForPicture(steady_clock::now() + kFirstPictureBound);
    if (!size) size = grant->size;
    if (!size) throw PlatformError("pipewire", 0, "The shared window sent no picture.");
    {
      std::lock_guard lock(seen_->mutex);
      seen_->cursor = source->cursor();
    }
    const Rect frame{0, 0, size->width, size->height};
    // No owning application: the recorder records the window alone, which the portal follows.
    content.windows.push_back(Window{window_, frame, std::nullopt, "", true});
    content.displays.push_back(Display{1, frame});
    return content;
  }

  const WindowID window_;
  const std::shared_ptr<portal::ScreenCastPortal> portal_;
  const std::shared_ptr<SeenCursor> seen_;
  SerialQueue service_;  // last: stopped before the portal goes
};

}  // namespace

std::unique_ptr<Platform> makePortalPlatform(WindowID window) {
  return std::make_unique<PortalPlatform>(window);
}

}  // namespace quorvale::platform::service

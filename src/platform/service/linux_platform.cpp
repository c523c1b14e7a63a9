#include "platform/service/linux_platform.h"

#include <cstdlib>

#include "platform/capture/content_query.h"
#include "platform/capture/frame_source.h"
#include "platform/platform_error.h"
#include "platform/service/serial_queue.h"
#include "platform/service/stream.h"

namespace quorvale::platform::service {
namespace {

// Threading: any thread. Content queries run on the service thread, which alone
// owns the catalog connection and delivers their completions.
class X11Platform final : public MovieFilePlatform {
 public:
  explicit X11Platform(std::optional<std::string> displayName)
      : displayName_(displayName), contentQuery_(std::move(displayName)) {}
  ~X11Platform() override { service_.shutdown(); }

  bool isOperatingSystemAtLeast(OperatingSystemVersion) override { return true; }
  bool preflightScreenCaptureAccess() override { return true; }
  bool requestScreenCaptureAccess() override { return true; }
  void sharedApplication() override {}

  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    service_.post([this, excludeDesktopWindows, onScreenWindowsOnly, completion = std::move(completion)] {
      std::shared_ptr<const ShareableContent> content;
      std::exception_ptr error;
      try {
        content = std::make_shared<const ShareableContent>(query(excludeDesktopWindows, onScreenWindowsOnly));
      } catch (...) {
        error = std::current_exception();
      }
      completion(std::move(content), error);
    });
  }

  ContentInfo contentInfo(const ContentFilter& filter) override {
    if (const auto* window = std::get_if<WindowFilter>(&filter)) {
      return {Rect{0, 0, window->window.frame.getWidth(), window->window.frame.getHeight()}, 1};
    }
    return {std::get<DisplayFilter>(filter).display.frame, 1};
  }

  std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override {
    auto makeSource = [displayName = displayName_, filter](const pipeline::CaptureOptions& options) {
      return std::make_unique<capture::X11FrameSource>(displayName, filter, options);
    };
    return std::make_shared<CaptureStream>(std::move(makeSource), filter, configuration, delegate);
  }

 private:
  ShareableContent query(bool excludeDesktopWindows, bool onScreenWindowsOnly) {
    return contentQuery_.content(excludeDesktopWindows, onScreenWindowsOnly);
  }

  const std::optional<std::string> displayName_;
  capture::ContentQuery contentQuery_;  // only the service thread touches it
  SerialQueue service_;                 // last: stopped before the connection goes
};

}  // namespace

std::unique_ptr<Platform> makeX11Platform(std::optional<std::string> displayName) {
  return std::make_unique<X11Platform>(std::move(displayName));
}

}  // namespace quorvale::platform::service

namespace quorvale::platform::service {

DesktopSession DesktopSession::fromEnvironment() {
  const auto read = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
  };
  return {read("DISPLAY"), read("WAYLAND_DISPLAY")};
}

std::unique_ptr<Platform> makeLinuxPlatform(WindowID window, const DesktopSession& session) {
  bool onX11 = false;
  if (session.x11Display) {
    try {
      onX11 = capture::ContentQuery(session.x11Display).hasWindow(window);
    } catch (const PlatformError&) {
      // No X server to reach: the X11 platform says so itself if it is chosen.
    }
  }
  if (!onX11 && session.waylandDisplay) return makePortalPlatform(window);
  return makeX11Platform(session.x11Display);
}

}  // namespace quorvale::platform::service

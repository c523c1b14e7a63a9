#pragma once

// The Linux capture service behind the generic platform interface.
// Threading: see platform.h; every completion and callback arrives on the
// backend's own threads.

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace quorvale::platform::service {

// The desktop session the program runs in, as its environment describes it.
struct DesktopSession {
  std::optional<std::string> x11Display;      // DISPLAY (also Xwayland's)
  std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
  static DesktopSession fromEnvironment();
};

// displayName absent: the DISPLAY environment variable, read when first needed.
std::unique_ptr<Platform> makeX11Platform(std::optional<std::string> displayName = std::nullopt);

// Records through the desktop's ScreenCast portal: the user chooses the window
// (window only names the content the recorder looks up).
std::unique_ptr<Platform> makePortalPlatform(WindowID window);

// The X server's window when it has one with this id; else, on a Wayland
// session, the window the user shares through the portal; else the X server
// (which then reports the window missing).
std::unique_ptr<Platform> makeLinuxPlatform(WindowID window, const DesktopSession& session);

}  // namespace quorvale::platform::service

namespace quorvale::platform {
using service::makeLinuxPlatform;
using service::makeX11Platform;
}  // namespace quorvale::platform

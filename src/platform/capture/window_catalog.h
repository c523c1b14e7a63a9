#pragma once

// The catalog of windows and displays on one X connection.
// Threading: the thread that owns the Connection.

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/x11_connection.h"
#include "platform/platform.h"

namespace quorvale::platform::capture {

// An application's top-level window as the window manager (if any) holds it.
struct ClientWindow {
  xcb_window_t id = 0;        // the application's own window
  xcb_window_t topLevel = 0;  // the root's child holding it (the frame under a reparenting manager)
  bool overrideRedirect = false;
  bool viewable = false;
  std::uint8_t depth = 0;
  Rect frame;  // root coordinates, pixels
};

class WindowCatalog {
 public:
  explicit WindowCatalog(Connection& connection);

  // The root's children (by their client windows), bottom of the stack first.
  // InputOnly windows are left out; override-redirect ones are flagged.
  std::vector<ClientWindow> clientWindows();

  // Through X-Resource, else _NET_WM_PID; absent when neither tells.
  std::optional<std::int64_t> processID(xcb_window_t window);
  std::optional<xcb_window_t> transientFor(xcb_window_t window);
  std::string title(xcb_window_t window);
  bool isDesktopWindow(xcb_window_t window);
  std::optional<RunningApplication> owningApplication(xcb_window_t window);

  // RandR monitors, else the whole screen.
  std::vector<Display> displays();

  // Windows front to back.
  ShareableContent content(bool excludeDesktopWindows, bool onScreenWindowsOnly);

 private:
  std::optional<std::string> stringProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
  std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
  xcb_window_t findClient(xcb_window_t window, int depth);

  Connection& connection_;
  std::optional<bool> hasResource_;
};

// /proc/PID/comm without its newline; empty when unreadable.
std::string processName(std::int64_t pid);

}  // namespace quorvale::platform::capture

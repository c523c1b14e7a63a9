#pragma once

// Content queries (windows, displays, their applications) on a connection of
// their own, made on first use and again after the X server went away.
// Threading: one thread at a time (the service's thread).

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace quorvale::platform::capture {

class Connection;

class ContentQuery {
 public:
  // displayName absent: the DISPLAY environment variable, read when first needed.
  explicit ContentQuery(std::optional<std::string> displayName);
  ~ContentQuery();
  ContentQuery(const ContentQuery&) = delete;
  ContentQuery& operator=(const ContentQuery&) = delete;

  // Windows front to back. Throws PlatformError.
  ShareableContent content(bool excludeDesktopWindows, bool onScreenWindowsOnly);

  // The X server has a window with this id. Throws PlatformError when no X
  // server can be reached.
  bool hasWindow(WindowID window);

 private:
  Connection& connection();

  const std::optional<std::string> displayName_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace quorvale::platform::capture

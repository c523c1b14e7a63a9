#include "platform/capture/content_query.h"

#include "platform/capture/window_catalog.h"
#include "platform/capture/x11_connection.h"

namespace quorvale::platform::capture {

ContentQuery::ContentQuery(std::optional<std::string> displayName) : displayName_(std::move(displayName)) {}

ContentQuery::~ContentQuery() = default;

Connection& ContentQuery::connection() {
  if (connection_ && connection_->hasError()) connection_.reset();
  if (!connection_) connection_ = std::make_unique<Connection>(displayName_);
  return *connection_;
}

bool ContentQuery::hasWindow(WindowID window) {
  xcb_connection_t* c = connection().get();
  return optionalReply(c, xcb_get_window_attributes(c, window), xcb_get_window_attributes_reply) != nullptr;
}

ShareableContent ContentQuery::content(bool excludeDesktopWindows, bool onScreenWindowsOnly) {
  WindowCatalog catalog(connection());
  return catalog.content(excludeDesktopWindows, onScreenWindowsOnly);
}

}  // namespace quorvale::platform::capture

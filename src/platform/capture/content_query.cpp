#include "platform/capture/content_query.h"

#include "platform/capture/window_catalog.h"
#include "platform/capture/x11_connection.h"

namespace quorvale::platform::capture {

ContentQuery::ContentQuery(std::optional<std::string> displayName) : displayName_(std::move(displayName)) {}

ContentQuery::~ContentQuery() = default;

ShareableContent ContentQuery::content(bool excludeDesktopWindows, bool onScreenWindowsOnly) {
  if (connection_ && connection_->hasError()) connection_.reset();
  if (!connection_) connection_ = std::make_unique<Connection>(displayName_);
  WindowCatalog catalog(*connection_);
  return catalog.content(excludeDesktopWindows, onScreenWindowsOnly);
}

}  // namespace quorvale::platform::capture

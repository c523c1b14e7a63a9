#pragma once

// The Linux capture service behind the generic platform interface.
// Threading: see platform.h; every completion and callback arrives on the
// backend's own threads.

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace quorvale::platform::service {

// displayName absent: the DISPLAY environment variable, read when first needed.
std::unique_ptr<Platform> makeX11Platform(std::optional<std::string> displayName = std::nullopt);

}  // namespace quorvale::platform::service

namespace quorvale::platform {
using service::makeX11Platform;
}  // namespace quorvale::platform

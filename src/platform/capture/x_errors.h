#pragma once

// Failures of this library as PlatformError. Any thread.

#include <string>

#include "platform/platform_error.h"

namespace quorvale::platform::capture {

// domain "x11": context, then the X error's name (BadWindow, ...).
PlatformError xError(int errorCode, int majorOpcode, const std::string& context);

}  // namespace quorvale::platform::capture

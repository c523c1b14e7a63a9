#pragma once

// Failures of this library as PlatformError. Any thread.

#include <string>

#include "platform/platform_error.h"

namespace quorvale::platform::sound {

// domain "pulseaudio": context, then pa_strerror's text.
PlatformError pulseError(int pulseErrorCode, const std::string& context);

}  // namespace quorvale::platform::sound

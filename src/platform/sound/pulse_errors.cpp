#include "platform/sound/pulse_errors.h"

#include <pulse/error.h>

namespace quorvale::platform::sound {

PlatformError pulseError(int pulseErrorCode, const std::string& context) {
  const char* text = pa_strerror(pulseErrorCode);
  return PlatformError("pulseaudio", pulseErrorCode,
                       context + ": " + (text ? text : "unknown error " + std::to_string(pulseErrorCode)));
}

}  // namespace quorvale::platform::sound

#include "platform/platform_error.h"

#include <string.h>

namespace quorvale::platform {

PlatformError systemError(int errorNumber, const std::string& context) {
  char buffer[256];
  // GNU strerror_r: thread-safe, returns the message (maybe not in buffer).
  const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
  return PlatformError("posix", errorNumber, context + ": " + text);
}

}  // namespace quorvale::platform

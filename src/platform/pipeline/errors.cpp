#include "platform/pipeline/errors.h"

#include <string.h>

extern "C" {
#include <libavutil/error.h>
#include <pulse/error.h>
}

#include <array>
#include <string_view>

namespace quorvale::platform::x11 {
namespace {

// FFmpeg's AVERROR(e) is -e; its own tags are far outside the errno range.
constexpr int kLargestErrno = 4095;

struct XErrorName {
  std::string_view name;
  std::string_view meaning;
};

// Core protocol errors, indexed by error code (X.h).
constexpr std::array<XErrorName, 18> kXErrors = {{
    {"Success", "no error"},
    {"BadRequest", "bad request code"},
    {"BadValue", "integer parameter out of range"},
    {"BadWindow", "invalid Window parameter"},
    {"BadPixmap", "invalid Pixmap parameter"},
    {"BadAtom", "invalid Atom parameter"},
    {"BadCursor", "invalid Cursor parameter"},
    {"BadFont", "invalid Font parameter"},
    {"BadMatch", "invalid parameter attributes"},
    {"BadDrawable", "invalid Pixmap or Window parameter"},
    {"BadAccess", "attempt to access private resource denied"},
    {"BadAlloc", "insufficient resources"},
    {"BadColor", "invalid Colormap parameter"},
    {"BadGC", "invalid GC parameter"},
    {"BadIDChoice", "invalid resource ID chosen for this connection"},
    {"BadName", "named color or font does not exist"},
    {"BadLength", "poly request too large or internal Xlib length error"},
    {"BadImplementation", "server does not implement operation"},
}};

}  // namespace

PlatformError systemError(int errorNumber, const std::string& context) {
  char buffer[256];
  // GNU strerror_r: thread-safe, returns the message (maybe not in buffer).
  const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
  return PlatformError("posix", errorNumber, context + ": " + text);
}

PlatformError xError(int errorCode, int majorOpcode, const std::string& context) {
  std::string text;
  if (errorCode >= 0 && errorCode < static_cast<int>(kXErrors.size())) {
    const XErrorName& entry = kXErrors[static_cast<std::size_t>(errorCode)];
    text = std::string(entry.name) + " (" + std::string(entry.meaning) + ")";
  } else {
    // Extension errors: their base varies by server, so only the number is certain.
    text = "X error " + std::to_string(errorCode);
  }
  return PlatformError("x11", errorCode, context + ": " + text + ", request " + std::to_string(majorOpcode));
}

PlatformError ffmpegError(int averror, const std::string& context) {
  if (averror < 0 && -averror <= kLargestErrno) {
    return systemError(-averror, context);
  }
  char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(averror, buffer, sizeof buffer) < 0) {
    return PlatformError("ffmpeg", averror, context + ": FFmpeg error " + std::to_string(averror));
  }
  return PlatformError("ffmpeg", averror, context + ": " + buffer);
}

PlatformError pulseError(int pulseErrorCode, const std::string& context) {
  const char* text = pa_strerror(pulseErrorCode);
  return PlatformError("pulseaudio", pulseErrorCode,
                       context + ": " + (text ? text : "unknown error " + std::to_string(pulseErrorCode)));
}

}  // namespace quorvale::platform::x11

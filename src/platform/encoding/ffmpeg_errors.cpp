#include "platform/encoding/ffmpeg_errors.h"

extern "C" {
#include <libavutil/error.h>
}

namespace quorvale::platform::encoding {
namespace {

// FFmpeg's AVERROR(e) is -e; its own tags are far outside the errno range.
constexpr int kLargestErrno = 4095;

}  // namespace

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

}  // namespace quorvale::platform::encoding

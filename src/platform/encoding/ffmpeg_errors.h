#pragma once

// Failures of this library as PlatformError. Any thread.

#include <string>

#include "platform/platform_error.h"

namespace quorvale::platform::encoding {

// domain "ffmpeg": context, then av_strerror's text; AVERROR(errno) maps like systemError.
PlatformError ffmpegError(int averror, const std::string& context);

}  // namespace quorvale::platform::encoding

#pragma once

// The one place where system, X, FFmpeg and PulseAudio failures become
// PlatformError, with a message a user can read.

#include <string>

#include "platform/platform_error.h"

namespace quorvale::platform::x11 {

// domain "posix": context, ": ", then strerror's text.
PlatformError systemError(int errorNumber, const std::string& context);
// domain "x11": context, then the X error's name (BadWindow, ...).
PlatformError xError(int errorCode, int majorOpcode, const std::string& context);
// domain "ffmpeg": context, then av_strerror's text; AVERROR(errno) maps like systemError.
PlatformError ffmpegError(int averror, const std::string& context);
// domain "pulseaudio": context, then pa_strerror's text.
PlatformError pulseError(int pulseErrorCode, const std::string& context);

}  // namespace quorvale::platform::x11

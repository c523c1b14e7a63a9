#pragma once

// Owning handles for the FFmpeg objects the writer uses, and the one-time
// silencing of FFmpeg's (and through it x264's) logging. Any thread.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <utility>

namespace quorvale::platform::encoding::ffmpeg {

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
// Output contexts only; the AVIOContext is owned separately (custom I/O).
struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct AvFreeDeleter {
  void operator()(void* memory) const { av_free(memory); }
};
struct IoContextDeleter {
  void operator()(AVIOContext* context) const {
    // The buffer may have been reallocated by FFmpeg, so free the current one.
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};

using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

// Stops FFmpeg and the encoders it wraps from writing to stderr. Idempotent, thread-safe.
void silenceLogging();

}  // namespace quorvale::platform::encoding::ffmpeg

// The movie writer's setup: the file with FFmpeg's I/O over our own descriptor, the
// container, and the encoders with the options chosen for screen content.

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/encoding/ffmpeg_errors.h"
#include "platform/encoding/movie_writer_impl.h"

namespace quorvale::platform::encoding {

namespace ffmpeg {

namespace {
void discardLog(void*, int, const char*, va_list) {}
}  // namespace

void silenceLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(discardLog);
  });
}

}  // namespace ffmpeg

int MovieWriter::Impl::writeCallback(void* opaque,
#if LIBAVFORMAT_VERSION_MAJOR >= 61
                                     const std::uint8_t* data,
#else
                                     std::uint8_t* data,
#endif
                                     int size) {
  auto* self = static_cast<Impl*>(opaque);
  if (self->writeErrno != 0) return AVERROR(self->writeErrno);
  const std::uint8_t* cursor = data;
  int remaining = size;
  while (remaining > 0) {
    ssize_t written = ::write(self->file->fd(), cursor, static_cast<std::size_t>(remaining));
    if (written < 0) {
      if (errno == EINTR) continue;
      self->writeErrno = errno;
      return AVERROR(self->writeErrno);
    }
    cursor += written;
    remaining -= static_cast<int>(written);
  }
  return size;
}

std::int64_t MovieWriter::Impl::seekCallback(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<Impl*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat info {};
    if (::fstat(self->file->fd(), &info) != 0) return AVERROR(errno);
    return info.st_size;
  }
  off_t result = ::lseek(self->file->fd(), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return result < 0 ? AVERROR(errno) : result;
}

PlatformError MovieWriter::Impl::writeFailure(int averror) const {
  if (writeErrno != 0) return systemError(writeErrno, writeContext());
  return ffmpegError(averror, writeContext());
}

void MovieWriter::Impl::checkIo() const {
  if (writeErrno != 0) throw systemError(writeErrno, writeContext());
  if (io->error < 0) throw ffmpegError(io->error, writeContext());
}

void MovieWriter::Impl::openFile() {
  file.emplace(path);

  std::unique_ptr<std::uint8_t, AvFreeDeleter> buffer(static_cast<std::uint8_t*>(av_malloc(kIoBufferSize)));
  if (!buffer) throw systemError(ENOMEM, "Could not set up the movie file");
  io.reset(avio_alloc_context(buffer.get(), kIoBufferSize, 1, this, nullptr, &writeCallback, &seekCallback));
  if (!io) throw systemError(ENOMEM, "Could not set up the movie file");
  (void)buffer.release();  // the I/O context owns it now
}

void MovieWriter::Impl::openContainer(const char* muxer) {
  AVFormatContext* raw = nullptr;
  int result = avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
  if (result < 0 || !raw) throw ffmpegError(result, "Could not set up the movie container");
  format.reset(raw);
  format->pb = io.get();
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Push each completed fragment to the file at once.
  format->flush_packets = 1;
}

CodecContextPtr MovieWriter::Impl::makeEncoder(const AVCodec* codec) {
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) throw systemError(ENOMEM, "Could not set up the encoder");
  if (format->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return context;
}

void MovieWriter::Impl::openVideo(const std::string& codecIdentifier) {
  const char* encoderName = encoderFor(codecIdentifier);
  const AVCodec* codec = encoderName ? avcodec_find_encoder_by_name(encoderName) : nullptr;
  if (!codec)
    throw ffmpegError(AVERROR_ENCODER_NOT_FOUND, "The video codec " + codecIdentifier + " is unsupported");
  const bool isH264 = std::strcmp(encoderName, "libx264") == 0;

  encodedWidth = video.width;
  encodedHeight = video.height;

  AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
  for (const AVPixelFormat* candidate = codec->pix_fmts; candidate && *candidate != AV_PIX_FMT_NONE;
       ++candidate) {
    if (*candidate == AV_PIX_FMT_NV12) pixelFormat = AV_PIX_FMT_NV12;
  }
  pixelDescriptor = av_pix_fmt_desc_get(pixelFormat);

  videoEncoder = makeEncoder(codec);
  AVCodecContext& context = *videoEncoder;
  context.width = encodedWidth;
  context.height = encodedHeight;
  context.pix_fmt = pixelFormat;
  videoTimeBase = {1, video.framesPerSecond};
  context.time_base = videoTimeBase;
  context.framerate = {video.framesPerSecond, 1};
  context.sample_aspect_ratio = {1, 1};
  context.gop_size = static_cast<int>(kMaxKeyframeIntervalMicros / 1'000'000) * video.framesPerSecond;
  context.keyint_min = context.gop_size / 2;
  context.max_b_frames = 0;
  // One thread: slices cost bits (a third more on screen content) and
  // synchronisation, and frame threads would hold frames back.
  context.thread_count = 1;
  context.color_range = AVCOL_RANGE_MPEG;
  context.colorspace = AVCOL_SPC_BT709;
  context.color_primaries = AVCOL_PRI_BT709;
  context.color_trc = AVCOL_TRC_BT709;

  // No lookahead, no B-frames and no frame threads: each frame leaves
  // the encoder as soon as it goes in. Damage-driven capture can go idle for a
  // long time, and a frame held back in the encoder would neither reach the
  // file (the first one promptly) nor survive a kill.
  Options options;
  if (isH264) {
    options.set("preset", "veryfast");
    options.set("crf", "23");
    // Screen content moves far (a scrolled list) and repeats itself (text): a wider motion
    // search finds both, for a seventh of the bytes of a scroll and half of typing.
    options.set("x264-params",
                "bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:force-cfr=1:me=umh:merange=64");
  } else {
    options.set("preset", "superfast");
    options.set("crf", "28");
    options.set("x265-params", "log-level=none:bframes=0:rc-lookahead=0:frame-threads=1:pools=2");
  }
  int result = options.apply([&](AVDictionary** dict) { return avcodec_open2(&context, codec, dict); });
  if (result < 0) throw ffmpegError(result, "Could not start the video encoder");

  videoStream = avformat_new_stream(format.get(), nullptr);
  if (!videoStream) throw systemError(ENOMEM, "Could not set up the movie container");
  videoStream->time_base = videoTimeBase;
  result = avcodec_parameters_from_context(videoStream->codecpar, &context);
  if (result < 0) throw ffmpegError(result, "Could not set up the movie container");
  if (!isH264) videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');

  zeroDelayEncoder = isH264;

  videoFrame.reset(av_frame_alloc());
  if (!videoFrame) throw systemError(ENOMEM, "Could not set up the video encoder");
  videoFrame->format = pixelFormat;
  videoFrame->width = encodedWidth;
  videoFrame->height = encodedHeight;
  videoFrame->color_range = context.color_range;
  videoFrame->colorspace = context.colorspace;
  videoFrame->color_primaries = context.color_primaries;
  videoFrame->color_trc = context.color_trc;
  result = av_frame_get_buffer(videoFrame.get(), 0);
  if (result < 0) throw ffmpegError(result, "Could not set up the video encoder");
  fillBlack();
}

void MovieWriter::Impl::openAudio() {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) throw ffmpegError(AVERROR_ENCODER_NOT_FOUND, "The AAC encoder is unsupported");
  if (audio->channels < 1 || audio->sampleRate < 1) throw invalidArgument("Invalid audio format");
  audioEncoder = makeEncoder(codec);
  AVCodecContext& context = *audioEncoder;
  context.sample_fmt = AV_SAMPLE_FMT_FLTP;
  context.sample_rate = audio->sampleRate;
  av_channel_layout_default(&context.ch_layout, audio->channels);
  context.bit_rate = kAudioBitRate;
  context.time_base = {1, audio->sampleRate};
  int result = avcodec_open2(&context, codec, nullptr);
  if (result < 0) throw ffmpegError(result, "Could not start the audio encoder");

  audioStream = avformat_new_stream(format.get(), nullptr);
  if (!audioStream) throw systemError(ENOMEM, "Could not set up the movie container");
  audioStream->time_base = context.time_base;
  result = avcodec_parameters_from_context(audioStream->codecpar, &context);
  if (result < 0) throw ffmpegError(result, "Could not set up the movie container");

  audioFrameSize = context.frame_size > 0 ? context.frame_size : 1024;
  audioPadding = context.initial_padding;
  audioFrame.reset(av_frame_alloc());
  if (!audioFrame) throw systemError(ENOMEM, "Could not set up the audio encoder");
  audioFrame->format = context.sample_fmt;
  audioFrame->sample_rate = context.sample_rate;
  audioFrame->nb_samples = audioFrameSize;
  result = av_channel_layout_copy(&audioFrame->ch_layout, &context.ch_layout);
  if (result < 0) throw ffmpegError(result, "Could not set up the audio encoder");
  result = av_frame_get_buffer(audioFrame.get(), 0);
  if (result < 0) throw ffmpegError(result, "Could not set up the audio encoder");
}

void MovieWriter::Impl::writeHeader() {
  Options options;
  // Fragmented: a killed process still leaves a playable file up to the last fragment.
  // We cut the fragments ourselves (frag_custom), at keyframes and at least every second; one
  // without a keyframe decodes after the one before it, which a killed file still has.
  options.set("movflags", "frag_custom+empty_moov+default_base_moof");
  // The track counts frame ticks, not the muxer's finer default clock.
  options.set("video_track_timescale", std::to_string(video.framesPerSecond).c_str());
  int result = options.apply([&](AVDictionary** dict) { return avformat_write_header(format.get(), dict); });
  if (result < 0) throw writeFailure(result);
  avio_flush(io.get());
  checkIo();
}

}  // namespace quorvale::platform::encoding

// MovieWriter: NV12 frames (or BGRX images, through a FrameConverter) and float audio into a
// fragmented MP4/MOV through libav*.
//
// Timing: every timestamp is relative to the first video frame's ptsMicros.
// Video counts frames of the configured rate (1/15 s): each frame goes to the
// nearest tick, so players and editors read the rate the movie has, while an
// unchanged picture may still leave ticks out. Audio uses 1/sampleRate and is
// kept gapless by inserting silence.

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/encoding/ffmpeg_errors.h"
#include "platform/encoding/ffmpeg_handles.h"
#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"
#include "platform/encoding/movie_file.h"

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

namespace {

using namespace ffmpeg;

constexpr AVRational kMicros = {1, 1'000'000};
constexpr std::int64_t kMaxKeyframeIntervalMicros = 2'000'000;
// Pending fragment data is pushed to the file this often, bounding what a kill loses.
constexpr std::int64_t kFragmentIntervalMicros = 1'000'000;
// Audio arriving this far after the samples written so far is a gap to fill with silence.
constexpr std::int64_t kAudioGapMicros = 20'000;
// Audio this far behind is dropped to resynchronise (sound card clock drift).
constexpr std::int64_t kAudioLateMicros = 200'000;
// Video time the audio track may trail by before silence is filled in while recording.
constexpr std::int64_t kAudioSilenceSlackMicros = 1'000'000;
constexpr int kIoBufferSize = 64 * 1024;
constexpr int kAudioBitRate = 128'000;

struct VideoCodecEntry {
  const char* identifier;
  const char* encoder;
};
constexpr VideoCodecEntry kVideoCodecs[] = {{"avc1", "libx264"}, {"hvc1", "libx265"}};

const char* encoderFor(const std::string& identifier) {
  for (const auto& entry : kVideoCodecs) {
    if (identifier == entry.identifier) return entry.encoder;
  }
  return nullptr;
}

const char* muxerFor(const std::string& fileType) {
  if (fileType == "public.mpeg-4") return "mp4";
  if (fileType == "com.apple.quicktime-movie") return "mov";
  return nullptr;
}

PlatformError invalidArgument(const std::string& what) { return systemError(EINVAL, what); }

struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

// A dictionary that owns its entries, for the option-passing calls that consume some of them.
class Options {
 public:
  void set(const char* key, const char* value) {
    AVDictionary* raw = dict_.release();
    av_dict_set(&raw, key, value, 0);
    dict_.reset(raw);
  }
  template <typename F>
  int apply(F&& call) {
    AVDictionary* raw = dict_.release();
    int result = call(&raw);
    dict_.reset(raw);
    return result;
  }

 private:
  std::unique_ptr<AVDictionary, DictionaryDeleter> dict_;
};

}  // namespace

struct MovieWriter::Impl {
  std::filesystem::path path;
  VideoFormat video;
  std::optional<AudioFormat> audio;

  // Declared in dependency order: destroyed in reverse, the fd last.
  std::optional<MovieFile> file;
  int writeErrno = 0;      // errno of the first failed write, from the I/O callback
  IoContextPtr io;
  FormatContextPtr format;
  CodecContextPtr videoEncoder;
  CodecContextPtr audioEncoder;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  FramePtr videoFrame;
  FramePtr audioFrame;
  PacketPtr packet;
  // For BGRX images handed to the writer itself; the stream converts on its own thread.
  std::unique_ptr<FrameConverter> converter;
  Nv12Frame converted;

  int encodedWidth = 0;
  int encodedHeight = 0;
  const AVPixFmtDescriptor* pixelDescriptor = nullptr;

  std::optional<std::int64_t> timeZero;
  AVRational videoTimeBase = {1, 15};  // one tick per frame at the configured rate
  std::int64_t lastVideoPts = -1;      // in videoTimeBase
  std::int64_t lastKeyframeMicros = 0;
  std::int64_t nominalFrameDuration = 1;  // in videoTimeBase
  std::int64_t bridgeFromPts = -1;        // where the first sample's nominal duration ends
  std::int64_t lastFragmentMicros = 0;
  std::int64_t latestMicros = 0;  // the latest time written, relative to time zero
  PacketPtr heldVideo;
  bool hasHeldVideo = false;
  bool zeroDelayEncoder = false;
  bool fragmentHasData = false;

  int audioFrameSize = 0;
  int audioFill = 0;  // samples already in audioFrame
  // Samples given to the encoder. It delays its output by audioPadding samples,
  // so input sample i carries the sound at time (i + audioPadding) / rate.
  std::int64_t audioPosition = 0;
  int audioPadding = 0;

  bool fileHasFrame = false;
  bool finished = false;
  std::optional<PlatformError> failure;

  // --- I/O over our own fd, so FFmpeg never opens the path itself ---

  static int writeCallback(void* opaque,
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

  static std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<Impl*>(opaque);
    if (whence & AVSEEK_SIZE) {
      struct stat info {};
      if (::fstat(self->file->fd(), &info) != 0) return AVERROR(errno);
      return info.st_size;
    }
    off_t result = ::lseek(self->file->fd(), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
  }

  std::string writeContext() const { return "Could not write the movie file " + path.string(); }

  PlatformError writeFailure(int averror) const {
    if (writeErrno != 0) return systemError(writeErrno, writeContext());
    return ffmpegError(averror, writeContext());
  }

  void checkIo() const {
    if (writeErrno != 0) throw systemError(writeErrno, writeContext());
    if (io->error < 0) throw ffmpegError(io->error, writeContext());
  }

  // --- setup ---

  void openFile() {
    file.emplace(path);

    std::unique_ptr<std::uint8_t, AvFreeDeleter> buffer(static_cast<std::uint8_t*>(av_malloc(kIoBufferSize)));
    if (!buffer) throw systemError(ENOMEM, "Could not set up the movie file");
    io.reset(
        avio_alloc_context(buffer.get(), kIoBufferSize, 1, this, nullptr, &writeCallback, &seekCallback));
    if (!io) throw systemError(ENOMEM, "Could not set up the movie file");
    (void)buffer.release();  // the I/O context owns it now
  }

  void openContainer(const char* muxer) {
    AVFormatContext* raw = nullptr;
    int result = avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
    if (result < 0 || !raw) throw ffmpegError(result, "Could not set up the movie container");
    format.reset(raw);
    format->pb = io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Push each completed fragment to the file at once.
    format->flush_packets = 1;
  }

  CodecContextPtr makeEncoder(const AVCodec* codec) {
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) throw systemError(ENOMEM, "Could not set up the encoder");
    if (format->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return context;
  }

  void openVideo(const std::string& codecIdentifier) {
    const char* encoderName = encoderFor(codecIdentifier);
    const AVCodec* codec = encoderName ? avcodec_find_encoder_by_name(encoderName) : nullptr;
    if (!codec)
      throw ffmpegError(AVERROR_ENCODER_NOT_FOUND, "The video codec " + codecIdentifier + " is unsupported");
    const bool isH264 = std::strcmp(encoderName, "libx264") == 0;

    // 4:2:0 needs even dimensions: encode one pixel larger and leave that edge black.
    encodedWidth = video.width + (video.width & 1);
    encodedHeight = video.height + (video.height & 1);

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
    context.gop_size = 2 * video.framesPerSecond;
    context.keyint_min = video.framesPerSecond;
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
      options.set("x264-params", "bframes=0:rc-lookahead=0:sync-lookahead=0:mbtree=0:force-cfr=1");
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

  void openAudio() {
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

  void writeHeader() {
    Options options;
    // Fragmented: a killed process still leaves a playable file up to the last fragment.
    // We cut the fragments ourselves (frag_custom), at keyframes and at least every second.
    options.set("movflags", "frag_custom+empty_moov+default_base_moof");
    // The track counts frame ticks, not the muxer's finer default clock.
    options.set("video_track_timescale", std::to_string(video.framesPerSecond).c_str());
    int result =
        options.apply([&](AVDictionary** dict) { return avformat_write_header(format.get(), dict); });
    if (result < 0) throw writeFailure(result);
    avio_flush(io.get());
    checkIo();
  }

  // --- video ---

  void fillBlack() {
    const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(videoFrame->format));
    for (int plane = 0; plane < planes; ++plane) {
      const bool chroma = plane > 0;
      const int rows = chroma ? AV_CEIL_RSHIFT(encodedHeight, pixelDescriptor->log2_chroma_h) : encodedHeight;
      std::memset(videoFrame->data[plane], chroma ? 128 : 16,
                  static_cast<std::size_t>(videoFrame->linesize[plane]) * static_cast<std::size_t>(rows));
    }
  }

  void makeVideoFrameWritable() {
    // A no-op unless the encoder still holds a reference to the buffer.
    int result = av_frame_make_writable(videoFrame.get());
    if (result < 0) throw ffmpegError(result, "Could not encode the video");
  }

  void load(const Nv12Frame& frame) {
    makeVideoFrameWritable();
    av_image_copy_plane(videoFrame->data[0], videoFrame->linesize[0], frame.luma.data(), frame.lumaStride,
                        encodedWidth, encodedHeight);
    if (videoFrame->format == AV_PIX_FMT_NV12) {
      av_image_copy_plane(videoFrame->data[1], videoFrame->linesize[1], frame.chroma.data(),
                          frame.chromaStride, encodedWidth, encodedHeight / 2);
      return;
    }
    // Planar 4:2:0 for encoders without NV12.
    for (int y = 0; y < encodedHeight / 2; ++y) {
      const std::uint8_t* in = frame.chroma.data() + static_cast<std::ptrdiff_t>(y) * frame.chromaStride;
      std::uint8_t* cb = videoFrame->data[1] + static_cast<std::ptrdiff_t>(y) * videoFrame->linesize[1];
      std::uint8_t* cr = videoFrame->data[2] + static_cast<std::ptrdiff_t>(y) * videoFrame->linesize[2];
      for (int x = 0; x < encodedWidth / 2; ++x) {
        cb[x] = in[2 * x];
        cr[x] = in[2 * x + 1];
      }
    }
  }

  void encode(AVCodecContext* encoder, AVStream* stream, const AVFrame* frame) {
    int result = avcodec_send_frame(encoder, frame);
    if (result < 0) {
      throw ffmpegError(result,
                        stream == videoStream ? "Could not encode the video" : "Could not encode the audio");
    }
    for (;;) {
      result = avcodec_receive_packet(encoder, packet.get());
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
      if (result < 0) throw ffmpegError(result, "Could not encode the movie");
      if (stream == videoStream) {
        acceptVideoPacket();
      } else {
        writePacket(packet.get(), encoder, stream);
      }
    }
  }

  void writePacket(AVPacket* data, AVCodecContext* encoder, AVStream* stream) {
    av_packet_rescale_ts(data, encoder->time_base, stream->time_base);
    data->stream_index = stream->index;
    int result = av_write_frame(format.get(), data);
    av_packet_unref(data);
    if (result < 0) throw writeFailure(result);
    fragmentHasData = true;
  }

  // A video sample's duration is only known when the next one arrives, and the
  // muxer takes the last duration in a fragment as given; so each packet is held
  // until its successor comes. The very first goes out at once (the file then
  // holds a frame) with a nominal duration, and a repeat of it bridges to the next.
  void acceptVideoPacket() {
    if (packet->flags & AV_PKT_FLAG_KEY) {
      lastKeyframeMicros = av_rescale_q(packet->pts, videoEncoder->time_base, kMicros);
    }
    if (zeroDelayEncoder && !fileHasFrame) {
      const std::int64_t pts = packet->pts;
      packet->duration = nominalFrameDuration;
      writePacket(packet.get(), videoEncoder.get(), videoStream);
      flushFragment();
      fileHasFrame = true;
      bridgeFromPts = pts + nominalFrameDuration;
      return;
    }
    if (hasHeldVideo) releaseHeldVideo(packet->dts - heldVideo->dts);
    av_packet_move_ref(heldVideo.get(), packet.get());
    hasHeldVideo = true;
  }

  void releaseHeldVideo(std::int64_t duration) {
    heldVideo->duration = std::max<std::int64_t>(1, duration);
    // Fragments start at keyframes, so each one decodes on its own.
    if ((heldVideo->flags & AV_PKT_FLAG_KEY) && fragmentHasData) flushFragment();
    writePacket(heldVideo.get(), videoEncoder.get(), videoStream);
    hasHeldVideo = false;
    fileHasFrame = true;
  }

  // Re-encodes the image still in videoFrame so the first sample's nominal
  // duration runs on without a gap until the next image. Returns whether it
  // did: not when the next image comes on the very next tick.
  bool bridgeFirstFrame(std::int64_t untilPts) {
    if (bridgeFromPts < 0) return false;
    const std::int64_t from = bridgeFromPts;
    bridgeFromPts = -1;
    if (untilPts <= from) return false;
    encodeVideo(from, false);
    return true;
  }

  void encodeVideo(std::int64_t pts, bool forceKeyframe) {
    videoFrame->pts = pts;
    videoFrame->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    encode(videoEncoder.get(), videoStream, videoFrame.get());
    lastVideoPts = pts;
  }

  void flushFragment() {
    int result = av_write_frame(format.get(), nullptr);
    if (result < 0) throw writeFailure(result);
    avio_flush(io.get());
    checkIo();
    fragmentHasData = false;
    lastFragmentMicros = latestMicros;
  }

  void afterWrite(std::int64_t relativeMicros) {
    latestMicros = std::max(latestMicros, relativeMicros);
    if (fragmentHasData && latestMicros - lastFragmentMicros >= kFragmentIntervalMicros) flushFragment();
    checkIo();
  }

  // --- audio ---

  // Appends count samples (silence when source is null) and encodes every full frame.
  void appendAudio(const float* source, std::int64_t count) {
    const int channels = audio->channels;
    while (count > 0) {
      if (audioFill == 0) {
        int result = av_frame_make_writable(audioFrame.get());
        if (result < 0) throw ffmpegError(result, "Could not encode the audio");
      }
      const int take = static_cast<int>(std::min<std::int64_t>(count, audioFrameSize - audioFill));
      for (int channel = 0; channel < channels; ++channel) {
        float* destination = reinterpret_cast<float*>(audioFrame->data[channel]) + audioFill;
        if (source) {
          const float* from = source + channel;
          for (int i = 0; i < take; ++i) destination[i] = from[static_cast<std::ptrdiff_t>(i) * channels];
        } else {
          std::fill_n(destination, take, 0.0f);
        }
      }
      if (source) source += static_cast<std::ptrdiff_t>(take) * channels;
      audioFill += take;
      audioPosition += take;
      count -= take;
      if (audioFill == audioFrameSize) encodeAudioFrame();
    }
  }

  void encodeAudioFrame() {
    audioFrame->nb_samples = audioFill;
    // Shifted by the encoder delay, so the first packet starts at zero like the video.
    audioFrame->pts = audioPosition - audioFill + audioPadding;
    encode(audioEncoder.get(), audioStream, audioFrame.get());
    audioFill = 0;
  }

  // The nearest frame tick.
  std::int64_t toTicks(std::int64_t micros) const {
    return av_rescale_q_rnd(micros, kMicros, videoTimeBase,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  }

  std::int64_t microsToSamples(std::int64_t micros) const {
    return av_rescale_q(micros, kMicros, {1, audio->sampleRate});
  }

  // The encoder input position that holds the sound at relativeMicros.
  std::int64_t audioPositionAt(std::int64_t relativeMicros) const {
    return microsToSamples(relativeMicros) - audioPadding;
  }

  void fillSilenceUntil(std::int64_t relativeMicros) {
    const std::int64_t target = audioPositionAt(relativeMicros);
    if (target > audioPosition) appendAudio(nullptr, target - audioPosition);
  }

  // frame null: encode the last picture again.
  void writeVideoAt(std::int64_t ptsMicros, const Nv12Frame* frame);

  template <typename F>
  void guarded(F&& body) {
    if (failure) throw *failure;
    if (finished) throw invalidArgument("The movie " + path.string() + " is already finished");
    try {
      body();
    } catch (const PlatformError& error) {
      failure = error;
      throw;
    }
  }
};

MovieWriter::MovieWriter(const std::filesystem::path& path, const std::string& fileType,
                         const std::string& videoCodec, VideoFormat video, std::optional<AudioFormat> audio)
    : impl_(std::make_unique<Impl>()) {
  ffmpeg::silenceLogging();
  const char* muxer = muxerFor(fileType);
  if (!muxer) throw invalidArgument("The file type " + fileType + " is unsupported");
  if (video.width < 1 || video.height < 1 || video.framesPerSecond < 1) {
    throw invalidArgument("Invalid video size " + std::to_string(video.width) + "x" +
                          std::to_string(video.height));
  }
  impl_->path = path;
  impl_->video = video;
  impl_->audio = audio;
  impl_->packet.reset(av_packet_alloc());
  impl_->heldVideo.reset(av_packet_alloc());
  if (!impl_->packet || !impl_->heldVideo) throw systemError(ENOMEM, "Could not set up the movie");
  impl_->openFile();
  // Setup failing after the file exists: don't leave a useless file behind.
  struct RemoveUnlessKept {
    Impl& impl;
    bool keep = false;
    ~RemoveUnlessKept() {
      if (!keep) impl.file->remove();  // the setup error is the one to report
    }
  } removeOnFailure{*impl_};
  impl_->openContainer(muxer);
  impl_->openVideo(videoCodec);
  if (audio) impl_->openAudio();
  impl_->writeHeader();
  removeOnFailure.keep = true;
}

MovieWriter::~MovieWriter() = default;

void MovieWriter::writeVideoFrame(const BgraImageView& image, std::int64_t ptsMicros) {
  Impl& self = *impl_;
  self.guarded([&] {
    if (!self.converter) self.converter = std::make_unique<FrameConverter>(self.video);
    self.converter->convert(image, self.converted);
    self.writeVideoAt(ptsMicros, &self.converted);
  });
}

void MovieWriter::writeVideoFrame(const Nv12Frame& frame, std::int64_t ptsMicros) {
  Impl& self = *impl_;
  self.guarded([&] {
    if (frame.width != self.encodedWidth || frame.height != self.encodedHeight ||
        frame.lumaStride < frame.width || frame.chromaStride < frame.width ||
        frame.luma.size() <
            static_cast<std::size_t>(frame.lumaStride) * static_cast<std::size_t>(frame.height) ||
        frame.chroma.size() <
            static_cast<std::size_t>(frame.chromaStride) * static_cast<std::size_t>(frame.height / 2)) {
      throw invalidArgument("Invalid image for the movie");
    }
    self.writeVideoAt(ptsMicros, &frame);
  });
}

void MovieWriter::writeRepeatedFrame(std::int64_t ptsMicros) {
  Impl& self = *impl_;
  // A call too early is the caller's mistake; the movie stays usable.
  if (!self.timeZero && !self.failure && !self.finished) {
    throw invalidArgument("No image to repeat in the movie " + self.path.string());
  }
  self.guarded([&] { self.writeVideoAt(ptsMicros, nullptr); });
}

void MovieWriter::Impl::writeVideoAt(std::int64_t ptsMicros, const Nv12Frame* frame) {
  if (!timeZero) timeZero = ptsMicros;
  const std::int64_t relative = ptsMicros - *timeZero;
  std::int64_t pts = toTicks(relative);
  if (bridgeFromPts >= 0) {
    // Nothing may start before the first sample's written end.
    const std::int64_t firstEnd = bridgeFromPts;
    if (!bridgeFirstFrame(pts)) pts = firstEnd;
  }
  // The encoder needs strictly increasing timestamps.
  pts = std::max(pts, lastVideoPts + 1);
  if (frame) load(*frame);  // else the picture already in videoFrame goes again
  // The keyframe interval in frames says nothing about time when frames come rarely.
  const bool forceKeyframe = lastVideoPts >= 0 && relative - lastKeyframeMicros >= kMaxKeyframeIntervalMicros;
  encodeVideo(pts, forceKeyframe);
  if (audio) fillSilenceUntil(relative - kAudioSilenceSlackMicros);
  afterWrite(relative);
}

void MovieWriter::writeAudio(const float* interleaved, std::size_t frameCount, std::int64_t ptsMicros) {
  Impl& self = *impl_;
  self.guarded([&] {
    if (!self.audio) throw invalidArgument("The movie " + self.path.string() + " has no audio track");
    if (!self.timeZero || frameCount == 0) return;  // before the first video frame: dropped
    const std::int64_t relative = ptsMicros - *self.timeZero;
    std::int64_t start = self.audioPositionAt(relative);
    std::int64_t count = static_cast<std::int64_t>(frameCount);
    std::int64_t skip = 0;
    if (start < 0) {
      skip = std::min(count, -start);
      start += skip;
    }
    const std::int64_t ahead = start - self.audioPosition;
    if (ahead > self.microsToSamples(kAudioGapMicros)) {
      self.appendAudio(nullptr, ahead);
    } else if (-ahead > self.microsToSamples(kAudioLateMicros)) {
      skip += std::min(count - skip, -ahead);
    }
    if (skip < count) self.appendAudio(interleaved + skip * self.audio->channels, count - skip);
    self.afterWrite(relative);
  });
}

void MovieWriter::finish(std::int64_t endMicros) {
  Impl& self = *impl_;
  self.guarded([&] {
    std::optional<std::int64_t> endPts;
    if (self.timeZero) {
      const std::int64_t end = endMicros - *self.timeZero;
      endPts = self.toTicks(end);
      self.bridgeFirstFrame(*endPts);
      if (self.audio) self.fillSilenceUntil(end);
    }
    self.encode(self.videoEncoder.get(), self.videoStream, nullptr);
    if (self.hasHeldVideo) {
      // The last image stays on screen until the recording's end.
      const std::int64_t duration = endPts ? *endPts - self.heldVideo->dts : 0;
      self.releaseHeldVideo(duration > 0 ? duration : self.nominalFrameDuration);
    }
    if (self.audio) {
      if (self.audioFill > 0) self.encodeAudioFrame();
      self.encode(self.audioEncoder.get(), self.audioStream, nullptr);
    }
    int result = av_write_trailer(self.format.get());
    if (result < 0) throw self.writeFailure(result);
    avio_flush(self.io.get());
    self.checkIo();
    self.file->close();
    self.finished = true;
  });
}

void MovieWriter::discard() {
  Impl& self = *impl_;
  if (self.finished) throw invalidArgument("The movie " + self.path.string() + " is already finished");
  if (self.fileHasFrame) throw invalidArgument("The movie " + self.path.string() + " already holds frames");
  self.finished = true;
  if (const int error = self.file->remove()) {
    throw systemError(error, "Could not remove the unfinished movie file " + self.path.string());
  }
}

bool MovieWriter::hasWrittenFrame() const { return impl_->fileHasFrame; }

std::vector<std::string> availableVideoCodecs() {
  std::vector<std::string> codecs;
  for (const auto& entry : kVideoCodecs) {
    if (avcodec_find_encoder_by_name(entry.encoder)) codecs.emplace_back(entry.identifier);
  }
  return codecs;
}

std::vector<std::string> availableFileTypes() { return {"public.mpeg-4", "com.apple.quicktime-movie"}; }

}  // namespace quorvale::platform::encoding

// MovieWriter: NV12 frames and float audio into a
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
#include "platform/encoding/movie_file.h"
#include "platform/encoding/movie_writer_impl.h"

namespace quorvale::platform::encoding {

void MovieWriter::Impl::fillBlack() {
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(videoFrame->format));
  for (int plane = 0; plane < planes; ++plane) {
    const bool chroma = plane > 0;
    const int rows = chroma ? AV_CEIL_RSHIFT(encodedHeight, pixelDescriptor->log2_chroma_h) : encodedHeight;
    std::memset(videoFrame->data[plane], chroma ? 128 : 16,
                static_cast<std::size_t>(videoFrame->linesize[plane]) * static_cast<std::size_t>(rows));
  }
}

void MovieWriter::Impl::makeVideoFrameWritable() {
  // A no-op unless the encoder still holds a reference to the buffer.
  int result = av_frame_make_writable(videoFrame.get());
  if (result < 0) throw ffmpegError(result, "Could not encode the video");
}

void MovieWriter::Impl::load(const Nv12Frame& frame) {
  makeVideoFrameWritable();
  av_image_copy_plane(videoFrame->data[0], videoFrame->linesize[0], frame.luma.data(), frame.lumaStride,
                      encodedWidth, encodedHeight);
  if (videoFrame->format == AV_PIX_FMT_NV12) {
    av_image_copy_plane(videoFrame->data[1], videoFrame->linesize[1], frame.chroma.data(), frame.chromaStride,
                        encodedWidth, encodedHeight / 2);
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

void MovieWriter::Impl::encode(AVCodecContext* encoder, AVStream* stream, const AVFrame* frame) {
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

void MovieWriter::Impl::writePacket(AVPacket* data, AVCodecContext* encoder, AVStream* stream) {
  av_packet_rescale_ts(data, encoder->time_base, stream->time_base);
  data->stream_index = stream->index;
  int result = av_write_frame(format.get(), data);
  av_packet_unref(data);
  if (result < 0) throw writeFailure(result);
  fragmentHasData = true;
}

void MovieWriter::Impl::acceptVideoPacket() {
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

void MovieWriter::Impl::releaseHeldVideo(std::int64_t duration) {
  heldVideo->duration = std::max<std::int64_t>(1, duration);
  // A keyframe opens a fragment, so a seek can start reading at a fragment.
  if ((heldVideo->flags & AV_PKT_FLAG_KEY) && fragmentHasData) flushFragment();
  writePacket(heldVideo.get(), videoEncoder.get(), videoStream);
  hasHeldVideo = false;
  fileHasFrame = true;
}

bool MovieWriter::Impl::bridgeFirstFrame(std::int64_t untilPts) {
  if (bridgeFromPts < 0) return false;
  const std::int64_t from = bridgeFromPts;
  bridgeFromPts = -1;
  if (untilPts <= from) return false;
  encodeVideo(from, false);
  return true;
}

void MovieWriter::Impl::encodeVideo(std::int64_t pts, bool forceKeyframe) {
  videoFrame->pts = pts;
  videoFrame->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  encode(videoEncoder.get(), videoStream, videoFrame.get());
  lastVideoPts = pts;
}

void MovieWriter::Impl::flushFragment() {
  int result = av_write_frame(format.get(), nullptr);
  if (result < 0) throw writeFailure(result);
  avio_flush(io.get());
  checkIo();
  fragmentHasData = false;
  lastFragmentMicros = latestMicros;
}

void MovieWriter::Impl::afterWrite(std::int64_t relativeMicros) {
  latestMicros = std::max(latestMicros, relativeMicros);
  if (fragmentHasData && latestMicros - lastFragmentMicros >= kFragmentIntervalMicros) flushFragment();
  checkIo();
}

void MovieWriter::Impl::appendAudio(const float* source, std::int64_t count) {
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

void MovieWriter::Impl::encodeAudioFrame() {
  audioFrame->nb_samples = audioFill;
  // Shifted by the encoder delay, so the first packet starts at zero like the video.
  audioFrame->pts = audioPosition - audioFill + audioPadding;
  encode(audioEncoder.get(), audioStream, audioFrame.get());
  audioFill = 0;
}

std::int64_t MovieWriter::Impl::toTicks(std::int64_t micros) const {
  return av_rescale_q_rnd(micros, kMicros, videoTimeBase,
                          static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

std::int64_t MovieWriter::Impl::microsToSamples(std::int64_t micros) const {
  return av_rescale_q(micros, kMicros, {1, audio->sampleRate});
}

std::int64_t MovieWriter::Impl::audioPositionAt(std::int64_t relativeMicros) const {
  return microsToSamples(relativeMicros) - audioPadding;
}

void MovieWriter::Impl::fillSilenceUntil(std::int64_t relativeMicros) {
  const std::int64_t target = audioPositionAt(relativeMicros);
  if (target > audioPosition) appendAudio(nullptr, target - audioPosition);
}

MovieWriter::MovieWriter(const std::filesystem::path& path, const std::string& fileType,
                         const std::string& videoCodec, VideoFormat video, std::optional<AudioFormat> audio)
    : impl_(std::make_unique<Impl>()) {
  ffmpeg::silenceLogging();
  const char* muxer = muxerFor(fileType);
  if (!muxer) throw invalidArgument("The file type " + fileType + " is unsupported");
  // 4:2:0 takes even sizes; the stream rounds the output size down to them.
  if (video.width < 2 || video.height < 2 || video.width % 2 || video.height % 2 ||
      video.framesPerSecond < 1) {
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

#pragma once

// The movie writer's inside, shared by its two files: the file, container and encoder
// setup (movie_setup.cpp), and the timeline of frames, sound and fragments
// (movie_writer.cpp). Not for use elsewhere.
// Threading: as MovieWriter's: one thread at a time.

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/encoding/ffmpeg_handles.h"
#include "platform/encoding/movie_file.h"
#include "platform/encoding/movie_writer.h"
#include "platform/platform_error.h"

namespace quorvale::platform::encoding {
namespace detail {

constexpr AVRational kMicros = {1, 1'000'000};
// A seek decodes from the keyframe before it: 10 s of mostly unchanged frames decode in tens
// of milliseconds, and each keyframe of a text-filled window costs as much as seconds of typing.
constexpr std::int64_t kMaxKeyframeIntervalMicros = 10'000'000;
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

inline const char* encoderFor(const std::string& identifier) {
  for (const auto& entry : kVideoCodecs) {
    if (identifier == entry.identifier) return entry.encoder;
  }
  return nullptr;
}

inline const char* muxerFor(const std::string& fileType) {
  if (fileType == "public.mpeg-4") return "mp4";
  if (fileType == "com.apple.quicktime-movie") return "mov";
  return nullptr;
}

inline PlatformError invalidArgument(const std::string& what) { return systemError(EINVAL, what); }

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

}  // namespace detail

using namespace detail;
using namespace ffmpeg;

struct MovieWriter::Impl {
  std::filesystem::path path;
  VideoFormat video;
  std::optional<AudioFormat> audio;

  // Declared in dependency order: destroyed in reverse, the fd last.
  std::optional<MovieFile> file;
  int writeErrno = 0;  // errno of the first failed write, from the I/O callback
  IoContextPtr io;
  FormatContextPtr format;
  CodecContextPtr videoEncoder;
  CodecContextPtr audioEncoder;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  FramePtr videoFrame;
  FramePtr audioFrame;
  PacketPtr packet;

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
                           int size);

  static std::int64_t seekCallback(void* opaque, std::int64_t offset, int whence);

  std::string writeContext() const { return "Could not write the movie file " + path.string(); }

  PlatformError writeFailure(int averror) const;

  void checkIo() const;

  // --- setup ---

  void openFile();

  void openContainer(const char* muxer);

  CodecContextPtr makeEncoder(const AVCodec* codec);

  void openVideo(const std::string& codecIdentifier);

  void openAudio();

  void writeHeader();

  // --- video ---

  void fillBlack();

  void makeVideoFrameWritable();

  void load(const Nv12Frame& frame);

  void encode(AVCodecContext* encoder, AVStream* stream, const AVFrame* frame);

  void writePacket(AVPacket* data, AVCodecContext* encoder, AVStream* stream);

  // A video sample's duration is only known when the next one arrives, and the
  // muxer takes the last duration in a fragment as given; so each packet is held
  // until its successor comes. The very first goes out at once (the file then
  // holds a frame) with a nominal duration, and a repeat of it bridges to the next.
  void acceptVideoPacket();

  void releaseHeldVideo(std::int64_t duration);

  // Re-encodes the image still in videoFrame so the first sample's nominal
  // duration runs on without a gap until the next image. Returns whether it
  // did: not when the next image comes on the very next tick.
  bool bridgeFirstFrame(std::int64_t untilPts);

  void encodeVideo(std::int64_t pts, bool forceKeyframe);

  void flushFragment();

  void afterWrite(std::int64_t relativeMicros);

  // --- audio ---

  // Appends count samples (silence when source is null) and encodes every full frame.
  void appendAudio(const float* source, std::int64_t count);

  void encodeAudioFrame();

  // The nearest frame tick.
  std::int64_t toTicks(std::int64_t micros) const;

  std::int64_t microsToSamples(std::int64_t micros) const;

  // The encoder input position that holds the sound at relativeMicros.
  std::int64_t audioPositionAt(std::int64_t relativeMicros) const;

  void fillSilenceUntil(std::int64_t relativeMicros);

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

}  // namespace quorvale::platform::encoding

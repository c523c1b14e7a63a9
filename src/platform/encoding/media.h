#pragma once

// Encoding side of the Linux capture service: frame conversion, the movie
// file and system audio. Nothing here includes FFmpeg or PulseAudio headers,
// so the capture side can use it without them.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvale::platform::x11 {

// Microseconds on CLOCK_MONOTONIC; audio and video share it.
std::int64_t monotonicMicros();

// A BGRX image (4 bytes a pixel, byte order B, G, R, X), rows `stride` bytes apart.
struct BgraImageView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

struct VideoFormat {
  int width = 0;  // output size in pixels, as configured
  int height = 0;
  int framesPerSecond = 15;         // the highest rate; frames may come less often
  bool preserveAspectRatio = true;  // letterbox instead of stretching
};

// An NV12 picture: a luma plane, then interleaved Cb/Cr rows at half the
// height. Plain vectors, so frames can be recycled between threads.
struct Nv12Frame {
  std::vector<std::uint8_t> luma;
  std::vector<std::uint8_t> chroma;
  int width = 0;  // even
  int height = 0;
  int lumaStride = 0;
  int chromaStride = 0;
};

// BGRX images to NV12 at the movie's size (odd sizes rounded up, the extra
// edge black), scaled and letterboxed like the movie wants them. Not
// thread-safe: one thread uses it (the stream's capture thread).
class FrameConverter {
 public:
  // scalesToFit false: the image at its own size in the top-left corner, cut off
  // where it is larger than the output. Throws PlatformError on an invalid size.
  FrameConverter(VideoFormat video, bool scalesToFit = true);
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // Fills out (allocating only when it has the wrong size). Throws PlatformError.
  void convert(const BgraImageView& image, Nv12Frame& out);

  // The same band by band, top to bottom, so the whole image never needs to
  // exist at once: begin with its size, then every run of rows in order. out
  // must stay alive until the last rows. Throw PlatformError.
  void begin(int width, int height, Nv12Frame& out);
  void convertRows(const BgraImageView& rows, int top);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct AudioFormat {
  int sampleRate = 48000;
  int channels = 2;
};

// Writes one movie. Not thread-safe: one thread calls it (the stream's writer thread).
class MovieWriter {
 public:
  // Creates the file exclusively and never through a symbolic link. Throws
  // PlatformError with the system's message when that or the encoder setup fails.
  // fileType is "public.mpeg-4" or "com.apple.quicktime-movie"; videoCodec one of
  // availableVideoCodecs(). audio absent: the movie has no audio track.
  MovieWriter(const std::filesystem::path& path, const std::string& fileType, const std::string& videoCodec,
              VideoFormat video, std::optional<AudioFormat> audio);
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Scales the image into the output size (letterboxed on black when the
  // aspect ratio is kept), converts it to NV12 and encodes it. ptsMicros on
  // the shared clock; the first call sets the movie's time zero. Throws PlatformError.
  void writeVideoFrame(const BgraImageView& image, std::int64_t ptsMicros);

  // A picture a FrameConverter for this movie's format made. Throws PlatformError,
  // also when the frame has another size.
  void writeVideoFrame(const Nv12Frame& frame, std::int64_t ptsMicros);

  // The last image written, again at ptsMicros: for a picture that has not
  // changed, without converting it anew. Throws PlatformError, also before any image.
  void writeRepeatedFrame(std::int64_t ptsMicros);

  // Interleaved float samples in the audio format; gaps up to the video time are
  // filled with silence at finish, so the track lasts as long as the movie. Throws PlatformError.
  void writeAudio(const float* interleaved, std::size_t frameCount, std::int64_t ptsMicros);

  // Flushes encoders, completes the file, fsyncs and closes it. endMicros is
  // the recording's end on the shared clock, so the movie lasts until then.
  // Throws PlatformError (a full disk, say); the file then stays playable up to
  // its last complete fragment.
  void finish(std::int64_t endMicros);

  // True once at least one video frame is in the file.
  bool hasWrittenFrame() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Codec identifiers for the encoders the linked libavcodec has, H.264 ("avc1") first.
std::vector<std::string> availableVideoCodecs();
// "public.mpeg-4" then "com.apple.quicktime-movie".
std::vector<std::string> availableFileTypes();

// System audio from the sound server. Without a server, start() returns false
// and nothing fails: the movie then gets a silent track.
class AudioCapture {
 public:
  using Sink = std::function<void(const float* interleaved, std::size_t frameCount, std::int64_t ptsMicros)>;

  // processID set: only that process's playback streams; otherwise the monitor of
  // the default output. The sink is called on the capture's own thread.
  AudioCapture(AudioFormat format, std::optional<pid_t> processID, Sink sink);
  ~AudioCapture();  // stops and joins; no sink call after it returns
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  bool start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::x11

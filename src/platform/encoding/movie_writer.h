#pragma once

// The movie file: H.264 and AAC encoded and written as fragmented MP4 (or MOV).
// Threading: one thread calls a writer (the stream's writer thread).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::encoding {

using pipeline::AudioFormat;
using pipeline::Nv12Frame;
using pipeline::VideoFormat;

class MovieWriter {
 public:
  // Creates the file exclusively and never through a symbolic link. Throws
  // PlatformError with the system's message when that or the encoder setup fails.
  // fileType is "public.mpeg-4" or "com.apple.quicktime-movie"; videoCodec one of
  // availableVideoCodecs(); video's size even (4:2:0). audio absent: the movie has no audio track.
  MovieWriter(const std::filesystem::path& path, const std::string& fileType, const std::string& videoCodec,
              VideoFormat video, std::optional<AudioFormat> audio);
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Encodes a picture a FrameConverter for this movie's format made. ptsMicros on the
  // shared clock; the first call sets the movie's time zero. Throws PlatformError, also
  // when the frame has another size.
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

  // For a recording that failed before its first frame: closes the file and
  // removes it, provided the path still names the file this writer created
  // (never one that someone put there since). Throws PlatformError.
  void discard();

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

}  // namespace quorvale::platform::encoding

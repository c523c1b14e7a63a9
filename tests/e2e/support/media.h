#pragma once

// Looking into a recorded movie with ffprobe and ffmpeg: its streams, a frame's
// pixels, and the sound with the share of a given tone.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvale::e2e {

struct VideoStreamInfo {
  std::string codec;
  int width = 0;
  int height = 0;
  std::int64_t frames = 0;
  std::string frameRate;  // ffprobe's r_frame_rate, e.g. "15/1"
  std::string timeBase;   // e.g. "1/15"
};

struct AudioStreamInfo {
  std::string codec;
  int sampleRate = 0;
  int channels = 0;
};

struct MediaInfo {
  std::string formatName;  // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  std::string majorBrand;
  double duration = 0;  // seconds, of the container
  std::optional<VideoStreamInfo> video;
  std::optional<AudioStreamInfo> audio;
};

// ffprobe of the file; nothing if ffprobe fails.
std::optional<MediaInfo> probe(const std::filesystem::path& file);

// True when ffmpeg decodes every stream without a complaint.
bool decodesCleanly(const std::filesystem::path& file);

// The last frame shown by `seconds`, as packed rgb24 rows; empty if ffmpeg fails.
std::vector<std::uint8_t> frameAt(const std::filesystem::path& file, double seconds);

// The sound mixed down to mono s16 at 48 kHz.
std::vector<std::int16_t> soundOf(const std::filesystem::path& file);

// The share (0..1) of the signal's energy at `hz` (Goertzel over 0.1 s blocks,
// so whole multiples of 10 Hz fall exactly on a bin). 0 for silence.
double toneShare(const std::vector<std::int16_t>& samples, int sampleRate, double hz);

// Root mean square, in full scale (0..1).
double rms(const std::vector<std::int16_t>& samples);

}  // namespace quorvale::e2e

#pragma once

// Looking into a recorded movie with ffprobe and ffmpeg: streams, frames as
// RGB pixels, and audio as samples with the power of a given tone.

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
  std::string formatName;  // ffprobe's format_name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  std::string majorBrand;
  double duration = 0;  // seconds, of the container
  std::optional<VideoStreamInfo> video;
  std::optional<AudioStreamInfo> audio;
  std::string json;  // the raw ffprobe output, for failure messages
};

// ffprobe of the file; nothing (and the reason in *error) if ffprobe fails.
std::optional<MediaInfo> probe(const std::filesystem::path& file, std::string* error = nullptr);

// Presentation times of the video frames in seconds, in order.
std::vector<double> videoFrameTimes(const std::filesystem::path& file);

// Frames per second over the span from the first to the last frame. Unlike
// ffprobe's avg_frame_rate it does not depend on how long the last frame lasts.
double measuredFrameRate(const std::vector<double>& frameTimes);

// True when ffmpeg decodes every stream without an error; the errors in *errors.
bool decodesCleanly(const std::filesystem::path& file, std::string* errors = nullptr);

struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
};

struct RgbFrame {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // rgb24, rows packed

  Rgb at(int x, int y) const;
  // The mean colour of a rectangle.
  Rgb average(int x, int y, int w, int h) const;
  // The mean over a centred rectangle covering this fraction of each side.
  Rgb centre(double fraction = 0.5) const;
  // The share of all pixels within `tolerance` of 0xRRGGBB.
  double share(std::uint32_t rgb, int tolerance = 40) const;
};

// The frame shown at `seconds`, decoded to RGB; nothing if ffmpeg fails.
std::optional<RgbFrame> extractFrame(const std::filesystem::path& file, double seconds, int width,
                                     int height);

// The audio mixed down to mono s16 at this rate.
std::vector<std::int16_t> extractAudio(const std::filesystem::path& file, int sampleRate = 48000);

// The share (0..1) of the signal's energy at `hz` (Goertzel over 0.1 s blocks,
// so whole multiples of 10 Hz fall exactly on a bin). 0 for silence.
double toneShare(const std::vector<std::int16_t>& samples, int sampleRate, double hz);

// Root mean square, in full scale (0..1).
double rms(const std::vector<std::int16_t>& samples);

bool closeTo(Rgb actual, std::uint32_t rgb, int tolerance = 40);
std::string toString(Rgb colour);

}  // namespace quorvale::e2e

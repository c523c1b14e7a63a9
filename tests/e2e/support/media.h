#pragma once

// Looking into a recorded movie with ffprobe and ffmpeg: its streams, a frame's
// pixels, and the sound with the share of a given tone.

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numbers>
#include <utility>

#include "e2e/support/servers.h"

namespace quorvale::e2e {

struct MediaInfo {
  std::string formatName, majorBrand;  // e.g. "mov,mp4,m4a,3gp,3g2,mj2" and "isom"
  double duration = 0;                 // seconds, of the container
  struct Video {
    std::string codec, frameRate, timeBase;  // ffprobe's r_frame_rate and time_base, e.g. "15/1" and "1/15"
    int width = 0, height = 0;
    std::int64_t frames = 0;
  };
  struct Audio {
    std::string codec;
    int sampleRate = 0, channels = 0;
  };
  std::optional<Video> video = {};
  std::optional<Audio> audio = {};
};

// ffprobe of the file, which reads every packet; nothing if ffprobe fails or complains.
inline std::optional<MediaInfo> probe(const std::filesystem::path& file) {
  auto result = runCommand(
      {"ffprobe", "-v", "error", "-show_streams", "-show_format", "-count_packets", "-of", "json", file});
  auto json = nlohmann::json::parse(result.out, nullptr, false);
  if (!result.succeeded() || !result.err.empty() || json.is_discarded()) return std::nullopt;
  MediaInfo info{json["format"].value("format_name", ""),
                 json["format"].value("tags", nlohmann::json::object()).value("major_brand", ""),
                 std::stod(json["format"].value("duration", "0"))};
  for (const auto& s : json["streams"]) {
    if (s["codec_type"] == "video" && !info.video) {
      info.video = {s.value("codec_name", ""), s.value("r_frame_rate", ""),
                    s.value("time_base", ""),  s.value("width", 0),
                    s.value("height", 0),      std::stoll(s.value("nb_read_packets", "0"))};
    } else if (s["codec_type"] == "audio" && !info.audio) {
      info.audio = {s.value("codec_name", ""), std::stoi(s.value("sample_rate", "0")),
                    s.value("channels", 0)};
    }
  }
  return info;
}

// The last frame shown by `seconds`, as packed rgb24 rows; empty if ffmpeg fails.
inline std::vector<std::uint8_t> frameAt(const std::filesystem::path& file, double seconds) {
  // Each frame until then overwrites the picture, so one shown for a while is found too.
  const auto picture = file.string() + ".rgb";
  auto result =
      runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-t", std::to_string(seconds), "-update",
                  "1", "-c:v", "rawvideo", "-pix_fmt", "rgb24", "-f", "image2", "-y", picture});
  std::ifstream in(picture, std::ios::binary);
  return result.succeeded() ? std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {})
                            : std::vector<std::uint8_t>();
}

// The sound mixed down to mono s16 at 48 kHz.
inline std::vector<std::int16_t> soundOf(const std::filesystem::path& file) {
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-vn", "-ac", "1", "-ar",
                            "48000", "-f", "s16le", "-"});
  const auto* samples = reinterpret_cast<const std::int16_t*>(result.out.data());
  return {samples, samples + result.out.size() / 2};
}

// The share (0..1) of the signal's energy at `hz` (Goertzel over 0.1 s blocks,
// so whole multiples of 10 Hz fall exactly on a bin). 0 for silence.
inline double toneShare(const std::vector<std::int16_t>& samples, int sampleRate, double hz) {
  const std::size_t block = static_cast<std::size_t>(sampleRate / 10);
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / sampleRate);
  double tone = 0, total = 0;
  for (std::size_t start = 0; start + block <= samples.size(); start += block) {
    double s1 = 0, s2 = 0;
    for (std::size_t i = start; i < start + block; ++i) {
      const double x = samples[i] / 32768.0, s0 = x + coefficient * s1 - s2;
      total += x * x * static_cast<double>(block) / 2;
      s2 = std::exchange(s1, s0);
    }
    // |X(k)|^2 of a full-scale bin sine is (N/2)^2 while its energy is N/2.
    tone += s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  }
  return total <= 0 ? 0 : tone / total;
}

// Root mean square, in full scale (0..1).
inline double rms(const std::vector<std::int16_t>& samples) {
  double sum = 0;
  for (auto s : samples) sum += (s / 32768.0) * (s / 32768.0);
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace quorvale::e2e

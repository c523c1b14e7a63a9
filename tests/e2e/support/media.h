#pragma once

// Looking into a recorded movie with ffprobe and ffmpeg: its streams, a frame's
// pixels, and the sound with the share of a given tone.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numbers>

#include "e2e/support/process.h"

namespace quorvale::e2e {

struct MediaInfo {
  std::string formatName;  // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  std::string majorBrand;
  double duration = 0;  // seconds, of the container
  struct Video {
    std::string codec;
    int width = 0, height = 0;
    std::int64_t frames = 0;
    std::string frameRate;  // ffprobe's r_frame_rate, e.g. "15/1"
    std::string timeBase;   // e.g. "1/15"
  };
  struct Audio {
    std::string codec;
    int sampleRate = 0, channels = 0;
  };
  std::optional<Video> video = {};
  std::optional<Audio> audio = {};
};

// ffprobe of the file; nothing if ffprobe fails.
inline std::optional<MediaInfo> probe(const std::filesystem::path& file) {
  auto result = runCommand(
      {"ffprobe", "-v", "error", "-show_streams", "-show_format", "-count_packets", "-of", "json", file});
  auto json = nlohmann::json::parse(result.out, nullptr, false);
  if (!result.succeeded() || json.is_discarded()) return std::nullopt;
  auto number = [](const nlohmann::json& object, const char* key) {
    return std::stod(object.value(key, "0"));
  };
  MediaInfo info{json["format"].value("format_name", ""),
                 json["format"].value("tags", nlohmann::json::object()).value("major_brand", ""),
                 number(json["format"], "duration")};
  for (const auto& s : json["streams"]) {
    if (s["codec_type"] == "video" && !info.video) {
      info.video = {s.value("codec_name", ""),   s.value("width", 0),
                    s.value("height", 0),        static_cast<std::int64_t>(number(s, "nb_read_packets")),
                    s.value("r_frame_rate", ""), s.value("time_base", "")};
    } else if (s["codec_type"] == "audio" && !info.audio) {
      info.audio = {s.value("codec_name", ""), static_cast<int>(number(s, "sample_rate")),
                    s.value("channels", 0)};
    }
  }
  return info;
}

// True when ffmpeg decodes every stream without a complaint.
inline bool decodesCleanly(const std::filesystem::path& file) {
  // -enc_time_base -1 keeps the file's time base: with a guessed frame rate, two close frames of a
  // variable-rate movie would collide and the null muxer complain although every frame decoded.
  auto result = runCommand(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-enc_time_base", "-1", "-f", "null", "-"});
  return result.succeeded() && result.err.empty();
}

// The last frame shown by `seconds`, as packed rgb24 rows; empty if ffmpeg fails.
inline std::vector<std::uint8_t> frameAt(const std::filesystem::path& file, double seconds) {
  // Each frame until then overwrites the picture, so one shown for a while is found too.
  const auto picture = file.string() + ".ppm";
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-t", std::to_string(seconds),
                            "-update", "1", "-y", picture});
  std::ifstream in(picture, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::size_t header = 0;  // "P6\nWIDTH HEIGHT\n255\n"
  for (int i = 0; i < 3 && header != std::string::npos; ++i) header = bytes.find('\n', header + (i > 0));
  if (!result.succeeded() || header == std::string::npos) return {};
  return {bytes.begin() + static_cast<std::ptrdiff_t>(header) + 1, bytes.end()};
}

// The sound mixed down to mono s16 at 48 kHz.
inline std::vector<std::int16_t> soundOf(const std::filesystem::path& file) {
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-vn", "-ac", "1", "-ar",
                            "48000", "-f", "s16le", "-"});
  std::vector<std::int16_t> samples(result.out.size() / 2);
  std::memcpy(samples.data(), result.out.data(), samples.size() * 2);
  return samples;
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
      s2 = s1;
      s1 = s0;
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

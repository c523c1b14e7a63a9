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

// ffprobe's "format" and "packets" of the file, its first "video" and "audio" stream and its "duration"
// in seconds, counting every packet; an empty object if ffprobe fails or complains.
inline nlohmann::json probe(const std::filesystem::path& file) {
  const auto out = output({"ffprobe", "-v", "error", "-show_streams", "-show_format", "-show_packets",
                           "-count_packets", "-of", "json", file});
  auto json = nlohmann::json::parse(out.value_or(""), nullptr, false);
  if (!json.is_object()) return nlohmann::json::object();
  for (const auto& stream : json.value("streams", nlohmann::json::array()))
    json.emplace(stream.value("codec_type", ""), stream);
  json["duration"] = std::stod(json["format"].value("duration", "0"));  // seconds
  return json;
}

// The last frame shown by `seconds`, as packed rgb24 rows; empty if ffmpeg fails. Each frame
// until then overwrites the picture, so one shown for a while is found too.
inline std::vector<std::uint8_t> frameAt(const std::filesystem::path& file, double seconds) {
  const auto picture = file.string() + ".rgb";
  if (!output({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-t", std::to_string(seconds), "-update", "1",
               "-c:v", "rawvideo", "-pix_fmt", "rgb24", "-f", "image2", "-y", picture}))
    return {};
  std::ifstream in(picture, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The sound mixed down to mono s16 at 48 kHz.
inline std::vector<std::int16_t> soundOf(const std::filesystem::path& file) {
  const auto pcm = output({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-vn", "-ac", "1", "-ar", "48000",
                           "-f", "s16le", "-"})
                       .value_or("");
  const auto* samples = reinterpret_cast<const std::int16_t*>(pcm.data());
  return {samples, samples + pcm.size() / 2};
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

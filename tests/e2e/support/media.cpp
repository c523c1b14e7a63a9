#include "e2e/support/media.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numbers>

#include "e2e/support/process.h"

namespace quorvale::e2e {

std::optional<MediaInfo> probe(const std::filesystem::path& file) {
  auto result = runCommand({"ffprobe", "-v", "error", "-show_streams", "-show_format", "-count_packets",
                            "-of", "json", file.string()});
  auto json = nlohmann::json::parse(result.out, nullptr, false);
  if (!result.succeeded() || json.is_discarded()) return std::nullopt;
  // ffprobe prints some numbers as strings.
  auto number = [](const nlohmann::json& object, const char* key) {
    auto value = object.value(key, nlohmann::json());
    return value.is_string()   ? std::atof(value.get<std::string>().c_str())
           : value.is_number() ? value.get<double>()
                               : 0;
  };
  MediaInfo info;
  const auto format = json.value("format", nlohmann::json::object());
  info.formatName = format.value("format_name", "");
  info.majorBrand = format.value("tags", nlohmann::json::object()).value("major_brand", "");
  info.duration = number(format, "duration");
  for (const auto& s : json.value("streams", nlohmann::json::array())) {
    if (s.value("codec_type", "") == "video" && !info.video) {
      info.video = {s.value("codec_name", ""),   s.value("width", 0),
                    s.value("height", 0),        static_cast<std::int64_t>(number(s, "nb_read_packets")),
                    s.value("r_frame_rate", ""), s.value("time_base", "")};
    } else if (s.value("codec_type", "") == "audio" && !info.audio) {
      info.audio = {s.value("codec_name", ""), static_cast<int>(number(s, "sample_rate")),
                    s.value("channels", 0)};
    }
  }
  return info;
}

bool decodesCleanly(const std::filesystem::path& file) {
  // -enc_time_base -1 keeps the file's time base: with a guessed frame rate, two close frames of a
  // variable-rate movie would collide and the null muxer complain although every frame decoded.
  auto result = runCommand(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-enc_time_base", "-1", "-f", "null", "-"});
  return result.succeeded() && result.err.empty();
}

std::vector<std::uint8_t> frameAt(const std::filesystem::path& file, double seconds) {
  // Every frame up to then overwrites the picture, so one shown for a while is found too.
  const auto picture = file.string() + ".ppm";
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-t",
                            std::to_string(seconds), "-update", "1", "-y", picture});
  std::ifstream in(picture, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::size_t header = 0;  // "P6\nWIDTH HEIGHT\n255\n"
  for (int i = 0; i < 3 && header != std::string::npos; ++i) header = bytes.find('\n', header + (i > 0));
  if (!result.succeeded() || header == std::string::npos) return {};
  return {bytes.begin() + static_cast<std::ptrdiff_t>(header) + 1, bytes.end()};
}

std::vector<std::int16_t> soundOf(const std::filesystem::path& file) {
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-vn", "-ac", "1",
                            "-ar", "48000", "-f", "s16le", "-"});
  std::vector<std::int16_t> samples(result.out.size() / 2);
  std::memcpy(samples.data(), result.out.data(), samples.size() * 2);
  return samples;
}

double toneShare(const std::vector<std::int16_t>& samples, int sampleRate, double hz) {
  const std::size_t block = static_cast<std::size_t>(sampleRate / 10);
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / sampleRate);
  double tone = 0, total = 0;
  for (std::size_t start = 0; start + block <= samples.size(); start += block) {
    double s1 = 0, s2 = 0, energy = 0;
    for (std::size_t i = start; i < start + block; ++i) {
      double x = samples[i] / 32768.0;
      energy += x * x;
      double s0 = x + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    // |X(k)|^2 of a full-scale bin sine is (N/2)^2 while its energy is N/2.
    tone += s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    total += energy * static_cast<double>(block) / 2;
  }
  return total <= 0 ? 0 : tone / total;
}

double rms(const std::vector<std::int16_t>& samples) {
  double sum = 0;
  for (auto s : samples) sum += (s / 32768.0) * (s / 32768.0);
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace quorvale::e2e

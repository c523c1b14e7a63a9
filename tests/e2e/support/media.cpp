#include "e2e/support/media.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sstream>

#include "e2e/support/process.h"

namespace quorvale::e2e {

namespace {

int toInt(const nlohmann::json& value) {
  if (value.is_number()) return value.get<int>();
  if (value.is_string()) return std::atoi(value.get<std::string>().c_str());
  return 0;
}

}  // namespace

std::optional<MediaInfo> probe(const std::filesystem::path& file, std::string* error) {
  auto result =
      runCommand({"ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", file.string()});
  if (!result.succeeded()) {
    if (error) *error = describeStatus(result.status) + ": " + result.err;
    return std::nullopt;
  }
  auto json = nlohmann::json::parse(result.out, nullptr, false);
  if (json.is_discarded()) {
    if (error) *error = "ffprobe printed no JSON: " + result.out;
    return std::nullopt;
  }
  MediaInfo info;
  info.json = result.out;
  const auto& format = json.value("format", nlohmann::json::object());
  info.formatName = format.value("format_name", "");
  info.duration = std::atof(format.value("duration", "0").c_str());
  if (format.contains("tags")) info.majorBrand = format["tags"].value("major_brand", "");
  for (const auto& stream : json.value("streams", nlohmann::json::array())) {
    std::string type = stream.value("codec_type", "");
    if (type == "video" && !info.video) {
      VideoStreamInfo v;
      v.codec = stream.value("codec_name", "");
      v.width = stream.value("width", 0);
      v.height = stream.value("height", 0);
      v.frames = toInt(stream.value("nb_frames", nlohmann::json("0")));
      v.frameRate = stream.value("r_frame_rate", "");
      v.timeBase = stream.value("time_base", "");
      info.video = v;
    } else if (type == "audio" && !info.audio) {
      AudioStreamInfo a;
      a.codec = stream.value("codec_name", "");
      a.sampleRate = toInt(stream.value("sample_rate", nlohmann::json("0")));
      a.channels = stream.value("channels", 0);
      info.audio = a;
    }
  }
  return info;
}

std::vector<double> videoFrameTimes(const std::filesystem::path& file) {
  auto result = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=pts_time", "-of", "csv=p=0", file.string()});
  std::vector<double> times;
  std::istringstream in(result.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) times.push_back(std::atof(line.c_str()));
  }
  std::sort(times.begin(), times.end());
  return times;
}

double measuredFrameRate(const std::vector<double>& frameTimes) {
  if (frameTimes.size() < 2) return 0;
  double span = frameTimes.back() - frameTimes.front();
  return span <= 0 ? 0 : static_cast<double>(frameTimes.size() - 1) / span;
}

bool decodesCleanly(const std::filesystem::path& file, std::string* errors) {
  // Output timestamps keep the file's own time base. With the default, 1/(guessed frame rate), two
  // frames of a variable-rate movie closer than that guess collide, and the null muxer reports
  // "non monotonically increasing dts" although every frame decoded.
  auto result = runCommand(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-enc_time_base", "-1", "-f", "null", "-"});
  if (errors) *errors = describeStatus(result.status) + ": " + result.err;
  return result.succeeded() && result.err.empty();
}

Rgb RgbFrame::at(int x, int y) const {
  const std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
  return {p[0], p[1], p[2]};
}

Rgb RgbFrame::average(int x, int y, int w, int h) const {
  long r = 0, g = 0, b = 0, n = 0;
  for (int row = y; row < y + h; ++row) {
    for (int col = x; col < x + w; ++col) {
      Rgb p = at(col, row);
      r += p.r;
      g += p.g;
      b += p.b;
      ++n;
    }
  }
  if (n == 0) return {};
  return {static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

Rgb RgbFrame::centre(double fraction) const {
  int w = std::max(1, static_cast<int>(width * fraction));
  int h = std::max(1, static_cast<int>(height * fraction));
  return average((width - w) / 2, (height - h) / 2, w, h);
}

double RgbFrame::share(std::uint32_t rgb, int tolerance) const {
  if (width <= 0 || height <= 0) return 0;
  long matching = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (closeTo(at(x, y), rgb, tolerance)) ++matching;
    }
  }
  return static_cast<double>(matching) / (static_cast<double>(width) * height);
}

std::optional<RgbFrame> extractFrame(const std::filesystem::path& file, double seconds, int width,
                                     int height) {
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-ss", std::to_string(seconds), "-i",
                            file.string(), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  std::size_t expected = static_cast<std::size_t>(width) * height * 3;
  if (!result.succeeded() || result.out.size() != expected) return std::nullopt;
  RgbFrame frame{width, height, {}};
  frame.pixels.assign(result.out.begin(), result.out.end());
  return frame;
}

std::vector<std::int16_t> extractAudio(const std::filesystem::path& file, int sampleRate) {
  auto result = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-vn", "-ac", "1",
                            "-ar", std::to_string(sampleRate), "-f", "s16le", "-"});
  std::vector<std::int16_t> samples(result.out.size() / 2);
  std::memcpy(samples.data(), result.out.data(), samples.size() * 2);
  return samples;
}

double toneShare(const std::vector<std::int16_t>& samples, int sampleRate, double hz) {
  const std::size_t block = static_cast<std::size_t>(sampleRate / 10);
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / sampleRate);
  double tone = 0;
  double total = 0;
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
  if (samples.empty()) return 0;
  double sum = 0;
  for (auto s : samples) sum += (s / 32768.0) * (s / 32768.0);
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

bool closeTo(Rgb actual, std::uint32_t rgb, int tolerance) {
  Rgb expected{static_cast<int>((rgb >> 16) & 0xff), static_cast<int>((rgb >> 8) & 0xff),
               static_cast<int>(rgb & 0xff)};
  return std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
         std::abs(actual.b - expected.b) <= tolerance;
}

std::string toString(Rgb colour) {
  char text[32];
  std::snprintf(text, sizeof text, "rgb(%d, %d, %d)", colour.r, colour.g, colour.b);
  return text;
}

}  // namespace quorvale::e2e

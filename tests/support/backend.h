#pragma once

// What the capture service's tests share: another program's window, errors' messages, and a
// movie looked into with ffprobe and ffmpeg.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <functional>

#include "e2e/support/media.h"
#include "platform/platform.h"
#include "platform/platform_error.h"

namespace quorvale::platform::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kRed = 0xd02020, kBlue = 0x2040d0, kGreen = 0x20c040;

// A window of another process, the test window program with these options; ended with the object.
struct TestWindow {
  TestWindow(const std::string& display, std::vector<std::string> options)
      : process((options.insert(options.begin(), QUORVALE_TEST_WINDOW), options),
                {e2e::Environment().set("DISPLAY", display)}),
        id(std::stoul(process.readLine(e2e::Clock::now() + e2e::kStartTimeout).value_or("0"))) {
    EXPECT_NE(id, 0u) << "the test window did not start";
  }
  e2e::Process process;
  xcb_window_t id;
};

// The message of the PlatformError the call throws; empty when it throws none.
inline std::string failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const PlatformError& error) {
    return error.what();
  }
  return "";
}

// How many of ffprobe's packets are of this type ("video").
inline int packets(const nlohmann::json& info, const std::string& type) {
  const auto all = info.value("packets", nlohmann::json::array());
  return int(std::ranges::count(all, type, [](const auto& p) { return p.value("codec_type", ""); }));
}

// ffprobe's packets of a movie that may be cut short, as a kill leaves it; complaints are expected.
inline nlohmann::json cutProbe(const fs::path& file) {
  return nlohmann::json::parse(
      e2e::output({"ffprobe", "-v", "quiet", "-show_packets", "-of", "json", file}).value_or("{}"));
}

inline double seconds(const nlohmann::json& value) { return std::stod(value.get<std::string>()); }

// The named members of an ffprobe record as ffprobe wrote them, space-separated ("h264 320").
inline std::string fields(const nlohmann::json& record, std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) {
    const auto value = record.value(name, nlohmann::json());
    text += (text.empty() ? "" : " ") + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return text;
}

// The byte offsets of the movie's boxes of this type ("moof": its fragments), found by their tag.
inline std::vector<std::int64_t> boxes(const fs::path& file, const std::string& type) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::vector<std::int64_t> found;
  for (auto at = bytes.find(type, 4); at != std::string::npos; at = bytes.find(type, at + 1))
    found.push_back(std::int64_t(at) - 4);
  return found;
}

}  // namespace quorvale::platform::testing

// Movie writing and audio capture against the real libraries; the files are
// checked with ffprobe/ffmpeg run as child processes.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "e2e/support/media.h"
#include "e2e/support/servers.h"
#include "platform/capture/x_errors.h"
#include "platform/encoding/ffmpeg_errors.h"
#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"
#include "platform/encoding/pixel_convert.h"
#include "platform/pipeline/media_clock.h"
#include "platform/platform_error.h"
#include "platform/sound/audio_capture.h"
#include "platform/sound/pulse_errors.h"

namespace quorvale::platform {
namespace {

using namespace capture;
using namespace encoding;
using namespace pipeline;
using namespace sound;

namespace fs = std::filesystem;
using nlohmann::json;

struct CommandResult {
  int exitCode = -1;
  std::string output;
};

// Runs a shell command; paths come from mkdtemp, so they need no quoting.
CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, count);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

json probe(const fs::path& file) {
  CommandResult result = run("ffprobe -v error -count_packets -show_streams -show_format -of json " +
                             file.string() + " 2>/dev/null");
  if (result.exitCode != 0) return json();
  return json::parse(result.output, nullptr, false);
}

const json* streamOfType(const json& info, const std::string& type) {
  for (const json& stream : info["streams"]) {
    if (stream.value("codec_type", "") == type) return &stream;
  }
  return nullptr;
}

double number(const json& value) { return std::stod(value.get<std::string>()); }

// A BGRX test picture: a bright bar that moves with `step` over a gradient.
class Picture {
 public:
  Picture(int width, int height) : width_(width), height_(height), pixels_(std::size_t(width) * height * 4) {}

  BgraImageView draw(int step) {
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        std::uint8_t* pixel = &pixels_[(std::size_t(y) * width_ + x) * 4];
        const bool bar = ((x + step * 7) / 16) % 8 == 0;
        pixel[0] = bar ? 255 : std::uint8_t(x);
        pixel[1] = bar ? 255 : std::uint8_t(y);
        pixel[2] = bar ? 255 : std::uint8_t(step * 5);
        pixel[3] = 0;
      }
    }
    return view();
  }

  BgraImageView fill(std::uint8_t value) {
    std::fill(pixels_.begin(), pixels_.end(), value);
    return view();
  }

  BgraImageView view() const { return {pixels_.data(), width_, height_, width_ * 4}; }

 private:
  int width_;
  int height_;
  std::vector<std::uint8_t> pixels_;
};

// Interleaved stereo 440 Hz tone chunks.
std::vector<float> tone(std::size_t frames, int channels, std::int64_t firstSample) {
  std::vector<float> samples(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    float value =
        0.3f * std::sin(2.0f * 3.14159265f * 440.0f * float(firstSample + std::int64_t(i)) / 48000.0f);
    for (int c = 0; c < channels; ++c) samples[i * channels + c] = value;
  }
  return samples;
}

class MovieWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvale-media-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Frames at irregular times (as damage-driven capture delivers them) plus a
  // continuous tone, then finish at endMicros. Returns the first frame's time.
  struct Recording {
    std::int64_t start = 0;
    std::int64_t end = 0;
  };
  Recording record(MovieWriter& writer, int frames, int sourceWidth, int sourceHeight, bool withAudio) {
    Picture picture(sourceWidth, sourceHeight);
    const std::int64_t start = 1'000'000'000;
    std::int64_t now = start;
    std::int64_t audioSample = 0;
    for (int i = 0; i < frames; ++i) {
      writer.writeVideoFrame(picture.draw(i), now);
      // Never faster than the configured 15 frames a second, often slower.
      const std::int64_t next = now + 67'000 + (i * 37'000) % 140'000;
      while (withAudio && start + audioSample * 1'000'000 / 48000 < next) {
        std::vector<float> chunk = tone(960, 2, audioSample);
        writer.writeAudio(chunk.data(), 960, start + audioSample * 1'000'000 / 48000);
        audioSample += 960;
      }
      now = next;
    }
    const std::int64_t end = now + 500'000;
    writer.finish(end);
    return {start, end};
  }

  fs::path dir_;
};

TEST_F(MovieWriterTest, RefusesToReplaceAFileOrFollowALink) {
  const fs::path existing = dir_ / "existing.mp4";
  std::ofstream(existing) << "keep";
  try {
    MovieWriter writer(existing, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt);
    FAIL() << "an existing file was accepted";
  } catch (const PlatformError& error) {
    EXPECT_NE(std::string(error.what()).find("File exists"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find(existing.string()), std::string::npos) << error.what();
  }
  std::string content;
  std::ifstream(existing) >> content;
  EXPECT_EQ(content, "keep");

  const fs::path target = dir_ / "target.mp4";
  std::ofstream(target) << "target";
  const fs::path link = dir_ / "link.mp4";
  fs::create_symlink(target, link);
  EXPECT_THROW(MovieWriter(link, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt), PlatformError);
  std::ifstream(target) >> content;
  EXPECT_EQ(content, "target");

  // A dangling link must not create its target either.
  const fs::path dangling = dir_ / "dangling.mp4";
  fs::create_symlink(dir_ / "nowhere.mp4", dangling);
  EXPECT_THROW(MovieWriter(dangling, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt),
               PlatformError);
  EXPECT_FALSE(fs::exists(dir_ / "nowhere.mp4"));
}

// Regression: a movie deleted while it was written must not finish as a success.
TEST_F(MovieWriterTest, FinishFailsWhenTheFileWasDeleted) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter writer(file, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt);
  Picture picture(320, 240);
  writer.writeVideoFrame(picture.draw(0), 1'000'000);
  fs::remove(file);
  try {
    writer.finish(1'500'000);
    FAIL() << "finish reported success for a deleted file";
  } catch (const PlatformError& error) {
    EXPECT_NE(std::string(error.what()).find("was deleted during the recording"), std::string::npos);
  }
}

// Guards against removing, with an unfinished movie, a file that someone else put at its path since.
TEST_F(MovieWriterTest, DiscardRemovesOnlyTheFileItCreated) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter(file, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt).discard();
  EXPECT_FALSE(fs::exists(file));
  MovieWriter writer(file, "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt);
  fs::rename(file, dir_ / "moved.mp4");
  std::ofstream(file) << "other";
  writer.discard();
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(MovieWriterTest, UnsupportedChoicesFailWithoutLeavingAFile) {
  const fs::path file = dir_ / "movie.mp4";
  EXPECT_THROW(MovieWriter(file, "public.mpeg-4", "nope", {320, 240, 15, true}, std::nullopt), PlatformError);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_THROW(MovieWriter(file, "public.avi", "avc1", {320, 240, 15, true}, std::nullopt), PlatformError);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_THROW(MovieWriter(file, "public.mpeg-4", "avc1", {320, 240, 15, true}, AudioFormat{12345, 2}),
               PlatformError);
  EXPECT_FALSE(fs::exists(file));

  std::vector<std::string> codecs = availableVideoCodecs();
  ASSERT_FALSE(codecs.empty());
  EXPECT_EQ(codecs.front(), "avc1");
}

TEST_F(MovieWriterTest, RecordsH264AndAacForTheWholeDuration) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter writer(file, "public.mpeg-4", "avc1", {640, 360, 15, true}, AudioFormat{48000, 2});
  EXPECT_FALSE(writer.hasWrittenFrame());
  Picture first(640, 360);
  writer.writeVideoFrame(first.draw(0), 999'000'000);
  // The first frame must reach the file at once, not wait in the encoder.
  EXPECT_TRUE(writer.hasWrittenFrame());
  EXPECT_GT(fs::file_size(file), 1000u);
  Recording recording = record(writer, 30, 640, 360, true);
  (void)recording;
  const double expected = (recording.end - 999'000'000) / 1e6;

  json info = probe(file);
  ASSERT_TRUE(info.is_object()) << "ffprobe failed";
  const json* video = streamOfType(info, "video");
  const json* audio = streamOfType(info, "audio");
  ASSERT_TRUE(video && audio);
  EXPECT_EQ((*video)["codec_name"], "h264");
  // Frames at irregular instants still land on the 1/15 s grid, so the rate reads 15.
  EXPECT_EQ((*video)["r_frame_rate"], "15/1");
  EXPECT_EQ((*video)["time_base"], "1/15");
  EXPECT_EQ((*video)["width"], 640);
  EXPECT_EQ((*video)["height"], 360);
  EXPECT_EQ((*audio)["codec_name"], "aac");
  EXPECT_EQ((*audio)["sample_rate"], "48000");
  EXPECT_EQ((*audio)["channels"], 2);
  EXPECT_NEAR(number(info["format"]["duration"]), expected, 0.1);
  EXPECT_NEAR(number((*video)["duration"]), expected, 0.1);
  EXPECT_NEAR(number((*audio)["duration"]), expected, 0.1);

  CommandResult decode = run("ffmpeg -v error -i " + file.string() + " -f null - 2>&1");
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.output, "");
}

TEST_F(MovieWriterTest, SilentTrackWhenNoAudioArrivesAndMovContainer) {
  const fs::path file = dir_ / "movie.mov";
  MovieWriter writer(file, "com.apple.quicktime-movie", "avc1", {320, 240, 30, false}, AudioFormat{44100, 1});
  Recording recording = record(writer, 10, 320, 240, false);
  const double expected = (recording.end - recording.start) / 1e6;

  json info = probe(file);
  ASSERT_TRUE(info.is_object());
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
  const json* audio = streamOfType(info, "audio");
  ASSERT_TRUE(audio);
  EXPECT_EQ((*audio)["sample_rate"], "44100");
  EXPECT_EQ((*audio)["channels"], 1);
  EXPECT_NEAR(number((*audio)["duration"]), expected, 0.1);
}

TEST_F(MovieWriterTest, OutputSizeStaysFixedWhateverTheSourceSize) {
  for (bool letterbox : {true, false}) {
    const fs::path file = dir_ / (letterbox ? "letterbox.mp4" : "stretch.mp4");
    MovieWriter writer(file, "public.mpeg-4", "avc1", {1001, 701, 15, letterbox}, std::nullopt);
    std::int64_t now = 5'000'000;
    for (auto [width, height] :
         std::vector<std::pair<int, int>>{{1920, 1080}, {300, 800}, {1001, 701}, {1, 1}}) {
      Picture picture(width, height);
      for (int i = 0; i < 3; ++i) writer.writeVideoFrame(picture.draw(i), now += 70'000);
    }
    writer.finish(now + 100'000);
    json info = probe(file);
    ASSERT_TRUE(info.is_object());
    const json* video = streamOfType(info, "video");
    ASSERT_TRUE(video);
    // 4:2:0 needs even sizes: one black pixel is added to odd ones.
    EXPECT_EQ((*video)["width"], 1002);
    EXPECT_EQ((*video)["height"], 702);
    EXPECT_EQ(video->value("nb_read_packets", ""), "12");
  }
}

TEST_F(MovieWriterTest, LetterboxCentresTheImageOnBlack) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter writer(file, "public.mpeg-4", "avc1", {100, 100, 15, true}, std::nullopt);
  Picture wide(200, 100);
  writer.writeVideoFrame(wide.fill(255), 0);
  writer.finish(100'000);

  CommandResult decoded =
      run("ffmpeg -v error -i " + file.string() + " -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null");
  ASSERT_EQ(decoded.exitCode, 0);
  ASSERT_EQ(decoded.output.size(), 100u * 100u);
  auto luma = [&](int x, int y) { return int(std::uint8_t(decoded.output[std::size_t(y) * 100 + x])); };
  // A 2:1 image in a square: white band 50 rows high in the middle, black above and below.
  EXPECT_LT(luma(50, 10), 40);
  EXPECT_LT(luma(50, 90), 40);
  EXPECT_GT(luma(50, 50), 200);
  EXPECT_GT(luma(5, 40), 200);
}

TEST_F(MovieWriterTest, TruncatedFileStillPlays) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter writer(file, "public.mpeg-4", "avc1", {320, 240, 15, true}, AudioFormat{48000, 2});
  record(writer, 80, 320, 240, true);

  const fs::path cut = dir_ / "cut.mp4";
  {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes(fs::file_size(file) * 7 / 10);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  json info = probe(cut);
  ASSERT_TRUE(info.is_object()) << "a cut file does not probe";
  ASSERT_TRUE(streamOfType(info, "video"));
  CommandResult frames =
      run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
          "stream=nb_read_frames -of csv=p=0 " +
          cut.string() + " 2>/dev/null");
  ASSERT_EQ(frames.exitCode, 0);
  EXPECT_GT(std::stoi(frames.output), 30);
  EXPECT_EQ(run("ffmpeg -v quiet -i " + cut.string() + " -f null - 2>&1").exitCode, 0);
}

TEST_F(MovieWriterTest, FullDiskIsReportedWithTheSystemMessage) {
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=200k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};

  bool failed = false;
  {
    MovieWriter writer(small / "movie.mp4", "public.mpeg-4", "avc1", {320, 240, 15, true}, std::nullopt);
    // Noise does not compress, so the disk fills within a few frames.
    std::vector<std::uint8_t> noise(320 * 240 * 4);
    std::uint32_t state = 12345;
    std::int64_t now = 0;
    try {
      for (int i = 0; i < 200; ++i) {
        for (auto& byte : noise) byte = std::uint8_t((state = state * 1664525u + 1013904223u) >> 24);
        writer.writeVideoFrame({noise.data(), 320, 240, 320 * 4}, now += 1'100'000);
      }
      writer.finish(now + 100'000);
    } catch (const PlatformError& error) {
      failed = true;
      EXPECT_NE(std::string(error.what()).find("No space left on device"), std::string::npos) << error.what();
      // The writer stays failed instead of writing on.
      EXPECT_THROW(writer.finish(now + 100'000), PlatformError);
    }
  }
  EXPECT_TRUE(failed);
}

TEST(MediaErrorsTest, MessagesNameTheCause) {
  EXPECT_NE(std::string(xError(3, 20, "Could not read the window").what()).find("BadWindow"),
            std::string::npos);
  EXPECT_NE(std::string(xError(8, 73, "x").what()).find("BadMatch"), std::string::npos);
  EXPECT_EQ(xError(3, 20, "x").domain(), "x11");
  EXPECT_NE(std::string(xError(160, 140, "x").what()).find("160"), std::string::npos);

  PlatformError full = ffmpegError(-ENOSPC, "Could not write");
  EXPECT_EQ(full.domain(), "posix");
  EXPECT_EQ(std::string(full.what()), "Could not write: No space left on device");
  // FFmpeg's own codes (AVERROR_INVALIDDATA here) are not errno values.
  constexpr int kInvalidData = -int('I' | 'N' << 8 | 'D' << 16 | unsigned('A') << 24);
  PlatformError invalid = ffmpegError(kInvalidData, "x");
  EXPECT_EQ(invalid.domain(), "ffmpeg");
  EXPECT_NE(std::string(invalid.what()).find("Invalid data"), std::string::npos) << invalid.what();
}

TEST(AudioCaptureTest, WithoutAServerStartFailsQuietlyAndQuickly) {
  const char* previous = getenv("PULSE_SERVER");
  std::string saved = previous ? previous : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/quorvale/pulse", 1);

  int calls = 0;
  AudioCapture capture({48000, 2}, getpid(), [&](const float*, std::size_t, std::int64_t) { ++calls; });
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(capture.start());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  capture.stop();
  EXPECT_EQ(calls, 0);

  if (previous) {
    setenv("PULSE_SERVER", saved.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
}

// What one capture delivered, as mono 16-bit samples for the tone measures.
struct CapturedSound {
  std::mutex mutex;  // guards samples: the sink runs on the capture's thread
  std::vector<std::int16_t> samples;
  AudioCapture::Sink sink() {
    return [this](const float* interleaved, std::size_t frames, std::int64_t) {
      std::lock_guard lock(mutex);
      for (std::size_t i = 0; i < frames; ++i) {
        samples.push_back(
            std::int16_t(std::lround(16383.0f * (interleaved[2 * i] + interleaved[2 * i + 1]))));
      }
    };
  }
};

class AudioCaptureServerTest : public ::testing::TestWithParam<e2e::SoundServerKind> {};

// Guards against recording only the window's own process (its child's player was silent) and against
// recording the whole output mix, with another program's sound, when the process is unknown.
TEST_P(AudioCaptureServerTest, RecordsTheOwnersDescendantsAndNoOneElse) {
  e2e::TempDir dir;
  e2e::PulseServer server(dir.path() / "sound", GetParam());
  // Players with short buffers: a null sink fed 2 s ahead hands its monitor whole seconds at once.
  e2e::Environment env = server.environment().set("PULSE_LATENCY_MSEC", "40");
  for (int hz : {440, 1000}) {
    ASSERT_EQ(run("ffmpeg -v error -f lavfi -i sine=frequency=" + std::to_string(hz) +
                  ":duration=60 -ar 48000 -ac 2 " + (dir.path() / (std::to_string(hz) + ".wav")).string())
                  .exitCode,
              0);
  }
  auto waitForInputs = [&](std::size_t count) {
    const auto deadline = e2e::Clock::now() + e2e::kStartTimeout;
    while (server.sinkInputs().size() < count) {
      ASSERT_LT(e2e::Clock::now(), deadline) << "the tones never reached the sound server";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
  e2e::SpawnOptions quiet;
  quiet.quiet = true;
  quiet.environment = env;
  e2e::Process other({"paplay", (dir.path() / "1000.wav").string()}, quiet);
  waitForInputs(1);
  // The owner plays nothing itself; its child starts playing once the capture runs.
  e2e::Process owner({"sh", "-c",
                      "trap 'kill $p 2>/dev/null; wait $p; exit 0' TERM; sleep 1; paplay " +
                          (dir.path() / "440.wav").string() + " & p=$!; wait"},
                     quiet);

  const char* previous = getenv("PULSE_SERVER");
  const std::string saved = previous ? previous : "";
  setenv("PULSE_SERVER", server.serverAddress().c_str(), 1);
  CapturedSound owned, unknown, init;
  AudioCapture ownedCapture({48000, 2}, owner.pid(), owned.sink());
  AudioCapture unknownCapture({48000, 2}, std::nullopt, unknown.sink());
  // Every process descends from init: a window said to be init's must not bring everyone's sound.
  AudioCapture initCapture({48000, 2}, 1, init.sink());
  EXPECT_TRUE(ownedCapture.start());
  EXPECT_TRUE(unknownCapture.start());
  EXPECT_TRUE(initCapture.start());
  waitForInputs(2);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ownedCapture.stop();
  unknownCapture.stop();
  initCapture.stop();
  previous ? setenv("PULSE_SERVER", saved.c_str(), 1) : unsetenv("PULSE_SERVER");

  std::lock_guard lock(owned.mutex);
  const double own = e2e::toneShare(owned.samples, 48000, 440);
  const double foreign = e2e::toneShare(owned.samples, 48000, 1000);
  EXPECT_GT(owned.samples.size(), 48000u * 2) << "less than two seconds of the child's sound";
  EXPECT_GT(e2e::rms(owned.samples), 0.01);
  EXPECT_GT(own, 0.5) << "440 Hz share " << own << ", 1000 Hz share " << foreign;
  EXPECT_LT(foreign, 0.02) << "another process's tone was recorded";
  std::lock_guard unknownLock(unknown.mutex);
  EXPECT_EQ(e2e::rms(unknown.samples), 0) << "without a process the output mix was recorded";
  std::lock_guard initLock(init.mutex);
  EXPECT_EQ(e2e::rms(init.samples), 0) << "init's descendants, everyone, were recorded";
}

INSTANTIATE_TEST_SUITE_P(BothServers, AudioCaptureServerTest,
                         ::testing::Values(e2e::SoundServerKind::PulseAudio, e2e::SoundServerKind::PipeWire),
                         [](const auto& info) {
                           return info.param == e2e::SoundServerKind::PipeWire ? "PipeWire" : "PulseAudio";
                         });

// Bytes of one BGRX colour repeated over a width x height picture.
std::vector<std::uint8_t> solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = b;
    pixels[i + 1] = g;
    pixels[i + 2] = r;
    pixels[i + 3] = 0;
  }
  return pixels;
}

TEST(PixelConvertTest, Bt709LimitedRangeLevels) {
  struct Case {
    std::uint8_t b, g, r;
    int y, cb, cr;
  };
  // 16 + 219 Y', 128 + 224 (B'-Y')/1.8556 and 128 + 224 (R'-Y')/1.5748, rounded.
  for (const Case& c :
       {Case{0, 0, 0, 16, 128, 128}, Case{255, 255, 255, 235, 128, 128}, Case{0, 0, 255, 63, 102, 240},
        Case{0, 255, 0, 173, 42, 26}, Case{255, 0, 0, 32, 240, 118}}) {
    auto pixels = solid(4, 2, c.b, c.g, c.r);
    std::vector<std::uint8_t> luma(8), chroma(4);
    bgrxToNv12({pixels.data(), 4, 2, 16}, luma.data(), 4, chroma.data(), 4);
    for (std::uint8_t y : luma) EXPECT_NEAR(y, c.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_NEAR(chroma[0], c.cb, 1);
    EXPECT_NEAR(chroma[1], c.cr, 1);
  }
}

TEST(PixelConvertTest, ChromaIsTheBlockMeanAndOddEdgesRepeat) {
  // 3x3 with a stride wider than the row: left 2x2 block half white half black.
  const int stride = 5 * 4;
  std::vector<std::uint8_t> pixels(std::size_t(stride) * 3, 0xee);  // padding must not be read
  auto set = [&](int x, int y, std::uint8_t r) {
    std::uint8_t* p = &pixels[std::size_t(y) * stride + x * 4];
    p[0] = 0;
    p[1] = 0;
    p[2] = r;
    p[3] = 0;
  };
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) set(x, y, (x + y) % 2 ? 255 : 0);
  std::vector<std::uint8_t> luma(3 * 3, 0), chroma(4 * 2, 0);
  bgrxToNv12({pixels.data(), 3, 3, stride}, luma.data(), 3, chroma.data(), 4);
  EXPECT_EQ(luma[0], 16);
  EXPECT_NEAR(luma[1], 63, 1);
  // Mean red of the first block is 127.5: Cr halfway between 128 and 240.
  EXPECT_NEAR(chroma[1], 184, 1);
  // The right column alone (0 then 255 down): mean 127.5 as well.
  EXPECT_NEAR(chroma[3], 184, 1);
  // The last row alone, repeated: red, black, red across -> first block mean 127.5.
  EXPECT_NEAR(chroma[4 + 1], 184, 1);
  // Last column of the last row: black.
  EXPECT_EQ(chroma[4 + 3], 128);
}

TEST_F(MovieWriterTest, RepeatedFrameEncodesTheLastPictureAgain) {
  const fs::path file = dir_ / "movie.mp4";
  MovieWriter writer(file, "public.mpeg-4", "avc1", {64, 64, 15, true}, std::nullopt);
  EXPECT_THROW(writer.writeRepeatedFrame(0), PlatformError);
  auto red = solid(64, 64, 0, 0, 255);
  writer.writeVideoFrame({red.data(), 64, 64, 64 * 4}, 1'000'000);
  writer.writeRepeatedFrame(2'000'000);
  writer.writeRepeatedFrame(3'000'000);
  writer.finish(3'500'000);

  json info = probe(file);
  ASSERT_TRUE(info.is_object());
  const json* video = streamOfType(info, "video");
  ASSERT_TRUE(video);
  // The first picture, its bridge to the next (see MovieWriter) and the two repeats.
  EXPECT_EQ(video->value("nb_read_packets", ""), "4");
  EXPECT_NEAR(number(info["format"]["duration"]), 2.5, 0.1);
  CommandResult decoded = run("ffmpeg -v error -i " + file.string() +
                              " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
  ASSERT_EQ(decoded.exitCode, 0);
  ASSERT_EQ(decoded.output.size(), 4u * 64 * 64 * 3);
  for (int frame = 0; frame < 4; ++frame) {
    const auto* pixel = reinterpret_cast<const std::uint8_t*>(decoded.output.data()) + frame * 64 * 64 * 3 +
                        (32 * 64 + 32) * 3;
    EXPECT_GT(pixel[0], 230) << frame;
    EXPECT_LT(pixel[1], 25) << frame;
    EXPECT_LT(pixel[2], 25) << frame;
  }
}

TEST(FrameConverterTest, LetterboxesAndRefillsTheBarsOfARecycledFrame) {
  FrameConverter converter({100, 100, 15, true});
  Nv12Frame frame;
  Picture square(100, 100);
  converter.convert(square.fill(255), frame);
  ASSERT_EQ(frame.width, 100);
  ASSERT_EQ(frame.height, 100);
  // The same buffer again, now with a 2:1 image: the band in the middle, black above and below.
  Picture wide(200, 100);
  converter.convert(wide.fill(255), frame);
  auto luma = [&](int x, int y) { return int(frame.luma[std::size_t(y) * frame.lumaStride + x]); };
  auto chroma = [&](int x, int y) { return int(frame.chroma[std::size_t(y) * frame.chromaStride + x]); };
  EXPECT_EQ(luma(50, 10), 16);
  EXPECT_EQ(luma(50, 90), 16);
  EXPECT_EQ(chroma(50, 5), 128);
  EXPECT_GT(luma(50, 50), 230);
  EXPECT_GT(luma(5, 40), 230);
  // Guards against swscale's overshoot left in the bar beside an image 34 wide.
  Picture tall(100, 294);
  converter.convert(tall.fill(255), frame);
  for (int x = 66; x < 100; ++x) EXPECT_EQ(luma(x, 50), 16) << x;
  EXPECT_GT(luma(65, 50), 230);
}

TEST(FrameConverterTest, BandByBandGivesTheWholeImagesResult) {
  // Scaled (swscale slices), and unscaled with an odd height.
  for (auto [width, height, outWidth, outHeight] :
       {std::array{192, 108, 128, 72}, std::array{128, 71, 128, 72}}) {
    const VideoFormat format{outWidth, outHeight, 15, true};
    Picture picture(width, height);
    const BgraImageView image = picture.draw(3);
    FrameConverter whole(format);
    Nv12Frame expected;
    whole.convert(image, expected);
    FrameConverter banded(format);
    Nv12Frame frame;
    banded.begin(width, height, frame);
    for (int top = 0; top < height; top += 32) {
      banded.convertRows(
          {image.data + std::size_t(top) * image.stride, width, std::min(32, height - top), image.stride},
          top);
    }
    EXPECT_EQ(frame.luma, expected.luma) << width << "x" << height;
    EXPECT_EQ(frame.chroma, expected.chroma) << width << "x" << height;
  }
}

TEST(FrameConverterTest, UnscaledImageSitsTopLeftAndIsCutOff) {
  FrameConverter converter({64, 48, 15, true}, false);
  Nv12Frame frame;
  Picture small(30, 20);
  converter.convert(small.fill(255), frame);
  auto luma = [&](int x, int y) { return int(frame.luma[std::size_t(y) * frame.lumaStride + x]); };
  EXPECT_GT(luma(0, 0), 230);
  EXPECT_GT(luma(29, 19), 230);
  EXPECT_EQ(luma(30, 0), 16);
  EXPECT_EQ(luma(0, 20), 16);
  Picture large(100, 100);
  converter.convert(large.fill(255), frame);
  EXPECT_EQ(frame.width, 64);
  EXPECT_EQ(frame.height, 48);
  EXPECT_GT(luma(63, 47), 230);
}

TEST_F(MovieWriterTest, ConvertedFramesOfOddSizeAndWrongSizes) {
  const fs::path file = dir_ / "movie.mp4";
  const VideoFormat format{101, 51, 15, true};
  MovieWriter writer(file, "public.mpeg-4", "avc1", format, std::nullopt);
  FrameConverter other({100, 50, 15, true});
  Nv12Frame wrong;
  Picture picture(101, 51);
  other.convert(picture.draw(0), wrong);
  EXPECT_THROW(writer.writeVideoFrame(wrong, 0), PlatformError);

  const fs::path good = dir_ / "good.mp4";
  MovieWriter goodWriter(good, "public.mpeg-4", "avc1", format, std::nullopt);
  FrameConverter converter(format);
  Nv12Frame frame;
  for (int i = 0; i < 3; ++i) {
    converter.convert(picture.draw(i), frame);
    goodWriter.writeVideoFrame(frame, 1'000'000 + i * 70'000);
  }
  goodWriter.finish(1'300'000);
  json info = probe(good);
  ASSERT_TRUE(info.is_object());
  const json* video = streamOfType(info, "video");
  ASSERT_TRUE(video);
  EXPECT_EQ((*video)["width"], 102);
  EXPECT_EQ((*video)["height"], 52);
}

}  // namespace
}  // namespace quorvale::platform

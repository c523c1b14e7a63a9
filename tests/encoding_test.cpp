// Movie encoding against the real libraries: pixel conversion, placement in the
// output, and the movie file as ffprobe and ffmpeg read it.

#include <array>
#include <cmath>

#include "platform/capture/x_errors.h"
#include "platform/encoding/ffmpeg_errors.h"
#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_file.h"
#include "platform/encoding/movie_writer.h"
#include "platform/encoding/pixel_convert.h"
#include "support/backend.h"

namespace quorvale::platform::testing {
namespace {

using namespace encoding;
using pipeline::AudioFormat;
using pipeline::BgraImageView;
using pipeline::Nv12Frame;
using pipeline::VideoFormat;

// A BGRX picture of one colour or, with a step, a bright bar that moves with it over a gradient.
struct Picture {
  Picture(int width, int height, std::uint32_t rgb, std::optional<int> step = {})
      : pixels(std::size_t(width) * height * 4), view{pixels.data(), width, height, width * 4} {
    for (int i = 0; i < width * height; ++i) {
      const int x = i % width, y = i / width, bar = step && (x + *step * 7) / 16 % 8 == 0;
      const std::uint32_t gradient = (x & 255) | (y & 255) << 8 | (step.value_or(0) * 5 & 255) << 16;
      const std::uint32_t value = bar ? 0xffffff : (step ? gradient : rgb);
      std::memcpy(&pixels[std::size_t(i) * 4], &value, 4);
    }
  }
  operator BgraImageView() const { return view; }
  std::vector<std::uint8_t> pixels;
  BgraImageView view;
};

// An image converted as the stream converts it: in bands of `rows`.
void convertInBands(FrameConverter& converter, const BgraImageView& image, Nv12Frame& frame, int rows = 32) {
  converter.begin(image.width, image.height, frame);
  for (int top = 0; top < image.height; top += rows)
    converter.convertRows({image.data + std::size_t(top) * image.stride, image.width,
                           std::min(rows, image.height - top), image.stride},
                          top);
}

TEST(PixelConvertTest, Bt709LimitedRangeBlockMeansAndOddEdges) {
  // 16 + 219 Y', 128 + 224 (B'-Y')/1.8556 and 128 + 224 (R'-Y')/1.5748, rounded.
  for (auto [b, g, r, y, cb, cr] :
       {std::array{0, 0, 0, 16, 128, 128}, std::array{255, 255, 255, 235, 128, 128},
        std::array{0, 0, 255, 63, 102, 240}, std::array{0, 255, 0, 173, 42, 26},
        std::array{255, 0, 0, 32, 240, 118}}) {
    std::vector<std::uint8_t> luma(8), chroma(4);
    bgrxToNv12(Picture(4, 2, std::uint32_t(r << 16 | g << 8 | b)), luma.data(), 4, chroma.data(), 4);
    for (std::uint8_t value : luma) EXPECT_NEAR(value, y, 1) << r << "," << g << "," << b;
    EXPECT_TRUE(std::abs(chroma[0] - cb) <= 1 && std::abs(chroma[1] - cr) <= 1) << r << "," << g << "," << b;
  }
  // 3x3 red and black like a chessboard, rows wider than the picture (padding must not be read).
  const int stride = 5 * 4;
  std::vector<std::uint8_t> pixels(std::size_t(stride) * 3, 0xee);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      std::memcpy(&pixels[std::size_t(y) * stride + x * 4], (x + y) % 2 ? "\0\0\xff" : "\0\0\0", 4);
  std::vector<std::uint8_t> luma(3 * 3, 0), chroma(4 * 2, 0);
  bgrxToNv12({pixels.data(), 3, 3, stride}, luma.data(), 3, chroma.data(), 4);
  EXPECT_EQ(luma[0], 16);
  EXPECT_NEAR(luma[1], 63, 1);
  // Every block's mean red is 127.5 (Cr halfway to 240): the edge column and row alone, repeated.
  for (int i : {1, 3, 5}) EXPECT_NEAR(chroma[i], 184, 1) << i;
  EXPECT_EQ(chroma[7], 128) << "the last block: black alone";
}

// One converter and one frame buffer for a run of pictures, as the stream recycles them: each
// picture red where it is placed, and everything else black, whatever the buffer held before.
struct Placement {
  const char* name;
  VideoFormat format;
  bool scalesToFit;
  std::vector<std::array<int, 6>> pictures;  // source width, height; placed x, y, width, height
};

class FrameConverterTest : public ::testing::TestWithParam<Placement> {};

TEST_P(FrameConverterTest, PlacesEachPictureOnBlack) {
  const auto& param = GetParam();
  FrameConverter converter(param.format, param.scalesToFit);
  const int width = param.format.width, height = param.format.height;
  Nv12Frame frame{{}, {}, width, height, 128, 128};  // a recycled buffer: whatever it held is not black
  frame.luma.assign(std::size_t(128) * height, 77);
  frame.chroma.assign(std::size_t(64) * height, 77);
  for (auto [sourceWidth, sourceHeight, x0, y0, w, h] : param.pictures) {
    SCOPED_TRACE(std::to_string(sourceWidth) + "x" + std::to_string(sourceHeight));
    convertInBands(converter, Picture(sourceWidth, sourceHeight, 0xff0000), frame);
    ASSERT_EQ(std::pair(frame.width, frame.height), std::pair(width, height));
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const bool inside = x >= x0 && x < x0 + w && y >= y0 && y < y0 + h;
        const int luma = frame.luma[std::size_t(y) * frame.lumaStride + x];
        ASSERT_TRUE(inside ? std::abs(luma - 63) <= 2 : luma == 16)
            << "luma " << luma << " at " << x << "," << y;
        const bool touched =
            x / 2 * 2 + 1 >= x0 && x / 2 * 2 < x0 + w && y / 2 * 2 + 1 >= y0 && y / 2 * 2 < y0 + h;
        const int chroma = frame.chroma[std::size_t(y / 2) * frame.chromaStride + x];
        ASSERT_TRUE(touched ? std::abs(chroma - (x % 2 ? 240 : 102)) <= 3 : chroma == 128)
            << "chroma " << chroma << " at " << x << "," << y;
      }
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Pictures, FrameConverterTest, ::testing::Values(
    // Bars above and below, then beside (offsets even: an odd one misaligns the chroma).
    Placement{"Letterbox", {100, 100, 15, true}, true,
              {{200, 100, 0, 24, 100, 50}, {100, 294, 32, 0, 34, 100}, {100, 100, 0, 0, 100, 100},
               {200, 100, 0, 24, 100, 50}}},
    Placement{"Stretch", {100, 100, 15, false}, true, {{200, 100, 0, 0, 100, 100}, {7, 300, 0, 0, 100, 100}}},
    Placement{"Unscaled", {64, 48, 15, true}, false,
              {{30, 20, 0, 0, 30, 20}, {100, 100, 0, 0, 64, 48}, {31, 21, 0, 0, 31, 21}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(FrameConverterBandsTest, BandByBandGivesTheWholeImagesResult) {
  // Scaled (swscale slices), and unscaled with an odd height.
  for (auto [width, height, outWidth, outHeight] :
       {std::array{192, 108, 128, 72}, std::array{128, 71, 128, 72}}) {
    const Picture picture(width, height, 0, 3);
    FrameConverter whole({outWidth, outHeight, 15, true}), banded({outWidth, outHeight, 15, true});
    Nv12Frame expected, frame;
    convertInBands(whole, picture, expected, height);
    EXPECT_EQ(failure([&] { banded.begin(0, height, frame); }),
              "Invalid image for the movie: Invalid argument");
    convertInBands(banded, picture, frame);
    EXPECT_TRUE(frame.luma == expected.luma && frame.chroma == expected.chroma) << width << "x" << height;
  }
}

// A writer fed as the stream feeds it: each picture converted band by band first.
struct Movie : MovieWriter {
  Movie(const fs::path& path, const char* type, VideoFormat video, std::optional<AudioFormat> audio,
        const char* codec = "avc1")
      : MovieWriter(path, type, codec, video, audio), converter(video, true) {}
  using MovieWriter::writeVideoFrame;
  void writeVideoFrame(const BgraImageView& image, std::int64_t ptsMicros) {
    convertInBands(converter, image, frame);
    writeVideoFrame(frame, ptsMicros);
  }
  FrameConverter converter;
  Nv12Frame frame;
};

class MovieWriterTest : public ::testing::Test {
 protected:
  Movie writer(const std::string& name, VideoFormat video = {320, 240, 15, true},
               std::optional<AudioFormat> audio = std::nullopt, const char* type = "public.mpeg-4") {
    return Movie(dir_ / name, type, video, audio);
  }
  const e2e::TempDir temp_;
  const fs::path dir_ = temp_.path();
};

// One movie of frames at 15 a second, then rarer, with sound that pauses for a second: every
// property a player or editor relies on.
TEST_F(MovieWriterTest, RecordsAFragmentedMovieThatPlaysInSyncAndSurvivesBeingCut) {
  const fs::path file = dir_ / "movie.mp4";
  auto movie = writer("movie.mp4", {320, 240, 15, true}, AudioFormat{48000, 2});
  EXPECT_FALSE(movie.hasWrittenFrame());
  const std::int64_t zero = 1'000'000'000;
  movie.writeVideoFrame(Picture(320, 240, 0, 0), zero);
  EXPECT_TRUE(movie.hasWrittenFrame()) << "the first frame waits in the encoder";
  EXPECT_GT(fs::file_size(file), 1000u);
  // Sound in 20 ms chunks: 0.2 s bursts of 1 kHz at 1, 3.8 and 6 s, and no chunk at all from 4 to 5 s.
  std::vector<float> chunk(960 * 2);
  std::int64_t sample = 0;
  auto soundUntil = [&](std::int64_t micros) {
    for (; sample * 1000 / 48 < micros; sample += 960) {
      for (std::size_t i = 0; i < 960; ++i) {
        const double t = double(sample + std::int64_t(i)) / 48000;
        const bool on = (t >= 1 && t < 1.2) || (t >= 3.8 && t < 4) || (t >= 6 && t < 6.2);
        chunk[2 * i] = chunk[2 * i + 1] = on ? float(0.5 * std::sin(2 * M_PI * 1000 * t)) : 0.0f;
      }
      if (sample < 4 * 48000 || sample >= 5 * 48000)
        movie.writeAudio(chunk.data(), 960, zero + sample * 1000 / 48);
    }
  };
  // 15 frames a second at irregular times for 3 s, then one every 0.7 s.
  for (std::int64_t i = 1, at = 0; at < 21'700'000; ++i) {
    at += at < 3'000'000 ? 66'000 + (i * 37'000) % 40'000 : 700'000;
    soundUntil(at);
    movie.writeVideoFrame(Picture(320, 240, 0, int(i)), zero + at);
  }
  movie.finish(zero + 22'500'000);
  EXPECT_NE(failure([&] { movie.finish(zero + 23'000'000); }), "");

  const auto info = e2e::probe(file);
  ASSERT_TRUE(info.contains("video")) << "ffprobe failed";
  // With the colour tags players need to show the colours as converted.
  EXPECT_EQ(fields(info["video"], {"codec_name", "r_frame_rate", "time_base", "width", "color_range",
                                   "color_space", "color_transfer", "color_primaries"}),
            "h264 15/1 1/15 320 tv bt709 bt709 bt709");
  EXPECT_EQ(fields(info["audio"], {"codec_name", "sample_rate", "channels"}), "aac 48000 2");
  EXPECT_NEAR(info["duration"].get<double>(), 22.5, 0.07);
  EXPECT_NEAR(seconds(info["video"]["duration"]), 22.5, 0.07);
  // Keyframes at least every 10 s of time, also where frames are rare, and each opens a fragment
  // (where a seek starts); fragments about once a second, not per packet.
  const auto fragments = boxes(file, "moof");
  std::vector<double> keyframes;
  std::int64_t previous = 0;
  for (const auto& packet : info["packets"]) {
    if (packet["codec_type"] != "video") continue;
    const std::int64_t position = std::stoll(packet["pos"].get<std::string>());
    if (packet["flags"].get<std::string>()[0] == 'K') {
      keyframes.push_back(seconds(packet["pts_time"]));
      EXPECT_TRUE(std::ranges::any_of(fragments, [&](auto f) { return f > previous && f < position; }))
          << "keyframe at " << keyframes.back() << " s inside a fragment";
    }
    previous = position;
  }
  ASSERT_GE(keyframes.size(), 3u);
  for (std::size_t i = 1; i < keyframes.size(); ++i)  // more keyframes than needed cost bits
    EXPECT_TRUE(keyframes[i] - keyframes[i - 1] >= 5 && keyframes[i] - keyframes[i - 1] <= 10.7)
        << keyframes[i];
  EXPECT_TRUE(fragments.size() >= 15 && fragments.size() <= 30) << fragments.size();

  // Every sample up to the end (the encoder drained), the bursts where they were, also after the pause,
  // and at their level in both channels (the mix of one silent channel peaks at half of 16384).
  const std::vector<std::int16_t> samples = e2e::soundOf(file);
  ASSERT_NEAR(double(samples.size()), 22.5 * 48000 + 512, 512);  // whole AAC frames of 1024
  for (double burst : {1.0, 6.0}) {
    std::size_t onset = std::size_t((burst - 0.1) * 48000);
    while (onset < samples.size() && std::abs(samples[onset]) < 12000) ++onset;
    EXPECT_NEAR(double(onset) / 48000, burst, 0.0005) << "the burst at " << burst << " s";
  }
  EXPECT_LT(e2e::rms({samples.begin() + 4 * 48000 + 2400, samples.begin() + 5 * 48000}), 0.001)
      << "the pause is silent";

  // Cut short, as a killed recorder leaves it, between two keyframes: the fragments before the cut
  // still play, also those that do not start with a keyframe.
  const fs::path cut = dir_ / "cut.mp4";
  fs::copy_file(file, cut);
  fs::resize_file(cut, fs::file_size(file) * 7 / 10);
  EXPECT_GT(packets(cutProbe(cut), "video"), packets(info, "video") / 2);
  EXPECT_TRUE(e2e::output({"ffmpeg", "-v", "quiet", "-i", cut, "-f", "null", "-"}))
      << "the cut file does not decode";
}

TEST_F(MovieWriterTest, RepeatsTheLastPictureAndKeepsTheOutputSize) {
  auto red = writer("red.mp4", {64, 64, 15, true});
  EXPECT_NE(failure([&] { red.writeRepeatedFrame(0); }), "") << "nothing to repeat yet";
  red.writeVideoFrame(Picture(64, 64, 0xff0000), 1'000'000);
  red.writeRepeatedFrame(2'000'000);
  red.writeRepeatedFrame(3'000'000);
  red.finish(3'500'000);
  auto info = e2e::probe(dir_ / "red.mp4");
  EXPECT_NEAR(info["duration"].get<double>(), 2.5, 0.07);
  const std::string rgb = e2e::output({"ffmpeg", "-v", "error", "-i", dir_ / "red.mp4", "-fps_mode",
                                       "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"})
                              .value_or("");  // every frame
  // The first picture, its bridge to the next (see MovieWriter) and the two repeats.
  ASSERT_EQ(rgb.size(), 4u * 64 * 64 * 3);
  for (std::size_t at = (32 * 64 + 32) * 3; at < rgb.size(); at += 64 * 64 * 3)
    EXPECT_TRUE(std::uint8_t(rgb[at]) > 230 && std::uint8_t(rgb[at + 1]) < 25) << "red, frame " << at / 12288;

  // Any source size, stretched or not; a silent track
  // where no sound comes, also in a QuickTime movie.
  for (bool letterbox : {true, false}) {
    const std::string name = letterbox ? "letterbox.mov" : "stretch.mov";
    auto movie = writer(name, {1002, 702, 30, letterbox}, AudioFormat{44100, 1}, "com.apple.quicktime-movie");
    std::int64_t now = 5'000'000;
    for (auto [width, height] : {std::pair{1920, 1080}, {300, 800}, {1001, 701}, {1, 1}})
      for (int i = 0; i < 3; ++i) movie.writeVideoFrame(Picture(width, height, 0, i), now += 70'000);
    movie.finish(now + 100'000);
    info = e2e::probe(dir_ / name);
    EXPECT_EQ(fields(info["format"], {"format_name"}) + " " + fields(info["video"], {"width", "height"}) +
                  " " + fields(info["audio"], {"sample_rate"}),
              "mov,mp4,m4a,3gp,3g2,mj2 1002 702 44100");
    EXPECT_EQ(packets(info, "video"), 13) << "12 pictures and the first one's bridge";
    EXPECT_NEAR(seconds(info["audio"]["duration"]), 0.87, 0.05);
  }

  // HEVC tagged hev1 is refused by the other system's players.
  if (std::ranges::count(availableVideoCodecs(), "hvc1") == 0) GTEST_SKIP() << "no HEVC encoder";
  Movie hevc(dir_ / "hevc.mp4", "public.mpeg-4", {64, 64, 15, true}, std::nullopt, "hvc1");
  hevc.writeVideoFrame(Picture(64, 64, 0xff0000), 0);
  hevc.finish(500'000);
  EXPECT_EQ(fields(e2e::probe(dir_ / "hevc.mp4")["video"], {"codec_name", "codec_tag_string"}), "hevc hvc1");
}

TEST_F(MovieWriterTest, NeverReplacesOrRemovesAFileItDidNotMake) {
  std::ofstream(dir_ / "existing.mp4") << "keep";
  EXPECT_EQ(failure([&] { writer("existing.mp4"); }),
            "Could not create the movie file " + (dir_ / "existing.mp4").string() + ": File exists");
  std::ofstream(dir_ / "target.mp4") << "target";
  fs::create_symlink(dir_ / "target.mp4", dir_ / "link.mp4");
  fs::create_symlink(dir_ / "nowhere.mp4", dir_ / "dangling.mp4");
  EXPECT_NE(failure([&] { writer("link.mp4"); }), "");
  EXPECT_NE(failure([&] { writer("dangling.mp4"); }), "");
  EXPECT_EQ(fs::file_size(dir_ / "existing.mp4") + fs::file_size(dir_ / "target.mp4"), 10u);
  EXPECT_FALSE(fs::exists(dir_ / "nowhere.mp4"));

  // Unsupported choices fail before a file is left.
  for (auto [type, codec, rate] : {std::tuple{"public.mpeg-4", "nope", 0},
                                   {"public.avi", "avc1", 0},
                                   {"public.mpeg-4", "avc1", 12345},
                                   {"public.mpeg-4", "avc1", -1}}) {
    EXPECT_THROW(MovieWriter(dir_ / "a.mp4", type, codec, {320, 240, 15, true}, AudioFormat{rate, 2}),
                 PlatformError);
    EXPECT_FALSE(fs::exists(dir_ / "a.mp4")) << type << " " << codec << " " << rate;
  }
  EXPECT_EQ(availableVideoCodecs().at(0), "avc1");
  for (auto [width, height, message] : {std::tuple{0, 240, "Invalid video size 0x240: Invalid argument"},
                                        {320, 0, "Invalid video size 320x0: Invalid argument"},
                                        {321, 240, "Invalid video size 321x240: Invalid argument"}})
    EXPECT_EQ(failure([&] { writer("a.mp4", {width, height, 15, true}); }), message);

  // Guards against removing, with an unfinished movie, a file that someone else put at its path since.
  writer("movie.mp4").discard();
  EXPECT_FALSE(fs::exists(dir_ / "movie.mp4"));
  auto moved = writer("movie.mp4");
  fs::rename(dir_ / "movie.mp4", dir_ / "moved.mp4");
  std::ofstream(dir_ / "movie.mp4") << "other";
  moved.discard();
  EXPECT_TRUE(fs::exists(dir_ / "movie.mp4"));
  // Asked while the file is open, when no new file can have its inode number.
  const int open = ::open((dir_ / "moved.mp4").c_str(), O_RDONLY | O_CLOEXEC);
  int error = 0;
  EXPECT_TRUE(namesOpenFile(dir_ / "moved.mp4", open, error));
  EXPECT_FALSE(namesOpenFile(dir_ / "movie.mp4", open, error));
  EXPECT_FALSE(namesOpenFile(dir_ / "gone.mp4", open, error) || error != ENOENT);
  ::close(open);

  // Regression: a movie deleted while it was written must not finish as a success.
  auto deleted = writer("deleted.mp4");
  deleted.writeVideoFrame(Picture(320, 240, 0, 0), 1'000'000);
  EXPECT_NE(failure([&] { deleted.discard(); }), "") << "a movie with a frame is never discarded";
  fs::remove(dir_ / "deleted.mp4");
  EXPECT_EQ(failure([&] { deleted.finish(1'500'000); }),
            "The movie file " + (dir_ / "deleted.mp4").string() +
                " was deleted during the recording: No such file or directory");
}

TEST(MediaErrorsTest, MessagesNameTheCause) {
  // X's core errors as its own error database words them.
  std::ifstream database("/usr/share/X11/XErrorDB");
  int named = 0;
  for (std::string line; std::getline(database, line);) {
    int code = 0, at = 0;
    if (std::sscanf(line.c_str(), "XProtoError.%d: %n", &code, &at) != 1 || code <= 0 || at <= 0) continue;
    ++named;
    EXPECT_EQ(capture::xError(code, 20, "x").what(), "x: " + line.substr(std::size_t(at)) + ", request 20");
  }
  EXPECT_EQ(named, 17);
  EXPECT_STREQ(capture::xError(18, 140, "x").what(), "x: X error 18, request 140");
  EXPECT_STREQ(ffmpegError(-ENOSPC, "x").what(), "x: No space left on device");
  // FFmpeg's own codes (AVERROR_INVALIDDATA here) are not errno values.
  EXPECT_STREQ(ffmpegError(-int('I' | 'N' << 8 | 'D' << 16 | unsigned('A') << 24), "x").what(),
               "x: Invalid data found when processing input");
}

}  // namespace
}  // namespace quorvale::platform::testing

// Recording real windows on an own Xvfb, start to finish.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

class RecordingTest : public DisplayTest {
 protected:
  // Exit 0, exactly "started" then "finished", both naming the output, nothing on stderr.
  void expectCleanRun(const std::filesystem::path& file) {
    std::string transcript = recorder_->transcript();
    EXPECT_EQ(recorder_->exitCode(), 0) << transcript;
    ASSERT_EQ(recorder_->statuses(), (std::vector<std::string>{"started", "finished"})) << transcript;
    for (const auto& event : recorder_->events()) {
      EXPECT_TRUE(event.isCompact()) << "not one compact JSON object: " << event.line;
      EXPECT_EQ(event.get("path"), file.string()) << event.line;
      EXPECT_EQ(event.get("fileName"), file.filename().string()) << event.line;
    }
    EXPECT_EQ(recorder_->stderrText(), "");
  }

  MediaInfo probeOrFail(const std::filesystem::path& file) {
    std::string error;
    auto info = probe(file, &error);
    if (!info) ADD_FAILURE() << "ffprobe failed: " << error;
    return info.value_or(MediaInfo{});
  }

  // The mean colour of the middle of the movie's frame at `seconds`.
  Rgb centreColour(const std::filesystem::path& file, const MediaInfo& info, double seconds) {
    if (!info.video) return {};
    auto frame = extractFrame(file, seconds, info.video->width, info.video->height);
    if (!frame) {
      ADD_FAILURE() << "no frame at " << seconds << " s";
      return {};
    }
    return frame->centre(0.4);
  }
};

TEST_F(RecordingTest, RecordsAMovingWindowToAPlayableMovie) {
  auto& window = openWindow(WindowOptions().at(100, 80).size(640, 480).colour(0x3060c0).animated());
  startRecorder(output(), window.id());
  double recorded = recordFor(3.0);
  expectCleanRun(output());

  MediaInfo info = probeOrFail(output());
  EXPECT_NE(info.formatName.find("mp4"), std::string::npos) << info.formatName;
  ASSERT_TRUE(info.video) << info.json;
  EXPECT_EQ(info.video->codec, "h264");
  EXPECT_GT(info.video->width, 0);
  EXPECT_LE(info.video->width, 1280);
  EXPECT_GT(info.video->height, 0);
  EXPECT_LE(info.video->height, 720);
  auto frameTimes = videoFrameTimes(output());
  EXPECT_GT(frameTimes.size(), 10u) << "hardly any frames for a moving window";
  EXPECT_LE(measuredFrameRate(frameTimes), 15.0 + 1e-3);
  // Guards against raw capture instants as frame times, which players read as 30, 46 or 14.985 fps.
  EXPECT_EQ(info.video->frameRate, "15/1");
  EXPECT_EQ(info.video->timeBase, "1/15");
  EXPECT_EQ(std::count_if(frameTimes.begin(), frameTimes.end(),
                          [](double time) { return std::abs(time * 15 - std::round(time * 15)) > 1e-3; }),
            0);
  EXPECT_NEAR(info.duration, recorded, 0.5) << info.json;
  ASSERT_TRUE(info.audio) << info.json;
  EXPECT_EQ(info.audio->codec, "aac");
  EXPECT_EQ(info.audio->sampleRate, 48000);
  EXPECT_EQ(info.audio->channels, 2);

  // No sound server in this test: the track is there and silent.
  auto samples = extractAudio(output());
  EXPECT_GT(samples.size(), 48000u);
  EXPECT_LT(rms(samples), 0.001);

  // A frozen first frame would pass every check above.
  auto early = extractFrame(output(), 0.5, info.video->width, info.video->height);
  auto later = extractFrame(output(), 1.8, info.video->width, info.video->height);
  ASSERT_TRUE(early && later);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < early->pixels.size(); ++i) {
    if (std::abs(early->pixels[i] - later->pixels[i]) > 48) ++differing;
  }
  EXPECT_GT(differing, early->pixels.size() / 50) << "the moving bar does not move in the movie";
}

// Guards against grabbing the screen area instead of the window's own content.
TEST_F(RecordingTest, CoveredWindowShowsItsOwnContent) {
  constexpr std::uint32_t kRed = 0xff0000;
  constexpr std::uint32_t kBlue = 0x0000ff;
  auto& covered = openWindow(WindowOptions().at(200, 150).size(400, 300).colour(kRed));
  openWindow(WindowOptions().at(150, 100).size(500, 400).colour(kBlue));
  XConnection x(xserver_->display());
  ASSERT_EQ(x.screenPixel(400, 300), kBlue) << "the blue window does not cover the red one";

  startRecorder(output(), covered.id());
  recordFor(2.0);
  expectCleanRun(output());
  MediaInfo info = probeOrFail(output());
  ASSERT_TRUE(info.video) << info.json;
  auto frame = extractFrame(output(), 1.0, info.video->width, info.video->height);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(closeTo(frame->centre(0.4), kRed)) << toString(frame->centre(0.4));
  // The covering window belongs to another process: none of it may show.
  EXPECT_LT(frame->share(kBlue), 0.001);
}

TEST_F(RecordingTest, RecordsTheClientWindowUnderAReparentingWindowManager) {
  constexpr std::uint32_t kGreen = 0x00c000;
  startWindowManager();
  auto& window = openWindow(WindowOptions().at(120, 90).size(480, 360).colour(kGreen));

  // Openbox must have put a frame around it, or this test proves nothing.
  XConnection x(xserver_->display());
  std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
      xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), window.id()), nullptr), &std::free);
  ASSERT_TRUE(tree);
  ASSERT_NE(tree->parent, x.screen()->root) << "the window was not reparented";

  startRecorder(output(), window.id());
  recordFor(2.0);
  expectCleanRun(output());
  MediaInfo info = probeOrFail(output());
  ASSERT_TRUE(info.video) << info.json;
  EXPECT_EQ(info.video->codec, "h264");
  Rgb colour = centreColour(output(), info, 1.0);
  EXPECT_TRUE(closeTo(colour, kGreen)) << toString(colour);
}

// Guards against a crop that stays where the window was at the start (title bar offset, moves, resizes).
TEST_F(RecordingTest, CropFollowsAWindowShownMovedAndEnlargedWhileRecording) {
  constexpr std::uint32_t kGreen = 0x00c000;
  startWindowManager();
  WindowOptions options = WindowOptions().at(100, 100).size(640, 360).colour(kGreen);
  options.extraArgs = {"--unmapped"};
  auto& window = openWindow(options);
  startRecorder(output(), window.id());
  ASSERT_TRUE(recorder_->waitFor("started")) << recorder_->transcript();
  XConnection x(xserver_->display());
  xcb_map_window(x.get(), window.id());
  x.sync();
  sleepFor(1.5);
  xcb_delete_property(x.get(), window.id(), XCB_ATOM_WM_NORMAL_HINTS);  // its fixed size
  const std::uint32_t enlarged[] = {500, 250, 960, 540};
  xcb_configure_window(
      x.get(), window.id(),
      XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
      enlarged);
  x.sync();
  sleepFor(1.5);
  ASSERT_TRUE(recorder_->stop());
  ASSERT_EQ(recorder_->waitExit(), 0) << recorder_->transcript();

  MediaInfo info = probeOrFail(output());
  ASSERT_TRUE(info.video) << info.json;
  const int width = info.video->width, height = info.video->height;
  // The rectangle is scaled into the size set at the start: near its edges, inside the letterbox.
  const std::pair<int, int> points[] = {
      {8, height / 2}, {width / 2, height * 6 / 100}, {width - 8, height * 94 / 100}};
  // Shown (about 0.1 s in), then moved (1.5 s in): the first frame from 1 s on, and the last.
  for (const double seconds : {1.0, videoFrameTimes(output()).back()}) {
    auto frame = extractFrame(output(), seconds, width, height);
    ASSERT_TRUE(frame);
    for (const auto& [px, py] : points) {
      EXPECT_TRUE(closeTo(frame->at(px, py), kGreen))
          << seconds << " s: " << px << "," << py << " is " << toString(frame->at(px, py));
    }
  }
}

}  // namespace
}  // namespace quorvale::e2e

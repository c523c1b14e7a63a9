// Recording real windows on an own Xvfb, start to finish.

#include <fstream>
#include <iterator>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

// Whether the rgb24 pixel at byte `at` is within 40 of 0xRRGGBB in each channel.
bool near(const std::vector<std::uint8_t>& frame, std::size_t at, std::uint32_t rgb) {
  for (int c = 0; c < 3; ++c) {
    if (std::abs(frame[at + c] - static_cast<int>((rgb >> (16 - 8 * c)) & 0xff)) > 40) return false;
  }
  return true;
}

double share(const std::vector<std::uint8_t>& frame, std::uint32_t rgb) {
  std::size_t matching = 0;
  for (std::size_t at = 0; at + 2 < frame.size(); at += 3) matching += near(frame, at, rgb);
  return frame.empty() ? 0 : 3.0 * static_cast<double>(matching) / static_cast<double>(frame.size());
}

class RecordingTest : public E2eTest, public ::testing::WithParamInterface<SoundServerKind> {};

// One recording checked for everything the app relies on. The window's process plays 440 Hz and
// its child 660 Hz. Another process plays 1000 Hz and shows a window over TCP, where the program
// cannot tell which process it is: that window, recorded at the same time, must stay silent.
TEST_P(RecordingTest, RecordsTheWindowWithItsApplicationsSoundOnly) {
  x = std::make_unique<XServer>(std::vector<std::string>{"1280x800x24"}, /*tcp=*/true);
  pulse = std::make_unique<PulseServer>(dir.path() / "sound", GetParam());
  auto& window = open("--x 100 --y 80 --width 640 --height 480 --color 3060c0 --animate --tone 440",
                      "PULSE_LATENCY_MSEC=40 ffmpeg -nostdin -v quiet -re -f lavfi -i "
                      "'aevalsrc=0.5*sin(660*2*PI*t):s=48000:d=60' -f pulse child");
  TestWindow remote(environment().set("DISPLAY", "127.0.0.1" + x->display()), "--x 800 --tone 1000");
  // All three tones must be playing first, or an absent one proves nothing.
  for (auto deadline = Clock::now() + kStartTimeout; pulse->sinkInputs().size() < 3; sleepFor(0.1)) {
    ASSERT_LT(Clock::now(), deadline) << "the tones never reached the sound server";
  }
  record(window.id);
  Program other(environment(), dir.path() / "remote.mp4", remote.id);
  ASSERT_TRUE(run->waitFor("started")) << run->transcript();
  ASSERT_TRUE(other.waitFor("started")) << other.transcript();
  sleepFor(3.0);
  run->process.write("\n");
  other.process.write("\n");

  EXPECT_EQ(run->end(), 0) << run->transcript();
  EXPECT_EQ(run->statuses(), "started finished") << run->transcript();
  EXPECT_EQ(run->process.err(), "");
  auto info = probe(run->file);
  ASSERT_TRUE(info && info->video && info->audio) << "no playable movie";
  EXPECT_NE(info->formatName.find("mp4"), std::string::npos) << info->formatName;
  std::ifstream file(run->file, std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(file), {}).find("moof"), std::string::npos)
      << "not fragmented: a killed recording would not play";
  EXPECT_EQ(info->video->codec, "h264");
  EXPECT_LE(info->video->width, 1280);
  EXPECT_LE(info->video->height, 720);
  // Guards against raw capture instants as frame times, which players read as 30, 46 or 14.985 fps.
  EXPECT_EQ(info->video->frameRate, "15/1");
  EXPECT_EQ(info->video->timeBase, "1/15");
  EXPECT_GT(info->video->frames, 10) << "hardly any frames of a moving window";
  EXPECT_EQ(info->audio->codec, "aac");
  EXPECT_TRUE(decodesCleanly(run->file));
  EXPECT_GT(share(frameAt(run->file, 1.5), 0x3060c0), 0.5) << "the window's colour is not in the frame";

  auto sound = soundOf(run->file);
  ASSERT_GT(sound.size(), 48000u * 2) << "less than two seconds of sound";
  // Not the edges, where capture starts and the encoder pads.
  const std::vector<std::int16_t> middle(sound.begin() + 24000, sound.end() - 12000);
  EXPECT_GT(toneShare(middle, 48000, 440), 0.3) << "the window's own tone is missing";
  EXPECT_GT(toneShare(middle, 48000, 660), 0.3) << "the tone of the window's child process is missing";
  EXPECT_LT(toneShare(middle, 48000, 1000), 0.02) << "another process's tone is in the movie";

  EXPECT_EQ(other.end(), 0) << other.transcript();
  EXPECT_LT(rms(soundOf(other.file)), 0.001) << "a client over TCP was not recorded silent";
}

INSTANTIATE_TEST_SUITE_P(BothServers, RecordingTest,
                         ::testing::Values(SoundServerKind::PulseAudio, SoundServerKind::PipeWire),
                         [](const auto& info) {
                           return info.param == SoundServerKind::PipeWire ? "PipeWire" : "PulseAudio";
                         });

using CropTest = E2eTest;

// Guards against a crop that stays where the window was at the start (title bar offset, moves,
// resizes), and against grabbing the screen, where another application's window covers it.
TEST_F(CropTest, FollowsTheWindowShownMovedEnlargedAndCovered) {
  x = std::make_unique<XServer>();
  WindowManager openbox(x->display(), dir.path());
  auto& window = open("--x 100 --y 100 --width 640 --height 360 --color 00c000 --unmapped");
  startRecording();
  if (HasFatalFailure()) return;
  xcb_map_window(xcb(), window.id);
  sync();
  sleepFor(1.5);
  xcb_delete_property(xcb(), window.id, XCB_ATOM_WM_NORMAL_HINTS);  // its fixed size
  const std::uint32_t enlarged[] = {500, 250, 960, 540};
  xcb_configure_window(
      xcb(), window.id,
      XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
      enlarged);
  sync();
  open("--x 400 --y 200 --width 800 --height 500 --color 0000ff --override-redirect");  // on top of it
  sleepFor(1.5);
  run->process.write("\n");
  ASSERT_EQ(run->end(), 0) << run->transcript();

  auto info = probe(run->file);
  ASSERT_TRUE(info && info->video) << "no playable movie";
  const int w = info->video->width, h = info->video->height;
  // Near the edges of the window's rectangle scaled into the movie's size, inside the letterbox.
  const std::pair<int, int> points[] = {{8, h / 2}, {w / 2, h * 6 / 100}, {w - 8, h * 94 / 100}};
  // Shown about 0.1 s in; moved, enlarged and covered 1.5 s in.
  for (const double seconds : {1.0, info->duration}) {
    auto frame = frameAt(run->file, seconds);
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(w) * h * 3);
    for (const auto& [px, py] : points) {
      EXPECT_TRUE(near(frame, (static_cast<std::size_t>(py) * w + px) * 3, 0x00c000))
          << seconds << " s: " << px << "," << py;
    }
    EXPECT_LT(share(frame, 0x0000ff), 0.001) << seconds << " s: another application's window shows";
  }
}

}  // namespace
}  // namespace quorvale::e2e

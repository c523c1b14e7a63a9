// The movie's sound comes from the recorded window's own process only.

#include <gtest/gtest.h>

#include <thread>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

class AudioTest : public DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    startPulse();
  }

  // Both tones must be playing before recording, or an absent tone proves nothing.
  void waitForStreams(std::size_t count) {
    auto deadline = Clock::now() + kStartTimeout;
    while (pulse_->sinkInputs().size() < count) {
      ASSERT_LT(Clock::now(), deadline) << "the test windows' tones never reached the sound server";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
};

TEST_F(AudioTest, RecordsTheWindowsOwnToneAndNotAnotherProcesses) {
  auto& recorded = openWindow(WindowOptions().at(50, 50).size(320, 240).colour(0xff0000).tone(440));
  openWindow(WindowOptions().at(600, 300).size(320, 240).colour(0x0000ff).tone(1000));
  waitForStreams(2);

  startRecorder(output(), recorded.id());
  recordFor(3.0);
  std::string transcript = recorder_->transcript();
  ASSERT_EQ(recorder_->exitCode(), 0) << transcript;
  ASSERT_EQ(recorder_->statuses(), (std::vector<std::string>{"started", "finished"})) << transcript;
  EXPECT_EQ(recorder_->stderrText(), "");

  auto samples = extractAudio(output());
  // Leave out the edges, where capture starts and the encoder pads.
  ASSERT_GT(samples.size(), 48000u * 2) << "less than two seconds of audio";
  std::vector<std::int16_t> middle(samples.begin() + 24000, samples.end() - 12000);
  double own = toneShare(middle, 48000, 440);
  double other = toneShare(middle, 48000, 1000);
  EXPECT_GT(rms(middle), 0.01) << "the track is silent";
  EXPECT_GT(own, 0.5) << "440 Hz share " << own << ", 1000 Hz share " << other;
  EXPECT_LT(other, 0.02) << "another process's tone is in the movie: 1000 Hz share " << other;
}

// Guards against recording only one of the window's playback streams when it plays several at once.
TEST_F(AudioTest, MixesAllOfTheWindowsStreamsAndNoOtherProcesses) {
  auto options = WindowOptions().at(50, 50).size(320, 240).colour(0xff0000).tone(440);
  options.extraArgs = {"--tone", "660"};
  auto& recorded = openWindow(options);
  openWindow(WindowOptions().at(600, 300).size(320, 240).colour(0x0000ff).tone(1000));
  waitForStreams(3);

  startRecorder(output(), recorded.id());
  recordFor(3.0);
  std::string transcript = recorder_->transcript();
  ASSERT_EQ(recorder_->exitCode(), 0) << transcript;
  EXPECT_EQ(recorder_->stderrText(), "");

  auto samples = extractAudio(output());
  ASSERT_GT(samples.size(), 48000u * 2) << "less than two seconds of audio";
  std::vector<std::int16_t> middle(samples.begin() + 24000, samples.end() - 12000);
  double low = toneShare(middle, 48000, 440);
  double high = toneShare(middle, 48000, 660);
  double other = toneShare(middle, 48000, 1000);
  // Equal loudness: each should carry about half the energy.
  EXPECT_GT(low, 0.3) << "440 Hz share " << low << ", 660 Hz share " << high;
  EXPECT_GT(high, 0.3) << "440 Hz share " << low << ", 660 Hz share " << high;
  EXPECT_LT(other, 0.02) << "another process's tone is in the movie: 1000 Hz share " << other;
}

class RemoteClientAudioTest : public AudioTest {
 protected:
  void SetUp() override {
    tcp_ = true;
    AudioTest::SetUp();
  }
};

// Guards against trusting a remote client's _NET_WM_PID: it counts on another machine, and the local
// process of that number (here, as a stand-in, the window's own) plays someone else's sound.
TEST_F(RemoteClientAudioTest, WindowOfAClientOverTcpIsRecordedSilent) {
  Environment overTcp = environment().set("DISPLAY", "127.0.0.1" + xserver_->display());
  windows_.push_back(std::make_unique<TestWindow>(
      overTcp, WindowOptions().at(50, 50).size(320, 240).colour(0xff0000).tone(440)));
  waitForStreams(1);

  startRecorder(output(), windows_.back()->id());
  recordFor(3.0);
  ASSERT_EQ(recorder_->exitCode(), 0) << recorder_->transcript();
  auto samples = extractAudio(output());
  ASSERT_GT(samples.size(), 48000u * 2) << "less than two seconds of audio";
  EXPECT_LT(rms(samples), 0.001) << "440 Hz share " << toneShare(samples, 48000, 440);
}

}  // namespace
}  // namespace quorvale::e2e

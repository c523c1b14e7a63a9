// Sound capture against private sound servers: whose sound is recorded, and its times.

#include <cmath>
#include <thread>

#include "platform/pipeline/media_clock.h"
#include "platform/sound/audio_capture.h"
#include "support/backend.h"

namespace quorvale::platform::testing {
namespace {

using sound::AudioCapture;

// What one capture delivered, as mono 16-bit samples, and how its times ran. Read once the capture
// stopped: that joins the thread the sink runs on.
struct CapturedSound {
  std::vector<std::int16_t> samples;
  // How far a chunk's time went back into the one before; the largest distance between a chunk's
  // time and the clock at its arrival.
  std::int64_t nextMicros = -1, worstOverlap = 0, worstDelay = 0;
  AudioCapture::Sink sink() {
    return [this](const float* stereo, std::size_t frames, std::int64_t micros) {
      for (std::size_t i = 0; i < frames; ++i)
        samples.push_back(std::int16_t(std::lround(16383.0f * (stereo[2 * i] + stereo[2 * i + 1]))));
      if (nextMicros >= 0) worstOverlap = std::max(worstOverlap, nextMicros - micros);
      worstDelay = std::max(worstDelay, std::abs(pipeline::monotonicMicros() - micros));
      nextMicros = micros + std::int64_t(frames) * 1'000'000 / 48000;
    };
  }
};

class AudioCaptureServerTest : public ::testing::TestWithParam<e2e::SoundServerKind> {};

// Guards against recording only the window's own process (its child's player was silent), losing a
// player that ended and started again, and recording the whole output mix, with another program's
// sound, when the process is unknown or is init.
TEST_P(AudioCaptureServerTest, RecordsTheOwnersDescendantsAndNoOneElse) {
  e2e::TempDir dir;
  e2e::PulseServer server(dir.path() / "sound", GetParam());
  auto tone = [&](int hz, int seconds) {
    const auto file = (dir.path() / (std::to_string(hz) + "-" + std::to_string(seconds) + ".wav")).string();
    EXPECT_TRUE(e2e::output({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                             "sine=frequency=" + std::to_string(hz) + ":duration=" + std::to_string(seconds),
                             "-ar", "48000", "-ac", "2", file}));
    return file;
  };
  // Players with short buffers: a null sink fed 2 s ahead hands its monitor whole seconds at once.
  const auto players = server.environment().set("PULSE_LATENCY_MSEC", "40");
  const auto foreignTone = tone(1000, 60);
  e2e::Process other({"paplay", foreignTone}, players, true);
  // A player claiming a process that does not exist: no ancestry, so no one's descendant.
  e2e::Process stranger({"paplay", "--property=application.process.id=4194000", foreignTone}, players, true);
  e2e::await([&] { return server.streams() >= 2; }, "the tones at the sound server");
  // The owner plays nothing itself; its child starts playing once the capture runs, and again.
  e2e::Process owner({"sh", "-c", "sleep 1; paplay " + tone(440, 1) + "; paplay " + tone(440, 60)}, players,
                     true);

  ::setenv("PULSE_SERVER", server.serverAddress().c_str(), 1);
  CapturedSound owned, unknown, init;
  AudioCapture captures[] = {{{48000, 2}, owner.pid(), owned.sink()},
                             {{48000, 2}, std::nullopt, unknown.sink()},
                             {{48000, 2}, 1, init.sink()}};  // every process descends from init
  EXPECT_FALSE(AudioCapture({48000, 0}, owner.pid(), owned.sink()).start()) << "a format without channels";
  for (auto& capture : captures) EXPECT_TRUE(capture.start());
  EXPECT_TRUE(captures[0].start()) << "a second start changes nothing";
  e2e::await([&] { return server.streams() >= 3; }, "the owner's player");
  std::this_thread::sleep_for(3500ms);
  for (auto& capture : captures) capture.stop();
  ::unsetenv("PULSE_SERVER");

  ASSERT_GT(owned.samples.size(), 48000u * 2) << "less than two seconds of the child's sound";
  const std::vector<std::int16_t> late(owned.samples.end() - 48000, owned.samples.end());
  const double own = e2e::toneShare(owned.samples, 48000, 440),
               foreign = e2e::toneShare(owned.samples, 48000, 1000);
  EXPECT_GT(own, 0.5) << "440 Hz share " << own << ", 1000 Hz share " << foreign;
  EXPECT_LT(foreign, 0.02) << "another process's tone was recorded";
  EXPECT_GT(e2e::toneShare(late, 48000, 440), 0.5) << "the player that started again was not taken up";
  EXPECT_LE(owned.worstOverlap, 1) << "the chunks' times overlap";
  EXPECT_LE(owned.worstDelay, 10'000'000) << "the chunks' times are not on the shared clock";
  EXPECT_EQ(e2e::rms(unknown.samples), 0) << "without a process the output mix was recorded";
  EXPECT_EQ(e2e::rms(init.samples), 0) << "init's descendants, everyone, were recorded";
}

INSTANTIATE_TEST_SUITE_P(BothServers, AudioCaptureServerTest,
                         ::testing::Values(e2e::SoundServerKind::PulseAudio, e2e::SoundServerKind::PipeWire),
                         [](const auto& info) { return info.index ? "PipeWire" : "PulseAudio"; });

}  // namespace
}  // namespace quorvale::platform::testing

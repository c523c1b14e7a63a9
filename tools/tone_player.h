#pragma once

// The test windows' sound: a sine played through the default sound server (PULSE_SERVER), and the
// beep marker that matches a window's flash on one steady clock.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

namespace quorvale::tools {

// Just over a second, so each flash falls at another point between two captured frames.
constexpr double kFlashPeriod = 1.007;
constexpr double kFlashSeconds = 0.15;  // longer than one captured frame at 15 fps
constexpr double kBeepSeconds = 0.1;

// The marker starts at k * kFlashPeriod seconds, k >= 1.
inline bool inMarker(double seconds, double length) {
  return seconds >= kFlashPeriod && std::fmod(seconds, kFlashPeriod) < length;
}

// Plays a sine on its own thread until destroyed. The stream's client carries
// application.process.id = getpid(), which libpulse sets by itself.
// With beeps, the tone is quiet except while a marker plays, timed from beepsFrom.
class TonePlayer {
 public:
  using Clock = std::chrono::steady_clock;
  TonePlayer(double hz, std::optional<Clock::time_point> beepsFrom)
      : beepsFrom_(beepsFrom), thread_([this, hz](std::stop_token stop) { run(stop, hz); }) {}

 private:
  static constexpr int kRate = 48000;
  static constexpr int kChannels = 2;

  void run(std::stop_token stop, double hz) {
    pa_sample_spec sample{PA_SAMPLE_S16LE, kRate, kChannels};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(100'000, &sample));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);

    // The server may still be starting when the window appears: retry for a while.
    std::unique_ptr<pa_simple, decltype(&pa_simple_free)> stream(nullptr, &pa_simple_free);
    int error = 0;
    for (int attempt = 0; attempt < 50 && !stop.stop_requested(); ++attempt) {
      stream.reset(pa_simple_new(nullptr, "quorvale_test_window", PA_STREAM_PLAYBACK, nullptr, "tone",
                                 &sample, nullptr, &attr, &error));
      if (stream) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!stream) {
      std::fprintf(stderr, "quorvale_test_window: no sound server: %s\n", pa_strerror(error));
      return;
    }

    constexpr int kChunkFrames = kRate / 100;
    std::vector<std::int16_t> chunk(kChunkFrames * kChannels);
    double phase = 0;
    const double step = 2 * std::numbers::pi * hz / kRate;
    // When the next chunk's first sample will be played, in seconds since beepsFrom_.
    double playAt = 0;
    while (!stop.stop_requested()) {
      for (int i = 0; i < kChunkFrames; ++i) {
        double amplitude = 0.5;
        if (beepsFrom_)
          amplitude = inMarker(playAt + static_cast<double>(i) / kRate, kBeepSeconds) ? 0.5 : 0.05;
        auto sample = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
        phase = std::fmod(phase + step, 2 * std::numbers::pi);
        for (int ch = 0; ch < kChannels; ++ch) chunk[i * kChannels + ch] = sample;
      }
      if (pa_simple_write(stream.get(), chunk.data(), chunk.size() * sizeof(std::int16_t), &error) < 0) {
        std::fprintf(stderr, "quorvale_test_window: playback failed: %s\n", pa_strerror(error));
        return;
      }
      if (beepsFrom_) {
        // Latency after a write: how long until the last written sample is heard.
        pa_usec_t latency = pa_simple_get_latency(stream.get(), &error);
        playAt = std::chrono::duration<double>(Clock::now() - *beepsFrom_).count() +
                 static_cast<double>(latency) / 1e6;
      }
    }
  }

  std::optional<Clock::time_point> beepsFrom_;
  std::jthread thread_;
};

}  // namespace quorvale::tools

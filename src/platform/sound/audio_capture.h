#pragma once

// The sound source: an application's playback from the sound server, as
// interleaved float samples stamped on the shared clock.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::sound {

using pipeline::AudioFormat;

// Works with PulseAudio and with PipeWire's PulseAudio server. Without a server, start() returns
// false and nothing fails: the movie then gets a silent track. start() throws PlatformError when
// its own thread cannot be started.
// Threading: one thread creates, starts, stops and destroys it; the sink runs on the capture's own thread.
class AudioCapture {
 public:
  using Sink = std::function<void(const float* interleaved, std::size_t frameCount, std::int64_t ptsMicros)>;

  // The playback streams of processID and of its descendants, also those that
  // start later. No processID: nothing is recorded (never the whole output mix,
  // which holds other programs' sound).
  AudioCapture(AudioFormat format, std::optional<pid_t> processID, Sink sink);
  ~AudioCapture();  // stops and joins; no sink call after it returns
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  bool start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::sound

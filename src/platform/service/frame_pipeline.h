#pragma once

// What passes from the capture thread to the writer thread: frames already NV12 at the
// output size, and the sound, through one bounded queue; and the writer thread's loop.
// Threading: FramePipeline from any thread (its mutex guards it); writeLoop on the
// writer thread, which alone touches the MovieWriter.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/pipeline/frames.h"

namespace quorvale::platform::encoding {
class MovieWriter;
}

namespace quorvale::platform::service {

using pipeline::Nv12Frame;

struct VideoItem {
  Nv12Frame pixels;
  std::int64_t ptsMicros = 0;
};

struct AudioItem {
  std::vector<float> samples;
  std::size_t frameCount = 0;
  std::int64_t ptsMicros = 0;
};

// Frames, already NV12 at the output size (a fraction of the content's BGRX),
// and audio on their way from the capture thread to the writer thread.
struct FramePipeline {
  // About five seconds of 20 ms chunks; audio is never dropped while the writer keeps up at all.
  static constexpr std::size_t kAudioQueueChunks = 256;

  explicit FramePipeline(std::size_t depth) : depth(depth) {}

  Nv12Frame takeBuffer() {
    std::lock_guard lock(mutex);
    if (spare.empty()) return {};
    Nv12Frame buffer = std::move(spare.back());
    spare.pop_back();
    return buffer;
  }
  void recycle(Nv12Frame&& buffer) {
    std::lock_guard lock(mutex);
    if (spare.size() <= depth) spare.push_back(std::move(buffer));
  }
  // Never blocks: when the writer lags, the oldest waiting frame gives way.
  void pushFrame(Nv12Frame&& pixels, std::int64_t ptsMicros) {
    {
      std::lock_guard lock(mutex);
      if (frames.size() >= depth) {
        spare.push_back(std::move(frames.front().pixels));
        frames.pop_front();
      }
      frames.push_back({std::move(pixels), ptsMicros});
    }
    wake.notify_one();
  }
  // Called inside PulseAudio's callbacks, which no exception may cross: a chunk
  // that finds no memory fails the output like a frame that cannot be converted.
  void pushAudio(const float* samples, std::size_t frameCount, std::size_t channels, std::int64_t ptsMicros) {
    {
      std::lock_guard lock(mutex);
      if (audio.size() >= kAudioQueueChunks) return;
      try {
        audio.push_back(
            {std::vector<float>(samples, samples + frameCount * channels), frameCount, ptsMicros});
      } catch (const std::bad_alloc&) {
        if (!inputError) inputError = std::current_exception();
        failed = true;
      }
    }
    wake.notify_one();
  }
  // A frame could not be converted: the writer reports it as the output's failure.
  void failConversion(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex);
      if (!inputError) inputError = std::move(error);
      failed = true;
    }
    wake.notify_one();
  }
  void end(std::int64_t micros) {
    {
      std::lock_guard lock(mutex);
      ended = true;
      endMicros = micros;
    }
    wake.notify_one();
  }
  bool outputFailed() {
    std::lock_guard lock(mutex);
    return failed;
  }

  const std::size_t depth;
  std::mutex mutex;  // guards every member below
  std::condition_variable wake;
  std::deque<VideoItem> frames;
  std::deque<AudioItem> audio;
  std::vector<Nv12Frame> spare;  // buffers for reuse, so frames cost no allocation
  bool ended = false;
  std::int64_t endMicros = 0;
  bool failed = false;            // the writer gave up; capture can rest
  std::exception_ptr inputError;  // a frame or sound chunk that could not be taken in
};

struct WriterResult {
  bool failed = false;     // a write failed and was reported
  bool discarded = false;  // no frame reached the file, which is gone again
  std::exception_ptr finishError;
};

struct WriterSetup {
  encoding::MovieWriter* writer = nullptr;  // null: no recording output, frames are only consumed
  std::function<void()> onStarted;
  std::function<void(std::exception_ptr)> onFailed;
};

// The writer thread: everything that touches the MovieWriter, until the pipeline ends.
WriterResult writeLoop(const WriterSetup& setup, FramePipeline& pipeline);

}  // namespace quorvale::platform::service

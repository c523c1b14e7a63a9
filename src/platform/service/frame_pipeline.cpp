#include "platform/service/frame_pipeline.h"

#include <chrono>
#include <optional>
#include <utility>

#include "platform/encoding/movie_writer.h"
#include "platform/pipeline/media_clock.h"

namespace quorvale::platform::service {

using pipeline::monotonicMicros;

namespace {

// An unchanged picture is written again this often, so the movie's length and seeking stay right.
constexpr std::int64_t kRepeatMicros = 1'000'000;

}  // namespace

// The writer thread: everything that touches the MovieWriter.
WriterResult writeLoop(const WriterSetup& setup, FramePipeline& pipeline) {
  WriterResult result;
  bool haveLast = false;  // the writer holds a picture to repeat
  bool started = false;
  std::int64_t lastVideoMicros = 0;

  auto guarded = [&](auto&& write) {
    if (!setup.writer || result.failed) return;
    std::exception_ptr error;
    try {
      write();
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      result.failed = true;
      setup.onFailed(std::move(error));
    }
  };
  // pixels null: the last picture again, which the writer keeps converted.
  auto writeVideo = [&](const Nv12Frame* pixels, std::int64_t ptsMicros) {
    guarded([&] {
      if (pixels) {
        setup.writer->writeVideoFrame(*pixels, ptsMicros);
      } else {
        setup.writer->writeRepeatedFrame(ptsMicros);
      }
      lastVideoMicros = ptsMicros;
      if (!started && setup.writer->hasWrittenFrame()) {
        started = true;
        setup.onStarted();
      }
    });
  };

  std::unique_lock lock(pipeline.mutex);
  for (;;) {
    auto ready = [&] {
      return !pipeline.frames.empty() || !pipeline.audio.empty() || pipeline.ended || pipeline.inputError;
    };
    bool repeat = false;
    if (haveLast && !result.failed && setup.writer) {
      const auto untilRepeat = std::chrono::microseconds(lastVideoMicros + kRepeatMicros - monotonicMicros());
      repeat = !pipeline.wake.wait_for(lock, untilRepeat, ready);
    } else {
      pipeline.wake.wait(lock, ready);
    }
    std::deque<AudioItem> audio;
    audio.swap(pipeline.audio);
    std::optional<VideoItem> frame;
    if (!pipeline.frames.empty()) {
      frame = std::move(pipeline.frames.front());
      pipeline.frames.pop_front();
    }
    const bool done = pipeline.ended && pipeline.frames.empty() && !frame;
    std::exception_ptr inputError = std::exchange(pipeline.inputError, nullptr);
    pipeline.failed = result.failed || inputError;
    lock.unlock();

    if (inputError) guarded([&] { std::rethrow_exception(inputError); });

    for (const auto& chunk : audio) {
      guarded([&] { setup.writer->writeAudio(chunk.samples.data(), chunk.frameCount, chunk.ptsMicros); });
    }
    if (frame) {
      writeVideo(&frame->pixels, frame->ptsMicros);
      pipeline.recycle(std::move(frame->pixels));  // no copy kept: one frame buffer fewer
      haveLast = true;
    } else if (repeat) {
      writeVideo(nullptr, monotonicMicros());
    }
    lock.lock();
    if (done && pipeline.audio.empty()) break;
  }
  pipeline.failed = result.failed;
  const std::int64_t endMicros = pipeline.endMicros;
  lock.unlock();

  if (setup.writer && (!result.failed || !setup.writer->hasWrittenFrame())) {
    try {
      if (setup.writer->hasWrittenFrame()) {
        setup.writer->finish(endMicros);
      } else {
        // Ended before "started": a file without a frame would only block a retry under its name.
        result.discarded = true;
        setup.writer->discard();
      }
    } catch (...) {
      result.finishError = std::current_exception();
    }
  }
  return result;
}

}  // namespace quorvale::platform::service

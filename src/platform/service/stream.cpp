#include "platform/service/stream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <future>
#include <new>
#include <system_error>
#include <utility>

#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"
#include "platform/pipeline/media_clock.h"
#include "platform/platform_error.h"
#include "platform/sound/audio_capture.h"

namespace quorvale::platform::service {

using encoding::FrameConverter;
using pipeline::BandSink;
using pipeline::CaptureOptions;
using pipeline::FramePixels;
using encoding::MovieWriter;
using pipeline::AudioFormat;
using pipeline::BgraImageView;
using pipeline::monotonicMicros;
using pipeline::Nv12Frame;
using pipeline::VideoFormat;
using sound::AudioCapture;

namespace {

// An unchanged picture is written again this often, so the movie's length and seeking stay right.
constexpr std::int64_t kRepeatMicros = 1'000'000;
// About five seconds of 20 ms chunks; audio is never dropped while the writer keeps up at all.
constexpr std::size_t kAudioQueueChunks = 256;
constexpr int kDefaultFramesPerSecond = 15;

// How long a capture waits for the crop its window's move calls for: the delegate answers at
// once, so this only bounds a delivery thread held up elsewhere.
constexpr auto kFollowWait = std::chrono::milliseconds(250);

PlatformError streamError(const std::string& message) { return PlatformError("stream", 0, message); }

// A thread the recording cannot do without; the message says which.
template <typename Body>
std::thread startThread(const char* what, Body&& body) {
  try {
    return std::thread(std::forward<Body>(body));
  } catch (const std::system_error& error) {
    throw systemError(error.code().value(), std::string("Could not start the ") + what);
  }
}

struct VideoItem {
  Nv12Frame pixels;
  std::int64_t ptsMicros = 0;
};

struct AudioItem {
  std::vector<float> samples;
  std::size_t frameCount = 0;
  std::int64_t ptsMicros = 0;
};

std::int64_t frameIntervalMicros(const StreamConfiguration& configuration) {
  const auto& interval = configuration.minimumFrameInterval();
  if (!interval || interval->value <= 0 || interval->timescale <= 0)
    return 1'000'000 / kDefaultFramesPerSecond;
  return std::max<std::int64_t>(1000, interval->value * 1'000'000 / interval->timescale);
}

int framesPerSecond(const StreamConfiguration& configuration) {
  const auto& interval = configuration.minimumFrameInterval();
  if (!interval || interval->value <= 0 || interval->timescale <= 0) return kDefaultFramesPerSecond;
  const double rate = static_cast<double>(interval->timescale) / static_cast<double>(interval->value);
  return std::clamp(static_cast<int>(std::lround(rate)), 1, 120);
}

Size contentSize(const ContentFilter& filter, const StreamConfiguration& configuration) {
  if (const auto* window = std::get_if<WindowFilter>(&filter)) {
    return {window->window.frame.getWidth(), window->window.frame.getHeight()};
  }
  if (configuration.sourceRect() && !configuration.sourceRect()->isEmpty()) {
    return {configuration.sourceRect()->getWidth(), configuration.sourceRect()->getHeight()};
  }
  const auto& display = std::get<DisplayFilter>(filter).display.frame;
  return {display.getWidth(), display.getHeight()};
}

// The encoder works on 2x2 blocks.
int evenSize(double value) { return std::max(2, static_cast<int>(value) & ~1); }

}  // namespace

// Frames, already NV12 at the output size (a fraction of the content's BGRX),
// and audio on their way from the capture thread to the writer thread.
struct FramePipeline {
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

namespace {

struct WriterResult {
  bool failed = false;     // a write failed and was reported
  bool discarded = false;  // no frame reached the file, which is gone again
  std::exception_ptr finishError;
};

struct WriterSetup {
  MovieWriter* writer = nullptr;  // null: no recording output, frames are only consumed
  std::function<void()> onStarted;
  std::function<void(std::exception_ptr)> onFailed;
};

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

}  // namespace

CaptureStream::CaptureStream(SourceFactory makeSource, ContentFilter filter, StreamConfiguration configuration,
                             StreamDelegate& delegate)
    : makeSource_(std::move(makeSource)),
      filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(delegate),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wakeFd_.get() < 0) throw systemError(errno, "Could not create the capture stream");
}

CaptureStream::~CaptureStream() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    thread = std::move(captureThread_);
  }
  wake();
  if (thread.joinable()) thread.join();
  delivery_.shutdown();
}

void CaptureStream::addRecordingOutput(std::shared_ptr<RecordingOutput> output) {
  auto ours = std::dynamic_pointer_cast<FileRecordingOutput>(output);
  if (!ours) throw streamError("This recording output was not made by this capture service.");
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::Running) throw streamError("A recording output cannot be added while capturing.");
  if (output_) throw streamError("The stream already has a recording output.");
  output_ = std::move(ours);
}

void CaptureStream::startCapture(Completion completion) {
  std::thread previous;
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::Running) {
      delivery_.post([completion] {
        completion(std::make_exception_ptr(streamError("The stream is already capturing.")));
      });
      return;
    }
    phase_ = Phase::Running;
    stopRequested_ = false;
    previous = std::move(captureThread_);
  }
  if (previous.joinable()) previous.join();  // an earlier run that has ended
  std::lock_guard lock(mutex_);
  try {
    captureThread_ = startThread("capture thread", [this, completion = std::move(completion)] { run(completion); });
  } catch (...) {
    // No thread: the request fails as it is made, and the stream can be started again.
    phase_ = Phase::Idle;
    throw;
  }
}

void CaptureStream::stopCapture(Completion completion) {
  std::lock_guard lock(mutex_);
  switch (phase_) {
    case Phase::Idle:
      delivery_.post(
          [completion] { completion(std::make_exception_ptr(streamError("The stream is not capturing."))); });
      return;
    case Phase::Stopped:  // ended by an error already reported
      delivery_.post([completion] { completion(nullptr); });
      return;
    case Phase::Running:
      stopCompletions_.push_back(std::move(completion));
      stopRequested_ = true;
      wake();
      return;
  }
}

void CaptureStream::updateConfiguration(const StreamConfiguration& configuration, Completion completion) {
  {
    std::lock_guard lock(mutex_);
    update_ = configuration;
  }
  wake();
  delivery_.post([completion = std::move(completion)] { completion(nullptr); });
}

std::optional<StreamConfiguration> CaptureStream::takeUpdate() {
  std::lock_guard lock(mutex_);
  return std::exchange(update_, std::nullopt);
}

bool CaptureStream::stopRequested() {
  std::lock_guard lock(mutex_);
  return stopRequested_;
}

void CaptureStream::wake() {
  const std::uint64_t one = 1;
  // Can only fail when the counter is saturated, and then a wake-up is pending anyway.
  [[maybe_unused]] const auto written = ::write(wakeFd_.get(), &one, sizeof one);
}

void CaptureStream::run(Completion startCompletion) {
  std::shared_ptr<FileRecordingOutput> output;
  {
    std::lock_guard lock(mutex_);
    output = output_;
  }
  const auto& config = configuration_;
  CaptureOptions options;
  options.showsCursor = config.showsCursor().value_or(true);
  options.showMouseClicks = config.showMouseClicks().value_or(false);
  options.includeChildWindows = config.includeChildWindows().value_or(true);
  options.sourceRect = config.sourceRect();
  const Size content = contentSize(filter_, config);

  FramePipeline pipeline(static_cast<std::size_t>(std::clamp(config.queueDepth().value_or(3), 1, 8)));
  std::unique_ptr<FrameSource> source;
  std::unique_ptr<MovieWriter> writer;
  std::unique_ptr<FrameConverter> converter;
  std::unique_ptr<AudioCapture> audio;
  WriterSetup setup;
  std::exception_ptr startError;
  try {
    source = makeSource_(options);
    if (output) {
      const auto& outputConfig = output->configuration();
      if (!outputConfig.outputURL) throw streamError("No file to record into was given.");
      VideoFormat video;
      video.width = evenSize(config.width().value_or(static_cast<std::int64_t>(content.width)));
      video.height = evenSize(config.height().value_or(static_cast<std::int64_t>(content.height)));
      video.framesPerSecond = framesPerSecond(config);
      video.preserveAspectRatio = config.preservesAspectRatio().value_or(true);
      std::optional<AudioFormat> audioFormat;
      if (config.capturesAudio().value_or(false)) {
        audioFormat = AudioFormat{config.sampleRate().value_or(48000), config.channelCount().value_or(2)};
      }
      writer = std::make_unique<MovieWriter>(
          *outputConfig.outputURL, outputConfig.outputFileType.value_or(kFileTypeMPEG4),
          outputConfig.videoCodecType.value_or(kVideoCodecH264), video, audioFormat);
      if (audioFormat) {
        // Only the application's own sound, whichever filter; an unknown process gives a silent track.
        std::optional<pid_t> pid;
        if (source->processID()) pid = static_cast<pid_t>(*source->processID());
        const auto channels = static_cast<std::size_t>(std::max(1, audioFormat->channels));
        audio = std::make_unique<AudioCapture>(
            *audioFormat, pid,
            [&pipeline, channels](const float* samples, std::size_t frames, std::int64_t pts) {
              pipeline.pushAudio(samples, frames, channels, pts);
            });
      }
      converter = std::make_unique<FrameConverter>(video, config.scalesToFit().value_or(true));
      setup.writer = writer.get();
      setup.onStarted = [this, output] {
        delivery_.post([output] { output->delegate().recordingOutputDidStartRecording(*output); });
      };
      setup.onFailed = [this, output](std::exception_ptr error) {
        delivery_.post([output, error = std::move(error)] {
          output->delegate().recordingOutputDidFailWithError(*output, error);
        });
      };
    }
  } catch (...) {
    startError = std::current_exception();
  }
  // Reaching the sound server takes tens of milliseconds, which the first frame need not
  // wait for: audio and video share one clock, and the writer fills the gap with silence.
  // Without a server start() returns false, and the whole track is silent; a sound
  // thread that cannot be had ends the recording.
  std::exception_ptr soundError;  // written by audioStarter, read after joining it
  std::thread audioStarter;
  WriterResult writerResult;
  std::thread writerThread;
  if (!startError) {
    try {
      if (audio) {
        audioStarter = startThread("sound capture thread", [this, &audio, &soundError] {
          try {
            audio->start();
          } catch (...) {
            soundError = std::current_exception();
            std::lock_guard lock(mutex_);
            stopRequested_ = true;
            wake();
          }
        });
      }
      writerThread = startThread("movie writer thread", [&] { writerResult = writeLoop(setup, pipeline); });
    } catch (...) {
      startError = std::current_exception();
      if (audioStarter.joinable()) audioStarter.join();
      audio.reset();
    }
  }
  if (startError) {
    // Nothing was recorded: a file left behind would only block a retry under its name.
    if (writer) {
      try {
        writer->discard();
      } catch (...) {
        // The start's own failure is the one to report.
      }
    }
    // Outside the handler, so the delivery thread holds the only reference to the error.
    std::vector<Completion> stops;
    {
      std::lock_guard lock(mutex_);
      phase_ = Phase::Idle;
      stops.swap(stopCompletions_);
    }
    delivery_.post([startCompletion, error = std::move(startError)] { startCompletion(error); });
    for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
    return;
  }
  delivery_.post([startCompletion] { startCompletion(nullptr); });

  std::exception_ptr fault;
  try {
    captureLoop(*source, converter.get(), pipeline);
  } catch (...) {
    fault = std::current_exception();
  }
  if (audioStarter.joinable()) audioStarter.join();
  if (soundError && !fault) fault = std::move(soundError);
  audio.reset();  // no sink call after this
  pipeline.end(monotonicMicros());
  writerThread.join();
  writer.reset();
  source.reset();

  std::vector<Completion> stops;
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Stopped;
    stops.swap(stopCompletions_);
  }
  const bool reportOutput = output && !writerResult.failed;
  if (fault) {
    // The movie is complete up to here; only a failure to finish it is news for the output.
    if (reportOutput && writerResult.finishError) setup.onFailed(std::move(writerResult.finishError));
    delivery_.post([this, fault = std::move(fault)] { delegate_.streamDidStopWithError(*this, fault); });
    for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
    return;
  }
  for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
  if (reportOutput) {
    if (writerResult.finishError) {
      setup.onFailed(std::move(writerResult.finishError));
    } else if (writerResult.discarded) {
      setup.onFailed(std::make_exception_ptr(streamError("The recording ended before its first frame.")));
    } else {
      delivery_.post([output] { output->delegate().recordingOutputDidFinishRecording(*output); });
    }
  }
}

void CaptureStream::captureLoop(FrameSource& source, FrameConverter* converter, FramePipeline& pipeline) {
  const std::int64_t interval = frameIntervalMicros(configuration_);
  FramePixels band;  // reused: a few rows of the picture, never all of it
  // Converts each band as it is composed; a failure waits for the writer to report it.
  struct Converting final : BandSink {
    FrameConverter* converter = nullptr;
    Nv12Frame frame;
    std::exception_ptr error;
    void begin(int width, int height) override {
      if (!converter) return;
      try {
        converter->begin(width, height, frame);
      } catch (const PlatformError&) {
        error = std::current_exception();
      }
    }
    void band(const BgraImageView& rows, int top) override {
      if (!converter || error) return;
      try {
        converter->convertRows(rows, top);
      } catch (const PlatformError&) {
        error = std::current_exception();
      }
    }
  } sink;
  sink.converter = converter;
  std::int64_t lastAttempt = std::numeric_limits<std::int64_t>::min() / 2;
  pollfd fds[2] = {{source.fileDescriptor(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
  for (;;) {
    if (stopRequested()) return;
    if (auto update = takeUpdate()) source.setSourceRect(update->sourceRect());
    std::int64_t now = monotonicMicros();
    source.processEvents(now);
    int timeoutMillis = -1;  // nothing to draw: sleep until the source or a stop request wakes us
    if (source.wantsFrame() && !pipeline.outputFailed()) {
      const std::int64_t due = lastAttempt + interval;
      if (now >= due) {
        // Keep to the grid: late wake-ups would otherwise add up to a lower frame rate.
        lastAttempt = now - due < interval ? due : now;
        followWindows(source);
        sink.frame = pipeline.takeBuffer();
        sink.error = nullptr;
        const bool rendered = source.render(band, sink, now);
        if (sink.error) {
          pipeline.recycle(std::move(sink.frame));
          pipeline.failConversion(std::exchange(sink.error, nullptr));
        } else if (rendered) {
          pipeline.pushFrame(std::move(sink.frame), now);
        } else {
          pipeline.recycle(std::move(sink.frame));
        }
        continue;  // rendering may have queued events; read them before sleeping
      }
      timeoutMillis = static_cast<int>((due - now + 999) / 1000);
    }
    if (::poll(fds, 2, timeoutMillis) < 0 && errno != EINTR) {
      throw systemError(errno, "Could not wait for the captured window");
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto drained = ::read(wakeFd_.get(), &count, sizeof count);
    }
  }
}

void CaptureStream::followWindows(FrameSource& source) {
  auto changes = source.takeWindowFrameChanges();
  if (changes.empty()) return;
  auto handled = std::make_shared<std::promise<void>>();
  auto done = handled->get_future();
  delivery_.post([this, changes = std::move(changes), handled] {
    for (const auto& [window, frame] : changes) delegate_.streamWindowFrameDidChange(*this, window, frame);
    handled->set_value();
  });
  // The delegate sends its crop from inside the callback; an answer that comes later still
  // applies, a frame later.
  if (done.wait_for(kFollowWait) != std::future_status::ready) return;
  if (auto update = takeUpdate()) source.setSourceRect(update->sourceRect());
}

}  // namespace quorvale::platform::service

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
#include <future>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"
#include "platform/pipeline/media_clock.h"
#include "platform/platform_error.h"
#include "platform/service/frame_pipeline.h"
#include "platform/sound/audio_capture.h"

namespace quorvale::platform::service {

using encoding::FrameConverter;
using encoding::MovieWriter;
using pipeline::AudioFormat;
using pipeline::BandSink;
using pipeline::BgraImageView;
using pipeline::CaptureOptions;
using pipeline::FramePixels;
using pipeline::monotonicMicros;
using pipeline::Nv12Frame;
using pipeline::VideoFormat;
using sound::AudioCapture;

namespace {

constexpr int kDefaultFramesPerSecond = 15;
constexpr int kMaxFramesPerSecond = 120;

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

// The one reading of the configured frame interval, for the pacing and the movie's rate alike:
// none or an unusable one gives the default; at most 120 frames a second, at least one.
std::int64_t frameIntervalMicros(const StreamConfiguration& configuration) {
  const auto& interval = configuration.minimumFrameInterval();
  if (!interval || interval->value <= 0 || interval->timescale <= 0)
    return 1'000'000 / kDefaultFramesPerSecond;
  const double micros = 1e6 * static_cast<double>(interval->value) / static_cast<double>(interval->timescale);
  return static_cast<std::int64_t>(std::clamp(micros, 1e6 / kMaxFramesPerSecond, 1e6));
}

int framesPerSecond(const StreamConfiguration& configuration) {
  return static_cast<int>(std::lround(1e6 / static_cast<double>(frameIntervalMicros(configuration))));
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

RecordingOutputConfiguration MovieFilePlatform::makeRecordingOutputConfiguration() {
  RecordingOutputConfiguration configuration;
  configuration.availableOutputFileTypes = encoding::availableFileTypes();
  configuration.availableVideoCodecTypes = encoding::availableVideoCodecs();
  return configuration;
}

std::shared_ptr<RecordingOutput> MovieFilePlatform::makeRecordingOutput(
    const RecordingOutputConfiguration& configuration, RecordingOutputDelegate& delegate) {
  return std::make_shared<FileRecordingOutput>(configuration, delegate);
}

CaptureStream::CaptureStream(SourceFactory makeSource, ContentFilter filter,
                             StreamConfiguration configuration, StreamDelegate& delegate)
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
    captureThread_ =
        startThread("capture thread", [this, completion = std::move(completion)] { run(completion); });
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

// One run's stages, made on the capture thread in the order they are declared.
struct CaptureStream::Recording {
  explicit Recording(std::size_t depth) : pipeline(depth) {}

  FramePipeline pipeline;
  std::unique_ptr<FrameSource> source;
  std::unique_ptr<MovieWriter> writer;
  std::unique_ptr<AudioCapture> audio;
  std::unique_ptr<FrameConverter> converter;
  WriterSetup setup;
  std::exception_ptr soundError;  // written by audioStarter, read after joining it
  std::thread audioStarter;
  WriterResult writerResult;  // the writer thread's, read after joining it
  std::thread writerThread;
};

void CaptureStream::run(Completion startCompletion) {
  std::shared_ptr<FileRecordingOutput> output;
  {
    std::lock_guard lock(mutex_);
    output = output_;
  }
  Recording recording(static_cast<std::size_t>(std::clamp(configuration_.queueDepth().value_or(3), 1, 8)));
  std::exception_ptr startError;
  try {
    setUp(recording, output);
    startThreads(recording);
  } catch (...) {
    startError = std::current_exception();
  }
  if (startError) {
    failStart(recording, std::move(startError), startCompletion);
    return;
  }
  delivery_.post([startCompletion] { startCompletion(nullptr); });

  std::exception_ptr fault;
  try {
    captureLoop(*recording.source, recording.converter.get(), recording.pipeline);
  } catch (...) {
    fault = std::current_exception();
  }
  tearDown(recording, std::move(fault), output);
}

void CaptureStream::setUp(Recording& recording, const std::shared_ptr<FileRecordingOutput>& output) {
  const auto& config = configuration_;
  CaptureOptions options;
  options.showsCursor = config.showsCursor().value_or(true);
  options.showMouseClicks = config.showMouseClicks().value_or(false);
  options.includeChildWindows = config.includeChildWindows().value_or(true);
  options.sourceRect = config.sourceRect();
  recording.source = makeSource_(options);
  if (!output) return;

  const auto& outputConfig = output->configuration();
  if (!outputConfig.outputURL) throw streamError("No file to record into was given.");
  const Size content = contentSize(filter_, config);
  VideoFormat video;
  video.width = evenSize(config.width().value_or(static_cast<std::int64_t>(content.width)));
  video.height = evenSize(config.height().value_or(static_cast<std::int64_t>(content.height)));
  video.framesPerSecond = framesPerSecond(config);
  video.preserveAspectRatio = config.preservesAspectRatio().value_or(true);
  std::optional<AudioFormat> audioFormat;
  if (config.capturesAudio().value_or(false)) {
    audioFormat = AudioFormat{config.sampleRate().value_or(48000), config.channelCount().value_or(2)};
  }
  recording.writer = std::make_unique<MovieWriter>(
      *outputConfig.outputURL, outputConfig.outputFileType.value_or(kFileTypeMPEG4),
      outputConfig.videoCodecType.value_or(kVideoCodecH264), video, audioFormat);
  if (audioFormat) {
    // Only the application's own sound, whichever filter; an unknown process gives a silent track.
    std::optional<pid_t> pid;
    if (recording.source->processID()) pid = static_cast<pid_t>(*recording.source->processID());
    const auto channels = static_cast<std::size_t>(std::max(1, audioFormat->channels));
    recording.audio =
        std::make_unique<AudioCapture>(*audioFormat, pid,
                                       [&pipeline = recording.pipeline, channels](
                                           const float* samples, std::size_t frames, std::int64_t pts) {
                                         pipeline.pushAudio(samples, frames, channels, pts);
                                       });
  }
  recording.converter = std::make_unique<FrameConverter>(video, config.scalesToFit().value_or(true));
  recording.setup.writer = recording.writer.get();
  recording.setup.onStarted = [this, output] {
    delivery_.post([output] { output->delegate().recordingOutputDidStartRecording(*output); });
  };
  recording.setup.onFailed = [this, output](std::exception_ptr error) {
    delivery_.post([output, error = std::move(error)] {
      output->delegate().recordingOutputDidFailWithError(*output, error);
    });
  };
}

void CaptureStream::startThreads(Recording& recording) {
  try {
    // Reaching the sound server takes tens of milliseconds, which the first frame need not
    // wait for: audio and video share one clock, and the writer fills the gap with silence.
    // Without a server start() returns false, and the whole track is silent; a sound
    // thread that cannot be had ends the recording.
    if (recording.audio) {
      recording.audioStarter = startThread("sound capture thread", [this, &recording] {
        try {
          recording.audio->start();
        } catch (...) {
          recording.soundError = std::current_exception();
          std::lock_guard lock(mutex_);
          stopRequested_ = true;
          wake();
        }
      });
    }
    recording.writerThread = startThread("movie writer thread", [&recording] {
      recording.writerResult = writeLoop(recording.setup, recording.pipeline);
    });
  } catch (...) {
    if (recording.audioStarter.joinable()) recording.audioStarter.join();
    recording.audio.reset();
    throw;
  }
}

void CaptureStream::failStart(Recording& recording, std::exception_ptr error,
                              const Completion& startCompletion) {
  // Nothing was recorded: a file left behind would only block a retry under its name.
  if (recording.writer) {
    try {
      recording.writer->discard();
    } catch (...) {
      // The start's own failure is the one to report.
    }
  }
  std::vector<Completion> stops;
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Idle;
    stops.swap(stopCompletions_);
  }
  // The delivery thread holds the only reference to the error.
  delivery_.post([startCompletion, error = std::move(error)] { startCompletion(error); });
  for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
}

void CaptureStream::tearDown(Recording& recording, std::exception_ptr fault,
                             const std::shared_ptr<FileRecordingOutput>& output) {
  if (recording.audioStarter.joinable()) recording.audioStarter.join();
  if (recording.soundError && !fault) fault = std::move(recording.soundError);
  recording.audio.reset();  // no sink call after this
  recording.pipeline.end(monotonicMicros());
  recording.writerThread.join();
  recording.writer.reset();
  recording.source.reset();

  std::vector<Completion> stops;
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Stopped;
    stops.swap(stopCompletions_);
  }
  auto& result = recording.writerResult;
  const bool reportOutput = output && !result.failed;
  if (fault) {
    // The movie is complete up to here; only a failure to finish it is news for the output.
    if (reportOutput && result.finishError) recording.setup.onFailed(std::move(result.finishError));
    delivery_.post([this, fault = std::move(fault)] { delegate_.streamDidStopWithError(*this, fault); });
    for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
    return;
  }
  for (auto& stop : stops) delivery_.post([stop] { stop(nullptr); });
  if (!reportOutput) return;
  if (result.finishError) {
    recording.setup.onFailed(std::move(result.finishError));
  } else if (result.discarded) {
    recording.setup.onFailed(
        std::make_exception_ptr(streamError("The recording ended before its first frame.")));
  } else {
    delivery_.post([output] { output->delegate().recordingOutputDidFinishRecording(*output); });
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

#pragma once

// A capture stream and its recording output, over any frame source.
// Threading: the public methods may be called from any thread, one at a time;
// updateConfiguration() also while another runs (delegate callbacks call it).
// Each started stream runs a capture thread (the source's events, pacing,
// rendering) and a writer thread (the MovieWriter, fed through a bounded queue);
// completions and delegate callbacks run on the stream's delivery thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipeline/frame_source.h"
#include "platform/pipeline/unique_fd.h"
#include "platform/platform.h"
#include "platform/service/serial_queue.h"

namespace quorvale::platform::encoding {
class FrameConverter;
}

namespace quorvale::platform::service {

using pipeline::UniqueFd;

using encoding::FrameConverter;
using pipeline::FrameSource;
struct FramePipeline;

class FileRecordingOutput final : public RecordingOutput {
 public:
  FileRecordingOutput(RecordingOutputConfiguration configuration, RecordingOutputDelegate& delegate)
      : configuration_(std::move(configuration)), delegate_(delegate) {}
  const RecordingOutputConfiguration& configuration() const { return configuration_; }
  RecordingOutputDelegate& delegate() const { return delegate_; }

 private:
  const RecordingOutputConfiguration configuration_;
  RecordingOutputDelegate& delegate_;
};

// What the platforms of this service share: recording outputs that write the movie file.
class MovieFilePlatform : public Platform {
 public:
  RecordingOutputConfiguration makeRecordingOutputConfiguration() override;
  std::shared_ptr<RecordingOutput> makeRecordingOutput(const RecordingOutputConfiguration& configuration,
                                                       RecordingOutputDelegate& delegate) override;
};

// Makes the stream's frame source; called on the capture thread, which alone uses it.
using SourceFactory = std::function<std::unique_ptr<FrameSource>(const pipeline::CaptureOptions&)>;

class CaptureStream final : public Stream {
 public:
  CaptureStream(SourceFactory makeSource, ContentFilter filter, StreamConfiguration configuration,
                StreamDelegate& delegate);
  ~CaptureStream() override;

  void addRecordingOutput(std::shared_ptr<RecordingOutput> output) override;
  void startCapture(Completion completion) override;
  void stopCapture(Completion completion) override;
  void updateConfiguration(const StreamConfiguration& configuration, Completion completion) override;

 private:
  enum class Phase { Idle, Running, Stopped };

  struct Recording;
  // The capture thread: sets a recording up, captures until it ends, tears it down.
  void run(Completion startCompletion);
  void setUp(Recording& recording, const std::shared_ptr<FileRecordingOutput>& output);
  void startThreads(Recording& recording);
  // Undoes a start that failed and reports it.
  void failStart(Recording& recording, std::exception_ptr error, const Completion& startCompletion);
  // Stops the stages and reports how the recording ended.
  void tearDown(Recording& recording, std::exception_ptr fault,
                const std::shared_ptr<FileRecordingOutput>& output);
  // converter null: no recording output, frames are not converted.
  void captureLoop(FrameSource& source, FrameConverter* converter, FramePipeline& pipeline);
  bool stopRequested();
  std::optional<StreamConfiguration> takeUpdate();
  void wake();

  // Hands the source's window frame changes to the delegate and waits, a little,
  // for the crop it sends back, so that the next picture already has it.
  void followWindows(FrameSource& source);

  const SourceFactory makeSource_;
  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  StreamDelegate& delegate_;

  // guards phase_, stopRequested_, stopCompletions_, update_, output_ and captureThread_
  std::mutex mutex_;
  Phase phase_ = Phase::Idle;
  bool stopRequested_ = false;
  std::vector<Completion> stopCompletions_;
  std::optional<StreamConfiguration> update_;  // for the capture thread to take up
  std::shared_ptr<FileRecordingOutput> output_;
  std::thread captureThread_;

  UniqueFd wakeFd_;       // an eventfd that interrupts the capture thread's poll
  SerialQueue delivery_;  // last: destroyed first, so no callback runs into a half-destroyed stream
};

}  // namespace quorvale::platform::service

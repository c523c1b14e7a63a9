#pragma once

// The recording session for one window.
//
// Threads: construct and destroy on any thread that is not running one of the
// operations. start() and stop() are awaited from the main queue and run their
// bodies on the worker pool; the stream is built on the main thread. Delegate
// callbacks arrive on the platform's threads, possibly at the same time.

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <utility>

#include "events/support_recording_event.h"
#include "platform/platform.h"
#include "recorder/output_location.h"
#include "recorder/recorder.h"
#include "recorder/runtime.h"

namespace quorvale::recorder {

// How long start and stop wait for the platform's callbacks.
struct RecorderBounds {
  std::chrono::steady_clock::duration start = std::chrono::seconds(120);
  std::chrono::steady_clock::duration stop = std::chrono::seconds(120);
};

class QuorvaleScreenRecorder final : public Recorder,
                                     public platform::RecordingOutputDelegate,
                                     public platform::StreamDelegate {
 public:
  using Bounds = RecorderBounds;

  QuorvaleScreenRecorder(platform::WindowID windowID, OutputLocation outputURL, platform::Platform& platform,
                         Runtime runtime, Bounds bounds = Bounds());
  ~QuorvaleScreenRecorder() override;

  asio::awaitable<void> start() override;
  asio::awaitable<void> stop() override;
  bool hasEmittedTerminalEvent() const override { return didEmitTerminalEvent_.load(); }

  void recordingOutputDidStartRecording(platform::RecordingOutput& output) override;
  void recordingOutputDidFailWithError(platform::RecordingOutput& output, std::exception_ptr error) override;
  void recordingOutputDidFinishRecording(platform::RecordingOutput& output) override;
  void streamDidStopWithError(platform::Stream& stream, std::exception_ptr error) override;
  void streamWindowFrameDidChange(platform::Stream& stream, platform::WindowID window,
                                  const platform::Rect& frame) override;

 private:
  using StreamPair = std::pair<std::shared_ptr<platform::Stream>, std::shared_ptr<platform::RecordingOutput>>;

  asio::awaitable<void> startOnWorker();
  asio::awaitable<void> stopOnWorker();
  StreamPair createRecordingStream(const platform::Window& window);
  StreamPair buildRecordingStream(const platform::Window& window);
  void waitForStart();

  void reportStatus(std::atomic<bool>& flag, const events::SupportRecordingEvent& event,
                    std::counting_semaphore<>& semaphore);
  void reportError(std::exception_ptr error);
  std::exception_ptr storedError();

  const platform::WindowID windowID_;
  const OutputLocation outputURL_;
  // Made up front, so that a callback short of memory can still report.
  const events::SupportRecordingEvent startedEvent_;
  const events::SupportRecordingEvent finishedEvent_;
  std::counting_semaphore<> startedSemaphore_{0};
  std::counting_semaphore<> finishedSemaphore_{0};
  // Written by start, read by stop, which run one after the other.
  std::shared_ptr<platform::Stream> stream_;
  std::shared_ptr<platform::RecordingOutput> recordingOutput_;

  // What the crop follows the window with: the display chosen at the start and the
  // stream's configuration. Set by the build (display filter only), then read by callbacks.
  struct Following {
    platform::Rect display;
    platform::StreamConfiguration configuration;  // as built
    std::optional<platform::Rect> sourceRect;     // as last sent
  };
  std::mutex followingMutex_;
  std::optional<Following> following_;  // guarded by followingMutex_

  // Stands in for an error callback that carries no error; made up front, as callbacks must not fail.
  const std::exception_ptr unknownError_;
  std::mutex lastErrorMutex_;
  std::exception_ptr lastError_;  // guarded by lastErrorMutex_; set once
  std::atomic<bool> didStartRecording_{false};
  std::atomic<bool> didEmitTerminalEvent_{false};

  platform::Platform& platform_;
  const Runtime runtime_;
  const Bounds bounds_;
};

}  // namespace quorvale::recorder

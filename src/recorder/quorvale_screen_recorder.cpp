#include "recorder/quorvale_screen_recorder.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <future>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "platform/platform_error.h"
#include "recorder/capture_calls.h"
#include "recorder/capture_configuration.h"

namespace quorvale::recorder {

using events::SupportRecordingError;

QuorvaleScreenRecorder::QuorvaleScreenRecorder(platform::WindowID windowID, OutputLocation outputURL,
                                               platform::Platform& platform, Runtime runtime, Bounds bounds)
    : windowID_(windowID),
      outputURL_(std::move(outputURL)),
      startedEvent_{"started", outputURL_.path, outputURL_.fileName, std::nullopt},
      finishedEvent_{"finished", outputURL_.path, outputURL_.fileName, std::nullopt},
      unknownError_(std::make_exception_ptr(
          platform::PlatformError("platform", 0, events::localizedDescription(nullptr)))),
      platform_(platform),
      runtime_(runtime),
      bounds_(bounds) {}

QuorvaleScreenRecorder::~QuorvaleScreenRecorder() {
  // The platform objects call back into this object until they are gone.
  recordingOutput_.reset();
  stream_.reset();
}

asio::awaitable<void> QuorvaleScreenRecorder::start() {
  co_await asio::co_spawn(runtime_.workers, startOnWorker(), asio::use_awaitable);
}

asio::awaitable<void> QuorvaleScreenRecorder::stop() {
  co_await asio::co_spawn(runtime_.workers, stopOnWorker(), asio::use_awaitable);
}

asio::awaitable<void> QuorvaleScreenRecorder::startOnWorker() {
  const auto workers = runtime_.workers.get_executor();
  if (!platform_.preflightScreenCaptureAccess() && !platform_.requestScreenCaptureAccess()) {
    throw SupportRecordingError::screenCapturePermissionDenied();
  }
  const auto content = co_await fetchShareableContent(platform_, workers);
  const platform::Window* window = nullptr;
  for (const auto& candidate : content->windows) {
    if (candidate.windowID == windowID_) {
      window = &candidate;
      break;
    }
  }
  if (window == nullptr) throw SupportRecordingError::windowNotFound(windowID_);

  auto [stream, output] = createRecordingStream(*window);
  stream_ = std::move(stream);
  recordingOutput_ = std::move(output);
  co_await startCapture(*stream_, workers);
  waitForStart();
}

asio::awaitable<void> QuorvaleScreenRecorder::stopOnWorker() {
  if (!stream_) throw SupportRecordingError::recorderNotReady();
  co_await stopCapture(*stream_, runtime_.workers.get_executor());
  if (!finishedSemaphore_.try_acquire_until(std::chrono::steady_clock::now() + bounds_.stop)) {
    throw SupportRecordingError::stopTimedOut();
  }
  if (auto error = storedError()) std::rethrow_exception(error);
}

void QuorvaleScreenRecorder::waitForStart() {
  if (!startedSemaphore_.try_acquire_until(std::chrono::steady_clock::now() + bounds_.start)) {
    throw SupportRecordingError::startTimedOut();
  }
  if (auto error = storedError()) std::rethrow_exception(error);
  if (didStartRecording_.load()) return;
  throw SupportRecordingError::startTimedOut();
}

QuorvaleScreenRecorder::StreamPair QuorvaleScreenRecorder::createRecordingStream(
    const platform::Window& window) {
  if (runtime_.isMainThread()) return buildRecordingStream(window);
  std::packaged_task<StreamPair()> build([this, &window] { return buildRecordingStream(window); });
  auto result = build.get_future();
  asio::post(runtime_.mainQueue, [&build] { build(); });
  return result.get();
}

void QuorvaleScreenRecorder::recordingOutputDidStartRecording(platform::RecordingOutput&) {
  reportStatus(didStartRecording_, startedEvent_, startedSemaphore_);
}

void QuorvaleScreenRecorder::recordingOutputDidFinishRecording(platform::RecordingOutput&) {
  reportStatus(didEmitTerminalEvent_, finishedEvent_, finishedSemaphore_);
}

void QuorvaleScreenRecorder::recordingOutputDidFailWithError(platform::RecordingOutput&,
                                                             std::exception_ptr error) {
  reportError(std::move(error));
}

void QuorvaleScreenRecorder::streamDidStopWithError(platform::Stream&, std::exception_ptr error) {
  reportError(std::move(error));
}

// The crop follows the window whole, relative to the display chosen at the start; the
// output size stays, so the new rectangle is fitted into it.
void QuorvaleScreenRecorder::streamWindowFrameDidChange(platform::Stream& stream, platform::WindowID window,
                                                        const platform::Rect& frame) {
  if (window != windowID_) return;
  platform::StreamConfiguration configuration;
  {
    const std::lock_guard lock(followingMutex_);
    if (!following_) return;  // the window filter records the window wherever it is
    const auto rect = followedRect(frame, following_->display);
    if (!isUsableSourceRect(rect) || rect == following_->sourceRect) return;
    following_->sourceRect = rect;
    configuration = following_->configuration;
    configuration.setSourceRect(rect);
  }
  stream.updateConfiguration(configuration, [this](std::exception_ptr error) {
    if (error) reportError(std::move(error));
  });
}

// Fields, then the event, then the signal: a woken waiter finds both in place.
void QuorvaleScreenRecorder::reportStatus(std::atomic<bool>& flag, const events::SupportRecordingEvent& event,
                                          std::counting_semaphore<>& semaphore) {
  flag.store(true);
  events::emitEvent(event);
  semaphore.release();
}

void QuorvaleScreenRecorder::reportError(std::exception_ptr error) {
  // The first error is the one, whatever it carries.
  if (!error) error = unknownError_;
  {
    const std::lock_guard lock(lastErrorMutex_);
    if (lastError_) return;
    lastError_ = error;
  }
  didEmitTerminalEvent_.store(true);
  events::emitError(error, outputURL_.path, outputURL_.fileName);
  startedSemaphore_.release();
  finishedSemaphore_.release();
}

std::exception_ptr QuorvaleScreenRecorder::storedError() {
  const std::lock_guard lock(lastErrorMutex_);
  return lastError_;
}

}  // namespace quorvale::recorder

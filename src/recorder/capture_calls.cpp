#include "recorder/capture_calls.h"

#include <semaphore>

#include "events/support_recording_error.h"

namespace quorvale::recorder {

namespace {

constexpr bool kExcludeDesktopWindows = true;
constexpr bool kOnScreenWindowsOnly = false;

// The error wins over a content delivered with it; neither means not ready.
ContentPointer contentOrThrow(ContentPointer content, std::exception_ptr error) {
  if (error) std::rethrow_exception(error);
  if (content) return content;
  throw events::SupportRecordingError::recorderNotReady();
}

std::exception_ptr contentError(const ContentPointer& content, const std::exception_ptr& error) {
  try {
    contentOrThrow(content, error);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

asio::awaitable<void> onWorker(WorkerExecutor workers) { co_await asio::post(workers, asio::use_awaitable); }

}  // namespace

asio::awaitable<ContentPointer> fetchShareableContent(platform::Platform& platform, WorkerExecutor workers) {
  co_return co_await awaitOneShot<ContentPointer>(
      "fetchShareableContent()", workers, [&platform](OneShotCompletion<ContentPointer> completion) {
        platform.getShareableContent(kExcludeDesktopWindows, kOnScreenWindowsOnly,
                                     [completion](ContentPointer content, std::exception_ptr error) {
                                       if (auto failure = contentError(content, error)) {
                                         completion.fail(failure);
                                       } else {
                                         completion.resume(std::move(content));
                                       }
                                     });
      });
}

ContentPointer fetchShareableContentSync(platform::Platform& platform) {
  struct Slots {
    ContentPointer content;
    std::exception_ptr error;
    std::counting_semaphore<> delivered{0};
  };
  auto slots = std::make_shared<Slots>();
  platform.getShareableContent(kExcludeDesktopWindows, kOnScreenWindowsOnly,
                               [slots](ContentPointer content, std::exception_ptr error) {
                                 slots->content = std::move(content);
                                 slots->error = std::move(error);
                                 slots->delivered.release();
                               });
  slots->delivered.acquire();
  return contentOrThrow(slots->content, slots->error);
}

namespace {

// Start and stop differ only in the label and the stream operation.
asio::awaitable<void> captureCall(const char* label, platform::Stream& stream,
                                  void (platform::Stream::*call)(platform::Stream::Completion),
                                  WorkerExecutor workers) {
  co_await awaitOneShot<>(label, workers, [&stream, call](OneShotCompletion<> completion) {
    (stream.*call)([completion](std::exception_ptr error) {
      if (error) {
        completion.fail(error);
      } else {
        completion.resume();
      }
    });
  });
  co_await onWorker(workers);
}

}  // namespace

asio::awaitable<void> startCapture(platform::Stream& stream, WorkerExecutor workers) {
  return captureCall("startCapture(_:)", stream, &platform::Stream::startCapture, workers);
}

asio::awaitable<void> stopCapture(platform::Stream& stream, WorkerExecutor workers) {
  return captureCall("stopCapture(_:)", stream, &platform::Stream::stopCapture, workers);
}

}  // namespace quorvale::recorder

#pragma once

// A platform whose answers the test sets, delivering every completion and
// callback on threads of its own, and recording every call it receives.

#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace quorvale::testing {

class ScriptedPlatform;

// What a test script may do with a stream once start or stop has been asked for.
class StreamControl {
 public:
  StreamControl(ScriptedPlatform& platform, platform::Stream& stream,
                platform::StreamDelegate& streamDelegate, platform::RecordingOutputDelegate* outputDelegate,
                platform::RecordingOutput* output, platform::Stream::Completion completion);

  // Each posts one delivery, in call order, on the platform's threads.
  void complete(std::exception_ptr error = nullptr);
  void started();
  void outputFailed(std::exception_ptr error);
  void streamStopped(std::exception_ptr error);
  void finished();
  void windowFrameChanged(platform::WindowID window, platform::Rect frame);
  // Lets the completion go without calling it.
  void dropCompletion();

  // Deliver on any of the platform's threads, in no particular order.
  bool unordered = false;

 private:
  void send(std::string what, std::function<void()> fn);

  ScriptedPlatform& platform_;
  platform::Stream& stream_;
  platform::StreamDelegate& streamDelegate_;
  platform::RecordingOutputDelegate* outputDelegate_;
  platform::RecordingOutput* output_;
  platform::Stream::Completion completion_;
};

using StreamScript = std::function<void(StreamControl&)>;

struct Delivery {
  std::string what;
  std::thread::id thread;
};

class ScriptedPlatform final : public platform::Platform {
 public:
  struct ContentAnswer {
    std::shared_ptr<const platform::ShareableContent> content;
    std::exception_ptr error;
    bool neverAnswer = false;  // the completion is dropped unanswered
  };

  ScriptedPlatform();
  ~ScriptedPlatform() override;

  // The script. Set before use; read from any thread afterwards.
  bool preflightAnswer = true;
  bool requestAnswer = true;
  bool operatingSystemIsNewEnough = true;
  std::vector<ContentAnswer> contentAnswers;  // one per query; the last repeats
  bool answerBeforeReturning = false;         // the content completion has run when the query returns
  platform::ContentInfo info{platform::Rect{0, 0, 800, 600}, 1};
  std::vector<std::string> fileTypes{platform::kFileTypeQuickTimeMovie, platform::kFileTypeMPEG4};
  std::vector<std::string> codecTypes{platform::kVideoCodecHEVC, platform::kVideoCodecH264};
  std::exception_ptr attachError;
  StreamScript onStartCapture = [](StreamControl& c) {
    c.complete();
    c.started();
  };
  StreamScript onStopCapture = [](StreamControl& c) {
    c.complete();
    c.finished();
  };

  // What happened, in order.
  std::vector<std::string> calls() const;
  std::vector<Delivery> deliveries() const;
  std::optional<platform::StreamConfiguration> streamConfiguration() const;
  // Every configuration update, in order; each is completed without error.
  std::vector<platform::StreamConfiguration> configurationUpdates() const;
  std::optional<platform::ContentFilter> filter() const;
  std::optional<platform::RecordingOutputConfiguration> outputConfiguration() const;
  std::thread::id streamBuildThread() const;
  // Misuse reported by the caller of a completion (a second resume).
  std::vector<std::string> misuses() const;

  // Runs fn on the platform's threads, after everything delivered so far; ordered.
  void deliver(std::string what, std::function<void()> fn);
  // Runs fn on one of the platform's threads, in no particular order.
  void deliverUnordered(std::string what, std::function<void()> fn);
  // Blocks until every delivery posted so far has run and no caller is still posting.
  void drain();
  void waitDelivered();

  bool isOperatingSystemAtLeast(platform::OperatingSystemVersion version) override;
  bool preflightScreenCaptureAccess() override;
  bool requestScreenCaptureAccess() override;
  void sharedApplication() override;
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  platform::ContentInfo contentInfo(const platform::ContentFilter& filter) override;
  platform::RecordingOutputConfiguration makeRecordingOutputConfiguration() override;
  std::shared_ptr<platform::RecordingOutput> makeRecordingOutput(
      const platform::RecordingOutputConfiguration& configuration,
      platform::RecordingOutputDelegate& delegate) override;
  std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                               const platform::StreamConfiguration& configuration,
                                               platform::StreamDelegate& delegate) override;

  void record(std::string call);

  // While held, the platform is not idle: a caller may still be posting after
  // an earlier delivery already ended the wait that would destroy the platform.
  struct Busy {
    struct Release {
      void operator()(ScriptedPlatform* platform) const;
    };
    explicit Busy(ScriptedPlatform* platform) : held(platform) {}
    std::unique_ptr<ScriptedPlatform, Release> held;
  };
  Busy busy();

 private:
  friend class ScriptedStream;
  void run(const std::string& what, std::function<void()>& fn);
  void post(bool ordered, std::string what, std::function<void()> fn);

  asio::thread_pool threads_{3};
  asio::strand<asio::thread_pool::executor_type> ordered_{threads_.get_executor()};

  mutable std::mutex mutex_;  // guards everything below
  std::vector<std::string> calls_;
  std::vector<Delivery> deliveries_;
  std::vector<std::string> misuses_;
  std::size_t contentQueries_ = 0;
  std::optional<platform::StreamConfiguration> streamConfiguration_;
  std::vector<platform::StreamConfiguration> configurationUpdates_;
  std::optional<platform::ContentFilter> filter_;
  std::optional<platform::RecordingOutputConfiguration> outputConfiguration_;
  std::thread::id streamBuildThread_;
  std::size_t pending_ = 0;       // deliveries not yet run
  std::size_t posting_ = 0;       // callers still posting (see Busy)
  std::condition_variable idle_;  // signalled when both drop to 0
};

}  // namespace quorvale::testing

#pragma once

// A platform whose answers the test sets, delivering every completion and
// callback on a thread of its own, as the real service does, in order. It is
// its own stream: one recording at a time.
//
// The stream plays a script of words for each start and stop, one delivery a
// word, in order: "complete", "fail" (complete with an error), "drop" (let the
// completion go uncalled), "throw" (from the request itself), the callbacks
// "started", "finished", "outputFailedWithout" (an error without its object),
// "streamStopped", and "frame=ID@X,Y,W,H" (a window's frame changed); a
// failure's message is its word.
//
// Set the script before use; read what was asked for after drain().

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "platform/platform_error.h"

namespace quorvale::testing {

class ScriptedPlatform final : public platform::Platform, public platform::Stream {
 public:
  struct ContentAnswer {
    std::shared_ptr<const platform::ShareableContent> content;
    std::exception_ptr error;
    bool neverAnswer = false;  // the completion is dropped unanswered
  };

  ~ScriptedPlatform() override { drain(); }

  // The script.
  bool tooOld = false;
  bool preflightAnswer = true;
  bool requestAnswer = true;
  std::vector<ContentAnswer> contentAnswers;  // one a query; the last repeats
  std::exception_ptr attachError;
  std::exception_ptr updateError;  // what configuration updates complete with
  std::string onStartCapture = "complete started";
  std::string onStopCapture = "complete finished";

  // What the recorder asked for.
  std::vector<std::string> queries;  // the content queries' arguments
  std::optional<platform::ContentFilter> filter;
  std::optional<platform::StreamConfiguration> configuration;
  std::optional<platform::RecordingOutputConfiguration> outputConfiguration;
  std::thread::id streamBuildThread;
  std::vector<platform::StreamConfiguration> updates;  // the running stream's new configurations

  // Blocks until every delivery has run and no script is still posting.
  void drain() {
    for (int pending; (pending = pending_.load()) != 0;) pending_.wait(pending);
  }

  bool isOperatingSystemAtLeast(platform::OperatingSystemVersion) override { return !tooOld; }
  bool preflightScreenCaptureAccess() override { return preflightAnswer; }
  bool requestScreenCaptureAccess() override { return requestAnswer; }
  void sharedApplication() override {}
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    queries.push_back(std::to_string(excludeDesktopWindows) + std::to_string(onScreenWindowsOnly));
    const auto answer = contentAnswers.at(std::min(queries.size(), contentAnswers.size()) - 1);
    post([completion = std::move(completion), answer] {
      // After the query has returned, as a real lookup answers, so that its caller must wait for it.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (!answer.neverAnswer) completion(answer.content, answer.error);
    });
  }
  platform::ContentInfo contentInfo(const platform::ContentFilter&) override {
    return {platform::Rect{0, 0, 1920, 1080}, 2};
  }
  platform::RecordingOutputConfiguration makeRecordingOutputConfiguration() override {
    platform::RecordingOutputConfiguration offered;
    offered.availableOutputFileTypes = {platform::kFileTypeQuickTimeMovie, platform::kFileTypeMPEG4};
    offered.availableVideoCodecTypes = {platform::kVideoCodecHEVC, platform::kVideoCodecH264};
    return offered;
  }
  std::shared_ptr<platform::RecordingOutput> makeRecordingOutput(
      const platform::RecordingOutputConfiguration& asked,
      platform::RecordingOutputDelegate& delegate) override {
    outputConfiguration = asked;
    outputDelegate_ = &delegate;
    return std::make_shared<platform::RecordingOutput>();
  }
  std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& asked,
                                               const platform::StreamConfiguration& settings,
                                               platform::StreamDelegate& delegate) override {
    filter = asked;
    configuration = settings;
    streamBuildThread = std::this_thread::get_id();
    streamDelegate_ = &delegate;
    // Deliveries may still refer to the stream: it is gone once they have run.
    return {this, [](Stream* stream) { static_cast<ScriptedPlatform*>(stream)->drain(); }};
  }

  void addRecordingOutput(std::shared_ptr<platform::RecordingOutput> added) override {
    if (attachError) std::rethrow_exception(attachError);
    output_ = std::move(added);
  }
  void startCapture(Completion completion) override { play(onStartCapture, std::move(completion)); }
  void stopCapture(Completion completion) override { play(onStopCapture, std::move(completion)); }
  void updateConfiguration(const platform::StreamConfiguration& changed, Completion completion) override {
    updates.push_back(changed);  // on the platform's thread; drain() orders it before the test reads it
    post([completion, error = updateError] { completion(error); });
  }

  // Plays a script on the stream; without a completion, callbacks as if while it records.
  void play(const std::string& script, Completion completion = nullptr) {
    // Deliveries may end the caller's wait, and with it the test, while the script is still posting.
    hold(1);
    std::istringstream words(script);
    for (std::string word; words >> word;) {
      const auto error = std::make_exception_ptr(platform::PlatformError("test", 1, word));
      platform::WindowID id = 0;
      platform::Rect frame;
      if (word == "throw") {  // as it is issued, as when no thread can be had for it
        hold(-1);
        std::rethrow_exception(error);
      } else if (word == "complete" || word == "fail") {
        post([completion, error = word == "fail" ? error : nullptr] { completion(error); });
      } else if (word == "drop") {  // on a platform thread, as a service that forgets a handler would
        post([dropped = std::move(completion)] {});
      } else if (std::sscanf(word.c_str(), "frame=%u@%lf,%lf,%lf,%lf", &id, &frame.x, &frame.y, &frame.width,
                             &frame.height) == 5) {
        post([this, id, frame] { streamDelegate_->streamWindowFrameDidChange(*this, id, frame); });
      } else {
        post([this, word, error] {
          auto& output = *outputDelegate_;
          if (word == "started") output.recordingOutputDidStartRecording(*output_);
          if (word == "finished") output.recordingOutputDidFinishRecording(*output_);
          if (word == "outputFailedWithout") output.recordingOutputDidFailWithError(*output_, nullptr);
          if (word == "streamStopped") streamDelegate_->streamDidStopWithError(*this, error);
        });
      }
    }
    hold(-1);
  }

 private:
  // Runs fn on the platform's thread, after everything posted so far.
  void post(std::function<void()> fn) {
    hold(1);
    asio::post(thread_, [this, fn = std::move(fn)]() mutable {
      fn();
      fn = nullptr;  // whatever the delivery held goes before drain() sees it done
      hold(-1);
    });
  }
  // Counts deliveries not yet run and scripts still posting, for drain().
  void hold(int change) {
    if ((pending_ += change) == 0) pending_.notify_all();
  }

  platform::RecordingOutputDelegate* outputDelegate_ = nullptr;
  platform::StreamDelegate* streamDelegate_ = nullptr;
  std::shared_ptr<platform::RecordingOutput> output_;
  std::atomic<int> pending_ = 0;
  asio::thread_pool thread_{1};  // last, so that it is joined before the rest goes
};

}  // namespace quorvale::testing

#pragma once

// A platform whose answers the test sets, delivering every completion and
// callback on threads of its own.
//
// A stream plays a script of words for each start and stop, one delivery a
// word, in order: "complete", "fail" (complete with an error), "drop" (let the
// completion go uncalled), "started", "finished", "outputFailed",
// "streamStopped", "outputFailedWithout" (no error object), "throw" (from the
// request itself), "frame=ID@X,Y,W,H" (a window's frame changed); a failure's
// message is its word. After "unordered" the rest come on any of the
// platform's threads in no particular order.
//
// Threads: set the script before use. The requests are recorded by the
// recorder's calls and read once the operation that made them has returned;
// misuses are read after drain().

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

class ScriptedStream;

class ScriptedPlatform final : public platform::Platform {
 public:
  struct ContentAnswer {
    std::shared_ptr<const platform::ShareableContent> content;
    std::exception_ptr error;
    bool neverAnswer = false;  // the completion is dropped unanswered
    bool early = false;        // delivered before the query returns
  };

  ~ScriptedPlatform() override;

  // The script.
  bool preflightAnswer = true;
  bool requestAnswer = true;
  platform::OperatingSystemVersion version{15, 0, 0};
  std::vector<ContentAnswer> contentAnswers;  // one a query; the last repeats
  platform::ContentInfo info{platform::Rect{0, 0, 800, 600}, 1};
  platform::RecordingOutputConfiguration offered{
      {},
      {platform::kFileTypeQuickTimeMovie, platform::kFileTypeMPEG4},
      {platform::kVideoCodecHEVC, platform::kVideoCodecH264},
      {},
      {}};
  std::exception_ptr attachError;
  std::exception_ptr updateError;  // what configuration updates complete with
  std::string onStartCapture = "complete started";
  std::string onStopCapture = "complete finished";

  // What the recorder asked for.
  std::vector<std::string> calls;  // the content queries and sharedApplication, in order
  std::optional<platform::ContentFilter> filter;
  std::optional<platform::StreamConfiguration> configuration;
  std::optional<platform::RecordingOutputConfiguration> outputConfiguration;
  std::thread::id streamBuildThread;
  std::vector<std::string> misuses;                    // what a delivery threw (a second resume)
  std::vector<platform::StreamConfiguration> updates;  // the running stream's new configurations

  // Plays callbacks on the last stream made, as if while it records.
  void play(const std::string& script);
  // Runs fn on the platform's threads: after everything posted so far, or in no particular order.
  void post(bool ordered, std::function<void()> fn);
  // Counts a script that is still posting, so that drain() waits for it too.
  void hold(int change);
  // Blocks until every delivery has run and no script is still posting.
  void drain();

  bool isOperatingSystemAtLeast(platform::OperatingSystemVersion version) override;
  bool preflightScreenCaptureAccess() override { return preflightAnswer; }
  bool requestScreenCaptureAccess() override { return requestAnswer; }
  void sharedApplication() override { calls.push_back("sharedApplication"); }
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  platform::ContentInfo contentInfo(const platform::ContentFilter&) override { return info; }
  platform::RecordingOutputConfiguration makeRecordingOutputConfiguration() override { return offered; }
  std::shared_ptr<platform::RecordingOutput> makeRecordingOutput(
      const platform::RecordingOutputConfiguration& configuration,
      platform::RecordingOutputDelegate& delegate) override;
  std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                               const platform::StreamConfiguration& configuration,
                                               platform::StreamDelegate& delegate) override;

 private:
  friend class ScriptedStream;
  asio::thread_pool threads_{3};
  asio::strand<asio::thread_pool::executor_type> ordered_{threads_.get_executor()};
  std::size_t contentQueries_ = 0;
  ScriptedStream* lastStream_ = nullptr;

  std::mutex mutex_;
  int pending_ =
      0;  // guarded by mutex_, as misuses and updates are: deliveries not yet run and scripts still posting
  std::condition_variable idle_;  // signalled when pending_ drops to 0
};

}  // namespace quorvale::testing

#include "support/scripted_platform.h"

#include <asio/post.hpp>
#include <cstdio>
#include <future>
#include <sstream>
#include <tuple>

#include "platform/platform_error.h"

namespace quorvale::testing {

namespace {

struct ScriptedOutput final : platform::RecordingOutput {
  explicit ScriptedOutput(platform::RecordingOutputDelegate& delegate) : delegate(delegate) {}
  platform::RecordingOutputDelegate& delegate;
};

}  // namespace

class ScriptedStream final : public platform::Stream {
 public:
  ScriptedStream(ScriptedPlatform& platform, platform::StreamDelegate& delegate)
      : platform_(platform), delegate_(delegate) {}
  ~ScriptedStream() override { platform_.drain(); }  // deliveries may still refer to this stream

  void addRecordingOutput(std::shared_ptr<platform::RecordingOutput> output) override {
    if (platform_.attachError) std::rethrow_exception(platform_.attachError);
    output_ = std::static_pointer_cast<ScriptedOutput>(output);
  }
  void startCapture(Completion completion) override { play(platform_.onStartCapture, std::move(completion)); }
  void stopCapture(Completion completion) override { play(platform_.onStopCapture, std::move(completion)); }
  void updateConfiguration(const platform::StreamConfiguration& configuration,
                           Completion completion) override {
    {
      const std::lock_guard lock(platform_.mutex_);
      platform_.updates.push_back(configuration);
    }
    platform_.post(true, [completion, error = platform_.updateError] { completion(error); });
  }

  void play(const std::string& script, Completion completion) {
    // Deliveries may end the caller's wait, and with it the test, while the script is still posting.
    platform_.hold(1);
    bool ordered = true;
    std::istringstream words(script);
    for (std::string word; words >> word;) {
      const auto error = std::make_exception_ptr(platform::PlatformError("test", 1, word));
      if (word == "throw") {  // as it is issued, as when no thread can be had for it
        platform_.hold(-1);
        throw platform::PlatformError("test", 1, word);
      } else if (word == "unordered") {
        ordered = false;
      } else if (word == "complete" || word == "fail") {
        platform_.post(ordered,
                       [completion, error = word == "fail" ? error : nullptr] { completion(error); });
      } else if (word == "drop") {  // on a platform thread, as a service that forgets a handler would
        platform_.post(ordered, [dropped = std::move(completion)]() mutable { dropped = nullptr; });
        completion = nullptr;
      } else if (platform::WindowID id = 0; word.starts_with("frame=")) {
        platform::Rect frame;
        std::sscanf(word.c_str(), "frame=%u@%lf,%lf,%lf,%lf", &id, &frame.x, &frame.y, &frame.width,
                    &frame.height);
        platform_.post(ordered,
                       [this, id, frame] { delegate_.streamWindowFrameDidChange(*this, id, frame); });
      } else {
        platform_.post(ordered, [this, word, error] { callBack(word, error); });
      }
    }
    platform_.hold(-1);
  }

 private:
  void callBack(const std::string& word, const std::exception_ptr& error) {
    auto& output = output_->delegate;
    if (word == "started") output.recordingOutputDidStartRecording(*output_);
    if (word == "finished") output.recordingOutputDidFinishRecording(*output_);
    if (word == "outputFailed") output.recordingOutputDidFailWithError(*output_, error);
    if (word == "outputFailedWithout") output.recordingOutputDidFailWithError(*output_, nullptr);
    if (word == "streamStopped") delegate_.streamDidStopWithError(*this, error);
  }

  ScriptedPlatform& platform_;
  platform::StreamDelegate& delegate_;
  std::shared_ptr<ScriptedOutput> output_;
};

ScriptedPlatform::~ScriptedPlatform() {
  drain();
  threads_.join();
}

void ScriptedPlatform::play(const std::string& script) { lastStream_->play(script, nullptr); }

void ScriptedPlatform::post(bool ordered, std::function<void()> fn) {
  hold(1);
  auto task = [this, fn = std::move(fn)]() mutable {
    try {
      fn();
    } catch (const std::exception& error) {
      const std::lock_guard lock(mutex_);
      misuses.push_back(error.what());
    }
    fn = nullptr;  // whatever the delivery held goes before drain() sees it done
    hold(-1);
  };
  if (ordered) {
    asio::post(ordered_, std::move(task));
  } else {
    asio::post(threads_, std::move(task));
  }
}

void ScriptedPlatform::hold(int change) {
  const std::lock_guard lock(mutex_);
  pending_ += change;
  if (pending_ == 0) idle_.notify_all();
}

void ScriptedPlatform::drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

bool ScriptedPlatform::isOperatingSystemAtLeast(platform::OperatingSystemVersion at) {
  return std::tie(version.major, version.minor, version.patch) >= std::tie(at.major, at.minor, at.patch);
}

void ScriptedPlatform::getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                           ContentCompletion completion) {
  calls.push_back(std::string("getShareableContent(") + (excludeDesktopWindows ? "true" : "false") + ", " +
                  (onScreenWindowsOnly ? "true" : "false") + ")");
  const auto answer = contentAnswers.at(std::min(contentQueries_++, contentAnswers.size() - 1));
  auto delivered = std::make_shared<std::promise<void>>();
  post(true, [completion = std::move(completion), answer, delivered]() mutable {
    if (!answer.neverAnswer) completion(answer.content, answer.error);
    completion = nullptr;
    delivered->set_value();
  });
  if (answer.early) delivered->get_future().wait();
}

std::shared_ptr<platform::RecordingOutput> ScriptedPlatform::makeRecordingOutput(
    const platform::RecordingOutputConfiguration& asked, platform::RecordingOutputDelegate& delegate) {
  outputConfiguration = asked;
  return std::make_shared<ScriptedOutput>(delegate);
}

std::shared_ptr<platform::Stream> ScriptedPlatform::makeStream(const platform::ContentFilter& asked,
                                                               const platform::StreamConfiguration& settings,
                                                               platform::StreamDelegate& delegate) {
  filter = asked;
  configuration = settings;
  streamBuildThread = std::this_thread::get_id();
  auto stream = std::make_shared<ScriptedStream>(*this, delegate);
  lastStream_ = stream.get();
  return stream;
}

}  // namespace quorvale::testing

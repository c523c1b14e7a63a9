#include "support/scripted_platform.h"

#include <asio/post.hpp>

namespace quorvale::testing {

namespace {

class ScriptedOutput final : public platform::RecordingOutput {
 public:
  explicit ScriptedOutput(platform::RecordingOutputDelegate& delegate) : delegate(delegate) {}
  platform::RecordingOutputDelegate& delegate;
};

}  // namespace

class ScriptedStream final : public platform::Stream {
 public:
  ScriptedStream(ScriptedPlatform& platform, platform::StreamDelegate& delegate)
      : platform_(platform), delegate_(delegate) {}

  // Deliveries may still refer to this stream and its delegates.
  ~ScriptedStream() override { platform_.drain(); }

  void addRecordingOutput(std::shared_ptr<platform::RecordingOutput> output) override {
    platform_.record("addRecordingOutput");
    if (platform_.attachError) std::rethrow_exception(platform_.attachError);
    output_ = std::static_pointer_cast<ScriptedOutput>(output);
  }

  void startCapture(Completion completion) override {
    platform_.record("startCapture");
    control(std::move(completion), platform_.onStartCapture);
  }

  void stopCapture(Completion completion) override {
    platform_.record("stopCapture");
    control(std::move(completion), platform_.onStopCapture);
  }

  void updateConfiguration(const platform::StreamConfiguration& configuration,
                           Completion completion) override {
    {
      const std::lock_guard lock(platform_.mutex_);
      platform_.calls_.push_back("updateConfiguration");
      platform_.configurationUpdates_.push_back(configuration);
    }
    platform_.deliver("updateCompletion", [completion = std::move(completion)] { completion(nullptr); });
  }

 private:
  void control(Completion completion, const StreamScript& script) {
    // Deliveries may finish the caller's wait while the script is still posting.
    const auto busy = platform_.busy();
    StreamControl control(platform_, *this, delegate_, output_ ? &output_->delegate : nullptr, output_.get(),
                          std::move(completion));
    script(control);
  }

  ScriptedPlatform& platform_;
  platform::StreamDelegate& delegate_;
  std::shared_ptr<ScriptedOutput> output_;
};

StreamControl::StreamControl(ScriptedPlatform& platform, platform::Stream& stream,
                             platform::StreamDelegate& streamDelegate,
                             platform::RecordingOutputDelegate* outputDelegate,
                             platform::RecordingOutput* output, platform::Stream::Completion completion)
    : platform_(platform),
      stream_(stream),
      streamDelegate_(streamDelegate),
      outputDelegate_(outputDelegate),
      output_(output),
      completion_(std::move(completion)) {}

void StreamControl::send(std::string what, std::function<void()> fn) {
  if (unordered) {
    platform_.deliverUnordered(std::move(what), std::move(fn));
  } else {
    platform_.deliver(std::move(what), std::move(fn));
  }
}

void StreamControl::complete(std::exception_ptr error) {
  send("completion", [completion = completion_, error] { completion(error); });
}

void StreamControl::started() {
  send("started", [delegate = outputDelegate_, output = output_] {
    delegate->recordingOutputDidStartRecording(*output);
  });
}

void StreamControl::outputFailed(std::exception_ptr error) {
  send("outputFailed", [delegate = outputDelegate_, output = output_, error] {
    delegate->recordingOutputDidFailWithError(*output, error);
  });
}

void StreamControl::streamStopped(std::exception_ptr error) {
  send("streamStopped", [delegate = &streamDelegate_, stream = &stream_, error] {
    delegate->streamDidStopWithError(*stream, error);
  });
}

void StreamControl::finished() {
  send("finished", [delegate = outputDelegate_, output = output_] {
    delegate->recordingOutputDidFinishRecording(*output);
  });
}

void StreamControl::windowFrameChanged(platform::WindowID window, platform::Rect frame) {
  send("windowFrameChanged", [delegate = &streamDelegate_, stream = &stream_, window, frame] {
    delegate->streamWindowFrameDidChange(*stream, window, frame);
  });
}

void StreamControl::dropCompletion() {
  // Dropped on a platform thread, as a service that forgets a handler would.
  send("dropCompletion", [completion = std::move(completion_)]() mutable { completion = nullptr; });
  completion_ = nullptr;
}

ScriptedPlatform::ScriptedPlatform() = default;

ScriptedPlatform::~ScriptedPlatform() {
  drain();
  threads_.join();
}

void ScriptedPlatform::record(std::string call) {
  const std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void ScriptedPlatform::run(const std::string& what, std::function<void()>& fn) {
  {
    const std::lock_guard lock(mutex_);
    deliveries_.push_back({what, std::this_thread::get_id()});
  }
  try {
    fn();
  } catch (const std::exception& error) {
    const std::lock_guard lock(mutex_);
    misuses_.push_back(error.what());
  }
  fn = nullptr;  // whatever the delivery held goes before drain() sees it done
  const std::lock_guard lock(mutex_);
  --pending_;
  idle_.notify_all();
}

void ScriptedPlatform::deliver(std::string what, std::function<void()> fn) {
  post(true, std::move(what), std::move(fn));
}

void ScriptedPlatform::deliverUnordered(std::string what, std::function<void()> fn) {
  post(false, std::move(what), std::move(fn));
}

ScriptedPlatform::Busy ScriptedPlatform::busy() {
  const std::lock_guard lock(mutex_);
  ++posting_;
  return Busy(this);
}

void ScriptedPlatform::Busy::Release::operator()(ScriptedPlatform* platform) const {
  const std::lock_guard lock(platform->mutex_);
  --platform->posting_;
  platform->idle_.notify_all();
}

void ScriptedPlatform::post(bool ordered, std::string what, std::function<void()> fn) {
  const auto inside = busy();
  {
    const std::lock_guard lock(mutex_);
    ++pending_;
  }
  auto task = [this, what = std::move(what), fn = std::move(fn)]() mutable { run(what, fn); };
  if (ordered) {
    asio::post(ordered_, std::move(task));
  } else {
    asio::post(threads_, std::move(task));
  }
}

void ScriptedPlatform::waitDelivered() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

void ScriptedPlatform::drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0 && posting_ == 0; });
}

std::vector<std::string> ScriptedPlatform::calls() const {
  const std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<Delivery> ScriptedPlatform::deliveries() const {
  const std::lock_guard lock(mutex_);
  return deliveries_;
}

std::vector<std::string> ScriptedPlatform::misuses() const {
  const std::lock_guard lock(mutex_);
  return misuses_;
}

std::optional<platform::StreamConfiguration> ScriptedPlatform::streamConfiguration() const {
  const std::lock_guard lock(mutex_);
  return streamConfiguration_;
}

std::vector<platform::StreamConfiguration> ScriptedPlatform::configurationUpdates() const {
  const std::lock_guard lock(mutex_);
  return configurationUpdates_;
}

std::optional<platform::ContentFilter> ScriptedPlatform::filter() const {
  const std::lock_guard lock(mutex_);
  return filter_;
}

std::optional<platform::RecordingOutputConfiguration> ScriptedPlatform::outputConfiguration() const {
  const std::lock_guard lock(mutex_);
  return outputConfiguration_;
}

std::thread::id ScriptedPlatform::streamBuildThread() const {
  const std::lock_guard lock(mutex_);
  return streamBuildThread_;
}

bool ScriptedPlatform::isOperatingSystemAtLeast(platform::OperatingSystemVersion version) {
  record("isOperatingSystemAtLeast(" + std::to_string(version.major) + "." + std::to_string(version.minor) +
         "." + std::to_string(version.patch) + ")");
  return operatingSystemIsNewEnough;
}

bool ScriptedPlatform::preflightScreenCaptureAccess() {
  record("preflightScreenCaptureAccess");
  return preflightAnswer;
}

bool ScriptedPlatform::requestScreenCaptureAccess() {
  record("requestScreenCaptureAccess");
  return requestAnswer;
}

void ScriptedPlatform::sharedApplication() { record("sharedApplication"); }

void ScriptedPlatform::getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                           ContentCompletion completion) {
  const auto inside = busy();
  ContentAnswer answer;
  {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::string("getShareableContent(") + (excludeDesktopWindows ? "true" : "false") + ", " +
                     (onScreenWindowsOnly ? "true" : "false") + ")");
    if (!contentAnswers.empty()) {
      answer = contentAnswers[std::min(contentQueries_, contentAnswers.size() - 1)];
    }
    ++contentQueries_;
  }
  if (answer.neverAnswer) {
    deliver("dropContentCompletion",
            [completion = std::move(completion)]() mutable { completion = nullptr; });
    return;
  }
  deliver("contentCompletion",
          [completion = std::move(completion), answer] { completion(answer.content, answer.error); });
  if (answerBeforeReturning) waitDelivered();
}

platform::ContentInfo ScriptedPlatform::contentInfo(const platform::ContentFilter&) {
  record("contentInfo");
  return info;
}

platform::RecordingOutputConfiguration ScriptedPlatform::makeRecordingOutputConfiguration() {
  record("makeRecordingOutputConfiguration");
  platform::RecordingOutputConfiguration configuration;
  configuration.availableOutputFileTypes = fileTypes;
  configuration.availableVideoCodecTypes = codecTypes;
  return configuration;
}

std::shared_ptr<platform::RecordingOutput> ScriptedPlatform::makeRecordingOutput(
    const platform::RecordingOutputConfiguration& configuration,
    platform::RecordingOutputDelegate& delegate) {
  {
    const std::lock_guard lock(mutex_);
    calls_.push_back("makeRecordingOutput");
    outputConfiguration_ = configuration;
  }
  return std::make_shared<ScriptedOutput>(delegate);
}

std::shared_ptr<platform::Stream> ScriptedPlatform::makeStream(
    const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
    platform::StreamDelegate& delegate) {
  {
    const std::lock_guard lock(mutex_);
    calls_.push_back("makeStream");
    filter_ = filter;
    streamConfiguration_ = configuration;
    streamBuildThread_ = std::this_thread::get_id();
  }
  return std::make_shared<ScriptedStream>(*this, delegate);
}

}  // namespace quorvale::testing

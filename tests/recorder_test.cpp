#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "platform/platform_error.h"
#include "recorder/quorvale_screen_recorder.h"
#include "support/output_capture.h"
#include "support/scripted_platform.h"
#include "support/test_runtime.h"

namespace quorvale::recorder {
namespace {

using events::SupportRecordingError;
using events::SupportRecordingEvent;
using platform::PlatformError;
using platform::Rect;
using testing::ScriptedPlatform;
using testing::StreamControl;
using Case = SupportRecordingError::Case;

constexpr platform::WindowID kWindowID = 42;
const platform::RunningApplication kApp{4242, "Quorvale"};

std::shared_ptr<platform::ShareableContent> contentWith(std::vector<platform::Window> windows,
                                                        std::vector<platform::Display> displays) {
  auto content = std::make_shared<platform::ShareableContent>();
  content->windows = std::move(windows);
  content->displays = std::move(displays);
  return content;
}

std::exception_ptr platformError(const std::string& message) {
  return std::make_exception_ptr(PlatformError("test", 1, message));
}

std::optional<Case> caseOf(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const SupportRecordingError& e) {
    return e.errorCase();
  } catch (...) {
  }
  return std::nullopt;
}

std::string messageOf(const std::exception_ptr& error) { return events::localizedDescription(error); }

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() {
    window.windowID = kWindowID;
    window.frame = Rect{100, 50, 800, 600};
    window.owningApplication = kApp;
    platform.contentAnswers = {{contentWith({window}, {{1, Rect{0, 0, 1440, 900}}}), nullptr}};
  }

  QuorvaleScreenRecorder& recorder(QuorvaleScreenRecorder::Bounds bounds = {std::chrono::seconds(10),
                                                                            std::chrono::seconds(10)}) {
    if (!recorder_) {
      recorder_ = std::make_unique<QuorvaleScreenRecorder>(
          kWindowID, OutputLocation::fromArgument("/tmp/out dir/clip.mp4"), platform, rt.runtime, bounds);
    }
    return *recorder_;
  }
  std::exception_ptr start() { return rt.run(recorder().start()); }
  std::exception_ptr stop() { return rt.run(recorder().stop()); }

  std::vector<SupportRecordingEvent> events() {
    platform.drain();
    std::vector<SupportRecordingEvent> result;
    for (const auto& line : out.lines()) result.push_back(SupportRecordingEvent::decode(line));
    return result;
  }
  std::vector<std::string> statuses() {
    std::vector<std::string> result;
    for (const auto& event : events()) result.push_back(event.status);
    return result;
  }
  // Keeps the stream's control so that a test can fire callbacks mid-recording.
  void keepControlAfterStart() {
    platform.onStartCapture = [this](StreamControl& c) {
      control.emplace(c);  // before "started" lets the test go on
      c.complete();
      c.started();
    };
  }

  platform::Window window;
  testing::TestRuntime rt;
  ScriptedPlatform platform;
  testing::OutputCapture out{STDOUT_FILENO};
  std::optional<StreamControl> control;
  std::unique_ptr<QuorvaleScreenRecorder> recorder_;
};

TEST_F(RecorderTest, RecordsFromStartToFinishedWithEventsAndCallsInOrder) {
  ASSERT_EQ(start(), nullptr);
  ASSERT_EQ(stop(), nullptr);
  EXPECT_EQ(events(), (std::vector<SupportRecordingEvent>{
                          {"started", "/tmp/out dir/clip.mp4", "clip.mp4", std::nullopt},
                          {"finished", "/tmp/out dir/clip.mp4", "clip.mp4", std::nullopt}}));
  EXPECT_TRUE(recorder().hasEmittedTerminalEvent());
  EXPECT_EQ(platform.calls(),
            (std::vector<std::string>{"preflightScreenCaptureAccess", "getShareableContent(true, false)",
                                      "sharedApplication", "getShareableContent(true, false)", "contentInfo",
                                      "makeRecordingOutputConfiguration", "makeRecordingOutput", "makeStream",
                                      "addRecordingOutput", "startCapture", "stopCapture"}));
}

TEST_F(RecorderTest, BuildsTheStreamOnTheMainThreadAndReceivesDeliveriesElsewhere) {
  ASSERT_EQ(start(), nullptr);
  ASSERT_EQ(stop(), nullptr);
  EXPECT_EQ(platform.streamBuildThread(), std::this_thread::get_id());
  for (const auto& delivery : platform.deliveries()) {
    EXPECT_NE(delivery.thread, std::this_thread::get_id()) << delivery.what;
  }
}

TEST_F(RecorderTest, PermissionIsRequestedOnlyWhenThePreflightRefuses) {
  platform.preflightAnswer = false;
  platform.requestAnswer = true;
  ASSERT_EQ(start(), nullptr);
  const auto calls = platform.calls();
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 2),
            (std::vector<std::string>{"preflightScreenCaptureAccess", "requestScreenCaptureAccess"}));
}

TEST_F(RecorderTest, RefusedPermissionFailsBeforeAnyLookupAndWritesNothing) {
  platform.preflightAnswer = false;
  platform.requestAnswer = false;
  EXPECT_EQ(caseOf(start()), Case::screenCapturePermissionDenied);
  EXPECT_EQ(platform.calls(),
            (std::vector<std::string>{"preflightScreenCaptureAccess", "requestScreenCaptureAccess"}));
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(recorder().hasEmittedTerminalEvent());
}

TEST_F(RecorderTest, ContentLookupErrorIsThrownAsTheSameObject) {
  const auto error = platformError("No X display.");
  platform.contentAnswers = {{contentWith({window}, {}), error}};
  EXPECT_EQ(start(), error);
  EXPECT_TRUE(events().empty());
}

TEST_F(RecorderTest, ContentLookupWithNeitherContentNorErrorIsNotReady) {
  platform.contentAnswers = {{nullptr, nullptr}};
  EXPECT_EQ(caseOf(start()), Case::recorderNotReady);
}

TEST_F(RecorderTest, MissingWindowFailsWithItsIdentifier) {
  for (auto windows :
       {std::vector<platform::Window>{}, std::vector<platform::Window>{{7, {}, kApp, "", true}}}) {
    ScriptedPlatform otherPlatform;
    otherPlatform.contentAnswers = {{contentWith(windows, {}), nullptr}};
    QuorvaleScreenRecorder lonely(kWindowID, OutputLocation::fromArgument("/tmp/x.mp4"), otherPlatform,
                                  rt.runtime);
    const auto failure = rt.run(lonely.start());
    ASSERT_EQ(caseOf(failure), Case::windowNotFound);
    try {
      std::rethrow_exception(failure);
    } catch (const SupportRecordingError& e) {
      EXPECT_EQ(e.windowID(), kWindowID);
    }
  }
  EXPECT_TRUE(events().empty());
}

TEST_F(RecorderTest, FirstOfTwoWindowsWithTheIdentifierIsRecorded) {
  auto second = window;
  second.title = "second";
  window.title = "first";
  window.owningApplication.reset();
  platform.contentAnswers = {{contentWith({window, second}, {}), nullptr}};
  ASSERT_EQ(start(), nullptr);
  const auto filter = std::get<platform::WindowFilter>(*platform.filter());
  EXPECT_EQ(filter.window.title, "first");
}

TEST_F(RecorderTest, AttachFailureIsThrownUnchangedAndNothingIsStored) {
  platform.attachError = platformError("cannot attach");
  EXPECT_EQ(start(), platform.attachError);
  EXPECT_FALSE(recorder().hasEmittedTerminalEvent());
  EXPECT_EQ(caseOf(stop()), Case::recorderNotReady);
}

TEST_F(RecorderTest, StartCaptureErrorIsThrownAndNothingIsWritten) {
  const auto error = platformError("start failed");
  platform.onStartCapture = [error](StreamControl& c) { c.complete(error); };
  EXPECT_EQ(start(), error);
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(recorder().hasEmittedTerminalEvent());
}

// Guards against a request that throws as it is issued (no thread for it) ending the process.
TEST_F(RecorderTest, StartCaptureThrowingAsItIsIssuedFailsTheStartWithThatError) {
  const auto error = platformError("no thread");
  platform.onStartCapture = [error](StreamControl&) { std::rethrow_exception(error); };
  EXPECT_EQ(start(), error);
  EXPECT_TRUE(events().empty());
}

TEST_F(RecorderTest, StartedThenErrorBeforeTheWaitEndsFailsWithThatError) {
  const auto error = platformError("disk full");
  platform.onStartCapture = [error](StreamControl& c) {
    c.started();
    c.outputFailed(error);
    c.complete();
  };
  EXPECT_EQ(start(), error);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started", "error"}));
  EXPECT_EQ(events()[1].detail, "disk full");
  EXPECT_TRUE(recorder().hasEmittedTerminalEvent());
}

TEST_F(RecorderTest, ErrorWithoutStartFailsWithTheStoredError) {
  const auto error = platformError("window closed");
  platform.onStartCapture = [error](StreamControl& c) {
    c.complete();
    c.streamStopped(error);
  };
  EXPECT_EQ(start(), error);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"error"}));
  EXPECT_TRUE(recorder().hasEmittedTerminalEvent());
}

TEST_F(RecorderTest, NoCallbackWithinTheBoundTimesOutWithoutAnEvent) {
  platform.onStartCapture = [](StreamControl& c) { c.complete(); };
  recorder({std::chrono::milliseconds(50), std::chrono::milliseconds(50)});
  EXPECT_EQ(caseOf(start()), Case::startTimedOut);
  EXPECT_FALSE(recorder().hasEmittedTerminalEvent());
  EXPECT_TRUE(events().empty());
}

TEST_F(RecorderTest, ErrorWhileRecordingIsReportedAtOnceAndFailsTheStopOnce) {
  keepControlAfterStart();
  ASSERT_EQ(start(), nullptr);
  const auto error = platformError("The recorded window was closed.");
  control->streamStopped(error);
  control->outputFailed(platformError("second"));
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started", "error"}));
  EXPECT_TRUE(recorder().hasEmittedTerminalEvent());
  EXPECT_EQ(stop(), error);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started", "error", "finished"}));
}

// Guards against an error callback without an error object leaving room for a second "error" line.
TEST_F(RecorderTest, ErrorWithoutAnObjectIsTheOneError) {
  keepControlAfterStart();
  ASSERT_EQ(start(), nullptr);
  control->outputFailed(nullptr);
  control->streamStopped(platformError("second"));
  EXPECT_EQ(messageOf(stop()), "An unknown error occurred.");
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started", "error", "finished"}));
}

TEST_F(RecorderTest, ErrorAfterFinishedIsStillReported) {
  keepControlAfterStart();
  ASSERT_EQ(start(), nullptr);
  ASSERT_EQ(stop(), nullptr);
  control->outputFailed(platformError("late"));
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started", "finished", "error"}));
}

TEST_F(RecorderTest, StopWithoutAStreamIsNotReadyAndCallsNothing) {
  EXPECT_EQ(caseOf(stop()), Case::recorderNotReady);
  EXPECT_TRUE(platform.calls().empty());
}

TEST_F(RecorderTest, StopCaptureErrorIsThrownUnchanged) {
  const auto error = platformError("stop failed");
  platform.onStopCapture = [error](StreamControl& c) { c.complete(error); };
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(stop(), error);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"started"}));
}

TEST_F(RecorderTest, NoFinishWithinTheBoundTimesOut) {
  platform.onStopCapture = [](StreamControl& c) { c.complete(); };
  recorder({std::chrono::seconds(10), std::chrono::milliseconds(50)});
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(caseOf(stop()), Case::stopTimedOut);
  EXPECT_FALSE(recorder().hasEmittedTerminalEvent());
}

TEST_F(RecorderTest, DroppedCompletionFailsTheCallNamingTheOperation) {
  platform.onStartCapture = [](StreamControl& c) { c.dropCompletion(); };
  const auto failure = start();
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(messageOf(failure).find("startCapture(_:)"), std::string::npos);
}

TEST_F(RecorderTest, UnansweredContentQueryFailsNamingTheOperation) {
  platform.contentAnswers = {{nullptr, nullptr, true}};
  const auto failure = start();
  EXPECT_NE(messageOf(failure).find("fetchShareableContent()"), std::string::npos);
}

TEST_F(RecorderTest, SecondResumeIsReportedAsMisuseAndChangesNothing) {
  platform.onStopCapture = [](StreamControl& c) {
    c.complete();
    c.complete(platformError("again"));
    c.finished();
  };
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(stop(), nullptr);
  platform.drain();
  ASSERT_EQ(platform.misuses().size(), 1u);
  EXPECT_NE(platform.misuses()[0].find("stopCapture(_:)"), std::string::npos);
}

// The build sequence, one fixture for every road to each filter.
class StreamBuildTest : public RecorderTest {
 protected:
  platform::StreamConfiguration configuration() { return *platform.streamConfiguration(); }
  std::vector<std::string> assignments() { return configuration().assignments(); }
  const std::vector<std::string> kCommonSettings{"width",
                                                 "height",
                                                 "minimumFrameInterval",
                                                 "queueDepth",
                                                 "preservesAspectRatio",
                                                 "showsCursor",
                                                 "scalesToFit",
                                                 "pixelFormat",
                                                 "capturesAudio",
                                                 "sampleRate",
                                                 "channelCount",
                                                 "captureMicrophone",
                                                 "excludesCurrentProcessAudio",
                                                 "showMouseClicks",
                                                 "ignoreShadowsSingleWindow",
                                                 "ignoreGlobalClipSingleWindow",
                                                 "includeChildWindows"};
  std::vector<std::string> withDisplaySettings(bool sourceRect) {
    std::vector<std::string> result;
    if (sourceRect) result.push_back("sourceRect");
    result.push_back("ignoreShadowsDisplay");
    result.push_back("ignoreGlobalClipDisplay");
    result.insert(result.end(), kCommonSettings.begin(), kCommonSettings.end());
    return result;
  }
  void expectWindowFilter() {
    ASSERT_TRUE(std::holds_alternative<platform::WindowFilter>(*platform.filter()));
    EXPECT_EQ(std::get<platform::WindowFilter>(*platform.filter()).window, window);
    EXPECT_EQ(assignments(), kCommonSettings);
  }
};

TEST_F(StreamBuildTest, DisplayFilterOnTheMostOverlappedDisplayWithTheFixedSettings) {
  window.frame = Rect{1540, 100, 800, 600};
  const platform::Display left{1, {0, 0, 1440, 900}}, right{2, {1440, 0, 1920, 1080}};
  platform.contentAnswers = {{contentWith({window}, {left, right}), nullptr}};
  platform.info = {Rect{0, 0, 1920, 1080}, 2};
  keepControlAfterStart();
  ASSERT_EQ(start(), nullptr);

  const auto filter = std::get<platform::DisplayFilter>(*platform.filter());
  EXPECT_EQ(filter.display, right);
  EXPECT_EQ(filter.includedApplications, std::vector<platform::RunningApplication>{kApp});
  EXPECT_TRUE(filter.exceptedWindows.empty());

  const auto c = configuration();
  EXPECT_EQ(c.assignments(), withDisplaySettings(true));
  EXPECT_EQ(c.sourceRect(), (Rect{100, 100, 800, 600}));
  EXPECT_EQ(c.ignoreShadowsDisplay(), false);
  EXPECT_EQ(c.ignoreGlobalClipDisplay(), false);
  EXPECT_EQ(c.width(), 1280);
  EXPECT_EQ(c.height(), 720);
  EXPECT_EQ(c.minimumFrameInterval(), (platform::FrameInterval{1, 15}));
  EXPECT_EQ(c.queueDepth(), 5);
  EXPECT_EQ(c.preservesAspectRatio(), true);
  EXPECT_EQ(c.showsCursor(), true);
  EXPECT_EQ(c.scalesToFit(), true);
  EXPECT_EQ(c.pixelFormat(), 0x34323076u);
  EXPECT_EQ(c.capturesAudio(), true);
  EXPECT_EQ(c.sampleRate(), 48000);
  EXPECT_EQ(c.channelCount(), 2);
  EXPECT_EQ(c.captureMicrophone(), false);
  EXPECT_EQ(c.excludesCurrentProcessAudio(), false);
  EXPECT_EQ(c.showMouseClicks(), true);
  EXPECT_EQ(c.ignoreShadowsSingleWindow(), false);
  EXPECT_EQ(c.ignoreGlobalClipSingleWindow(), false);
  EXPECT_EQ(c.includeChildWindows(), true);

  const auto output = *platform.outputConfiguration();
  EXPECT_EQ(output.outputURL, std::filesystem::path("/tmp/out dir/clip.mp4"));
  EXPECT_EQ(output.outputFileType, platform::kFileTypeMPEG4);
  EXPECT_EQ(output.videoCodecType, platform::kVideoCodecH264);

  // Guards against a crop that does not follow the window by the start's rule, display and output size.
  control->windowFrameChanged(kWindowID + 1, Rect{0, 0, 10, 10});
  control->windowFrameChanged(kWindowID, Rect{1000, 300, 900, 700});
  control->windowFrameChanged(kWindowID, Rect{1000, 300, 900, 700});
  platform.drain();
  const auto updates = platform.configurationUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].sourceRect(), (Rect{0, 300, 900, 700}));
  EXPECT_EQ(updates[0].width(), 1280);
  EXPECT_EQ(updates[0].height(), 720);
}

TEST_F(StreamBuildTest, WindowNarrowerThanAPointGetsNoSourceRectButTheDisplaySettings) {
  window.frame = Rect{10, 10, 0.5, 300};
  platform.contentAnswers = {{contentWith({window}, {{1, {0, 0, 1440, 900}}}), nullptr}};
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(assignments(), withDisplaySettings(false));
}

TEST_F(StreamBuildTest, WindowWithoutOwnerUsesTheWindowFilterWithoutASecondLookup) {
  window.owningApplication.reset();
  platform.contentAnswers = {{contentWith({window}, {{1, {0, 0, 1440, 900}}}), nullptr}};
  ASSERT_EQ(start(), nullptr);
  expectWindowFilter();
  const auto calls = platform.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "getShareableContent(true, false)"), 1);
}

TEST_F(StreamBuildTest, FailedSecondLookupFallsBackToTheWindowFilterSilently) {
  const auto content = contentWith({window}, {{1, {0, 0, 1440, 900}}});
  for (const auto& second : {ScriptedPlatform::ContentAnswer{nullptr, platformError("gone")},
                             ScriptedPlatform::ContentAnswer{nullptr, nullptr},
                             ScriptedPlatform::ContentAnswer{contentWith({window}, {}), nullptr}}) {
    ScriptedPlatform fresh;
    fresh.contentAnswers = {{content, nullptr}, second};
    QuorvaleScreenRecorder session(kWindowID, OutputLocation::fromArgument("/tmp/x.mp4"), fresh, rt.runtime);
    ASSERT_EQ(rt.run(session.start()), nullptr);
    ASSERT_TRUE(std::holds_alternative<platform::WindowFilter>(*fresh.filter()));
    EXPECT_EQ(fresh.streamConfiguration()->assignments(), kCommonSettings);
  }
}

TEST_F(StreamBuildTest, EmptyContentInfoFallsBackToTwiceTheWindowFrame) {
  window.owningApplication.reset();
  window.frame = Rect{0, 0, 300, 200};
  platform.contentAnswers = {{contentWith({window}, {}), nullptr}};
  platform.info = {Rect{0, 0, 0, 0}, 1};
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(configuration().width(), 600);
  EXPECT_EQ(configuration().height(), 400);
}

TEST_F(StreamBuildTest, FileTypeAndCodecFallBackToTheFirstOfferedOrStayUnset) {
  platform.fileTypes = {"com.apple.quicktime-movie", "public.avi"};
  platform.codecTypes = {};
  ASSERT_EQ(start(), nullptr);
  EXPECT_EQ(platform.outputConfiguration()->outputFileType, "com.apple.quicktime-movie");
  EXPECT_EQ(platform.outputConfiguration()->videoCodecType, std::nullopt);
}

// Many sessions with callbacks racing on several threads; run under ThreadSanitizer too.
TEST(RecorderStress, InvariantsHoldWhateverTheCallbackOrder) {
  testing::TestRuntime rt;
  testing::OutputCapture out{STDOUT_FILENO};
  std::mt19937 random(12345);
  const auto content = contentWith({{kWindowID, {0, 0, 640, 480}, std::nullopt, "", true}}, {});
  for (int session = 0; session < 300; ++session) {
    const auto linesBefore = out.lines().size();
    ScriptedPlatform platform;
    platform.contentAnswers = {{content, nullptr}};
    const auto first = platformError("first");
    const auto second = platformError("second");
    const int mask = static_cast<int>(random() % 7) + 1;  // at least one callback
    platform.onStartCapture = [&](StreamControl& c) {
      c.complete();
      c.unordered = true;
      if (mask & 1) c.started();
      if (mask & 2) c.outputFailed(first);
      if (mask & 4) c.streamStopped(second);
    };
    QuorvaleScreenRecorder recorder(kWindowID, OutputLocation::fromArgument("/tmp/s.mp4"), platform,
                                    rt.runtime, {std::chrono::seconds(20), std::chrono::seconds(20)});
    const auto failure = rt.run(recorder.start());
    platform.drain();

    const auto lines = out.lines();
    std::vector<SupportRecordingEvent> events;
    for (auto i = linesBefore; i < lines.size(); ++i)
      events.push_back(SupportRecordingEvent::decode(lines[i]));

    const auto errors =
        std::count_if(events.begin(), events.end(), [](auto& e) { return e.status == "error"; });
    const bool anyError = (mask & 6) != 0;
    ASSERT_EQ(errors, anyError ? 1 : 0) << "session " << session;
    ASSERT_EQ(recorder.hasEmittedTerminalEvent(), anyError);
    if (!anyError) {
      ASSERT_EQ(failure, nullptr);
      continue;
    }
    const auto errorEvent =
        *std::find_if(events.begin(), events.end(), [](auto& e) { return e.status == "error"; });
    // The stored error is the reported one; start fails with it unless it won the race after "started".
    if (failure) {
      ASSERT_TRUE(failure == first || failure == second);
      ASSERT_EQ(errorEvent.detail, messageOf(failure));
    } else {
      ASSERT_TRUE(mask & 1);
    }
    // A stop afterwards fails with the same stored error.
    const auto stopped = rt.run(recorder.stop());
    ASSERT_EQ(messageOf(stopped), errorEvent.detail);
  }
}

}  // namespace
}  // namespace quorvale::recorder

// The recorder on its own; its sessions from start to stop are in run_flow_test.cpp.

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "recorder/quorvale_screen_recorder.h"
#include "support/output_capture.h"
#include "support/scripted_platform.h"
#include "support/test_runtime.h"

namespace quorvale::recorder {
namespace {

using namespace std::chrono_literals;

const auto kContent = std::make_shared<platform::ShareableContent>(
    platform::ShareableContent{{{42, {0, 0, 640, 480}, std::nullopt, "", true}}, {}});

// Guards against "started" or "finished" written after start() or stop() returned; a long line takes a while.
TEST(RecorderTest, WritesStartedAndFinishedBeforeReturning) {
  testing::TestRuntime rt;
  testing::ScriptedPlatform platform;
  platform.contentAnswers = {{kContent, nullptr}};
  testing::OutputCapture out{STDOUT_FILENO};
  const auto location = OutputLocation::fromArgument("/" + std::string(1 << 20, 'a'));
  QuorvaleScreenRecorder recorder(42, location, platform, rt.runtime);
  const auto line = [&](const char* status) {
    return events::SupportRecordingEvent{status, location.path, location.fileName, std::nullopt}.encode() +
           "\n";
  };
  ASSERT_EQ(rt.run(recorder.start()), nullptr);
  EXPECT_TRUE(out.text() == line("started"));
  ASSERT_EQ(rt.run(recorder.stop()), nullptr);
  EXPECT_TRUE(out.text() == line("started") + line("finished"));
}

TEST(RecorderTest, StartAndStopWaitTwoMinutesByDefault) {
  EXPECT_EQ(RecorderBounds{}.start, 120s);
  EXPECT_EQ(RecorderBounds{}.stop, 120s);
}

TEST(RecorderTest, StopBeforeAStartIsNotReady) {
  testing::TestRuntime rt;
  testing::ScriptedPlatform platform;
  QuorvaleScreenRecorder recorder(42, OutputLocation::fromArgument("/tmp/a.mp4"), platform, rt.runtime);
  EXPECT_EQ(events::localizedDescription(rt.run(recorder.stop())), "The support recorder is not ready yet.");
}

// Many sessions with callbacks racing on several threads; run under ThreadSanitizer too.
TEST(RecorderTest, OneErrorAtMostWhateverTheCallbackOrder) {
  testing::TestRuntime rt;
  testing::OutputCapture out{STDOUT_FILENO};
  std::mt19937 random(12345);
  const char* callbacks[] = {"started", "outputFailed", "streamStopped"};
  for (int session = 0; session < 300; ++session) {
    const auto linesBefore = out.lines().size();
    testing::ScriptedPlatform platform;
    platform.contentAnswers = {{kContent, nullptr}};
    const auto mask = random() % 7 + 1;  // at least one callback
    platform.onStartCapture = "complete unordered";
    for (int i = 0; i < 3; ++i)
      platform.onStartCapture += mask & (1u << i) ? std::string(" ") + callbacks[i] : "";
    const auto& script = platform.onStartCapture;
    QuorvaleScreenRecorder recorder(42, OutputLocation::fromArgument("/tmp/a.mp4"), platform, rt.runtime,
                                    {20s, 20s});
    const auto startFailure = rt.run(recorder.start());
    platform.drain();

    const auto lines = out.lines();
    std::vector<std::string> errors;
    for (auto i = linesBefore; i < lines.size(); ++i) {
      const auto event = events::SupportRecordingEvent::decode(lines[i]);
      if (event.status == "error") errors.push_back(event.detail.value_or(""));
    }
    const bool anyError = mask & 6;
    ASSERT_EQ(errors.size(), anyError ? 1u : 0u) << script;
    ASSERT_EQ(recorder.hasEmittedTerminalEvent(), anyError) << script;
    // Start fails with the reported error unless "started" came first; a stop afterwards always does.
    if (startFailure || !(mask & 1)) {
      ASSERT_EQ(startFailure ? events::localizedDescription(startFailure) : "", anyError ? errors[0] : "")
          << script;
    }
    if (anyError) {
      ASSERT_EQ(events::localizedDescription(rt.run(recorder.stop())), errors[0]) << script;
    }
  }
}

}  // namespace
}  // namespace quorvale::recorder

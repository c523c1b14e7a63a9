#include "recorder/capture_calls.h"

#include <gtest/gtest.h>

#include "events/support_recording_error.h"
#include "platform/platform_error.h"
#include "support/scripted_platform.h"
#include "support/test_runtime.h"

namespace quorvale::recorder {
namespace {

using events::SupportRecordingError;

class ContentQueryTest : public ::testing::Test {
 protected:
  ContentQueryTest() { content->windows.push_back({7, {}, std::nullopt, "w", false}); }
  std::shared_ptr<platform::ShareableContent> content = std::make_shared<platform::ShareableContent>();
  std::exception_ptr error = std::make_exception_ptr(platform::PlatformError("x11", 1, "No display."));
  testing::TestRuntime rt;
  testing::ScriptedPlatform platform;  // joins its threads before the runtime goes
};

// Guards against a blocking query that waits for a completion which already came.
TEST_F(ContentQueryTest, BlockingQueryKeepsACompletionThatArrivedBeforeTheWait) {
  platform.answerBeforeReturning = true;
  platform.contentAnswers = {{content, nullptr}};
  EXPECT_EQ(fetchShareableContentSync(platform), content);
}

TEST_F(ContentQueryTest, BothQueriesPreferTheErrorAndTreatNeitherAsNotReady) {
  platform.contentAnswers = {{content, error}, {content, error}, {nullptr, nullptr}, {nullptr, nullptr}};
  EXPECT_THROW(
      {
        try {
          fetchShareableContentSync(platform);
        } catch (...) {
          EXPECT_EQ(std::current_exception(), error);
          throw;
        }
      },
      platform::PlatformError);
  std::optional<ContentPointer> result;
  EXPECT_EQ(rt.run(fetchShareableContent(platform, rt.workers.get_executor()), result), error);
  EXPECT_THROW(fetchShareableContentSync(platform), SupportRecordingError);
  EXPECT_THROW(
      std::rethrow_exception(rt.run(fetchShareableContent(platform, rt.workers.get_executor()), result)),
      SupportRecordingError);
  EXPECT_EQ(platform.calls(), std::vector<std::string>(4, "getShareableContent(true, false)"));
}

TEST_F(ContentQueryTest, AsynchronousQueryReturnsTheContentIncludingWindowsOffScreen) {
  platform.contentAnswers = {{content, nullptr}};
  std::optional<ContentPointer> result;
  ASSERT_EQ(rt.run(fetchShareableContent(platform, rt.workers.get_executor()), result), nullptr);
  EXPECT_EQ(*result, content);
  EXPECT_FALSE((*result)->windows[0].onScreen);
}

}  // namespace
}  // namespace quorvale::recorder

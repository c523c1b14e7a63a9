// Failures during and before recording: one "error" event, exit 1, and a
// movie that still plays when recording had begun.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "e2e/support/fixture.h"

namespace quorvale::e2e {
namespace {

class FaultTest : public DisplayTest {
 protected:
  // After the error, the stop line ends the program with exit code 1; the
  // error was the only one and nothing claimed success.
  void expectOneErrorAndExit1() {
    auto error = recorder_->waitFor("error", std::chrono::seconds(15));
    ASSERT_TRUE(error) << "no \"error\" event\n" << recorder_->transcript();
    recorder_->stop();  // it may have exited already
    ASSERT_TRUE(recorder_->waitExit()) << "no exit after the stop line\n" << recorder_->transcript();
    std::string transcript = recorder_->transcript();
    EXPECT_EQ(recorder_->exitCode(), 1) << transcript;
    auto statuses = recorder_->statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "error"), 1) << transcript;
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "finished"), 0) << transcript;
    for (const auto& event : recorder_->events()) EXPECT_TRUE(event.isCompact()) << event.line;
    EXPECT_FALSE(error->get("detail").empty()) << error->line;
    EXPECT_EQ(recorder_->stderrText(), "");
  }

  void expectPlayableMovie(const std::filesystem::path& file) {
    std::string error;
    auto info = probe(file, &error);
    ASSERT_TRUE(info) << "ffprobe failed: " << error;
    ASSERT_TRUE(info->video) << info->json;
    EXPECT_EQ(info->video->codec, "h264");
    EXPECT_GT(info->duration, 0.5) << info->json;
    EXPECT_TRUE(decodesCleanly(file, &error)) << error;
  }
};

// How the recorded window goes away while recording.
struct SourceLoss {
  const char* name;
  std::function<void(DisplayTest&, TestWindow&)> cause;
  friend void PrintTo(const SourceLoss& loss, std::ostream* out) { *out << loss.name; }
};

class SourceLossTest : public FaultTest, public ::testing::WithParamInterface<SourceLoss> {
 public:
  static void closeWindow(DisplayTest&, TestWindow& window) { window.close(); }
  static void killXServer(DisplayTest& test, TestWindow&) {
    static_cast<SourceLossTest&>(test).xserver_->kill();
  }
};

TEST_P(SourceLossTest, ReportsOneErrorAndKeepsAPlayableMovie) {
  auto& window = openWindow(WindowOptions().at(40, 40).size(480, 360).colour(0x808000).animated());
  startRecorder(output(), window.id());
  ASSERT_TRUE(recorder_->waitFor("started")) << recorder_->transcript();
  sleepFor(2.0);
  GetParam().cause(*this, window);
  expectOneErrorAndExit1();
  EXPECT_EQ(recorder_->events().front().status(), "started");
  expectPlayableMovie(output());
}

INSTANTIATE_TEST_SUITE_P(Faults, SourceLossTest,
                         ::testing::Values(SourceLoss{"WindowClosed", &SourceLossTest::closeWindow},
                                           SourceLoss{"XServerKilled", &SourceLossTest::killXServer}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, WindowIdNamingNoWindowIsNotFound) {
  auto id = XConnection(xserver_->display()).destroyedWindowId();
  startRecorder(output(), id);
  expectOneErrorAndExit1();
  ASSERT_FALSE(recorder_->events().empty());
  auto statuses = recorder_->statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "started"), 0) << recorder_->transcript();
  auto error = std::find_if(recorder_->events().begin(), recorder_->events().end(),
                            [](const Event& e) { return e.status() == "error"; });
  ASSERT_NE(error, recorder_->events().end());
  EXPECT_EQ(error->get("detail"),
            "Could not find the Quorvale window to record. Make sure the app window is open and visible.");
  EXPECT_FALSE(std::filesystem::exists(output())) << "a movie was written for no window";
}

class SixteenBitDisplayTest : public FaultTest {
 protected:
  void SetUp() override {
    screens_ = {"640x480x16"};
    FaultTest::SetUp();
  }
};

// Guards against leaving the unplayable file of a start that failed after creating it: a retry under
// the same name would be refused.
TEST_F(SixteenBitDisplayTest, FailedStartRemovesTheFileItCreated) {
  auto& window = openWindow(WindowOptions().at(0, 0).size(320, 240));
  startRecorder(output(), window.id());
  expectOneErrorAndExit1();
  auto statuses = recorder_->statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "started"), 0) << recorder_->transcript();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(output())));
}

}  // namespace
}  // namespace quorvale::e2e

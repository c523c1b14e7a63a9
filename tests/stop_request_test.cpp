#include "recorder/stop_request.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <future>

namespace quorvale::recorder {
namespace {

class StopRequestTest : public ::testing::Test {
 protected:
  StopRequestTest() { EXPECT_EQ(pipe(input), 0); }
  ~StopRequestTest() override {
    if (input[0] >= 0) close(input[0]);
    if (input[1] >= 0) close(input[1]);
  }
  // Waits on another thread so that a test that would block fails instead of hanging.
  bool returnsWithin(ProcessStopRequest& request, std::chrono::milliseconds limit) {
    waiting = std::async(std::launch::async, [&request] { request.wait(); });
    return waiting.wait_for(limit) == std::future_status::ready;
  }
  int input[2] = {-1, -1};
  std::future<void> waiting;
};

TEST_F(StopRequestTest, ALineStops) {
  ProcessStopRequest request(input[0]);
  ASSERT_EQ(write(input[1], "par", 3), 3);
  EXPECT_FALSE(returnsWithin(request, std::chrono::milliseconds(100)));
  ASSERT_EQ(write(input[1], "tial\n", 5), 5);
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(StopRequestTest, EndOfFileStops) {
  ProcessStopRequest request(input[0]);
  close(input[1]);
  input[1] = -1;
  EXPECT_TRUE(returnsWithin(request, std::chrono::seconds(10)));
}

TEST_F(StopRequestTest, ClosedInputStops) {
  ProcessStopRequest request(input[0]);
  close(input[0]);
  input[0] = -1;
  EXPECT_TRUE(returnsWithin(request, std::chrono::seconds(10)));
}

TEST_F(StopRequestTest, TerminationSignalStopsEvenWhenItCameEarlier) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ProcessStopRequest request(input[0]);
    std::raise(signal);  // before the wait: kept until it begins
    EXPECT_TRUE(returnsWithin(request, std::chrono::seconds(10))) << signal;
  }
}

TEST_F(StopRequestTest, SecondSignalEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ProcessStopRequest request(input[0]);
        std::raise(SIGTERM);
        std::raise(SIGTERM);
        std::abort();  // not reached
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace quorvale::recorder

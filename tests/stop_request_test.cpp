#include "recorder/stop_request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <future>

namespace quorvale::recorder {
namespace {

using namespace std::chrono_literals;

// Waits on another thread, so that a wait that never ends fails the test instead of hanging it.
bool returnsWithin(ProcessStopRequest& request, std::chrono::milliseconds limit, std::future<void>& waiting) {
  waiting = std::async(std::launch::async, [&request] { request.wait(); });
  return waiting.wait_for(limit) == std::future_status::ready;
}

// A closed descriptor needs no case of its own: reading it fails, which stops too.
TEST(StopRequestTest, ALineTheEndOfInputAFailedReadOrASignalStopsButPartOfALineDoesNot) {
  std::future<void> waiting;
  {
    // Guards against a wait that polls for ever once reading fails (here on a folder, which poll calls
    // readable).
    ProcessStopRequest request(open("/", O_RDONLY));
    EXPECT_TRUE(returnsWithin(request, 10s, waiting));
  }
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ProcessStopRequest request(input[0]);
    std::raise(signal);  // before the wait: kept until it begins
    EXPECT_TRUE(returnsWithin(request, 10s, waiting)) << signal;
  }
  ProcessStopRequest request(input[0]);
  ASSERT_EQ(write(input[1], "par", 3), 3);
  EXPECT_FALSE(returnsWithin(request, 100ms, waiting));
  ASSERT_EQ(write(input[1], "tial\n", 5), 5);
  EXPECT_EQ(waiting.wait_for(10s), std::future_status::ready);
  close(input[1]);
  EXPECT_TRUE(returnsWithin(request, 10s, waiting));
}

TEST(StopRequestTest, SecondSignalEndsTheProcessAtOnce) {
  EXPECT_EXIT(
      {
        ProcessStopRequest request(STDIN_FILENO);
        std::raise(SIGTERM);
        std::raise(SIGTERM);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace quorvale::recorder

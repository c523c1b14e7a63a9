#include "recorder/stop_request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
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
TEST(StopRequestTest, ALineOrTheEndOfInputStopsButPartOfALineDoesNot) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ProcessStopRequest request(input[0]);
  std::future<void> waiting;
  ASSERT_EQ(write(input[1], "par", 3), 3);
  EXPECT_FALSE(returnsWithin(request, 100ms, waiting));
  ASSERT_EQ(write(input[1], "tial\n", 5), 5);
  EXPECT_EQ(waiting.wait_for(10s), std::future_status::ready);
  close(input[1]);
  EXPECT_TRUE(returnsWithin(request, 10s, waiting));
  close(input[0]);
}

// Guards against a wait that polls for ever once reading fails (here on a folder, which poll calls readable).
TEST(StopRequestTest, AFailedReadStops) {
  const int folder = open("/", O_RDONLY);
  ProcessStopRequest request(folder);
  std::future<void> waiting;
  EXPECT_TRUE(returnsWithin(request, 10s, waiting));
  close(folder);
}

TEST(StopRequestTest, EachStopSignalStopsEvenWhenItCameFirstAndIsThenRestored) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    {
      ProcessStopRequest request(input[0]);
      std::raise(signal);  // before the wait: kept until it begins
      std::future<void> waiting;
      EXPECT_TRUE(returnsWithin(request, 10s, waiting)) << signal;
    }
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
  }
  EXPECT_EQ(descriptors(), before);  // the signal pipe is closed
  close(input[0]);
  close(input[1]);
}

TEST(StopRequestTest, SecondSignalEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ProcessStopRequest request(STDIN_FILENO);
        std::raise(SIGTERM);
        std::raise(SIGTERM);
        std::abort();  // not reached
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace quorvale::recorder

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "platform/platform_error.h"
#include "support/output_capture.h"

namespace quorvale::events {
namespace {

std::string outOfMemory(const SupportRecordingEvent&) { throw std::bad_alloc(); }

// Guards against the one "error" line lost when memory runs out while it is encoded, and against
// writing what the encoder refuses (that goes to standard error instead).
TEST(EmitEventTest, OutOfMemoryWritesTheSameLineWithoutAllocating) {
  testing::OutputCapture out{STDOUT_FILENO};
  testing::OutputCapture err{STDERR_FILENO};
  std::string detail;
  while (detail.size() < 3000) detail += "a\"b\\c\nd\x1f\b\f\r\t/é ";  // longer than the line buffer
  const SupportRecordingEvent event{"error", "/tmp/Bühne/a.mp4", std::nullopt, detail};  // one member absent
  emitEventEncodedBy(event, outOfMemory);
  emitEventEncodedBy({"error", std::nullopt, std::nullopt, "\xC3("}, outOfMemory);
  emitEvent({"error", std::nullopt, std::nullopt, "\xC3("});
  EXPECT_EQ(out.text(), event.encode() + "\n");  // the two refused ones on standard error only
  EXPECT_THAT(err.text(), ::testing::MatchesRegex("(Failed to encode support recording event: [^\n]+\n){2}"));
}

// Guards against lines interleaving, as lines longer than a pipe's atomic write size can, and against a
// line garbled when a signal interrupts its write half way (a pipe holds less than one line).
TEST(EmitEventTest, LinesStayWholeUnderConcurrentWritersAndSignals) {
  testing::OutputCapture out{STDOUT_FILENO};
  // Into a pipe that holds less than one line, which cat copies to the capture.
  FILE* cat = popen("cat", "w");
  ASSERT_NE(cat, nullptr);
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(cat), STDOUT_FILENO);
  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};  // no SA_RESTART: an interrupted write returns what it wrote
  sigaction(SIGUSR1, &interrupt, nullptr);
  std::atomic<int> running = 8;
  std::vector<std::thread> threads;
  for (char letter = 'a'; letter < 'i'; ++letter) {
    threads.emplace_back([letter, &running] {
      const std::string detail(100000 + letter * 97, letter);
      for (int i = 0; i < 10; ++i) emitEvent({"error", std::nullopt, std::nullopt, detail});
      --running;
    });
  }
  for (; running > 0; std::this_thread::sleep_for(std::chrono::microseconds(100)))
    for (auto& thread : threads) pthread_kill(thread.native_handle(), SIGUSR1);
  for (auto& thread : threads) thread.join();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  pclose(cat);  // cat has copied everything once it ends
  std::istringstream lines(out.text());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const auto detail = SupportRecordingEvent::decode(line).detail.value();
    ASSERT_EQ(detail, std::string(100000 + detail[0] * 97, detail[0]));
  }
  EXPECT_EQ(count, 80);
}

// Guards against a line glued to one that a failed write cut short: the parent could read neither.
TEST(EmitEventTest, ALineCutShortIsEndedBeforeTheNextOne) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  const int capacity = fcntl(ends[1], F_GETPIPE_SZ);
  const std::string filler(std::size_t(capacity) - 10, 'x');
  ASSERT_EQ(write(ends[1], filler.data(), filler.size()), ssize_t(filler.size()));
  const int saved = dup(STDOUT_FILENO);
  dup2(ends[1], STDOUT_FILENO);
  // Two pages and 5 bytes: Linux tops up the pipe's last page with the 5, then has no room for the rest.
  emitEvent({"error", std::nullopt, std::nullopt, std::string(8192 + 5 - 31, 'a')});
  std::string drained(std::size_t(capacity), '\0');
  const auto first = read(ends[0], drained.data(), drained.size());
  emitEvent({"finished", std::nullopt, std::nullopt, std::nullopt});
  dup2(saved, STDOUT_FILENO);
  close(saved);
  char rest[64];
  const auto second = read(ends[0], rest, sizeof rest);
  close(ends[0]), close(ends[1]);
  EXPECT_EQ(first, capacity - 5);
  EXPECT_EQ(std::string(rest, std::size_t(std::max<ssize_t>(second, 0))), "\n{\"status\":\"finished\"}\n");
}

// Which bytes are valid at all is the event fuzz target's, judged by the JSON encoder.
TEST(SanitizeUtf8Test, ReplacesTheLongestBrokenPrefixOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> table[] = {
      {"a\xFF-", "a" + r + "-"}, {"\xE6\x98-", r + "-"},      {"\xE6\x98", r},
      {"\xC0\xAF", r + r},       {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF0\x9F\x98", r}};
  for (const auto& [input, output] : table) EXPECT_EQ(sanitizeUtf8(input), output);
  // The bounds of each lead byte's range and of the byte after it, inside, then outside.
  const std::string valid =
      "plain ä映😀\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
  EXPECT_EQ(sanitizeUtf8(valid + "\x80\xC1\xBF\xE0\x9F\xF0\x8F\xF5"), valid + r + r + r + r + r + r + r + r);
}

TEST(LocalizedDescriptionTest, IsTheMessageMadeReportable) {
  // Guards against an error event lost to encoding when a message quotes a path that is not UTF-8.
  const platform::PlatformError error("posix", 28, "Could not write /tmp/caf\xE9.mp4");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(error)), "Could not write /tmp/caf\xEF\xBF\xBD.mp4");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(42)), "An unknown error occurred.");
}

}  // namespace
}  // namespace quorvale::events

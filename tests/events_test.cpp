#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "platform/platform_error.h"
#include "support/output_capture.h"

namespace quorvale::events {
namespace {

using testing::OutputCapture;

// Encoding is checked line by line in the sessions of run_flow_test.cpp.
TEST(SupportRecordingEventTest, DecodingNeedsAStatusAndTakesNullAsAbsent) {
  EXPECT_EQ(
      SupportRecordingEvent::decode(R"({"status":"finished","path":null,"fileName":"a","detail":null})"),
      (SupportRecordingEvent{"finished", std::nullopt, "a", std::nullopt}));
  for (const char* bad : {R"({"status":null})", "{"})
    EXPECT_ANY_THROW(SupportRecordingEvent::decode(bad)) << bad;
  using ::testing::HasSubstr;
  using ::testing::ThrowsMessage;
  EXPECT_THAT([] { SupportRecordingEvent::decode(R"({"path":"/a.mp4"})"); },
              ThrowsMessage<std::invalid_argument>(HasSubstr("needs \"status\"")));
  EXPECT_THAT([] { SupportRecordingEvent::decode(R"(["status"])"); },
              ThrowsMessage<std::invalid_argument>(HasSubstr("must be a JSON object")));
}

TEST(EmitEventTest, WhatCannotBeEncodedIsReportedOnStandardErrorInstead) {
  OutputCapture out{STDOUT_FILENO};
  OutputCapture err{STDERR_FILENO};
  emitEvent({"error", std::nullopt, std::nullopt, "\xC3("});
  EXPECT_EQ(out.text(), "");
  EXPECT_THAT(err.text(), ::testing::MatchesRegex("Failed to encode support recording event: .+\n"));
}

// Guards against a writer that loops for ever once the parent stops reading.
// Guards against the one "error" line lost when memory runs out while it is encoded.
TEST(EmitEventTest, OutOfMemoryWhileEncodingStillWritesTheSameLine) {
  OutputCapture out{STDOUT_FILENO};
  OutputCapture err{STDERR_FILENO};
  std::string detail;
  while (detail.size() < 3000) detail += "a\"b\\c\nd\x1f/é ";  // longer than the line buffer
  const SupportRecordingEvent event{"error", "/tmp/Bühne/a.mp4", "a.mp4", detail};
  const auto outOfMemory = [](const SupportRecordingEvent&) -> std::string { throw std::bad_alloc(); };
  emitEventEncodedBy(event, outOfMemory);
  EXPECT_EQ(out.text(), event.encode() + "\n");
  EXPECT_EQ(err.text(), "");
  // Guards against the fallback writing bytes that the encoder refuses.
  emitEventEncodedBy({"error", std::nullopt, std::nullopt, "\xC3("}, outOfMemory);
  EXPECT_EQ(out.text(), event.encode() + "\n");
  EXPECT_NE(err.text(), "");
}

TEST(EmitEventTest, AParentThatStoppedReadingLosesTheLineOnly) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const int saved = dup(STDOUT_FILENO);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);  // as the program does
  dup2(ends[1], STDOUT_FILENO);
  emitEvent({"finished", "/a.mp4", "a.mp4", std::nullopt});
  dup2(saved, STDOUT_FILENO);
  std::signal(SIGPIPE, previous);
  close(saved);
  close(ends[1]);
}

// Guards against lines longer than a pipe's atomic write size interleaving.
TEST(EmitEventTest, LinesStayWholeUnderConcurrentWriters) {
  OutputCapture out{STDOUT_FILENO};
  std::vector<std::thread> threads;
  for (char letter = 'a'; letter < 'i'; ++letter) {
    threads.emplace_back([letter] {
      const std::string detail(10000 + letter * 97, letter);
      for (int i = 0; i < 50; ++i) emitEvent({"error", std::nullopt, std::nullopt, detail});
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 400u);
  for (const auto& line : lines) {
    const auto detail = SupportRecordingEvent::decode(line).detail.value();
    ASSERT_EQ(detail, std::string(10000 + detail[0] * 97, detail[0]));
  }
}

// Which sequences are valid is the JSON encoder's independent judgement.
TEST(SanitizeUtf8Test, KeepsExactlyWhatTheEncoderAccepts) {
  for (int a = 0x7F; a < 0x100; ++a) {
    for (int b = 0; b < 0x100; ++b) {
      for (const int c : {0x7F, 0x80, 0xBF, 0xC0}) {
        for (const std::size_t length : {2, 3, 4}) {
          const std::string bytes = std::string{char(a), char(b), char(c), '\x80'}.substr(0, length);
          bool valid = true;
          try {
            nlohmann::json(bytes).dump();
          } catch (const nlohmann::json::exception&) {
            valid = false;
          }
          ASSERT_EQ(sanitizeUtf8(bytes) == bytes, valid) << a << " " << b << " " << c << " " << length;
        }
      }
    }
  }
}

TEST(SanitizeUtf8Test, ReplacesTheLongestBrokenPrefixOnce) {
  const std::string r = "\xEF\xBF\xBD";
  // clang-format off
  const std::pair<std::string, std::string> table[] = {
      {"a\xFF-", "a" + r + "-"}, {"\xE6\x98-", r + "-"}, {"\xE6\x98", r}, {"\xC0\xAF", r + r},
      {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r}, {"\xF0\x9F\x98", r},
      {"plain ä映😀", "plain ä映😀"}};
  // clang-format on
  for (const auto& [input, output] : table) EXPECT_EQ(sanitizeUtf8(input), output);
}

// The catalogue's texts are checked where they are reported, in run_flow_test.cpp.
TEST(LocalizedDescriptionTest, IsTheMessageMadeReportable) {
  // Guards against an error event lost to encoding when a message quotes a path that is not UTF-8.
  const platform::PlatformError error("posix", 28, "Could not write /tmp/caf\xE9.mp4");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(error)), "Could not write /tmp/caf\xEF\xBF\xBD.mp4");
  EXPECT_EQ(localizedDescription(nullptr), "An unknown error occurred.");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(42)), "An unknown error occurred.");
}

}  // namespace
}  // namespace quorvale::events

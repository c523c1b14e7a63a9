#include <gtest/gtest.h>
#include <unistd.h>

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

TEST(SupportRecordingEventEncoding, StartedEventHasStatusPathFileNameInOrderAndPlainSlashes) {
  const SupportRecordingEvent event{"started", "/Users/a/Downloads/clip.mp4", "clip.mp4", std::nullopt};
  EXPECT_EQ(event.encode(),
            R"({"status":"started","path":"/Users/a/Downloads/clip.mp4","fileName":"clip.mp4"})");
}

TEST(SupportRecordingEventEncoding, ErrorWithoutLocationCarriesOnlyStatusAndDetail) {
  const SupportRecordingEvent event{"error", std::nullopt, std::nullopt, "Missing."};
  EXPECT_EQ(event.encode(), R"({"status":"error","detail":"Missing."})");
}

TEST(SupportRecordingEventEncoding, EscapesQuotesBackslashesAndControlCharactersOnOneLine) {
  const SupportRecordingEvent event{"error", std::nullopt, std::nullopt, "a\"b\\c\nd\re\tf\x01g"};
  const auto line = event.encode();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line, R"({"status":"error","detail":"a\"b\\c\nd\re\tf\u0001g"})");
}

TEST(SupportRecordingEventEncoding, WritesNonAsciiAsUtf8Bytes) {
  const SupportRecordingEvent event{"started", "/tmp/Bühne 映像.mp4", "Bühne 映像.mp4", std::nullopt};
  EXPECT_NE(event.encode().find("Bühne 映像.mp4"), std::string::npos);
  EXPECT_EQ(event.encode().find("\\u"), std::string::npos);
}

TEST(SupportRecordingEventEncoding, RejectsInvalidUtf8) {
  const SupportRecordingEvent event{"error", std::nullopt, std::nullopt, "bad \xFF byte"};
  EXPECT_THROW(event.encode(), nlohmann::json::exception);
}

TEST(SupportRecordingEventDecoding, TreatsMissingAndNullMembersAsAbsent) {
  EXPECT_EQ(SupportRecordingEvent::decode(R"({"status":"finished","path":null,"detail":null})"),
            (SupportRecordingEvent{"finished", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(SupportRecordingEvent::decode(R"({"fileName":"a.mp4","status":"started","path":"/a.mp4"})"),
            (SupportRecordingEvent{"started", "/a.mp4", "a.mp4", std::nullopt}));
}

TEST(SupportRecordingEventDecoding, RequiresStatus) {
  EXPECT_ANY_THROW(SupportRecordingEvent::decode(R"({"path":"/a.mp4"})"));
  EXPECT_ANY_THROW(SupportRecordingEvent::decode(R"({"status":null})"));
  EXPECT_ANY_THROW(SupportRecordingEvent::decode(R"(["status"])"));
}

TEST(SupportRecordingEventDecoding, RoundTripsEveryShape) {
  for (const auto& event : {SupportRecordingEvent{"started", "/a/b.mp4", "b.mp4", std::nullopt},
                            SupportRecordingEvent{"error", std::nullopt, std::nullopt, "x\ny\"z"},
                            SupportRecordingEvent{"error", "/é", "é", "détail"}}) {
    EXPECT_EQ(SupportRecordingEvent::decode(event.encode()), event);
  }
}

class EmitEventTest : public ::testing::Test {
 protected:
  OutputCapture out{STDOUT_FILENO};
  OutputCapture err{STDERR_FILENO};
};

TEST_F(EmitEventTest, WritesOneLineFeedTerminatedLine) {
  emitEvent({"finished", "/tmp/a.mp4", "a.mp4", std::nullopt});
  emitError("Boom.", "/tmp/a.mp4", "a.mp4");
  EXPECT_EQ(out.text(),
            "{\"status\":\"finished\",\"path\":\"/tmp/a.mp4\",\"fileName\":\"a.mp4\"}\n"
            "{\"status\":\"error\",\"path\":\"/tmp/a.mp4\",\"fileName\":\"a.mp4\",\"detail\":\"Boom.\"}\n");
  EXPECT_EQ(err.text(), "");
}

TEST_F(EmitEventTest, EncodingFailureWritesNothingToStandardOutputAndOneLineToStandardError) {
  emitEvent({"error", std::nullopt, std::nullopt, "\xC3("});
  EXPECT_EQ(out.text(), "");
  const auto lines = err.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Failed to encode support recording event: ", 0), 0u);
}

// Guards against the one "error" line lost when memory runs out while it is encoded.
TEST_F(EmitEventTest, OutOfMemoryWhileEncodingStillWritesTheSameLine) {
  std::string detail;
  while (detail.size() < 3000) detail += "a\"b\\c\nd\x1f/é ";  // longer than the line buffer
  const SupportRecordingEvent event{"error", "/tmp/Bühne/a.mp4", "a.mp4", detail};
  emitEventEncodedBy(event, [](const SupportRecordingEvent&) -> std::string { throw std::bad_alloc(); });
  EXPECT_EQ(out.text(), event.encode() + "\n");
  EXPECT_EQ(err.text(), "");
}

// Guards against lines longer than a pipe's atomic write size interleaving.
TEST_F(EmitEventTest, LinesStayWholeUnderManyConcurrentWriters) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string detail(10000 + t * 97, static_cast<char>('a' + t));
      for (int i = 0; i < kPerThread; ++i) emitEvent({"error", std::nullopt, std::nullopt, detail});
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const auto& line : lines) {
    const auto event = SupportRecordingEvent::decode(line);
    ASSERT_TRUE(event.detail);
    EXPECT_EQ(event.detail->find_first_not_of(event.detail->front()), std::string::npos);
  }
}

TEST(SanitizeUtf8, KeepsValidTextAndReplacesEachBrokenSequence) {
  EXPECT_EQ(sanitizeUtf8("plain /path/ä映😀"), "plain /path/ä映😀");
  EXPECT_EQ(sanitizeUtf8("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(sanitizeUtf8("\xE6\x98"), "\xEF\xBF\xBD");                              // truncated at the end
  EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

struct ErrorText {
  SupportRecordingError error;
  std::string text;
};

class SupportRecordingErrorText : public ::testing::TestWithParam<ErrorText> {};

TEST_P(SupportRecordingErrorText, DescriptionIsExactAndOtherTextsAbsent) {
  const auto& [error, text] = GetParam();
  EXPECT_EQ(error.errorDescription(), text);
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(error)), text);
  EXPECT_FALSE(error.failureReason());
  EXPECT_FALSE(error.recoverySuggestion());
  EXPECT_FALSE(error.helpAnchor());
}

using E = SupportRecordingError;
INSTANTIATE_TEST_SUITE_P(
    Catalogue, SupportRecordingErrorText,
    ::testing::Values(
        ErrorText{E::invalidWindowID(""), "Could not read the Quorvale window identifier: ."},
        ErrorText{E::invalidWindowID(" 4\"2\n"), "Could not read the Quorvale window identifier:  4\"2\n."},
        ErrorText{E::outputDirectoryMissing("/nope"), "The Downloads folder could not be found: /nope."},
        ErrorText{E::outputAlreadyExists("/tmp/a.mp4"), "A recording already exists at /tmp/a.mp4."},
        ErrorText{
            E::windowNotFound(7),
            "Could not find the Quorvale window to record. Make sure the app window is open and visible."},
        ErrorText{
            E::windowNotFound(4294967295u),
            "Could not find the Quorvale window to record. Make sure the app window is open and visible."},
        ErrorText{E::missingArguments(), "Missing the output path or app window identifier."},
        ErrorText{E::unsupportedMacOS(), "Support recording needs macOS 15 or newer on this device."},
        ErrorText{E::recorderNotReady(), "The support recorder is not ready yet."},
        ErrorText{E::screenCapturePermissionDenied(),
                  "Screen recording permission is required. Allow Quorvale in System Settings > Privacy & "
                  "Security > Screen & System Audio Recording, then try again."},
        ErrorText{E::startTimedOut(),
                  "Timed out while starting support recording. Approve the macOS screen recording prompt and "
                  "try again."},
        ErrorText{E::stopTimedOut(), "Timed out while finishing support recording."}));

TEST(LocalizedDescription, IsThePlatformErrorsOwnMessage) {
  const platform::PlatformError error("x11", 3, "The recorded window was closed.");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(error)), "The recorded window was closed.");
}

// Guards against an error event lost to encoding when a message quotes a path that is not UTF-8.
TEST(LocalizedDescription, ReplacesBytesThatAreNotUtf8SoTheEventCanBeWritten) {
  const platform::PlatformError error("posix", 28, "Could not write the movie file /tmp/caf\xE9.mp4");
  const std::string detail = localizedDescription(std::make_exception_ptr(error));
  EXPECT_EQ(detail, "Could not write the movie file /tmp/caf\xEF\xBF\xBD.mp4");
  EXPECT_NO_THROW(SupportRecordingEvent({"error", std::nullopt, std::nullopt, detail}).encode());
}

}  // namespace
}  // namespace quorvale::events

#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::events {

// One line of the process's report to its parent.
struct SupportRecordingEvent {
  std::string status;
  std::optional<std::string> path;
  std::optional<std::string> fileName;
  std::optional<std::string> detail;

  // Compact JSON, members in declaration order, absent ones left out. Throws
  // nlohmann::json's type_error when a text is not valid UTF-8.
  std::string encode() const;
  // Requires "status"; a missing or null optional member is absent. Throws on malformed input.
  static SupportRecordingEvent decode(std::string_view json);

  friend bool operator==(const SupportRecordingEvent&, const SupportRecordingEvent&) = default;
};

// Writes the event and a line feed to standard output as one whole line.
// Callable from any thread; never throws and never ends the process. When the
// event cannot be encoded, standard error gets one line saying why; when only
// memory is short, the line is written without allocating.
void emitEvent(const SupportRecordingEvent& event) noexcept;
// emitEvent with another encoder in place of encode(), to test its failures.
void emitEventEncodedBy(const SupportRecordingEvent& event,
                        std::string (*encode)(const SupportRecordingEvent&)) noexcept;

// Where that one line goes: standard error unless the process keeps its own
// standard error elsewhere (descriptor 2 then silences the libraries' messages).
void setErrorDescriptor(int fd) noexcept;

// When even the event cannot be made, the last-resort line for want of memory stands in.
void emitError(const std::string& message, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept;
// The same with the failure's localizedDescription as the message.
void emitError(const std::exception_ptr& error, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept;

// The last resort: an "error" line made while memory is still there, for a run
// that fails with no memory to make one or no thread left to make it on (an
// exception escaping a backend thread, a library's out-of-memory abort).
enum class LastResortCause { outOfMemory, unexpectedStop };

// The location the last-resort line carries from now on (none before).
// Callable from any thread.
void prepareLastResortError(const std::string& path, const std::string& fileName);
// Writes the last-resort line unless a "finished" or "error" line went out
// already, after the line another thread may be writing; a later emitEvent then
// waits for the end instead of writing. Async-signal-safe, for the process's last
// moments: a signal handler or std::terminate calls it and then ends the process.
// A second caller on another thread waits here for the first to end it.
void emitLastResortError(LastResortCause cause) noexcept;

// Replaces every invalid UTF-8 sequence with U+FFFD, so that text taken from
// the command line or the file system can always be reported.
std::string sanitizeUtf8(std::string_view bytes);

}  // namespace quorvale::events

#pragma once

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
// event cannot be encoded, standard error gets one line saying why.
void emitEvent(const SupportRecordingEvent& event) noexcept;

// Where that one line goes: standard error unless the process keeps its own
// standard error elsewhere (descriptor 2 then silences the libraries' messages).
void setErrorDescriptor(int fd) noexcept;

void emitError(const std::string& message, const std::optional<std::string>& path,
               const std::optional<std::string>& fileName) noexcept;

// Replaces every invalid UTF-8 sequence with U+FFFD, so that text taken from
// the command line or the file system can always be reported.
std::string sanitizeUtf8(std::string_view bytes);

}  // namespace quorvale::events

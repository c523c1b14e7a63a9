// Event encoding: one line of valid UTF-8 JSON that decodes to the same record,
// or a refusal only when some text is not valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "events/support_recording_event.h"

using quorvale::events::sanitizeUtf8;
using quorvale::events::SupportRecordingEvent;

namespace {

// Splits the input at 0x00 bytes into up to four fields; a field starting
// with 0x01 is absent.
std::optional<std::string> field(std::string_view& rest, bool& any) {
  const auto end = rest.find('\0');
  std::string_view piece = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  any = any || !piece.empty();
  if (!piece.empty() && piece[0] == '\x01') return std::nullopt;
  return std::string(piece);
}

void check(const SupportRecordingEvent& event) {
  std::string line;
  try {
    line = event.encode();
  } catch (...) {
    const bool invalid = sanitizeUtf8(event.status) != event.status ||
                         (event.path && sanitizeUtf8(*event.path) != *event.path) ||
                         (event.fileName && sanitizeUtf8(*event.fileName) != *event.fileName) ||
                         (event.detail && sanitizeUtf8(*event.detail) != *event.detail);
    if (!invalid) std::abort();
    return;
  }
  if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) std::abort();
  if (sanitizeUtf8(line) != line) std::abort();
  if (SupportRecordingEvent::decode(line) != event) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  bool any = false;
  auto status = field(rest, any);
  SupportRecordingEvent event{status.value_or(""), field(rest, any), field(rest, any), field(rest, any)};
  check(event);
  // Texts made reportable always encode.
  SupportRecordingEvent clean{sanitizeUtf8(event.status),
                              event.path ? std::optional(sanitizeUtf8(*event.path)) : std::nullopt,
                              event.fileName ? std::optional(sanitizeUtf8(*event.fileName)) : std::nullopt,
                              event.detail ? std::optional(sanitizeUtf8(*event.detail)) : std::nullopt};
  try {
    clean.encode();
  } catch (...) {
    std::abort();
  }
  check(clean);
  return 0;
}

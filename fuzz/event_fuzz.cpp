// Event encoding: one line of JSON that decodes to the same record, refused
// only when a text is not valid UTF-8; sanitizeUtf8 always makes it encodable.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "events/support_recording_event.h"

using quorvale::events::sanitizeUtf8;
using quorvale::events::SupportRecordingEvent;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::optional<std::string> texts[4];
  for (auto& text : texts) {
    if (&text == texts || in.ConsumeBool()) text = in.ConsumeRandomLengthString();
  }
  const bool repaired = in.ConsumeBool();
  bool valid = true;
  for (auto& text : texts) {
    if (text && repaired) text = sanitizeUtf8(*text);
    if (text && sanitizeUtf8(*text) != *text) valid = false;
  }
  if (repaired && !valid) std::abort();  // repairing is idempotent
  const SupportRecordingEvent event{*texts[0], texts[1], texts[2], texts[3]};
  std::string line;
  try {
    line = event.encode();
  } catch (...) {
    if (valid) std::abort();
    return 0;
  }
  if (!valid || line.find_first_of("\r\n") != std::string::npos || sanitizeUtf8(line) != line ||
      SupportRecordingEvent::decode(line) != event) {
    std::abort();
  }
  return 0;
}

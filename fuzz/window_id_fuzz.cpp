// The window-identifier parser against an independent model built on std::from_chars.
#include <charconv>
#include <cstdlib>

#include "recorder/window_id.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view digits = text;
  const bool negative = digits.starts_with('-');
  if (negative || digits.starts_with('+')) digits.remove_prefix(1);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  std::optional<std::uint32_t> expected;
  // from_chars takes no sign for an unsigned type and says when the value does not fit.
  if (error == std::errc() && end == digits.data() + digits.size() && !(negative && value != 0))
    expected = value;
  if (quorvale::recorder::parseWindowID(text) != expected) std::abort();
  return 0;
}

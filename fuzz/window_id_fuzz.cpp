// The window-identifier parser against an independent model of its rules.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "recorder/window_id.h"

namespace {

std::optional<std::uint32_t> model(std::string text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.erase(0, 1);
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const auto first = text.find_first_not_of('0');
  const std::string digits = first == std::string::npos ? "0" : text.substr(first);
  // Compare as decimal strings: no arithmetic shared with the parser.
  if (digits.size() > 10 || (digits.size() == 10 && digits > "4294967295")) return std::nullopt;
  if (negative && digits != "0") return std::nullopt;
  return static_cast<std::uint32_t>(std::stoull(digits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (quorvale::recorder::parseWindowID(text) != model(text)) std::abort();
  return 0;
}

#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvale::recorder {

// Decimal, unsigned 32-bit: an optional "+" or "-", then ASCII digits only.
// After "-" only zero is representable.
std::optional<std::uint32_t> parseWindowID(std::string_view text);

}  // namespace quorvale::recorder

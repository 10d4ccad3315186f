// Decimal reading of version texts as the version check compares them.
#pragma once

#include <cstdint>
#include <string_view>

namespace tr350 {

// Skips leading white space, takes an optional sign and the digits up to the first non-digit;
// 0 when there are no digits. Values beyond the 64-bit range saturate.
std::int64_t ParseDecimal64(std::u16string_view text);

}  // namespace tr350

// Text conversions at the platform's boundary: the tool keeps IDs, paths and window texts in
// UTF-16; Linux hands out and takes UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tr350::platform {

enum class InvalidText {
  kReject,   // nullopt for text that is not well-formed
  kReplace,  // each ill-formed sequence (or lone surrogate) becomes U+FFFD
};

// UTF-8 to UTF-16. Overlong forms, surrogates and values above U+10FFFF are ill-formed.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text, InvalidText policy);

// UTF-16 to UTF-8. A lone surrogate is ill-formed.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text, InvalidText policy);

}  // namespace tr350::platform

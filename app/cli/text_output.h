// Text for the terminal and for JSON: the tool's UTF-16 texts as UTF-8, and JSON strings.
#pragma once

#include <string>
#include <string_view>

namespace tr350::cli {

// UTF-16 to UTF-8; lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view utf8);
inline std::string JsonString(std::u16string_view text) {
  return JsonString(ToUtf8(text));
}

}  // namespace tr350::cli

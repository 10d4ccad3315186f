// Text for the terminal and for JSON.
#include "app/cli/text_output.h"

#include <cstdio>

#include "platform/text.h"

namespace tr350::cli {

std::string ToUtf8(std::u16string_view text) {
  return platform::Utf16ToUtf8(text, platform::InvalidText::kReplace).value_or("");
}

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(ch);
    }
  }
  return out + "\"";
}

}  // namespace tr350::cli

// Escaping of arguments for messages.
#include "app/printable_text.h"

#include <cstdint>
#include <cstdio>

namespace tr350 {
namespace {

// The length of the valid UTF-8 sequence at the start of `text` (shortest form, no surrogates,
// at most U+10FFFF), or 0; its code point in `codePoint`.
std::size_t Utf8Sequence(std::string_view text, char32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool IsControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::string PrintableArgument(std::string_view argument) {
  std::string out;
  while (!argument.empty()) {
    char32_t codePoint = 0;
    std::size_t length = Utf8Sequence(argument, codePoint);
    if (length != 0 && !IsControl(codePoint)) {
      if (codePoint == U'\\') out.push_back('\\');
      out.append(argument.substr(0, length));
    } else {
      if (length == 0) length = 1;  // an invalid byte on its own
      for (std::size_t i = 0; i < length; ++i) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<std::uint8_t>(argument[i]));
        out += escaped;
      }
    }
    argument.remove_prefix(length);
  }
  return out;
}

}  // namespace tr350

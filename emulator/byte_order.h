// Byte order as the reader's firmware handles it: big-endian command fields and identification
// words, little-endian header words and string descriptors. The emulator's own, kept apart from
// the tool's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tr350::emulator {

constexpr std::uint16_t LoadBe16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

constexpr std::uint32_t LoadBe32(std::span<const std::uint8_t> b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

constexpr void StoreLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void StoreBe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

}  // namespace tr350::emulator

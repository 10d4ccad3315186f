// The tool's 16-bit fields in either byte order: the image header's signature, USB IDs and update
// counter are little-endian, its page counts and the configuration block's sums big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tr350 {

constexpr std::uint16_t LoadLe16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

constexpr std::uint16_t LoadBe16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

constexpr void StoreLe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void StoreBe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace tr350

// The firmware image record: header, FW1 and FW2 code sections and configuration block, the
// parser that splits an image into it, and the operations that prepare what is written to a reader.
// The reader's firmware storage holds the same layout from address 0.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tr350 {

inline constexpr std::size_t kImageHeaderSize = 512;
inline constexpr std::size_t kConfigBlockSize = 512;
inline constexpr std::size_t kImagePageSize = 256;
// A resource of exactly this size supplies only the first half of a header.
inline constexpr std::size_t kShortHeaderSize = 256;

inline constexpr std::uint16_t kHeaderSignature = 0x2A7E;

// Header field offsets. The signature, USB identifiers and update counter are little-endian; the
// page counts are big-endian.
inline constexpr std::size_t kHeaderSignatureOffset = 0;
inline constexpr std::size_t kHeaderVendorIdOffset = 2;
inline constexpr std::size_t kHeaderProductIdOffset = 4;
inline constexpr std::size_t kHeaderFw1PagesOffset = 10;
inline constexpr std::size_t kHeaderFw2PagesOffset = 12;
inline constexpr std::size_t kHeaderUpdateCounterOffset = 14;
inline constexpr std::size_t kHeaderStringsOffset = 16;

// Configuration block field offsets.
inline constexpr std::size_t kConfigCounterOffset = 0;   // little-endian copy of the counter
inline constexpr std::size_t kConfigChecksumOffset = 2;  // big-endian header checksum
inline constexpr std::size_t kConfigVersionsOffset = 6;  // FW1 then FW2 packed version fields
inline constexpr std::size_t kConfigInfoWord2Offset = 8;

struct FirmwareImage {
  std::array<std::uint8_t, kConfigBlockSize> configBlock;
  std::array<std::uint8_t, kImageHeaderSize> header;
  std::vector<std::uint8_t> fw1Data;  // empty: no section
  std::vector<std::uint8_t> fw2Data;  // empty: no section
  std::uint32_t fw1Size = 0;          // recomputed from the header whenever used
  std::uint32_t fw2Size = 0;

  // A new record is reset: no sections, configuration block all 0xFF, the built-in header.
  FirmwareImage();
};

// Resets the record: both sections freed, sizes 0, configBlock 0xFF, header = DefaultHeader().
void ResetImage(FirmwareImage& image);

// The built-in default header: signature 0x2A7E, the TR350's USB identity, both page counts 0.
const std::array<std::uint8_t, kImageHeaderSize>& DefaultHeader();

// Splits a complete image into the record. On failure the record is unchanged and nothing past
// the end of `bytes` is read.
bool ParseImage(FirmwareImage& image, std::span<const std::uint8_t> bytes);

std::uint32_t Fw1Size(FirmwareImage& image);
std::uint32_t Fw2Size(FirmwareImage& image);

// Section sizes in bytes that a header announces (page counts × 256), without storing them.
std::uint32_t Fw1SizeOf(std::span<const std::uint8_t, kImageHeaderSize> header);
std::uint32_t Fw2SizeOf(std::span<const std::uint8_t, kImageHeaderSize> header);

// configBlock := 0xFF, then the bytes of `source` (at most 512).
void SetConfigBlock(FirmwareImage& image, std::span<const std::uint8_t> source);

// Copies the 512 configuration bytes; false (nothing copied) when the destination is null or
// shorter than a block.
bool CopyConfigBlockTo(const FirmwareImage& image, std::span<std::uint8_t> destination);

// The 16-bit wrap-around sum of the header bytes, stored big-endian at configBlock[2..3].
void UpdateHeaderChecksum(FirmwareImage& image);

// Writes a version text packed two hex digits per byte into the configuration block: kind 1 at
// byte 6, kind 2 right after the FW1 field. Returns false and writes nothing when the kind is not
// 1 or 2 or the field would not fit inside the block.
bool PutVersionField(FirmwareImage& image, int kind, std::u16string_view text);

// fw1Data := a copy of `bytes`; false (nothing changed) when `bytes` is null or empty.
bool ReplaceFw1(FirmwareImage& image, std::span<const std::uint8_t> bytes);

}  // namespace tr350

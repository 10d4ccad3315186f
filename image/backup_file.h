// The firmware backup of a reader (header, FW1, FW2 and configuration block read back from address
// 0) and its file format: the writer, the validating parser and the content check.
//
// The file is text, versioned by its first line. Example (values shortened):
//
//   TR350 firmware backup 1
//   created: 2024-05-01T12:34:56Z
//   usb-port: usb1/1-2
//   disk-node: /dev/sg2
//   vendor-id: 3c51
//   product-id: 4d08
//   flash-part: W25Q40
//   jedec-id: ef4013
//   update-counter: 7
//   content-size: 62976
//   fw1-pages: 100
//   fw2-pages: 142
//   crc32: 1c291ca3
//   content:
//   00000000: 7e2a513c084d000000000064008e070004030904000000000000000000000000
//   00000020: ...
//
// - One `key: value` line per field, in any order, each key once, all before `content:`. Keys
//   this version does not know are ignored, so that a later writer may add some.
// - created: UTC, ISO 8601 to the second. usb-port, disk-node, flash-part: free text, escaped
//   (`\\` for a backslash, `\xHH` for control characters) so that every value stays on its line.
//   flash-part is "sectors" and jedec-id "none" for a reader whose storage is reached as sectors.
// - vendor-id, product-id (hex) and update-counter (decimal) repeat the content's own header.
//   content-size is 512 + fw1-pages * 256 + fw2-pages * 256 + 512, the page counts being those of
//   the header. crc32 is the CRC-32 (IEEE 802.3, as zip) of the content, 8 hex digits.
// - content: 32 bytes per line as lowercase hex, each line led by its address (8 hex digits);
//   the last line may be shorter. Upper-case digits and CRLF line ends are accepted when read.
//
// The parser accepts only a backup that can be written back to a supported reader: signature
// 0x2A7E, USB identity 3C51:4D08 in the header and recorded alike, the sizes and the checksum
// agreeing. Files over kMaxBackupFileSize are refused before they are read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/firmware_image.h"

namespace tr350 {

inline constexpr std::string_view kBackupMagic = "TR350 firmware backup";
inline constexpr int kBackupFormatVersion = 1;
inline constexpr std::uint16_t kBackupVendorId = 0x3C51;
inline constexpr std::uint16_t kBackupProductId = 0x4D08;
inline constexpr std::size_t kBackupBytesPerLine = 32;

// The largest content a header can announce (both page counts 0xFFFF).
inline constexpr std::size_t kMaxBackupContentSize =
    kImageHeaderSize + 2 * std::size_t{0xFFFF} * kImagePageSize + kConfigBlockSize;
// Room for the largest content as hex lines plus a generous text header; about 76 MiB.
inline constexpr std::size_t kMaxBackupFileSize =
    kMaxBackupContentSize / kBackupBytesPerLine * 76 + 64 * 1024;

// A value, or one sentence saying why there is none.
template <typename T>
struct OrError {
  std::optional<T> value;  // set on success
  std::string error;       // set on failure
  explicit operator bool() const { return value.has_value(); }
};

struct Backup {
  std::chrono::sys_seconds created{};    // supplied by the caller: no clock in here
  std::string usbPort;                   // the reader's USB port or instance id
  std::string diskNode;                  // the node the reader was reached through
  std::string flashPart;                 // the flash part's name, or "sectors"
  std::optional<std::uint32_t> jedecId;  // none for a reader reached as sectors
  std::vector<std::uint8_t> content;     // from address 0: header, FW1, FW2, configuration block

  bool operator==(const Backup&) const = default;
};

// What the content's header says; the USB ids and counter are little-endian, the pages big-endian.
struct BackupHeaderFields {
  std::uint16_t signature = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t fw1Pages = 0;
  std::uint16_t fw2Pages = 0;
  std::uint16_t updateCounter = 0;
};

// nullopt when the content is shorter than a header.
std::optional<BackupHeaderFields> ReadHeaderFields(std::span<const std::uint8_t> content);

// The content size the header's page counts announce, configuration block included.
std::size_t AnnouncedContentSize(const BackupHeaderFields& fields);

// CRC-32 (IEEE 802.3, reflected, as zip and PNG).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// Empty when `content` is a backup that may be written back: signature, the supported USB
// identity, and a size equal to what the page counts announce. Otherwise the reason.
std::string ValidateBackupContent(std::span<const std::uint8_t> content);

// The file text. Writes any content as it is; ParseBackup refuses what ValidateBackupContent does.
std::string FormatBackup(const Backup& backup);

// The backup a file's text holds, every field and the content checked.
OrError<Backup> ParseBackup(std::string_view text);

// "2024-05-01T12:34:56Z" and back; the year must have four digits.
std::string FormatUtc(std::chrono::sys_seconds time);
std::optional<std::chrono::sys_seconds> ParseUtc(std::string_view text);

}  // namespace tr350

// What a reader's firmware storage holds, built from the device's side: the 512-byte header with
// the reader's USB identity and the section page counts, then the FW1 and FW2 code sections with
// the build stamps the firmware carries. Also an erased storage, and loading content into a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/reader.h"

namespace tr350::emulator {

inline constexpr std::size_t kFirmwareHeaderSize = 512;
inline constexpr std::size_t kFirmwarePageSize = 256;
inline constexpr std::uint16_t kFirmwareSignature = 0x2A7E;
inline constexpr std::uint16_t kReaderUsbVendorId = 0x3C51;
inline constexpr std::uint16_t kReaderUsbProductId = 0x4D08;

inline constexpr std::string_view kFw1Marker = "USB 3.0 SD Card Reader";
inline constexpr std::string_view kFw2Marker = "Lightning SD Card Reader";
// How much of a stamp, from the marker's first byte, names the build.
inline constexpr std::size_t kFw1StampWindow = 52;
inline constexpr std::size_t kFw2StampWindow = 68;

// The build stamp a code section carries:
//   FW1 "<marker>_<chip>_<build>_<date>_<time>_<tail>", NUL-terminated;
//   FW2 "<marker>_<chip>_<build>_<date>_<time><tail>", then zero bytes to the end of its window.
// With the default chip and build, FW1's window ends right after <time> and FW2's text is 66
// characters long.
struct VersionStamp {
  std::string chip = "RZ6104";
  std::string build = "T350B017";
  std::string date;  // YYYYMMDD
  std::string time;  // HHMM
  std::string tail;  // FW1: the field after <time>; FW2: 12 hex digits right after <time>
};

// "YYYYMMDDHHMM" split into a stamp with the default chip, build and tail of that section.
VersionStamp Fw1Stamp(std::string_view version);
VersionStamp Fw2Stamp(std::string_view version);

// The stamp text as it lies in the section, without the zero bytes that follow it.
std::string Fw1StampText(const VersionStamp& stamp);
std::string Fw2StampText(const VersionStamp& stamp);

struct FirmwareContentSpec {
  std::uint16_t signature = kFirmwareSignature;
  std::uint16_t usbVendorId = kReaderUsbVendorId;
  std::uint16_t usbProductId = kReaderUsbProductId;
  std::uint16_t updateCounter = 1;
  // The USB string descriptors the header carries (language 0x0409 first).
  std::u16string manufacturer = u"TR350";
  std::u16string product = u"TR350 SD Card Reader";
  std::u16string serialNumber = u"000000350001";
  std::uint16_t fw1Pages = 100;
  std::uint16_t fw2Pages = 142;
  // None: a section without a stamp.
  std::optional<VersionStamp> fw1Stamp = Fw1Stamp("201703240218");
  std::optional<VersionStamp> fw2Stamp = Fw2Stamp("201705170241");
  // Where each stamp starts inside its section; moved back when the section is too short, left
  // out when the section cannot hold it at all.
  std::uint32_t fw1StampOffset = 0x0A40;
  std::uint32_t fw2StampOffset = 0x1C80;
  // Seeds the code bytes around the stamps, so that two builds differ everywhere.
  std::uint32_t codeSeed = 1;
  // A release image (header, FW1, FW2, configuration block) the reader was programmed with; when
  // given, its sections and configuration block replace the generated code, the page counts and
  // the stamps' placement, and the stamps' versions are packed into the configuration block.
  std::vector<std::uint8_t> release;
};

// Header, FW1 and FW2: 512 + (fw1Pages + fw2Pages) * 256 bytes; with a release image also the
// configuration block after them. Pure; thread-safe.
std::vector<std::uint8_t> BuildFirmwareContent(const FirmwareContentSpec& spec);

// Erased storage: every byte 0xFF.
std::vector<std::uint8_t> BlankFirmwareContent(std::size_t size);

// Writes `content` into the reader's firmware storage from flash address 0 or sector 0, bypassing
// the bus. False when the reader has no storage. The storage must be large enough to hold it.
bool InstallFirmwareContent(Reader& reader, std::span<const std::uint8_t> content);

}  // namespace tr350::emulator

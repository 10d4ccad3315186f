// The record of one found reader. A plain fixed-size record, copied by value into every command;
// it owns nothing but its mutex handle, which the device table closes.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "platform/platform.h"

namespace tr350 {

struct FlashPartDescriptor;  // the flash part table's record (transport/flash_part_table.h)

inline constexpr std::size_t kDeviceTextLength = 260;  // UTF-16 code units, terminator included

// Access modes: how the reader's firmware storage is reached.
inline constexpr std::int32_t kAccessModeUnidentified = 0;
inline constexpr std::int32_t kAccessModeSerialFlash = 3;
inline constexpr std::int32_t kAccessModeStorageType3 = 4;  // not accessed
inline constexpr std::int32_t kAccessModeSectors = 7;
inline constexpr std::int32_t kAccessModeNotAccessed = 8;

struct DeviceEntry {
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint32_t firmwareVersion;
  std::uint16_t infoWord;
  std::uint8_t infoFlag0;
  std::uint8_t infoFlag1;
  std::uint8_t infoFlag2;
  std::uint8_t storageType;
  std::uint16_t infoWord2;
  std::uint8_t infoByte;
  std::uint8_t infoNibbleHigh;
  std::uint8_t infoNibbleLow;
  platform::MutexHandle accessMutex;
  char16_t parentInstanceId[kDeviceTextLength];
  char16_t usbInstanceId[kDeviceTextLength];
  char16_t diskInstanceId[kDeviceTextLength];
  char16_t diskPath[kDeviceTextLength];
  char16_t usbDescription[kDeviceTextLength];
  char16_t diskDescription[kDeviceTextLength];
  const FlashPartDescriptor* flashPart;
  std::int32_t flashPartIndex;
  std::int32_t accessMode;
  std::int32_t hubNumber;
  std::int32_t portNumber;
  std::uint32_t flashId;
  char16_t driveLetters[32];  // not terminated; driveLetterCount are valid
  std::int32_t driveLetterCount;
  std::int32_t tableIndex;
};

static_assert(std::is_trivially_copyable_v<DeviceEntry>);
static_assert(std::is_standard_layout_v<DeviceEntry>);

// A zero-filled record, as every record starts.
inline DeviceEntry MakeEmptyDeviceEntry() {
  return DeviceEntry{};
}

// The text of a NUL-terminated field (up to its terminator, never past the array).
template <std::size_t N>
std::u16string_view FieldText(const char16_t (&field)[N]) {
  std::size_t n = 0;
  while (n < N && field[n] != u'\0') ++n;
  return {field, n};
}

// Stores text into a field, cut to leave room for the terminator; the rest is zero-filled.
template <std::size_t N>
void SetFieldText(char16_t (&field)[N], std::u16string_view text) {
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  for (std::size_t i = 0; i < N; ++i) field[i] = i < n ? text[i] : u'\0';
}

}  // namespace tr350

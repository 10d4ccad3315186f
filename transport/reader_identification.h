// Recognising a reader: the identification command (0xD0), the decoding of its 16-byte answer
// into the device record with the choice of access mode, and the controller reset (0xE2).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "records/device_entry.h"

namespace tr350 {

inline constexpr std::size_t kDeviceInfoLength = 16;

// CDB bytes 1-4 of the reset command; the reader's firmware resets only for this key.
inline constexpr std::array<std::uint8_t, 4> kResetKey = {0x54, 0x52, 0x33, 0x35};

// Reads the reader's 16-byte identification block into the start of out. Fails at once when
// diskPath is empty or out is null or shorter than 16 bytes; out is untouched on failure.
bool ReadDeviceInfo(DeviceEntry device, std::span<std::uint8_t> out);

// Fills the identification fields of entry that are still zero from the block (in block order),
// then returns ApplyStorageType's result.
bool ParseDeviceInfo(DeviceEntry& entry, std::span<const std::uint8_t, kDeviceInfoLength> block);

// Chooses the access mode from block byte 11, once per entry; a serial-flash reader also has its
// flash part identified. False for an entry already identified, an unknown storage type or a
// flash that is not recognised.
bool ApplyStorageType(DeviceEntry& entry, std::span<const std::uint8_t, kDeviceInfoLength> block);

// Restarts the reader's controller: reads the identification block to see that the reader
// answers, then sends the reset command with kResetKey. No reset is sent when the read fails.
bool ForceCpuReset(DeviceEntry device);

}  // namespace tr350

// The reader's firmware storage as 512-byte sectors (0xE5 read, 0xE6 write), for readers whose
// storage type is 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "records/device_entry.h"

namespace tr350 {

inline constexpr std::size_t kSectorSize = 512;
// One sector command moves at most 64 sectors.
inline constexpr std::size_t kSectorPieceBytes = 32768;

// Writes data at byteOffset in pieces of at most 32 KiB, holding the reader's mutex throughout.
// byteOffset and the length must be whole sectors within the 32-bit sector range; an empty
// write fails. A failing piece stops the write; the pieces before it stay written.
bool WriteSectors(DeviceEntry device, std::uint64_t byteOffset, std::span<const std::uint8_t> data);

// Reads out.size() bytes from byteOffset into out, with the same rules as WriteSectors. After a
// failure the pieces read before it stay in out.
bool ReadSectors(DeviceEntry device, std::uint64_t byteOffset, std::span<std::uint8_t> out);

}  // namespace tr350

// The serial-flash parts the reader may carry: one constant record per part, and the lookup from a
// read-identification reply to a record. Pure data; depends on nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tr350 {

// One flash command: opcode in the low byte (0 = the part lacks it), bytes sent (opcode plus
// address or parameters), bytes moved after them, and the status-poll interval in milliseconds.
struct FlashCommandSlot {
  std::uint32_t opcode;
  std::uint32_t commandLength;
  std::uint32_t dataLength;
  std::uint32_t interval;
};

// The protection slot keeps the slot layout; its last two fields hold status values.
struct FlashProtectSlot {
  std::uint32_t opcode;
  std::uint32_t commandLength;
  std::uint32_t protectValue;    // written by SetFlashProtection(true)
  std::uint32_t unprotectValue;  // written by SetFlashProtection(false)
};

struct FlashPartDescriptor {
  std::uint32_t pageSize;
  FlashCommandSlot writeEnable;        // 1
  FlashCommandSlot writeDisable;       // 2
  FlashCommandSlot readStatus;         // 3
  FlashCommandSlot writeStatus;        // 4
  FlashCommandSlot readData;           // 5
  FlashCommandSlot pageProgram;        // 6
  FlashCommandSlot readId;             // 7
  FlashCommandSlot sectorErase;        // 8, carried only
  FlashCommandSlot chipErase;          // 9; dataLength is an erase-progress scale, unused
  FlashCommandSlot blockErase;         // 10, carried only
  FlashCommandSlot fastRead;           // 11, carried only
  FlashCommandSlot partSpecific1;      // 12, carried only
  FlashCommandSlot partSpecific2;      // 13, carried only
  FlashCommandSlot secondReadId;       // 14, carried only
  FlashCommandSlot deepPowerDown;      // 15, carried only
  FlashCommandSlot releasePowerDown;   // 16, carried only
  FlashCommandSlot readSignature;      // 17, carried only
  FlashCommandSlot readManufacturer1;  // 18, carried only
  FlashCommandSlot readManufacturer2;  // 19, carried only
  FlashCommandSlot alternativeReadId;  // 20, carried only
  FlashCommandSlot writeStatusPrefix;  // 21: sent before every status write when not 0
  FlashProtectSlot protection;         // 22
  FlashCommandSlot reserved23;         // 23
  FlashCommandSlot reserved24;         // 24
  FlashCommandSlot readStatus2;        // 25, carried only
  FlashCommandSlot reserved26;         // 26
  FlashCommandSlot uniqueIdRead;       // 27, carried only
  std::uint32_t finalField;            // 0 in every record
};

static_assert(sizeof(FlashPartDescriptor) == 4 + 27 * 16 + 4);

inline constexpr std::size_t kFlashPartCount = 61;

// Positions 0..60; the order is also the probe order of the flash identification.
extern const std::array<FlashPartDescriptor, kFlashPartCount> FlashPartTable;

struct FlashPartMatch {
  const FlashPartDescriptor* part;  // null when not recognised
  std::int32_t position;            // -1 when not recognised
};

// Maps a read-identification reply (first reply byte in the low byte, missing bytes 0) and the
// opcode that produced it to a part. A fixed decision over the reply bytes; no table search.
FlashPartMatch FindFlashPart(std::uint32_t reply, std::uint32_t readIdOpcode);

}  // namespace tr350

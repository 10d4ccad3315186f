// The serial-flash layer for readers whose firmware lives in a flash chip behind the bridge: one
// function per flash command of the part's command set, the part identification, and the
// operations the workflows call (protection, chip erase with blank check, program, read).
#pragma once

#include <cstdint>
#include <span>

#include "records/device_entry.h"

namespace tr350 {

// ---- Command functions: one carrier command each (two for a status write with a prefix). They
// fail without sending when the device has no flash part or the part lacks the command, and
// take no lock: they run inside the locked operations below.

// Reads the slot's 2 to 4 reply bytes into the low bytes of id (first byte lowest); the higher
// bytes of id are left as they were.
bool FlashReadId(const DeviceEntry& device, std::uint32_t& id);
bool FlashWriteEnable(const DeviceEntry& device, bool enable);
// Sends the prefix command when the part has one, then the status write with statusBytes (as
// many as the command length leaves room for). A part without a status write succeeds at once.
bool FlashWriteStatus(const DeviceEntry& device, std::span<const std::uint8_t> statusBytes);
// Reads the slot's status bytes (one) into the start of out.
bool FlashReadStatus(const DeviceEntry& device, std::span<std::uint8_t> out);
bool FlashChipEraseCmd(const DeviceEntry& device);
bool FlashPageProgram(const DeviceEntry& device, std::uint32_t address,
                      std::span<const std::uint8_t> data);
bool FlashReadData(const DeviceEntry& device, std::uint32_t address, std::span<std::uint8_t> out);

// ---- Waiting for the chip

// What the chip is busy with decides how long it may take. A chip that never reports ready must
// not hang the tool with the reader's mutex held, so every wait is bounded on the platform clock:
// - after a chip erase: 10 x the part's erase poll interval, but at least 10 minutes. The slowest
//   listed part polls every 9,999 ms and a whole-chip erase takes tens of seconds, so no healthy
//   chip comes near the bound;
// - after a page program, a read or a status write: 10 x the interval, but at least 10 seconds,
//   against milliseconds that these take on any listed part.
enum class FlashBusy { kErasing, kShortCommand };

inline constexpr std::uint64_t kEraseReadyLimitFloorMs = 10ull * 60 * 1000;
inline constexpr std::uint64_t kShortReadyLimitFloorMs = 10ull * 1000;
inline constexpr std::uint64_t kReadyLimitIntervalFactor = 10;
// A status read may fail this many times in a row; the next failure ends the wait.
inline constexpr int kMaxStatusReadFailures = 10;

// The time a wait paced by intervalMs may last.
std::uint64_t ReadyWaitLimitMs(FlashBusy busy, std::uint32_t intervalMs);

// Polls the status every intervalMs until the busy bit clears. Fails at the eleventh failed
// status read in a row, or when the chip is still busy after ReadyWaitLimitMs. Takes no lock.
bool WaitFlashReady(const DeviceEntry& device, std::uint32_t intervalMs, FlashBusy busy);

// ---- Operations: each holds the reader's access mutex for its whole command sequence.

// Probes the chip with the read-identification command of every part-table record in table
// order; the first recognised answer sets the entry's flashPart, flashPartIndex and flashId, and
// id and index. On failure the entry is left as it was.
bool IdentifyFlash(DeviceEntry& entry, std::uint32_t& id, std::int32_t& index);

// Writes the part's protect (or unprotect) status value: write enable, status write, ready wait,
// write disable.
bool SetFlashProtection(DeviceEntry device, bool protect);

// Erases the whole chip and checks that the first min(256, pageSize) bytes read back blank.
bool EraseFlashChip(DeviceEntry device);

// Programs data at address page by page (min(256, pageSize) bytes), waiting for ready after each
// page. The range must lie within the 24-bit flash address space. An empty write succeeds.
bool ProgramFlash(DeviceEntry device, std::uint32_t address, std::span<const std::uint8_t> data);

// Reads out.size() bytes from address in the same pieces, waiting for ready after each piece.
bool ReadFlash(DeviceEntry device, std::uint32_t address, std::span<std::uint8_t> out);

}  // namespace tr350

// The serial-flash layer: flash commands built from the part's command slots and carried by
// 0xE7/0xE8, the ready wait, and the locked flash operations with their clean-up.
#include "transport/flash_commands.h"

#include <algorithm>
#include <array>
#include <limits>

#include "transport/flash_part_table.h"
#include "transport/pass_through.h"

namespace tr350 {
namespace {

constexpr std::uint8_t kStatusBusyBit = 0x01;
constexpr std::uint32_t kMaxPolls = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kMaxPieceBytes = 256;
constexpr std::uint64_t kFlashAddressSpace = std::uint64_t{1} << 24;  // 3 address bytes
constexpr std::size_t kMaxIdBytes = 4;
constexpr std::uint8_t kErasedByte = 0xFF;

// A flash command: the slot's opcode and its parameters in a zeroed 5-byte buffer, of which the
// slot's command length are sent (a longer read-identification slot sends zero padding).
class FlashCommand {
 public:
  FlashCommand(const FlashCommandSlot& slot, std::span<const std::uint8_t> parameters)
      : length_(std::min<std::size_t>(slot.commandLength, kBufferBytes)) {
    bytes_[0] = static_cast<std::uint8_t>(slot.opcode);
    const std::size_t n = std::min(parameters.size(), bytes_.size() - 1);
    std::ranges::copy(parameters.first(n), bytes_.begin() + 1);
  }
  // False when the slot is empty or longer than the buffer; such a command is never sent.
  static bool Usable(const FlashCommandSlot& slot) {
    return (slot.opcode & 0xFF) != 0 && slot.commandLength <= kBufferBytes;
  }
  std::span<const std::uint8_t> Sent() const { return std::span(bytes_).first(length_); }

 private:
  static constexpr std::size_t kBufferBytes = 5;
  std::array<std::uint8_t, kBufferBytes> bytes_{};
  std::size_t length_;
};

std::array<std::uint8_t, 3> AddressBytes(std::uint32_t address) {
  return {static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address)};
}

const FlashCommandSlot* UsableSlot(const DeviceEntry& device,
                                   FlashCommandSlot FlashPartDescriptor::*slot) {
  if (device.flashPart == nullptr) return nullptr;
  const FlashCommandSlot& s = device.flashPart->*slot;
  return FlashCommand::Usable(s) ? &s : nullptr;
}

// How a locked flash operation ended. A failure after a command that may have left the chip's
// write latch set is cleaned up with write disable.
enum class Outcome { kDone, kFailed, kFailedWriteDisable };

// The one clean-up path of the locked flash operations; runs while the lock is still held.
bool Finish(const DeviceEntry& device, Outcome outcome) {
  if (outcome == Outcome::kFailedWriteDisable) {
    FlashWriteEnable(device, false);  // best effort: the operation has failed either way
  }
  return outcome == Outcome::kDone;
}

bool HasPartAndPath(const DeviceEntry& device) {
  return !FieldText(device.diskPath).empty() && device.flashPart != nullptr;
}

// The piece size of program and read, and the length of the blank check.
std::uint32_t PieceBytes(const FlashPartDescriptor& part) {
  return std::min(kMaxPieceBytes, part.pageSize);
}

bool FitsAddressSpace(std::uint32_t address, std::size_t length) {
  return length <= kFlashAddressSpace && address <= kFlashAddressSpace - length;
}

Outcome RunProtection(const DeviceEntry& device, std::span<const std::uint8_t> statusBytes) {
  if (!FlashWriteEnable(device, true)) return Outcome::kFailed;
  if (!FlashWriteStatus(device, statusBytes)) return Outcome::kFailedWriteDisable;
  if (!WaitFlashReady(device, device.flashPart->writeStatus.interval, FlashBusy::kShortCommand)) {
    return Outcome::kFailedWriteDisable;
  }
  if (!FlashWriteEnable(device, false)) return Outcome::kFailed;
  return Outcome::kDone;
}

Outcome RunErase(const DeviceEntry& device, std::span<std::uint8_t> readBack) {
  const FlashPartDescriptor& part = *device.flashPart;
  // No write enable first: the command sequence of the reader has none here.
  if (!FlashChipEraseCmd(device)) return Outcome::kFailedWriteDisable;
  if (!WaitFlashReady(device, part.chipErase.interval, FlashBusy::kErasing)) {
    return Outcome::kFailedWriteDisable;
  }
  if (!FlashReadData(device, 0, readBack)) return Outcome::kFailed;
  if (!WaitFlashReady(device, part.readData.interval, FlashBusy::kShortCommand)) {
    return Outcome::kFailedWriteDisable;
  }
  const bool blank = std::ranges::all_of(readBack, [](std::uint8_t b) { return b == kErasedByte; });
  return blank ? Outcome::kDone : Outcome::kFailed;
}

// Program and read share one loop: a piece, then a ready wait paced by the command's interval.
template <typename Buffer, typename SendPiece>
Outcome RunPieces(const DeviceEntry& device, std::uint32_t address, Buffer buffer,
                  std::uint32_t intervalMs, Outcome onFailure, SendPiece sendPiece) {
  const std::size_t page = PieceBytes(*device.flashPart);
  for (std::size_t position = 0; position < buffer.size();) {
    const std::size_t piece = std::min(page, buffer.size() - position);
    const auto pieceAddress = static_cast<std::uint32_t>(address + position);
    if (!sendPiece(pieceAddress, buffer.subspan(position, piece)) ||
        !WaitFlashReady(device, intervalMs, FlashBusy::kShortCommand)) {
      NoteFailedAddress(device, pieceAddress);
      return onFailure;
    }
    position += piece;
  }
  return Outcome::kDone;
}

}  // namespace

bool FlashReadId(const DeviceEntry& device, std::uint32_t& id) {
  const FlashCommandSlot* slot = UsableSlot(device, &FlashPartDescriptor::readId);
  if (slot == nullptr || slot->dataLength == 0 || slot->dataLength > kMaxIdBytes) return false;
  std::array<std::uint8_t, kMaxIdBytes> reply{};
  const std::span<std::uint8_t> replyBytes = std::span(reply).first(slot->dataLength);
  if (!FlashCmdIn(device, FlashCommand(*slot, {}).Sent(), replyBytes)) return false;
  for (std::size_t i = 0; i < replyBytes.size(); ++i) {
    const unsigned shift = static_cast<unsigned>(8 * i);
    id = (id & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{replyBytes[i]} << shift);
  }
  return true;
}

bool FlashWriteEnable(const DeviceEntry& device, bool enable) {
  const FlashCommandSlot* slot = UsableSlot(
      device, enable ? &FlashPartDescriptor::writeEnable : &FlashPartDescriptor::writeDisable);
  if (slot == nullptr) return false;
  return FlashCmdOut(device, FlashCommand(*slot, {}).Sent(), {});
}

bool FlashWriteStatus(const DeviceEntry& device, std::span<const std::uint8_t> statusBytes) {
  if (device.flashPart == nullptr) return false;
  const FlashPartDescriptor& part = *device.flashPart;
  if ((part.writeStatus.opcode & 0xFF) == 0) return true;  // the part has no status to write
  if (!FlashCommand::Usable(part.writeStatus)) return false;
  if ((part.writeStatusPrefix.opcode & 0xFF) != 0) {
    if (!FlashCommand::Usable(part.writeStatusPrefix)) return false;
    if (!FlashCmdOut(device, FlashCommand(part.writeStatusPrefix, {}).Sent(), {})) return false;
  }
  return FlashCmdOut(device, FlashCommand(part.writeStatus, statusBytes).Sent(), {});
}

bool FlashReadStatus(const DeviceEntry& device, std::span<std::uint8_t> out) {
  const FlashCommandSlot* slot = UsableSlot(device, &FlashPartDescriptor::readStatus);
  if (slot == nullptr || slot->dataLength == 0 || slot->dataLength > out.size()) return false;
  return FlashCmdIn(device, FlashCommand(*slot, {}).Sent(), out.first(slot->dataLength));
}

bool FlashChipEraseCmd(const DeviceEntry& device) {
  const FlashCommandSlot* slot = UsableSlot(device, &FlashPartDescriptor::chipErase);
  if (slot == nullptr) return false;
  return FlashCmdOut(device, FlashCommand(*slot, {}).Sent(), {});
}

bool FlashPageProgram(const DeviceEntry& device, std::uint32_t address,
                      std::span<const std::uint8_t> data) {
  const FlashCommandSlot* slot = UsableSlot(device, &FlashPartDescriptor::pageProgram);
  if (slot == nullptr) return false;
  return FlashCmdOut(device, FlashCommand(*slot, AddressBytes(address)).Sent(), data);
}

bool FlashReadData(const DeviceEntry& device, std::uint32_t address, std::span<std::uint8_t> out) {
  const FlashCommandSlot* slot = UsableSlot(device, &FlashPartDescriptor::readData);
  if (slot == nullptr) return false;
  return FlashCmdIn(device, FlashCommand(*slot, AddressBytes(address)).Sent(), out);
}

std::uint64_t ReadyWaitLimitMs(FlashBusy busy, std::uint32_t intervalMs) {
  const std::uint64_t floor =
      busy == FlashBusy::kErasing ? kEraseReadyLimitFloorMs : kShortReadyLimitFloorMs;
  return std::max(floor, kReadyLimitIntervalFactor * intervalMs);
}

bool WaitFlashReady(const DeviceEntry& device, std::uint32_t intervalMs, FlashBusy busy) {
  if (!HasPartAndPath(device)) return false;
  platform::Clock& clock = platform::Current().Time();
  const std::uint64_t limit = ReadyWaitLimitMs(busy, intervalMs);
  const std::uint64_t start = clock.NowMs();
  // Starts as busy; a failed read leaves the last (busy) status in place.
  std::array<std::uint8_t, 4> status;
  status.fill(0xFF);
  int failures = 0;
  for (std::uint32_t polls = 0; polls < kMaxPolls; ++polls) {
    if (FlashReadStatus(device, status)) {
      failures = 0;
    } else if (failures == kMaxStatusReadFailures) {
      return false;
    } else {
      ++failures;
    }
    if ((status[0] & kStatusBusyBit) == 0) return true;
    // Checked after a poll, so the last poll always comes after the limit has run out.
    if (clock.NowMs() - start >= limit) return false;
    // A zero interval would poll without letting the clock move.
    clock.Sleep(std::max<std::uint32_t>(intervalMs, 1));
  }
  return false;
}

bool IdentifyFlash(DeviceEntry& entry, std::uint32_t& id, std::int32_t& index) {
  if (FieldText(entry.diskPath).empty()) return false;
  const AccessLock lock(entry);
  if (!lock.Held()) return false;
  // The probes point a copy at each record in turn; the entry changes only on a match.
  DeviceEntry probe = entry;
  for (const FlashPartDescriptor& record : FlashPartTable) {
    probe.flashPart = &record;
    if (!FlashReadId(probe, id)) continue;
    const FlashPartMatch match = FindFlashPart(id, record.readId.opcode);
    index = match.position;
    if (match.part == nullptr || match.position < 0) {
      // Reset so that bytes of a longer earlier reply cannot reach the next lookup.
      id = 0;
      index = 0;
      continue;
    }
    entry.flashPart = match.part;
    entry.flashPartIndex = match.position;
    entry.flashId = id;
    return true;
  }
  return false;
}

bool SetFlashProtection(DeviceEntry device, bool protect) {
  if (!HasPartAndPath(device)) return false;
  const FlashPartDescriptor& part = *device.flashPart;
  const std::uint32_t value =
      protect ? part.protection.protectValue : part.protection.unprotectValue;
  // A 3-byte status write carries two status bytes, low byte first.
  const std::array<std::uint8_t, 2> status = {static_cast<std::uint8_t>(value),
                                              static_cast<std::uint8_t>(value >> 8)};
  const std::size_t statusCount = part.writeStatus.commandLength == 3 ? 2 : 1;

  const AccessLock lock(device);
  if (!lock.Held()) return false;
  return Finish(device, RunProtection(device, std::span(status).first(statusCount)));
}

bool EraseFlashChip(DeviceEntry device) {
  if (!HasPartAndPath(device)) return false;
  const std::uint32_t checkBytes = PieceBytes(*device.flashPart);
  if (checkBytes == 0) return false;
  std::array<std::uint8_t, kMaxPieceBytes> readBack;
  readBack.fill(kErasedByte);

  const AccessLock lock(device);
  if (!lock.Held()) return false;
  return Finish(device, RunErase(device, std::span(readBack).first(checkBytes)));
}

bool ProgramFlash(DeviceEntry device, std::uint32_t address, std::span<const std::uint8_t> data) {
  if (!HasPartAndPath(device)) return false;
  if (PieceBytes(*device.flashPart) == 0 || !FitsAddressSpace(address, data.size())) return false;
  const AccessLock lock(device);
  if (!lock.Held()) return false;
  // No write enable before the pages: the command sequence of the reader has none here.
  const Outcome outcome = RunPieces(
      device, address, data, device.flashPart->pageProgram.interval, Outcome::kFailedWriteDisable,
      [&device](std::uint32_t pieceAddress, std::span<const std::uint8_t> piece) {
        return FlashPageProgram(device, pieceAddress, piece);
      });
  return Finish(device, outcome);
}

bool ReadFlash(DeviceEntry device, std::uint32_t address, std::span<std::uint8_t> out) {
  if (!HasPartAndPath(device)) return false;
  if (PieceBytes(*device.flashPart) == 0 || !FitsAddressSpace(address, out.size())) return false;
  const AccessLock lock(device);
  if (!lock.Held()) return false;
  const Outcome outcome =
      RunPieces(device, address, out, device.flashPart->readData.interval, Outcome::kFailed,
                [&device](std::uint32_t pieceAddress, std::span<std::uint8_t> piece) {
                  return FlashReadData(device, pieceAddress, piece);
                });
  return Finish(device, outcome);
}

}  // namespace tr350

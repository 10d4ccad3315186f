// The emulated TR350 reader: the bridge chip's vendor command set on top of its firmware storage
// (a serial flash chip or 512-byte sectors), its presence on the bus, its logs and its faults.
// Knows nothing of paths or of the host's request layout.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "emulator/faults.h"
#include "emulator/flash_chip.h"
#include "emulator/records.h"
#include "emulator/scsi.h"
#include "platform/platform.h"

namespace tr350::emulator {

// Vendor opcodes the bridge answers.
namespace vendor_op {
inline constexpr std::uint8_t kIdentify = 0xD0;
inline constexpr std::uint8_t kReset = 0xE2;
inline constexpr std::uint8_t kReadSectors = 0xE5;
inline constexpr std::uint8_t kWriteSectors = 0xE6;
inline constexpr std::uint8_t kFlashOut = 0xE7;
inline constexpr std::uint8_t kFlashIn = 0xE8;
}  // namespace vendor_op

inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kMaxTransfer = 32768;  // the bridge's data buffer

using IdentificationBlock = std::array<std::uint8_t, 16>;

// Storage type codes of identification byte 11.
inline constexpr std::uint8_t kStorageNotAccessed = 0;
inline constexpr std::uint8_t kStorageSerialFlash = 1;
inline constexpr std::uint8_t kStorageSectors = 2;
inline constexpr std::uint8_t kStorageOther = 3;

// Multi-byte fields of the block are big-endian; the bytes not named here stay 0.
IdentificationBlock MakeIdentification(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint32_t firmwareVersion, std::uint8_t storageType);

inline constexpr std::uint16_t kDefaultVendorId = 0x1A2B;
inline constexpr std::uint16_t kDefaultProductId = 0x6104;
inline constexpr std::uint32_t kDefaultFirmwareVersion = 0x01000000;

// The four bytes the firmware of our readers accepts in a controller reset ("TR35"); a reader
// configured with another key refuses the tool's reset.
using ResetKey = std::array<std::uint8_t, 4>;
inline constexpr ResetKey kDefaultResetKey = {0x54, 0x52, 0x33, 0x35};

struct SectorStorage {
  std::uint32_t sectorCount = 1024;
};
// The firmware storage behind the bridge. None: a reader whose storage the bridge does not expose.
using Backing = std::variant<std::monostate, FlashChipTraits, SectorStorage>;

struct ReaderConfig {
  // Absent: the default block, with the storage type of the backing (0 for none).
  std::optional<IdentificationBlock> identification{};
  ResetKey resetKey = kDefaultResetKey;
  std::uint32_t restartMs = 1500;  // how long a reset keeps the reader off the bus
  // False: the bridge of a plain USB disk, which knows none of the vendor commands and refuses
  // each as an unknown opcode.
  bool vendorCommands = true;
};

enum class BusState : std::uint8_t {
  kAttached,
  kRestarting,  // after an accepted reset, until restartMs have passed on the clock
  kUnplugged,   // removed, or fallen off the bus, until Plug
};

enum class BusEvent : std::uint8_t { kDetached, kAttached };
// Called without the reader's lock; `attachment` is the attachment that ended or began.
using BusObserver = std::function<void(BusEvent, std::uint64_t attachment)>;
// Called without the reader's lock, on the sending thread, after each command the reader received
// (refused and faulted ones included); `index` as in CommandRecord, `opcode` CDB byte 0.
using CommandObserver = std::function<void(std::uint64_t index, std::uint8_t opcode)>;

// Thread-safe: one lock serialises commands, views of the state and fault setup.
class Reader {
 public:
  Reader(platform::Clock& clock, Backing backing, ReaderConfig config = {});
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // ---- The host's side -----------------------------------------------------------------------

  // Opens the reader as a disk handle does: the current attachment, or none when the reader is
  // off the bus or an open fault hits. Every call counts as one open.
  std::optional<std::uint64_t> Open();
  // Carries out one command received through `attachment`; not delivered when that attachment has
  // ended (the reader restarted, was unplugged or fell off the bus).
  ScsiOutcome Execute(std::uint64_t attachment, const ScsiCommand& command);
  // The same through whatever attachment is current.
  ScsiOutcome Execute(const ScsiCommand& command);

  // ---- Presence on the bus ---------------------------------------------------------------------

  BusState State();
  std::uint64_t CurrentAttachment();  // counts from 1; a new one on every return to the bus
  void Unplug();                      // also cuts the flash chip's power (see FlashChip::PowerLost)
  void Plug();                        // a new attachment, when the reader was off the bus
  // Applies a restart whose time has come. Any other call does this too.
  void Poll();
  void SetBusObserver(BusObserver observer);
  void SetCommandObserver(CommandObserver observer);

  // ---- Configuration and storage, bypassing the bus -----------------------------------------

  IdentificationBlock Identification() const;
  bool HasFlash() const;
  bool HasSectors() const;
  std::vector<std::uint8_t> PeekFlash(std::uint32_t address, std::uint32_t length);
  void PresetFlash(std::uint32_t address, std::span<const std::uint8_t> bytes);
  std::uint16_t FlashStatus();  // status bytes, first in the low byte; 0 without a flash chip
  void PresetFlashStatus(std::uint16_t status);
  bool FlashBusy();
  std::vector<std::uint8_t> PeekSectors(std::uint32_t firstSector, std::uint32_t count) const;
  void PresetSectors(std::uint32_t firstSector, std::span<const std::uint8_t> bytes);

  // ---- Logs ------------------------------------------------------------------------------------

  std::vector<CommandRecord> Commands() const;
  std::vector<FlashTransaction> FlashLog() const;
  std::uint64_t CommandCount() const;  // every command received so far, cleared logs included
  std::uint64_t OpenCount() const;
  void ClearLogs();
  // Off: commands are still counted but no longer kept (long benchmark runs).
  void SetRecording(bool on);

  // ---- Faults ----------------------------------------------------------------------------------

  // Faults are tried in the order armed; the first armed fault that matches a command hits it.
  void InjectFault(CommandFault fault);
  // Opens number firstOpen .. firstOpen + count - 1 (counted from 0) fail; count 0: all from
  // firstOpen on.
  void FailOpens(std::uint64_t firstOpen, std::uint32_t count);
  void InjectReadCorruption(ReadCorruption corruption);
  void SetFlashStuckBusy(bool stuck);
  void SetUnknownFlashIdentity(bool unknown);
  void ClearFaults();  // the armed command, open and read faults; the chip's faults stay

 private:
  struct Notice {
    BusObserver observer;
    BusEvent event;
    std::uint64_t attachment;
  };
  using Notices = std::vector<Notice>;
  struct OpenFailure {
    std::uint64_t first;
    std::uint32_t count;
  };

  ScsiOutcome ExecuteOn(std::optional<std::uint64_t> attachment, const ScsiCommand& command);
  ScsiOutcome Receive(const ScsiCommand& command, Notices& notices);
  ScsiOutcome Dispatch(const ScsiCommand& command, std::uint64_t index, bool& restart);
  ScsiOutcome Identify(const ScsiCommand& command);
  ScsiOutcome Reset(const ScsiCommand& command, bool& restart);
  ScsiOutcome TransferSectors(const ScsiCommand& command);
  ScsiOutcome CarryFlash(const ScsiCommand& command, std::uint64_t index);
  FlashEffect FlashTransfer(std::span<const std::uint8_t> mosi, std::span<std::uint8_t> miso);

  std::optional<FaultAction> TakeFault(const CommandRecord& record);
  void Corrupt(const CommandRecord& record, std::span<std::uint8_t> data);
  void UpdateBus(Notices& notices);
  void Detach(BusState state, Notices& notices);
  void AttachAgain(Notices& notices);
  std::uint64_t NowUs() const;
  static void Deliver(const Notices& notices);

  platform::Clock& clock_;
  const ResetKey resetKey_;
  const std::uint32_t restartMs_;
  const bool vendorCommands_;

  mutable std::mutex mutex_;
  IdentificationBlock identification_;
  std::optional<FlashChip> flash_;
  std::optional<std::vector<std::uint8_t>> sectors_;
  BusState state_ = BusState::kAttached;
  std::uint64_t attachment_ = 1;
  std::uint64_t restartDoneMs_ = 0;
  BusObserver observer_;
  CommandObserver commandObserver_;
  std::vector<CommandRecord> commands_;
  std::vector<FlashTransaction> flashLog_;
  std::uint64_t commandCount_ = 0;
  std::uint64_t openCount_ = 0;
  bool recording_ = true;
  std::vector<CommandFault> faults_;
  std::vector<OpenFailure> openFailures_;
  std::vector<ReadCorruption> corruptions_;
};

}  // namespace tr350::emulator

// The emulated reader: checks each command the way the bridge firmware does, carries it out on the
// firmware storage and keeps the logs.
#include "emulator/reader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "emulator/byte_order.h"

namespace tr350::emulator {
namespace {

constexpr std::size_t kVendorCdbLength = 16;
constexpr std::size_t kResetCdbLength = 8;
constexpr std::size_t kSectorCdbLength = 9;
constexpr std::uint8_t kSignature[2] = {0x2A, 0x7E};  // CDB bytes 6-7 of D0, E2, E7 and E8
constexpr std::size_t kFlashCommandOffset = 8;
constexpr std::size_t kMaxFlashCommandBytes = kVendorCdbLength - kFlashCommandOffset;
constexpr std::uint8_t kIdleClock = 0xFF;  // what the bridge shifts out while it reads

ScsiOutcome InvalidField() {
  return ScsiOutcome::CheckCondition(SenseKey::kIllegalRequest, kAscInvalidFieldInCdb);
}

ScsiOutcome InvalidOpcode() {
  return ScsiOutcome::CheckCondition(SenseKey::kIllegalRequest, kAscInvalidOpcode);
}

bool HasSignature(std::span<const std::uint8_t> cdb) {
  return cdb[6] == kSignature[0] && cdb[7] == kSignature[1];
}

// A command the bridge takes for one of its own has exactly that opcode's CDB length and, for the
// vendor-signed ones, the signature.
bool WellFormed(std::span<const std::uint8_t> cdb, std::size_t length, bool vendorSigned) {
  return cdb.size() == length && (!vendorSigned || HasSignature(cdb));
}

// The bridge's data-in engine moves at least two bytes; a host that asks for one is refused
// rather than answered with a short transfer.
bool ValidDataIn(const ScsiCommand& c) {
  return c.direction == DataDirection::kFromDevice && c.data.size() >= 2 &&
         c.data.size() <= kMaxTransfer;
}

bool ValidDataOut(const ScsiCommand& c) {
  return c.direction == DataDirection::kToDevice && !c.data.empty() &&
         c.data.size() <= kMaxTransfer;
}

bool IsProgramOrErase(std::uint8_t flashOpcode) {
  using namespace flash_op;
  return flashOpcode == kPageProgram || flashOpcode == kChipEraseC7 ||
         flashOpcode == kChipErase60 || flashOpcode == kChipErase62;
}

std::uint8_t StorageTypeOf(const Backing& backing) {
  if (std::holds_alternative<FlashChipTraits>(backing)) return kStorageSerialFlash;
  if (std::holds_alternative<SectorStorage>(backing)) return kStorageSectors;
  return kStorageNotAccessed;
}

// Consumes one use of an armed entry; returns false when it is used up and should go.
template <typename T>
bool Consume(T& armed) {
  if (armed.times == 0) return true;
  return --armed.times != 0;
}

}  // namespace

IdentificationBlock MakeIdentification(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint32_t firmwareVersion, std::uint8_t storageType) {
  IdentificationBlock b{};
  StoreBe16(b, 0, vendorId);
  StoreBe16(b, 2, productId);
  for (std::size_t i = 0; i < 4; ++i) {
    b[4 + i] = static_cast<std::uint8_t>(firmwareVersion >> (24 - 8 * i));
  }
  b[11] = storageType;
  return b;
}

Reader::Reader(platform::Clock& clock, Backing backing, ReaderConfig config)
    : clock_(clock),
      resetKey_(config.resetKey),
      restartMs_(config.restartMs),
      vendorCommands_(config.vendorCommands) {
  identification_ = config.identification.value_or(MakeIdentification(
      kDefaultVendorId, kDefaultProductId, kDefaultFirmwareVersion, StorageTypeOf(backing)));
  if (const auto* traits = std::get_if<FlashChipTraits>(&backing)) flash_.emplace(*traits);
  if (const auto* store = std::get_if<SectorStorage>(&backing)) {
    sectors_.emplace(std::size_t{store->sectorCount} * kSectorSize, std::uint8_t{0xFF});
  }
}

// ---- The host's side -------------------------------------------------------------------------

std::optional<std::uint64_t> Reader::Open() {
  Notices notices;
  std::optional<std::uint64_t> result;
  {
    std::lock_guard lock(mutex_);
    UpdateBus(notices);
    const std::uint64_t index = openCount_++;
    const bool failed = std::ranges::any_of(openFailures_, [&](const OpenFailure& f) {
      return index >= f.first && (f.count == 0 || index - f.first < f.count);
    });
    if (state_ == BusState::kAttached && !failed) result = attachment_;
  }
  Deliver(notices);
  return result;
}

ScsiOutcome Reader::Execute(const ScsiCommand& command) {
  return ExecuteOn(std::nullopt, command);
}

ScsiOutcome Reader::Execute(std::uint64_t attachment, const ScsiCommand& command) {
  return ExecuteOn(attachment, command);
}

ScsiOutcome Reader::ExecuteOn(std::optional<std::uint64_t> attachment, const ScsiCommand& command) {
  Notices notices;
  ScsiOutcome outcome = ScsiOutcome::NotDelivered();
  CommandObserver observer;
  std::uint64_t index = 0;
  {
    std::lock_guard lock(mutex_);
    UpdateBus(notices);
    // Nothing reaches a device that is gone.
    if (state_ == BusState::kAttached && attachment.value_or(attachment_) == attachment_) {
      index = commandCount_;
      outcome = Receive(command, notices);
      observer = commandObserver_;
    }
  }
  Deliver(notices);
  if (observer) observer(index, command.cdb.empty() ? std::uint8_t{0} : command.cdb[0]);
  return outcome;
}

ScsiOutcome Reader::Receive(const ScsiCommand& command, Notices& notices) {
  CommandRecord record;
  record.index = commandCount_++;
  record.attachment = attachment_;
  record.opcode = command.cdb.empty() ? 0 : command.cdb[0];
  record.cdb.assign(command.cdb.begin(), command.cdb.end());
  record.direction = command.direction;
  record.transferLength = static_cast<std::uint32_t>(command.data.size());
  if (command.direction == DataDirection::kToDevice) {
    record.dataOut.assign(command.data.begin(), command.data.end());
  }

  const std::optional<FaultAction> fault = TakeFault(record);
  bool restart = false;
  ScsiOutcome outcome;
  if (fault == FaultAction::kNotDelivered || fault == FaultAction::kDropOffBus) {
    outcome = ScsiOutcome::NotDelivered();
  } else if (fault == FaultAction::kCheckCondition) {
    outcome = ScsiOutcome::CheckCondition(SenseKey::kAbortedCommand, kAscNoAdditionalInfo);
  } else {
    if (fault == FaultAction::kFlashStuckBusy && flash_) flash_->SetStuckBusy(true);
    outcome = Dispatch(command, record.index, restart);
    if (outcome.IsGood() && command.direction == DataDirection::kFromDevice) {
      Corrupt(record, command.data);
    }
    if (fault == FaultAction::kStatusOne && outcome.IsGood()) outcome.status = 0x01;
    if (fault == FaultAction::kLostCompletion) outcome = ScsiOutcome::NotDelivered();
  }
  record.outcome = outcome;
  if (recording_) commands_.push_back(std::move(record));

  if (restart) {
    Detach(BusState::kRestarting, notices);
    const std::uint64_t now = clock_.NowMs();
    restartDoneMs_ = now + std::min<std::uint64_t>(restartMs_, UINT64_MAX - now);
  }
  // Falling off wins over a restart the command started: the reader does not come back by itself.
  if (fault == FaultAction::kDropOffBus || fault == FaultAction::kDropOffBusAfter) {
    Detach(BusState::kUnplugged, notices);
  }
  return outcome;
}

ScsiOutcome Reader::Dispatch(const ScsiCommand& command, std::uint64_t index, bool& restart) {
  if (command.cdb.empty() || !vendorCommands_) return InvalidOpcode();
  switch (command.cdb[0]) {
    case vendor_op::kIdentify:
      return Identify(command);
    case vendor_op::kReset:
      return Reset(command, restart);
    case vendor_op::kReadSectors:
    case vendor_op::kWriteSectors:
      return TransferSectors(command);
    case vendor_op::kFlashOut:
    case vendor_op::kFlashIn:
      return CarryFlash(command, index);
    default:
      return InvalidOpcode();
  }
}

ScsiOutcome Reader::Identify(const ScsiCommand& command) {
  if (!WellFormed(command.cdb, kVendorCdbLength, true) || !ValidDataIn(command) ||
      command.data.size() != identification_.size()) {
    return InvalidField();
  }
  std::ranges::copy(identification_, command.data.begin());
  return ScsiOutcome::Good();
}

ScsiOutcome Reader::Reset(const ScsiCommand& command, bool& restart) {
  if (!WellFormed(command.cdb, kResetCdbLength, true) ||
      command.direction != DataDirection::kNone || !command.data.empty()) {
    return InvalidField();
  }
  const auto key = command.cdb.subspan(1, resetKey_.size());
  if (!std::ranges::equal(key, resetKey_) || command.cdb[5] != vendor_op::kReset) {
    return InvalidField();
  }
  // The reply goes out before the controller restarts.
  restart = true;
  return ScsiOutcome::Good();
}

ScsiOutcome Reader::TransferSectors(const ScsiCommand& command) {
  const bool write = command.cdb[0] == vendor_op::kWriteSectors;
  if (!WellFormed(command.cdb, kSectorCdbLength, false)) return InvalidField();
  if (!(write ? ValidDataOut(command) : ValidDataIn(command))) return InvalidField();
  const std::uint32_t first = LoadBe32(command.cdb, 2);
  const std::uint16_t count = LoadBe16(command.cdb, 7);
  if (std::size_t{count} * kSectorSize != command.data.size()) return InvalidField();
  if (!sectors_) return InvalidOpcode();  // this reader keeps its firmware elsewhere
  const std::uint64_t sectorCount = sectors_->size() / kSectorSize;
  if (std::uint64_t{first} + count > sectorCount) {
    return ScsiOutcome::CheckCondition(SenseKey::kIllegalRequest, kAscLbaOutOfRange);
  }
  const auto store =
      std::span(*sectors_).subspan(std::size_t{first} * kSectorSize, command.data.size());
  if (write) {
    std::ranges::copy(command.data, store.begin());
  } else {
    std::ranges::copy(store, command.data.begin());
  }
  return ScsiOutcome::Good();
}

ScsiOutcome Reader::CarryFlash(const ScsiCommand& command, std::uint64_t index) {
  const bool out = command.cdb[0] == vendor_op::kFlashOut;
  if (!WellFormed(command.cdb, kVendorCdbLength, true)) return InvalidField();
  const std::size_t commandCount = command.cdb[1];
  if (commandCount > kMaxFlashCommandBytes) return InvalidField();
  if (LoadBe16(command.cdb, 4) != command.data.size()) return InvalidField();
  if (out) {
    // A transaction of command bytes alone has no data phase.
    const bool noData = command.direction == DataDirection::kNone && command.data.empty();
    if (!noData && !ValidDataOut(command)) return InvalidField();
  } else if (!ValidDataIn(command)) {
    return InvalidField();
  }
  if (!flash_) return InvalidOpcode();  // no flash chip behind this bridge

  const auto commandBytes = command.cdb.subspan(kFlashCommandOffset, commandCount);
  FlashTransaction entry;
  entry.commandIndex = index;
  entry.direction = out ? DataDirection::kToDevice : DataDirection::kFromDevice;
  if (!commandBytes.empty()) entry.opcode = commandBytes[0];
  entry.commandBytes.assign(commandBytes.begin(), commandBytes.end());
  entry.dataLength = static_cast<std::uint32_t>(command.data.size());

  // The firmware raises the write-enable latch itself before a program or chip erase.
  if (out && entry.opcode && IsProgramOrErase(*entry.opcode)) {
    const std::uint8_t writeEnable[1] = {flash_op::kWriteEnable};
    std::uint8_t ignored[1];
    FlashTransaction raise;
    raise.commandIndex = index;
    raise.bridgeIssued = true;
    raise.direction = DataDirection::kToDevice;
    raise.opcode = flash_op::kWriteEnable;
    raise.commandBytes = {flash_op::kWriteEnable};
    raise.effect = FlashTransfer(writeEnable, ignored);
    if (recording_) flashLog_.push_back(std::move(raise));
  }

  // One chip-select cycle: the command bytes, then the data clocked out or in.
  std::vector<std::uint8_t> mosi(commandBytes.begin(), commandBytes.end());
  if (out) {
    mosi.insert(mosi.end(), command.data.begin(), command.data.end());
  } else {
    mosi.resize(commandCount + command.data.size(), kIdleClock);
  }
  std::vector<std::uint8_t> miso(mosi.size());
  entry.effect = FlashTransfer(mosi, miso);
  if (!out)
    std::copy(miso.begin() + static_cast<std::ptrdiff_t>(commandCount), miso.end(),
              command.data.begin());
  if (recording_) flashLog_.push_back(std::move(entry));
  return ScsiOutcome::Good();
}

std::uint64_t Reader::NowUs() const {
  // A clock near its end saturates rather than wrapping to the past.
  const std::uint64_t ms = clock_.NowMs();
  constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max() / 2000;
  return std::min(ms, kLimit) * 1000;
}

FlashEffect Reader::FlashTransfer(std::span<const std::uint8_t> mosi,
                                  std::span<std::uint8_t> miso) {
  return flash_->Transfer(mosi, miso, NowUs());
}

std::optional<FaultAction> Reader::TakeFault(const CommandRecord& record) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->when || !it->when(record)) continue;
    const FaultAction action = it->action;
    if (!Consume(*it)) faults_.erase(it);
    return action;
  }
  return std::nullopt;
}

void Reader::Corrupt(const CommandRecord& record, std::span<std::uint8_t> data) {
  for (auto it = corruptions_.begin(); it != corruptions_.end(); ++it) {
    if (it->byteOffset >= data.size() || !it->when || !it->when(record)) continue;
    data[it->byteOffset] ^= it->xorMask;
    if (!Consume(*it)) corruptions_.erase(it);
    return;
  }
}

// ---- Presence on the bus -----------------------------------------------------------------------

void Reader::UpdateBus(Notices& notices) {
  if (state_ == BusState::kRestarting && clock_.NowMs() >= restartDoneMs_) AttachAgain(notices);
}

void Reader::Detach(BusState state, Notices& notices) {
  if (state_ == BusState::kAttached) {
    notices.push_back({observer_, BusEvent::kDetached, attachment_});
  }
  state_ = state;
}

void Reader::AttachAgain(Notices& notices) {
  state_ = BusState::kAttached;
  ++attachment_;
  notices.push_back({observer_, BusEvent::kAttached, attachment_});
}

void Reader::Deliver(const Notices& notices) {
  for (const Notice& n : notices) {
    if (n.observer) n.observer(n.event, n.attachment);
  }
}

BusState Reader::State() {
  Notices notices;
  BusState state;
  {
    std::lock_guard lock(mutex_);
    UpdateBus(notices);
    state = state_;
  }
  Deliver(notices);
  return state;
}

std::uint64_t Reader::CurrentAttachment() {
  Notices notices;
  std::uint64_t attachment;
  {
    std::lock_guard lock(mutex_);
    UpdateBus(notices);
    attachment = attachment_;
  }
  Deliver(notices);
  return attachment;
}

void Reader::Unplug() {
  Notices notices;
  {
    std::lock_guard lock(mutex_);
    Detach(BusState::kUnplugged, notices);
    if (flash_) flash_->PowerLost();
  }
  Deliver(notices);
}

void Reader::Plug() {
  Notices notices;
  {
    std::lock_guard lock(mutex_);
    if (state_ != BusState::kAttached) AttachAgain(notices);
  }
  Deliver(notices);
}

void Reader::Poll() {
  State();
}

void Reader::SetBusObserver(BusObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void Reader::SetCommandObserver(CommandObserver observer) {
  std::lock_guard lock(mutex_);
  commandObserver_ = std::move(observer);
}

// ---- Configuration and storage -----------------------------------------------------------------

IdentificationBlock Reader::Identification() const {
  std::lock_guard lock(mutex_);
  return identification_;
}

bool Reader::HasFlash() const {
  std::lock_guard lock(mutex_);
  return flash_.has_value();
}

bool Reader::HasSectors() const {
  std::lock_guard lock(mutex_);
  return sectors_.has_value();
}

std::vector<std::uint8_t> Reader::PeekFlash(std::uint32_t address, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  if (!flash_) return {};
  flash_->Advance(NowUs());
  return flash_->Peek(address, length);
}

void Reader::PresetFlash(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (flash_) flash_->Preset(address, bytes);
}

std::uint16_t Reader::FlashStatus() {
  std::lock_guard lock(mutex_);
  if (!flash_) return 0;
  flash_->Advance(NowUs());
  return flash_->Status();
}

void Reader::PresetFlashStatus(std::uint16_t status) {
  std::lock_guard lock(mutex_);
  if (flash_) flash_->PresetStatus(status);
}

bool Reader::FlashBusy() {
  std::lock_guard lock(mutex_);
  if (!flash_) return false;
  flash_->Advance(NowUs());
  return flash_->Busy();
}

std::vector<std::uint8_t> Reader::PeekSectors(std::uint32_t firstSector,
                                              std::uint32_t count) const {
  std::lock_guard lock(mutex_);
  if (!sectors_) return {};
  const std::size_t begin = std::min(std::size_t{firstSector} * kSectorSize, sectors_->size());
  const std::size_t end = std::min(begin + std::size_t{count} * kSectorSize, sectors_->size());
  return {sectors_->begin() + static_cast<std::ptrdiff_t>(begin),
          sectors_->begin() + static_cast<std::ptrdiff_t>(end)};
}

void Reader::PresetSectors(std::uint32_t firstSector, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (!sectors_) return;
  const std::size_t begin = std::min(std::size_t{firstSector} * kSectorSize, sectors_->size());
  const std::size_t n = std::min(bytes.size(), sectors_->size() - begin);
  std::copy_n(bytes.begin(), n, sectors_->begin() + static_cast<std::ptrdiff_t>(begin));
}

// ---- Logs --------------------------------------------------------------------------------------

std::vector<CommandRecord> Reader::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<FlashTransaction> Reader::FlashLog() const {
  std::lock_guard lock(mutex_);
  return flashLog_;
}

std::uint64_t Reader::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commandCount_;
}

std::uint64_t Reader::OpenCount() const {
  std::lock_guard lock(mutex_);
  return openCount_;
}

void Reader::SetRecording(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}

void Reader::ClearLogs() {
  std::lock_guard lock(mutex_);
  commands_.clear();
  flashLog_.clear();
}

// ---- Faults ------------------------------------------------------------------------------------

void Reader::InjectFault(CommandFault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void Reader::FailOpens(std::uint64_t firstOpen, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  openFailures_.push_back({firstOpen, count});
}

void Reader::InjectReadCorruption(ReadCorruption corruption) {
  std::lock_guard lock(mutex_);
  corruptions_.push_back(std::move(corruption));
}

void Reader::SetFlashStuckBusy(bool stuck) {
  std::lock_guard lock(mutex_);
  if (flash_) flash_->SetStuckBusy(stuck);
}

void Reader::SetUnknownFlashIdentity(bool unknown) {
  std::lock_guard lock(mutex_);
  if (flash_) flash_->SetUnknownIdentity(unknown);
}

void Reader::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
  openFailures_.clear();
  corruptions_.clear();
}

}  // namespace tr350::emulator

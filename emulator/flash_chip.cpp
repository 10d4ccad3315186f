// The serial NOR flash chip model: decodes one chip-select transaction at a time.
#include "emulator/flash_chip.h"

#include <algorithm>
#include <utility>

namespace tr350::emulator {
namespace {

constexpr std::uint8_t kFloating = 0xFF;
constexpr std::uint8_t kUnknownManufacturer = 0x7F;
constexpr std::size_t kAddressedCommandLength = 4;  // opcode and a 24-bit address

std::uint32_t Address24(std::span<const std::uint8_t> mosi) {
  return (std::uint32_t{mosi[1]} << 16) | (std::uint32_t{mosi[2]} << 8) | mosi[3];
}

// Drives `answer(i)` on every byte position from `first` on.
template <typename F>
void Drive(std::span<std::uint8_t> miso, std::size_t first, F answer) {
  for (std::size_t i = first; i < miso.size(); ++i) miso[i] = answer(i - first);
}

}  // namespace

FlashChip::FlashChip(const FlashChipTraits& traits) : traits_(traits) {
  // A zero capacity or page would make every address computation divide by zero.
  if (traits_.capacity == 0) traits_.capacity = 1;
  if (traits_.pageSize == 0) traits_.pageSize = 1;
}

FlashEffect FlashChip::Transfer(std::span<const std::uint8_t> mosi, std::span<std::uint8_t> miso,
                                std::uint64_t nowUs) {
  Advance(nowUs);
  std::ranges::fill(miso, kFloating);
  if (mosi.empty()) return FlashEffect::kNothing;
  // The status-write prefix enables only the transaction right after it.
  const bool prefixed = std::exchange(prefixArmed_, false);
  const std::uint8_t opcode = mosi[0];
  if (Busy()) {
    if (opcode != flash_op::kReadStatus) return FlashEffect::kIgnoredBusy;
    const auto status = static_cast<std::uint8_t>(Status());
    Drive(miso, 1, [&](std::size_t) { return status; });
    return FlashEffect::kAnswered;
  }
  return Execute(opcode, mosi, miso, prefixed, nowUs);
}

FlashEffect FlashChip::Execute(std::uint8_t opcode, std::span<const std::uint8_t> mosi,
                               std::span<std::uint8_t> miso, bool prefixed, std::uint64_t nowUs) {
  using namespace flash_op;
  switch (opcode) {
    case kReadStatus: {
      const auto status = static_cast<std::uint8_t>(Status());
      Drive(miso, 1, [&](std::size_t) { return status; });
      return FlashEffect::kAnswered;
    }
    case kReadStatus2:
      if (traits_.statusWidth < 2) return FlashEffect::kUnsupported;
      Drive(miso, 1, [&](std::size_t) { return status2_; });
      return FlashEffect::kAnswered;
    case kWriteEnable:
      if (mosi.size() != 1) return FlashEffect::kIgnoredMalformed;
      writeEnabled_ = true;
      return FlashEffect::kWriteEnabled;
    case kWriteDisable:
      if (mosi.size() != 1) return FlashEffect::kIgnoredMalformed;
      writeEnabled_ = false;
      return FlashEffect::kWriteDisabled;
    case kEnableWriteStatus:
      if (!traits_.needsWriteStatusPrefix) return FlashEffect::kUnsupported;
      if (mosi.size() != 1) return FlashEffect::kIgnoredMalformed;
      prefixArmed_ = true;
      return FlashEffect::kPrefixAccepted;
    case kWriteStatus: {
      if (traits_.statusWidth == 0) return FlashEffect::kUnsupported;
      const std::size_t count = mosi.size() - 1;
      if (count == 0 || count > traits_.statusWidth) return FlashEffect::kIgnoredMalformed;
      if (!writeEnabled_) return FlashEffect::kIgnoredNoWriteEnable;
      if (traits_.needsWriteStatusPrefix && !prefixed) return FlashEffect::kIgnoredNoPrefix;
      Pending op{Operation::kWriteStatus, nowUs + traits_.writeStatusUs};
      std::copy_n(mosi.begin() + 1, count, op.status.begin());
      op.statusCount = count;
      pending_ = std::move(op);
      return FlashEffect::kStatusWriteStarted;
    }
    case kReadData: {
      if (mosi.size() < kAddressedCommandLength) return FlashEffect::kIgnoredMalformed;
      const std::uint32_t start = Address24(mosi);
      Drive(miso, kAddressedCommandLength, [&](std::size_t i) { return ByteAt(Wrap(start + i)); });
      return FlashEffect::kAnswered;
    }
    case kPageProgram: {
      // Without at least one data byte the chip has nothing to program.
      if (mosi.size() <= kAddressedCommandLength) return FlashEffect::kIgnoredMalformed;
      if (!writeEnabled_) return FlashEffect::kIgnoredNoWriteEnable;
      if (Protected()) return FlashEffect::kIgnoredProtected;
      const std::uint32_t address = Wrap(Address24(mosi));
      const std::uint32_t page = traits_.pageSize;
      Pending op{Operation::kProgram, nowUs + traits_.programUs};
      op.pageBase = address - address % page;
      op.page.assign(page, kFloating);
      // Data past the end of the page wraps to its start; the last byte loaded into a place wins.
      const auto data = mosi.subspan(kAddressedCommandLength);
      for (std::size_t i = 0; i < data.size(); ++i) {
        op.page[(address % page + i) % page] = data[i];
      }
      pending_ = std::move(op);
      return FlashEffect::kProgramStarted;
    }
    case kReadManufacturerDevice:
    case kReadSignature:
    case kReadJedecId:
    case kReadProductId:
      return AnswerIdentification(opcode, mosi, miso);
    default:
      break;
  }
  if (IsEraseOpcode(opcode)) {
    if (mosi.size() != 1) return FlashEffect::kIgnoredMalformed;
    if (!writeEnabled_) return FlashEffect::kIgnoredNoWriteEnable;
    if (Protected()) return FlashEffect::kIgnoredProtected;
    pending_ = Pending{Operation::kErase, nowUs + std::uint64_t{traits_.eraseMs} * 1000};
    return FlashEffect::kEraseStarted;
  }
  return FlashEffect::kUnsupported;
}

FlashEffect FlashChip::AnswerIdentification(std::uint8_t opcode, std::span<const std::uint8_t> mosi,
                                            std::span<std::uint8_t> miso) const {
  using namespace flash_op;
  // 0x90 and 0xAB answer after three address or dummy bytes, the others right after the opcode.
  const bool addressed = opcode == kReadManufacturerDevice || opcode == kReadSignature;
  const std::size_t first = addressed ? kAddressedCommandLength : 1;
  if (unknownIdentity_) {
    Drive(miso, first, [](std::size_t) { return kUnknownManufacturer; });
    return FlashEffect::kAnswered;
  }
  const IdAnswer* answer = nullptr;
  std::size_t start = 0;
  switch (opcode) {
    case kReadJedecId:
      answer = &traits_.identity.jedec;
      break;
    case kReadProductId:
      answer = &traits_.identity.productId;
      break;
    case kReadSignature:
      answer = &traits_.identity.signature;
      break;
    default:
      answer = &traits_.identity.manufacturerDevice;
      // Address 1 reads the device code first.
      if (mosi.size() >= kAddressedCommandLength) start = mosi[3] & 1u;
      break;
  }
  if (!answer->Supported()) return FlashEffect::kUnsupported;
  if (addressed && mosi.size() < kAddressedCommandLength) return FlashEffect::kIgnoredMalformed;
  Drive(miso, first, [&](std::size_t i) { return answer->At(start + i); });
  return FlashEffect::kAnswered;
}

void FlashChip::Advance(std::uint64_t nowUs) {
  if (!pending_ || nowUs < pending_->doneUs) return;
  Pending op = std::move(*pending_);
  pending_.reset();
  switch (op.operation) {
    case Operation::kProgram:
      // Programming can only clear bits.
      for (std::uint32_t i = 0; i < op.page.size(); ++i) AndByte(op.pageBase + i, op.page[i]);
      break;
    case Operation::kErase:
      blocks_.clear();
      break;
    case Operation::kWriteStatus:
      status1_ = static_cast<std::uint8_t>(op.status[0] & ~(kStatusBusy | kStatusWriteEnableLatch));
      if (op.statusCount > 1) status2_ = op.status[1];
      break;
  }
  writeEnabled_ = false;  // the latch resets when the operation completes
}

void FlashChip::PowerLost() {
  stuckBusy_ = false;
  writeEnabled_ = false;
  prefixArmed_ = false;
}

std::uint16_t FlashChip::Status() const {
  std::uint8_t first = status1_;
  if (writeEnabled_) first |= kStatusWriteEnableLatch;
  if (Busy()) first |= kStatusBusy;
  return static_cast<std::uint16_t>(first | (status2_ << 8));
}

std::vector<std::uint8_t> FlashChip::Peek(std::uint32_t address, std::uint32_t length) const {
  std::vector<std::uint8_t> out(length);
  for (std::uint32_t i = 0; i < length; ++i) out[i] = ByteAt(Wrap(std::uint64_t{address} + i));
  return out;
}

void FlashChip::Preset(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) SetByte(Wrap(address + i), bytes[i]);
}

void FlashChip::PresetStatus(std::uint16_t status) {
  status1_ = static_cast<std::uint8_t>(status & ~(kStatusBusy | kStatusWriteEnableLatch));
  status2_ = static_cast<std::uint8_t>(status >> 8);
}

bool FlashChip::IsEraseOpcode(std::uint8_t opcode) const {
  return opcode != 0 &&
         std::ranges::find(traits_.eraseOpcodes, opcode) != traits_.eraseOpcodes.end();
}

std::uint8_t FlashChip::ByteAt(std::uint32_t address) const {
  const auto it = blocks_.find(address / kBlockSize);
  return it == blocks_.end() ? kFloating : (*it->second)[address % kBlockSize];
}

void FlashChip::AndByte(std::uint32_t address, std::uint8_t value) {
  if (value == kFloating) return;
  BlockFor(address)[address % kBlockSize] &= value;
}

void FlashChip::SetByte(std::uint32_t address, std::uint8_t value) {
  BlockFor(address)[address % kBlockSize] = value;
}

FlashChip::Block& FlashChip::BlockFor(std::uint32_t address) {
  auto& block = blocks_[address / kBlockSize];
  if (!block) {
    block = std::make_unique<Block>();
    block->fill(kFloating);
  }
  return *block;
}

}  // namespace tr350::emulator

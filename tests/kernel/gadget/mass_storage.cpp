// Bulk-only transport wrappers and the reader's SCSI command set: the standard commands a USB card
// reader answers for its medium, the vendor range carried to the emulated bridge.
#include "tests/kernel/gadget/mass_storage.h"

#include <algorithm>
#include <string_view>

namespace tr350::kernel_test {
namespace {

constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr std::size_t kSector = 512;
constexpr std::uint8_t kFirstVendorOpcode = 0xC0;

namespace op {
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
}  // namespace op

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

void PutLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void PutBe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Space-padded ASCII, as INQUIRY carries its identity strings.
void PutText(std::span<std::uint8_t> b, std::size_t at, std::size_t width, std::string_view text) {
  for (std::size_t i = 0; i < width; ++i) {
    b[at + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
  }
}

}  // namespace

std::optional<CommandBlock> ParseCommandBlock(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kCbwSize || Le32(bytes, 0) != kCbwSignature) return std::nullopt;
  const std::size_t cdbLength = bytes[14] & 0x1F;
  if (cdbLength == 0 || cdbLength > 16 || (bytes[13] & 0x0F) != 0) return std::nullopt;
  CommandBlock block;
  block.tag = Le32(bytes, 4);
  block.transferLength = Le32(bytes, 8);
  block.dataIn = (bytes[12] & 0x80) != 0;
  block.cdb.assign(bytes.begin() + 15, bytes.begin() + 15 + static_cast<std::ptrdiff_t>(cdbLength));
  return block;
}

std::array<std::uint8_t, kCswSize> StatusWrapper(std::uint32_t tag, std::uint32_t residue,
                                                 CommandStatus status) {
  std::array<std::uint8_t, kCswSize> w{};
  PutLe32(w, 0, kCswSignature);
  PutLe32(w, 4, tag);
  PutLe32(w, 8, residue);
  w[12] = static_cast<std::uint8_t>(status);
  return w;
}

MassStorage::MassStorage(std::shared_ptr<emulator::Reader> reader, std::uint32_t mediumSectors)
    : reader_(std::move(reader)), medium_(std::size_t{mediumSectors} * kSector, 0) {}

MassStorage::Result MassStorage::Execute(const CommandBlock& command,
                                         std::span<std::uint8_t> data) {
  if (command.cdb[0] >= kFirstVendorOpcode) return Vendor(command, data);
  return Standard(command.cdb, data, command.dataIn);
}

MassStorage::Result MassStorage::Fail(emulator::SenseKey key, std::uint8_t asc,
                                      std::size_t length) {
  sense_ = {key, asc, 0};
  return {CommandStatus::kFailed, static_cast<std::uint32_t>(length)};
}

// The host asked for data.size() bytes; what the answer does not fill is padding, counted in the
// residue.
MassStorage::Result MassStorage::Reply(std::span<const std::uint8_t> answer,
                                       std::span<std::uint8_t> data) {
  const std::size_t n = std::min(answer.size(), data.size());
  std::copy_n(answer.begin(), n, data.begin());
  std::fill(data.begin() + static_cast<std::ptrdiff_t>(n), data.end(), std::uint8_t{0});
  return {CommandStatus::kPassed, static_cast<std::uint32_t>(data.size() - n)};
}

MassStorage::Result MassStorage::Standard(std::span<const std::uint8_t> cdb,
                                          std::span<std::uint8_t> data, bool dataIn) {
  using emulator::SenseKey;
  const std::uint32_t sectors = static_cast<std::uint32_t>(medium_.size() / kSector);
  switch (cdb[0]) {
    case op::kTestUnitReady:
    case op::kStartStopUnit:
    case op::kPreventAllowRemoval:
    case op::kVerify10:
    case op::kSynchronizeCache10:
      return Reply({}, data);
    case op::kRequestSense: {
      const auto bytes = sense_.Bytes();
      sense_ = {};
      return Reply(bytes, data);
    }
    case op::kInquiry: {
      if (cdb.size() < 6) break;
      if ((cdb[1] & 0x01) != 0) {
        // Vital product data: only the list of supported pages.
        if (cdb[2] != 0x00)
          return Fail(SenseKey::kIllegalRequest, emulator::kAscInvalidFieldInCdb, data.size());
        const std::uint8_t pages[] = {0x00, 0x00, 0x00, 0x01, 0x00};
        return Reply(pages, data);
      }
      std::array<std::uint8_t, 36> inquiry{};
      inquiry[1] = 0x80;  // removable medium: a card slot
      inquiry[2] = 0x02;
      inquiry[3] = 0x02;
      inquiry[4] = static_cast<std::uint8_t>(inquiry.size() - 5);
      PutText(inquiry, 8, 8, "TR350");
      PutText(inquiry, 16, 16, "SD READER");
      PutText(inquiry, 32, 4, "0100");
      return Reply(inquiry, data);
    }
    case op::kModeSense6: {
      // The header alone: no block descriptors, no pages, not write-protected.
      const std::uint8_t header[] = {0x03, 0x00, 0x00, 0x00};
      return Reply(header, data);
    }
    case op::kModeSense10: {
      const std::uint8_t header[] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
      return Reply(header, data);
    }
    case op::kReadCapacity10: {
      std::array<std::uint8_t, 8> capacity{};
      PutBe32(capacity, 0, sectors - 1);
      PutBe32(capacity, 4, static_cast<std::uint32_t>(kSector));
      return Reply(capacity, data);
    }
    case op::kRead10:
    case op::kWrite10: {
      if (cdb.size() < 10) break;
      const bool write = cdb[0] == op::kWrite10;
      const std::uint32_t lba = Be32(cdb, 2);
      const std::uint32_t count = static_cast<std::uint32_t>(cdb[7] << 8 | cdb[8]);
      if (std::size_t{count} * kSector != data.size() || write == dataIn) {
        return Fail(SenseKey::kIllegalRequest, emulator::kAscInvalidFieldInCdb, data.size());
      }
      if (std::uint64_t{lba} + count > sectors) {
        return Fail(SenseKey::kIllegalRequest, emulator::kAscLbaOutOfRange, data.size());
      }
      const auto area = std::span(medium_).subspan(std::size_t{lba} * kSector, data.size());
      if (write) {
        std::ranges::copy(data, area.begin());
      } else {
        std::ranges::copy(area, data.begin());
      }
      return {CommandStatus::kPassed, 0};
    }
    default:
      break;
  }
  return Fail(SenseKey::kIllegalRequest, emulator::kAscInvalidOpcode, data.size());
}

MassStorage::Result MassStorage::Vendor(const CommandBlock& command, std::span<std::uint8_t> data) {
  emulator::ScsiCommand request;
  request.cdb = command.cdb;
  request.data = data;
  request.direction = data.empty()     ? emulator::DataDirection::kNone
                      : command.dataIn ? emulator::DataDirection::kFromDevice
                                       : emulator::DataDirection::kToDevice;
  const emulator::ScsiOutcome outcome = reader_->Execute(request);
  const auto whole = static_cast<std::uint32_t>(data.size());
  // The bridge did not take the command at all: the host sees the transport fail.
  if (!outcome.delivered) return {CommandStatus::kPhaseError, whole};
  if (outcome.status == emulator::kStatusGood) return {CommandStatus::kPassed, 0};
  sense_ = outcome.sense.value_or(emulator::SenseData{emulator::SenseKey::kHardwareError, 0, 0});
  return {CommandStatus::kFailed, whole};
}

}  // namespace tr350::kernel_test

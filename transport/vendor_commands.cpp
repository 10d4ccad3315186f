// Sector read and write: 9-byte CDBs (a 10-byte read/write CDB without its control byte), sent in
// pieces of at most 64 sectors under the reader's access lock.
#include "transport/vendor_commands.h"

#include <algorithm>
#include <limits>

#include "transport/pass_through.h"

namespace tr350 {
namespace {

constexpr std::uint8_t kSectorCdbLength = 9;

PassThroughRequest MakeSectorRequest(VendorOpcode opcode, std::uint32_t sector,
                                     std::uint16_t count) {
  PassThroughRequest request = MakePassThroughRequest();
  request.CdbLength = kSectorCdbLength;
  request.Cdb[0] = static_cast<std::uint8_t>(opcode);
  request.Cdb[2] = static_cast<std::uint8_t>(sector >> 24);
  request.Cdb[3] = static_cast<std::uint8_t>(sector >> 16);
  request.Cdb[4] = static_cast<std::uint8_t>(sector >> 8);
  request.Cdb[5] = static_cast<std::uint8_t>(sector);
  request.Cdb[7] = static_cast<std::uint8_t>(count >> 8);
  request.Cdb[8] = static_cast<std::uint8_t>(count);
  return request;
}

// The CDB counts whole sectors and numbers them in 32 bits; a partial sector or a sector beyond
// that range would move different bytes than asked for, so such a request is refused.
bool FitsSectorCommands(std::uint64_t byteOffset, std::size_t length) {
  if (byteOffset % kSectorSize != 0 || length % kSectorSize != 0) return false;
  constexpr std::uint64_t kEndLimit =
      (std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1) * kSectorSize;
  return byteOffset <= kEndLimit && length <= kEndLimit - byteOffset;
}

// The one loop of both directions; `sendPiece` sends the piece at `position`.
template <typename Buffer, typename SendPiece>
bool TransferSectors(const DeviceEntry& device, std::uint64_t byteOffset, Buffer buffer,
                     SendPiece sendPiece) {
  if (buffer.data() == nullptr || FieldText(device.diskPath).empty()) return false;
  if (!FitsSectorCommands(byteOffset, buffer.size())) return false;
  const AccessLock lock(device);
  if (!lock.Held()) return false;
  if (buffer.empty()) return false;

  for (std::size_t position = 0; position < buffer.size();) {
    const std::size_t piece = std::min(kSectorPieceBytes, buffer.size() - position);
    const auto sector = static_cast<std::uint32_t>((byteOffset + position) / kSectorSize);
    const auto count = static_cast<std::uint16_t>(piece / kSectorSize);
    if (!sendPiece(sector, count, buffer.subspan(position, piece))) {
      NoteFailedAddress(device, static_cast<std::uint32_t>(byteOffset + position));
      return false;
    }
    position += piece;
  }
  return true;
}

}  // namespace

bool WriteSectors(DeviceEntry device, std::uint64_t byteOffset,
                  std::span<const std::uint8_t> data) {
  return TransferSectors(
      device, byteOffset, data,
      [&device](std::uint32_t sector, std::uint16_t count, std::span<const std::uint8_t> piece) {
        PassThroughRequest request = MakeSectorRequest(VendorOpcode::kWriteSectors, sector, count);
        return SendDataOut(device, request, piece);
      });
}

bool ReadSectors(DeviceEntry device, std::uint64_t byteOffset, std::span<std::uint8_t> out) {
  return TransferSectors(
      device, byteOffset, out,
      [&device](std::uint32_t sector, std::uint16_t count, std::span<std::uint8_t> piece) {
        PassThroughRequest request = MakeSectorRequest(VendorOpcode::kReadSectors, sector, count);
        return SendDataIn(device, request, piece);
      });
}

}  // namespace tr350

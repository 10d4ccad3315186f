// The 80-byte pass-through request block of one vendor command: the 32-bit SCSI_PASS_THROUGH_DIRECT
// header, a filler and a 32-byte sense area. Pure data, shared by the transport and the platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tr350 {

#pragma pack(push, 1)
struct PassThroughRequest {
  std::uint16_t Length;          // 44, the size of the pass-through header
  std::uint8_t ScsiStatus;       // written by the driver
  std::uint8_t PathId;           // 0
  std::uint8_t TargetId;         // 1
  std::uint8_t Lun;              // 0
  std::uint8_t CdbLength;        // 8, 9 or 16
  std::uint8_t SenseInfoLength;  // 32
  std::uint8_t DataIn;           // 0: to the device or no data; 1: from the device
  std::uint8_t alignment[3];
  std::uint32_t DataTransferLength;
  std::uint32_t TimeOutValue;  // seconds
  // Host buffer address in the 32-bit layout. A 64-bit address does not fit, so the host
  // buffer always travels beside the block (see platform::Disk); this field stays 0 there.
  std::uint32_t DataBuffer;
  std::uint32_t SenseInfoOffset;  // 48
  std::uint8_t Cdb[16];
  std::uint8_t filler[4];
  std::uint8_t sense[32];
};
#pragma pack(pop)

static_assert(sizeof(PassThroughRequest) == 80);
static_assert(offsetof(PassThroughRequest, DataTransferLength) == 12);
static_assert(offsetof(PassThroughRequest, DataBuffer) == 20);
static_assert(offsetof(PassThroughRequest, Cdb) == 28);
static_assert(offsetof(PassThroughRequest, sense) == 48);

inline constexpr std::uint8_t kDataOut = 0;  // to the device, or no data phase
inline constexpr std::uint8_t kDataIn = 1;   // from the device

}  // namespace tr350

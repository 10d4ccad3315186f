// Storage I/O on Windows: a disk opened by its interface path, and one pass-through request mapped
// onto SCSI_PASS_THROUGH_DIRECT for IOCTL_SCSI_PASS_THROUGH_DIRECT and back.
#pragma once

#include <windows.h>
// ntddscsi.h needs the types windows.h and winioctl.h declare.
#include <winioctl.h>

#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform::windows {

inline constexpr std::size_t kSenseAreaSize = 32;
// ScsiStatus after a request that did not complete: never 0 or 1, so it cannot read as success.
inline constexpr std::uint8_t kScsiStatusNotCompleted = 0xFF;

// The block handed to the driver: the header in this word size's layout, then the sense area
// whose offset the header names. Its own layout, not the 32-bit PassThroughRequest: on a 64-bit
// system the header is larger and its buffer address wider.
struct DirectRequest {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[kSenseAreaSize];
};

// The layouts of the SDK's header for the two word sizes: the driver reads the block by them. On a
// 32-bit system it is the tool's own 80-byte request record; on a 64-bit one the buffer address is
// wider and aligned, and all that follows it moves.
inline constexpr bool kWideAddresses = sizeof(void*) == 8;
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == (kWideAddresses ? 56 : 44));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == (kWideAddresses ? 24 : 20));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::DataBuffer) == sizeof(void*));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == (kWideAddresses ? 32 : 24));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == (kWideAddresses ? 36 : 28));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb) == 16);
static_assert(offsetof(DirectRequest, sense) == (kWideAddresses ? 60 : 48));
static_assert(sizeof(DirectRequest) == (kWideAddresses ? 96 : 80));

// Fills `block` from the request, the data phase in `buffer`; false when the request cannot be
// sent as it stands (no CDB or a longer one than 16 bytes, a transfer longer than the buffer, a
// direction with no meaning).
bool MapRequest(const PassThroughRequest& request, std::span<std::uint8_t> buffer,
                DirectRequest& block);

// What the driver wrote back: the status byte and the sense area.
void CopyBack(const DirectRequest& block, PassThroughRequest& request);

// Thread-safe: every disk has its own handle.
class WinStorageIo final : public StorageIo {
 public:
  // Opens the interface path shared for reading and writing; the cause "open" on failure.
  std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) override;
};

// The name of the cause a failed pass-through call records.
inline constexpr std::string_view kPassThroughOperation = "IOCTL_SCSI_PASS_THROUGH_DIRECT";

}  // namespace tr350::platform::windows

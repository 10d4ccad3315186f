// The disk behind IOCTL_SCSI_PASS_THROUGH_DIRECT: opening it with CreateFileW, filling the
// driver's block from a request and reading the outcome back.
#include "platform/windows/scsi_disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/windows/win_error.h"
#include "platform/windows/win_handles.h"

namespace tr350::platform::windows {
namespace {

constexpr std::size_t kMaxCdbLength = sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb);

class ScsiDisk final : public Disk {
 public:
  explicit ScsiDisk(UniqueHandle handle) : handle_(std::move(handle)) {}
  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override;

 private:
  UniqueHandle handle_;
};

bool ScsiDisk::SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) {
  // Stays so on every failure path: a caller that only looks at the status still sees a failure.
  request.ScsiStatus = kScsiStatusNotCompleted;
  DirectRequest block;
  if (!MapRequest(request, buffer, block)) {
    SetLastCause({.operation = kPassThroughOperation, .osError = EINVAL});
    return false;
  }
  DWORD returned = 0;
  if (!::DeviceIoControl(handle_.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                         &block, sizeof block, &returned, nullptr)) {
    SetLastCause(Win32Cause(kPassThroughOperation, ::GetLastError()));
    return false;
  }
  CopyBack(block, request);
  return true;
}

}  // namespace

bool MapRequest(const PassThroughRequest& request, std::span<std::uint8_t> buffer,
                DirectRequest& block) {
  if (request.CdbLength == 0 || request.CdbLength > kMaxCdbLength) return false;
  const std::uint32_t length = request.DataTransferLength;
  // The driver would otherwise read or write past the caller's buffer.
  if (length > buffer.size()) return false;

  block = {};
  SCSI_PASS_THROUGH_DIRECT& h = block.header;
  h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  h.PathId = request.PathId;
  h.TargetId = request.TargetId;
  h.Lun = request.Lun;
  h.CdbLength = request.CdbLength;
  if (length == 0) {
    h.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
  } else if (request.DataIn == kDataIn) {
    h.DataIn = SCSI_IOCTL_DATA_IN;
  } else if (request.DataIn == kDataOut) {
    h.DataIn = SCSI_IOCTL_DATA_OUT;
  } else {
    return false;  // a direction we cannot name: guessing could send data the caller meant to read
  }
  h.DataTransferLength = length;
  h.DataBuffer = length != 0 ? buffer.data() : nullptr;
  h.TimeOutValue = request.TimeOutValue;
  // The sense area is 32 bytes whatever the request claims.
  h.SenseInfoLength =
      static_cast<UCHAR>(std::min<std::size_t>(request.SenseInfoLength, kSenseAreaSize));
  h.SenseInfoOffset = offsetof(DirectRequest, sense);
  std::copy_n(request.Cdb, request.CdbLength, h.Cdb);
  return true;
}

void CopyBack(const DirectRequest& block, PassThroughRequest& request) {
  // The full status byte: CHECK CONDITION must arrive as 0x02 so that the caller rejects it.
  request.ScsiStatus = block.header.ScsiStatus;
  // The driver leaves in SenseInfoLength how much sense data it wrote.
  const std::size_t senseLength =
      std::min<std::size_t>({block.header.SenseInfoLength, kSenseAreaSize, sizeof request.sense});
  std::fill(std::begin(request.sense), std::end(request.sense), std::uint8_t{0});
  std::copy_n(block.sense, senseLength, request.sense);
}

std::unique_ptr<Disk> WinStorageIo::OpenDisk(std::u16string_view interfacePath) {
  const std::optional<std::wstring> path = ToWide(interfacePath);
  if (!path) {
    SetLastCause({.operation = "open", .osError = EINVAL});
    return nullptr;
  }
  UniqueHandle handle(::CreateFileW(path->c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  if (!handle) {
    SetLastCause(Win32Cause("open", ::GetLastError()));
    return nullptr;
  }
  return std::make_unique<ScsiDisk>(std::move(handle));
}

}  // namespace tr350::platform::windows

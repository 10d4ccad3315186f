// The SG_IO backend of StorageIo: opening a reader's sg node and mapping one pass-through request
// onto sg_io_hdr and back.
#include "platform/linux/sg_disk.h"

#include "platform/text.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/linux/unique_fd.h"

namespace tr350::platform {
namespace {

// The driver byte that only says "sense data is valid"; any other driver bit is a failure. The
// kernel's DRIVER_SENSE, which the userspace headers do not carry.
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::size_t kMaxCdbLength = 16;
constexpr std::size_t kSenseAreaSize = sizeof(PassThroughRequest::sense);

class SgDisk final : public Disk {
 public:
  explicit SgDisk(UniqueFd fd) : fd_(std::move(fd)) {}
  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override;

 private:
  UniqueFd fd_;
};

// Fills `header` from the request; false when the request cannot be sent as it stands.
bool MapRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer, sg_io_hdr_t& header) {
  if (request.CdbLength == 0 || request.CdbLength > kMaxCdbLength) return false;
  const std::uint32_t length = request.DataTransferLength;
  // The kernel would otherwise read or write past the caller's buffer.
  if (length > buffer.size()) return false;

  header = {};
  header.interface_id = 'S';
  header.cmdp = request.Cdb;
  header.cmd_len = request.CdbLength;
  if (length == 0) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else if (request.DataIn == kDataIn) {
    header.dxfer_direction = SG_DXFER_FROM_DEV;
  } else if (request.DataIn == kDataOut) {
    header.dxfer_direction = SG_DXFER_TO_DEV;
  } else {
    return false;  // a direction we cannot name: guessing could send data the caller meant to read
  }
  if (length != 0) {
    header.dxferp = buffer.data();
    header.dxfer_len = length;
  }
  // The sense area is 32 bytes whatever the block claims.
  header.sbp = request.sense;
  header.mx_sb_len =
      static_cast<unsigned char>(std::min<std::size_t>(request.SenseInfoLength, kSenseAreaSize));
  // Seconds to milliseconds; held below UINT_MAX, which SG_IO reads as "no time-out".
  const std::uint64_t timeoutMs = std::uint64_t{request.TimeOutValue} * 1000U;
  header.timeout = static_cast<unsigned int>(std::min<std::uint64_t>(timeoutMs, 0xFFFFFFFEU));
  return true;
}

bool SgDisk::SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) {
  // Stays so on every failure path: a caller that only looks at the status still sees a failure.
  request.ScsiStatus = kScsiStatusNotCompleted;
  sg_io_hdr_t header;
  if (!MapRequest(request, buffer, header)) {
    SetLastCause({.operation = "SG_IO", .osError = EINVAL});
    return false;
  }

  int result = 0;
  do {
    result = ::ioctl(fd_.get(), SG_IO, &header);
  } while (result < 0 && errno == EINTR);
  if (result != 0) {
    SetLastCause({.operation = "SG_IO", .osError = errno});
    return false;
  }
  // Transport and driver trouble means the command did not complete, whatever the status byte.
  if (header.host_status != 0 || (header.driver_status & ~kDriverSense) != 0) {
    Cause cause{.operation = "SG_IO",
                .scsiStatus = header.status,
                .hostStatus = header.host_status,
                .driverStatus = header.driver_status};
    cause.sense = ParseSense(
        std::span(request.sense).first(std::min<std::size_t>(header.sb_len_wr, kSenseAreaSize)));
    SetLastCause(cause);
    return false;
  }

  // The full status byte: CHECK CONDITION must arrive as 0x02 so that the caller's "0 or 1" rule
  // rejects it.
  request.ScsiStatus = header.status;
  return true;
}

}  // namespace

std::optional<std::string> InterfacePathToUtf8(std::u16string_view interfacePath) {
  // A NUL would cut the path short on its way to the kernel: refuse it, as an empty path.
  if (interfacePath.empty() || interfacePath.find(u'\0') != std::u16string_view::npos) {
    return std::nullopt;
  }
  return Utf16ToUtf8(interfacePath, InvalidText::kReject);
}

std::unique_ptr<Disk> SgStorageIo::OpenDisk(std::u16string_view interfacePath) {
  const std::optional<std::string> path = InterfacePathToUtf8(interfacePath);
  if (!path) {
    SetLastCause({.operation = "open", .osError = EINVAL});
    return nullptr;
  }
  UniqueFd fd(::open(path->c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) {
    SetLastCause({.operation = "open", .osError = errno});
    return nullptr;
  }
  return std::make_unique<SgDisk>(std::move(fd));
}

}  // namespace tr350::platform

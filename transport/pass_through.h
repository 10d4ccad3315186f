// Sending one vendor command to a reader: the request template, the send itself, the bounce
// buffering of transfers from the device, the two serial-flash carrier commands (0xE7, 0xE8), the
// lock that every device operation holds on the reader's access mutex, and the record of why the
// reader's last command failed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/platform.h"
#include "records/device_entry.h"
#include "records/pass_through_request.h"

namespace tr350 {

// The reader's vendor opcodes (CDB byte 0).
enum class VendorOpcode : std::uint8_t {
  kReadDeviceInfo = 0xD0,
  kForceCpuReset = 0xE2,
  kReadSectors = 0xE5,
  kWriteSectors = 0xE6,
  kFlashCmdOut = 0xE7,
  kFlashCmdIn = 0xE8,
};

// CDB bytes 6-7 of the 8- and 16-byte vendor commands (0xD0, 0xE2, 0xE7, 0xE8).
inline constexpr std::array<std::uint8_t, 2> kVendorSignature = {0x2A, 0x7E};

inline constexpr std::uint32_t kRequestTimeoutSeconds = 5;
inline constexpr std::uint32_t kAccessWaitMs = 5000;
// The carrier CDB has room for 8 flash command bytes (bytes 8-15).
inline constexpr std::size_t kMaxFlashCmdBytes = 8;
// The carrier CDB carries the transfer length in 16 bits.
inline constexpr std::size_t kMaxCarrierTransfer = 0xFFFF;

// A zeroed request with the fields every command shares: Length 44, TargetId 1, SenseInfoLength
// 32, TimeOutValue 5 s, SenseInfoOffset 48.
PassThroughRequest MakePassThroughRequest();

// Size of a transfer from the device for `requested` bytes: the reader cannot return a single
// byte, so a 1-byte request travels as 2.
std::uint32_t InTransferSize(std::size_t requested);

// Opens the reader's disk, sends the request with `buffer` as its data phase and closes the disk
// again. True when the call succeeded and the SCSI status is 0 or 1. Fails without opening
// anything when diskPath is empty or the buffer is smaller than DataTransferLength. A failed open
// or call, or another status, is recorded as the reader's last failure.
bool SendPassThrough(const DeviceEntry& device, PassThroughRequest& request,
                     std::span<std::uint8_t> buffer);

// Sends a request whose data phase goes to the device straight from `data` (DataIn 0).
bool SendDataOut(const DeviceEntry& device, PassThroughRequest& request,
                 std::span<const std::uint8_t> data);

// Sends a request whose data phase comes from the device through a zero-filled bounce buffer of
// InTransferSize(out.size()) bytes; out receives out.size() bytes on success and is untouched on
// failure. The caller writes the CDB (with InTransferSize where the CDB holds the length).
bool SendDataIn(const DeviceEntry& device, PassThroughRequest& request,
                std::span<std::uint8_t> out);

// One serial-flash transaction with data to the device (0xE7): cmdBytes (at most 8) then data.
// Fails without opening anything when cmdBytes is null or too long.
bool FlashCmdOut(const DeviceEntry& device, std::span<const std::uint8_t> cmdBytes,
                 std::span<const std::uint8_t> data);

// One serial-flash transaction with data from the device (0xE8) into out. Fails without opening
// anything when cmdBytes is null or too long, or out is null or empty (nothing to receive).
bool FlashCmdIn(const DeviceEntry& device, std::span<const std::uint8_t> cmdBytes,
                std::span<std::uint8_t> out);

// Why a reader's command failed last, kept per disk path in a process-wide table (thread-safe; an
// entry lives until forgotten). `cause` is the last failed open, call, status or lock wait;
// `address` the storage address of the piece that a flash or sector transfer was moving then.
struct CommandFailure {
  std::optional<platform::Cause> cause;
  std::optional<std::uint32_t> address;
};
CommandFailure LastFailure(const DeviceEntry& device);
// Clears the reader's record: what fails after this is the next step's cause.
void ForgetFailure(const DeviceEntry& device);
void RecordFailure(const DeviceEntry& device, const platform::Cause& cause);
void NoteFailedAddress(const DeviceEntry& device, std::uint32_t address);

// Holds the reader's access mutex for the length of one operation. Waits up to 5,000 ms; only a
// signalled wait counts. A wait that ends otherwise (timed out, abandoned, failed) is not held and
// is never released. A held mutex is released exactly once, when the lock goes out of scope.
class AccessLock {
 public:
  explicit AccessLock(platform::MutexHandle mutex);
  // The same on the device's mutex; a wait that is not held is recorded as its last failure.
  explicit AccessLock(const DeviceEntry& device);
  ~AccessLock();
  AccessLock(const AccessLock&) = delete;
  AccessLock& operator=(const AccessLock&) = delete;

  bool Held() const { return sync_ != nullptr; }

 private:
  platform::Mutexes* sync_ = nullptr;  // set only while held
  platform::MutexHandle mutex_;
  platform::Cause lastWait_;  // why a wait was not held
};

}  // namespace tr350

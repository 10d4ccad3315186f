// The pass-through transport: request template, send, bounce buffering, carrier commands and the
// access lock.
#include "transport/pass_through.h"

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

namespace tr350 {
namespace {

constexpr std::uint16_t kHeaderLength = 44;
constexpr std::uint8_t kTargetId = 1;
constexpr std::uint8_t kSenseInfoLength = 32;
constexpr std::uint32_t kSenseInfoOffset = 48;
constexpr std::uint8_t kCarrierCdbLength = 16;

constexpr std::uint8_t kStatusGood = 0;
constexpr std::uint8_t kStatusAcceptedToo = 1;  // the reader completes some commands with 1

// A zero-filled buffer for one transfer from the device, freed when it goes out of scope. Null
// when memory is short, which fails the command instead of throwing.
class BounceBuffer {
 public:
  explicit BounceBuffer(std::uint32_t size)
      : data_(new (std::nothrow) std::uint8_t[size]()), size_(size) {}
  bool Valid() const { return data_ != nullptr; }
  std::span<std::uint8_t> Bytes() { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint32_t size_;
};

PassThroughRequest MakeCarrierRequest(VendorOpcode opcode, std::span<const std::uint8_t> cmdBytes,
                                      std::uint32_t transferLength) {
  PassThroughRequest request = MakePassThroughRequest();
  request.CdbLength = kCarrierCdbLength;
  request.Cdb[0] = static_cast<std::uint8_t>(opcode);
  request.Cdb[1] = static_cast<std::uint8_t>(cmdBytes.size());
  request.Cdb[4] = static_cast<std::uint8_t>(transferLength >> 8);
  request.Cdb[5] = static_cast<std::uint8_t>(transferLength);
  request.Cdb[6] = kVendorSignature[0];
  request.Cdb[7] = kVendorSignature[1];
  std::ranges::copy(cmdBytes, request.Cdb + 8);
  return request;
}

bool ValidCmdBytes(std::span<const std::uint8_t> cmdBytes) {
  return cmdBytes.data() != nullptr && cmdBytes.size() <= kMaxFlashCmdBytes;
}

// The failure records by disk path. Created on first use and never destroyed, so that it outlives
// every thread that may still send a command at exit.
struct FailureTable {
  std::mutex mutex;
  std::map<std::u16string, CommandFailure, std::less<>> byPath;
};

FailureTable& Failures() {
  static FailureTable* const table = new FailureTable;
  return *table;
}

// The cause of a completed request whose status is not good.
platform::Cause StatusCause(const PassThroughRequest& request) {
  platform::Cause cause{.operation = "SG_IO", .scsiStatus = request.ScsiStatus};
  cause.sense = platform::ParseSense(
      std::span(request.sense)
          .first(std::min<std::size_t>(request.SenseInfoLength, sizeof request.sense)));
  return cause;
}

// The backend's cause of the call that just failed on this thread; a generic one when it gave none.
platform::Cause CallCause(std::string_view operation) {
  return platform::LastCause().value_or(platform::Cause{.operation = operation});
}

}  // namespace

PassThroughRequest MakePassThroughRequest() {
  PassThroughRequest request{};
  request.Length = kHeaderLength;
  request.PathId = 0;
  request.TargetId = kTargetId;
  request.Lun = 0;
  request.SenseInfoLength = kSenseInfoLength;
  request.TimeOutValue = kRequestTimeoutSeconds;
  request.SenseInfoOffset = kSenseInfoOffset;
  return request;
}

std::uint32_t InTransferSize(std::size_t requested) {
  return requested == 1 ? 2 : static_cast<std::uint32_t>(requested);
}

bool SendPassThrough(const DeviceEntry& device, PassThroughRequest& request,
                     std::span<std::uint8_t> buffer) {
  const std::u16string_view path = FieldText(device.diskPath);
  if (path.empty()) return false;
  // The driver moves DataTransferLength bytes; never let it run past the buffer.
  if (request.DataTransferLength > buffer.size()) return false;

  // Opened for this one command only; the disk closes when `disk` goes out of scope.
  platform::ClearLastCause();
  const std::unique_ptr<platform::Disk> disk = platform::Current().Storage().OpenDisk(path);
  if (!disk) {
    RecordFailure(device, CallCause("open"));
    return false;
  }
  const bool completed = disk->SendRequest(request, buffer.first(request.DataTransferLength));
  if (!completed) {
    RecordFailure(device, CallCause("SG_IO"));
    return false;
  }
  if (request.ScsiStatus == kStatusGood || request.ScsiStatus == kStatusAcceptedToo) return true;
  RecordFailure(device, StatusCause(request));
  return false;
}

CommandFailure LastFailure(const DeviceEntry& device) {
  FailureTable& table = Failures();
  std::lock_guard lock(table.mutex);
  const auto it = table.byPath.find(FieldText(device.diskPath));
  return it == table.byPath.end() ? CommandFailure{} : it->second;
}

void ForgetFailure(const DeviceEntry& device) {
  FailureTable& table = Failures();
  std::lock_guard lock(table.mutex);
  const auto it = table.byPath.find(FieldText(device.diskPath));
  if (it != table.byPath.end()) table.byPath.erase(it);
}

void RecordFailure(const DeviceEntry& device, const platform::Cause& cause) {
  const std::u16string_view path = FieldText(device.diskPath);
  if (path.empty()) return;
  FailureTable& table = Failures();
  std::lock_guard lock(table.mutex);
  table.byPath[std::u16string(path)].cause = cause;
}

void NoteFailedAddress(const DeviceEntry& device, std::uint32_t address) {
  const std::u16string_view path = FieldText(device.diskPath);
  if (path.empty()) return;
  FailureTable& table = Failures();
  std::lock_guard lock(table.mutex);
  table.byPath[std::u16string(path)].address = address;
}

bool SendDataOut(const DeviceEntry& device, PassThroughRequest& request,
                 std::span<const std::uint8_t> data) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  request.DataIn = kDataOut;
  request.DataTransferLength = static_cast<std::uint32_t>(data.size());
  // Direct pass-through: the disk only reads a buffer whose DataIn is 0, so lending it the
  // caller's bytes without a copy keeps them unchanged.
  const std::span<std::uint8_t> buffer(const_cast<std::uint8_t*>(data.data()), data.size());
  return SendPassThrough(device, request, buffer);
}

bool SendDataIn(const DeviceEntry& device, PassThroughRequest& request,
                std::span<std::uint8_t> out) {
  if (out.data() == nullptr || out.empty()) return false;
  if (out.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  BounceBuffer bounce(InTransferSize(out.size()));
  if (!bounce.Valid()) return false;
  request.DataIn = kDataIn;
  request.DataTransferLength = static_cast<std::uint32_t>(bounce.Bytes().size());
  if (!SendPassThrough(device, request, bounce.Bytes())) return false;
  std::ranges::copy(bounce.Bytes().first(out.size()), out.begin());
  return true;
}

bool FlashCmdOut(const DeviceEntry& device, std::span<const std::uint8_t> cmdBytes,
                 std::span<const std::uint8_t> data) {
  if (!ValidCmdBytes(cmdBytes) || data.size() > kMaxCarrierTransfer) return false;
  PassThroughRequest request = MakeCarrierRequest(VendorOpcode::kFlashCmdOut, cmdBytes,
                                                  static_cast<std::uint32_t>(data.size()));
  return SendDataOut(device, request, data);
}

bool FlashCmdIn(const DeviceEntry& device, std::span<const std::uint8_t> cmdBytes,
                std::span<std::uint8_t> out) {
  if (!ValidCmdBytes(cmdBytes) || out.data() == nullptr || out.empty()) return false;
  if (out.size() > kMaxCarrierTransfer) return false;
  PassThroughRequest request =
      MakeCarrierRequest(VendorOpcode::kFlashCmdIn, cmdBytes, InTransferSize(out.size()));
  return SendDataIn(device, request, out);
}

AccessLock::AccessLock(platform::MutexHandle mutex) : mutex_(mutex) {
  if (!mutex) return;  // a record without a mutex cannot be locked: fail without waiting
  platform::Mutexes& sync = platform::Current().Sync();
  platform::ClearLastCause();
  switch (sync.Wait(mutex, kAccessWaitMs)) {
    case platform::WaitResult::kSignaled:
      sync_ = &sync;
      break;
    case platform::WaitResult::kTimedOut:
      lastWait_ = {.operation = "mutex wait", .detail = "timed out"};
      break;
    case platform::WaitResult::kFailed:
      lastWait_ = CallCause("mutex wait");
      break;
    case platform::WaitResult::kAbandoned:
      lastWait_ = {.operation = "mutex wait", .detail = "abandoned"};
      // The previous owner died mid-sequence: the operation does not run on the state it left.
      // The wait made this thread the owner, so give the mutex back; keeping it would lock every
      // other user out of the reader, and pass the abandonment on when this thread ends.
      sync.Release(mutex);
      break;
  }
}

AccessLock::AccessLock(const DeviceEntry& device) : AccessLock(device.accessMutex) {
  if (Held()) return;
  if (!device.accessMutex) {
    RecordFailure(device, {.operation = "mutex wait", .detail = "no mutex"});
  } else {
    RecordFailure(device, lastWait_);
  }
}

AccessLock::~AccessLock() {
  if (sync_ != nullptr) sync_->Release(mutex_);
}

}  // namespace tr350

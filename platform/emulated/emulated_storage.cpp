// The emulated storage backend: the platform side of the pass-through call, mapped onto the reader
// emulator's logical SCSI command.
#include "platform/emulated/emulated_storage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace tr350::platform {

struct EmulatedStorage::Slot {
  explicit Slot(std::shared_ptr<emulator::Reader> r) : reader(std::move(r)) {}
  const std::shared_ptr<emulator::Reader> reader;
  std::atomic<bool> present{true};
  std::atomic<bool> userMayOpen{true};
};

namespace {

constexpr std::uint16_t kPassThroughHeaderLength = 44;
constexpr std::uint8_t kMaxCdbLength = sizeof(PassThroughRequest::Cdb);
constexpr std::size_t kSenseAreaLength = sizeof(PassThroughRequest::sense);

class EmulatedDisk final : public Disk {
 public:
  EmulatedDisk(std::shared_ptr<EmulatedStorage::Slot> slot, std::uint64_t attachment)
      : slot_(std::move(slot)), attachment_(attachment) {}

  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    // The driver rejects a malformed request block before anything reaches the device.
    if (request.Length != kPassThroughHeaderLength || request.CdbLength == 0 ||
        request.CdbLength > kMaxCdbLength || request.SenseInfoLength > kSenseAreaLength ||
        request.DataTransferLength > buffer.size() || request.DataIn > kDataIn) {
      SetLastCause({.operation = "SG_IO", .osError = EINVAL});
      return false;
    }
    if (!slot_->present.load()) {
      SetLastCause({.operation = "SG_IO", .osError = ENODEV});
      return false;
    }

    emulator::ScsiCommand command;
    command.cdb = std::span<const std::uint8_t>(request.Cdb, request.CdbLength);
    command.data = buffer.first(request.DataTransferLength);
    if (request.DataTransferLength == 0) {
      command.direction = emulator::DataDirection::kNone;
    } else {
      command.direction = request.DataIn == kDataIn ? emulator::DataDirection::kFromDevice
                                                    : emulator::DataDirection::kToDevice;
    }

    const emulator::ScsiOutcome outcome = slot_->reader->Execute(attachment_, command);
    if (!outcome.delivered) {
      SetLastCause({.operation = "SG_IO", .osError = ENODEV});  // the attachment has ended
      return false;
    }
    request.ScsiStatus = outcome.status;
    if (outcome.sense) {
      const auto sense = outcome.sense->Bytes();
      const std::size_t n = std::min<std::size_t>(request.SenseInfoLength, sense.size());
      std::copy_n(sense.begin(), n, request.sense);
    }
    return true;
  }

 private:
  const std::shared_ptr<EmulatedStorage::Slot> slot_;
  const std::uint64_t attachment_;
};

}  // namespace

void EmulatedStorage::Attach(std::u16string_view interfacePath,
                             std::shared_ptr<emulator::Reader> reader) {
  auto slot = std::make_shared<Slot>(std::move(reader));
  std::lock_guard lock(mutex_);
  auto [it, inserted] = slots_.try_emplace(std::u16string(interfacePath), slot);
  if (!inserted) {
    it->second->present = false;
    it->second = std::move(slot);
  }
}

bool EmulatedStorage::Detach(std::u16string_view interfacePath) {
  std::lock_guard lock(mutex_);
  const auto it = slots_.find(interfacePath);
  if (it == slots_.end()) return false;
  it->second->present = false;
  slots_.erase(it);
  return true;
}

bool EmulatedStorage::DenyUserOpens(std::u16string_view interfacePath) {
  std::lock_guard lock(mutex_);
  const auto it = slots_.find(interfacePath);
  if (it == slots_.end()) return false;
  it->second->userMayOpen = false;
  return true;
}

std::shared_ptr<emulator::Reader> EmulatedStorage::ReaderAt(
    std::u16string_view interfacePath) const {
  std::lock_guard lock(mutex_);
  const auto it = slots_.find(interfacePath);
  return it == slots_.end() ? nullptr : it->second->reader;
}

std::vector<std::u16string> EmulatedStorage::Paths() const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> paths;
  for (const auto& entry : slots_) paths.push_back(entry.first);
  return paths;
}

std::unique_ptr<Disk> EmulatedStorage::OpenDisk(std::u16string_view interfacePath) {
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard lock(mutex_);
    const auto it = slots_.find(interfacePath);
    if (it == slots_.end()) {
      SetLastCause({.operation = "open", .osError = ENOENT});
      return nullptr;
    }
    slot = it->second;
  }
  // The node's permissions are checked before the device is reached, as the kernel does.
  if (!slot->userMayOpen.load()) {
    SetLastCause({.operation = "open", .osError = EACCES});
    return nullptr;
  }
  // Opened outside the storage lock: the reader may notify observers that call back in here.
  const std::optional<std::uint64_t> attachment = slot->reader->Open();
  if (!attachment) {
    const bool onBus = slot->reader->State() == emulator::BusState::kAttached;
    SetLastCause({.operation = "open", .osError = onBus ? EIO : ENODEV});
    return nullptr;
  }
  return std::make_unique<EmulatedDisk>(std::move(slot), *attachment);
}

}  // namespace tr350::platform

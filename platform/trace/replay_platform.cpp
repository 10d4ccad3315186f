// The replay: a cursor over the trace's records that each call of the tool must match, and the
// disks and sets that answer from the records they match.
#include "platform/trace/replay_platform.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

namespace tr350::platform::trace {
namespace {

// What a request that was not completed leaves in the status byte, as the real backends do.
constexpr std::uint8_t kScsiStatusNotCompleted = 0xFF;

const Cause kDivergedCause{.operation = "replay", .detail = "the tool's calls left the trace"};

}  // namespace

class Player {
 public:
  Player(Trace trace, Clock& clock) : trace_(std::move(trace)), clock_(clock) {}

  // The trace's next record when it is the call `sent`; null (with the cause set) once the replay
  // has diverged. Moves the clock on by the time the recorded call took.
  const Record* Take(const Call& sent) {
    const Record* record = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (report_.empty()) record = Match(sent);
    }
    if (record == nullptr) {
      SetLastCause(kDivergedCause);
      return nullptr;
    }
    if (record->answer.cause) SetLastCause(ToCause(*record->answer.cause));
    if (record->answer.elapsedMs != 0) {
      clock_.Sleep(static_cast<std::uint32_t>(
          std::min<std::uint64_t>(record->answer.elapsedMs, UINT32_MAX)));
    }
    return record;
  }

  std::uint32_t NextSet() {
    std::lock_guard lock(mutex_);
    return ++sets_;
  }
  std::uint32_t NextDisk() {
    std::lock_guard lock(mutex_);
    return ++disks_;
  }
  bool HasDeviceTree() const { return trace_.header.deviceTree; }

  bool Finish(std::optional<int> status) {
    std::lock_guard lock(mutex_);
    if (!report_.empty()) return false;
    if (next_ < trace_.records.size()) {
      const Record& left = trace_.records[next_];
      report_ = "The tool made fewer calls than the trace holds: " +
                std::to_string(trace_.records.size() - next_) +
                " record(s) left unused, from line " + std::to_string(left.line) +
                ":\n  trace: " + SummarizeCall(left.call) + "\n";
      return false;
    }
    if (trace_.result && status && *trace_.result != *status) {
      report_ = "The recorded run ended with exit status " + std::to_string(*trace_.result) +
                " (line " + std::to_string(trace_.resultLine) +
                "); the replay ended with exit status " + std::to_string(*status) + ".\n";
      return false;
    }
    return true;
  }
  bool Diverged() const {
    std::lock_guard lock(mutex_);
    return diverged_;
  }
  std::string Report() const {
    std::lock_guard lock(mutex_);
    return report_;
  }
  std::size_t Used() const {
    std::lock_guard lock(mutex_);
    return next_;
  }

 private:
  const Record* Match(const Call& sent) {
    if (next_ == trace_.records.size()) {
      const std::size_t last = trace_.records.empty() ? 0 : trace_.records.back().line;
      report_ = "The tool made a call after the trace's last record (line " + std::to_string(last) +
                "):\n  tool:  " + SummarizeCall(sent) + "\n";
    } else {
      const Record& record = trace_.records[next_];
      const std::string difference = FirstDifference(record.call, sent);
      if (difference.empty()) {
        ++next_;
        return &record;
      }
      report_ = "The tool's call differs from the trace at line " + std::to_string(record.line) +
                " (record " + std::to_string(next_ + 1) + " of " +
                std::to_string(trace_.records.size()) +
                "):\n  trace: " + SummarizeCall(record.call) + "\n  tool:  " + SummarizeCall(sent) +
                "\n  first difference: " + difference + "\n";
    }
    diverged_ = true;
    report_ += "Every call after it failed.\n";
    return nullptr;
  }

  // A cause's names must outlive the call that sets it: they are kept here for the replay's life.
  Cause ToCause(const CauseRecord& record) {
    std::lock_guard lock(mutex_);
    const auto keep = [this](const std::string& text) -> std::string_view {
      return *names_.insert(text).first;
    };
    return {.operation = keep(record.operation),
            .osError = record.osError,
            .detail = keep(record.detail),
            .scsiStatus = record.scsiStatus,
            .hostStatus = record.hostStatus,
            .driverStatus = record.driverStatus,
            .sense = record.sense};
  }

  const Trace trace_;
  Clock& clock_;
  mutable std::mutex mutex_;
  std::size_t next_ = 0;
  std::uint32_t sets_ = 0;
  std::uint32_t disks_ = 0;
  bool diverged_ = false;
  std::string report_;
  std::set<std::string, std::less<>> names_;
};

namespace {

class ReplayDisk final : public Disk {
 public:
  ReplayDisk(Player& player, std::uint32_t handle) : player_(player), handle_(handle) {}

  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    const Record* record = player_.Take(RequestCall(handle_, request, buffer));
    if (record == nullptr) {
      request.ScsiStatus = kScsiStatusNotCompleted;
      return false;
    }
    const Answer& answer = record->answer;
    request.ScsiStatus = answer.scsiStatus;
    std::copy(answer.sense.begin(), answer.sense.end(), std::begin(request.sense));
    // Never more than the matched call's own data phase, whatever the trace holds.
    const std::size_t length =
        std::min({answer.dataIn.size(), buffer.size(), std::size_t{request.DataTransferLength}});
    if (request.DataIn == kDataIn) {
      std::copy_n(answer.dataIn.begin(), length, buffer.begin());
    }
    return answer.ok;
  }

 private:
  Player& player_;
  const std::uint32_t handle_;
};

class ReplaySet final : public DeviceInfoSet {
 public:
  ReplaySet(Player& player, std::uint32_t handle, std::size_t size)
      : player_(player), handle_(handle), size_(size) {}

  std::size_t Size() const override { return size_; }
  std::optional<std::u16string> InstanceId(std::size_t index) const override {
    return Member(CallKind::kSetId, index);
  }
  std::optional<std::u16string> InterfacePath(std::size_t index) const override {
    return Member(CallKind::kSetPath, index);
  }

 private:
  std::optional<std::u16string> Member(CallKind kind, std::size_t index) const {
    const Record* record = player_.Take({.kind = kind, .handle = handle_, .member = index});
    return record != nullptr ? record->answer.text : std::nullopt;
  }

  Player& player_;
  const std::uint32_t handle_;
  const std::size_t size_;
};

}  // namespace

class ReplayPlatform::ReplayStorage final : public StorageIo {
 public:
  explicit ReplayStorage(Player& player) : player_(player) {}

  std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) override {
    const std::uint32_t handle = player_.NextDisk();
    const Record* record = player_.Take(
        {.kind = CallKind::kDiskOpen, .handle = handle, .text = std::u16string(interfacePath)});
    if (record == nullptr || !record->answer.ok) return nullptr;
    return std::make_unique<ReplayDisk>(player_, handle);
  }

 private:
  Player& player_;
};

class ReplayPlatform::ReplayDevices final : public DeviceSetup {
 public:
  explicit ReplayDevices(Player& player) : player_(player) {}

  bool HasDeviceTree() const override { return player_.HasDeviceTree(); }
  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) override {
    const std::uint32_t handle = player_.NextSet();
    const Record* record = player_.Take(
        {.kind = CallKind::kSetOpen, .handle = handle, .interfaceClass = interfaceClass});
    if (record == nullptr || !record->answer.ok) return nullptr;
    return std::make_unique<ReplaySet>(player_, handle, record->answer.setSize);
  }
  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) override {
    return Node(CallKind::kChild, nodeId);
  }
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) override {
    return Node(CallKind::kSibling, nodeId);
  }
  DeviceNodeDetails Details(std::u16string_view nodeId) override {
    const Record* record =
        player_.Take({.kind = CallKind::kDetails, .text = std::u16string(nodeId)});
    return record != nullptr ? record->answer.details : DeviceNodeDetails{};
  }

 private:
  std::optional<std::u16string> Node(CallKind kind, std::u16string_view nodeId) {
    const Record* record = player_.Take({.kind = kind, .text = std::u16string(nodeId)});
    return record != nullptr ? record->answer.text : std::nullopt;
  }

  Player& player_;
};

ReplayPlatform::ReplayPlatform(Trace trace, ModuleResources& resources, Mutexes& sync, Clock& clock)
    : resources_(resources),
      sync_(sync),
      clock_(clock),
      player_(std::make_unique<Player>(std::move(trace), clock)),
      storage_(std::make_unique<ReplayStorage>(*player_)),
      devices_(std::make_unique<ReplayDevices>(*player_)) {}

ReplayPlatform::~ReplayPlatform() = default;

StorageIo& ReplayPlatform::Storage() {
  return *storage_;
}
DeviceSetup& ReplayPlatform::Devices() {
  return *devices_;
}
bool ReplayPlatform::Diverged() const {
  return player_->Diverged();
}
bool ReplayPlatform::Finish(std::optional<int> status) {
  return player_->Finish(status);
}
std::string ReplayPlatform::Report() const {
  return player_->Report();
}
std::size_t ReplayPlatform::RecordsUsed() const {
  return player_->Used();
}

}  // namespace tr350::platform::trace

// The recording decorator: each wrapped call runs exactly as it would alone; what it was asked and
// what it answered is written afterwards, one record per call.
#include "platform/trace/recording_platform.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/trace/trace_format.h"

namespace tr350::platform::trace {

// The stream and the numbering of sets and disks, shared by everything opened through the platform.
class Recorder {
 public:
  Recorder(std::ostream& out, bool flushEachRecord) : out_(out), flush_(flushEachRecord) {}

  void WriteLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    out_ << line << '\n';
    if (flush_) out_.flush();
    if (!out_) complete_ = false;
    ++records_;
  }
  std::uint32_t NextSet() {
    std::lock_guard lock(mutex_);
    return ++sets_;
  }
  std::uint32_t NextDisk() {
    std::lock_guard lock(mutex_);
    return ++disks_;
  }
  bool Complete() const {
    std::lock_guard lock(mutex_);
    return complete_;
  }
  std::uint64_t Records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::ostream& out_;
  const bool flush_;
  bool complete_ = true;
  std::uint32_t sets_ = 0;
  std::uint32_t disks_ = 0;
  std::uint64_t records_ = 0;
};

namespace {

// Runs one platform call and takes the cause it recorded, if any, leaving the thread's last cause
// as the call alone would have left it.
template <typename F>
auto CallKeepingCause(F&& call, std::optional<CauseRecord>& cause) {
  const std::optional<Cause> before = LastCause();
  ClearLastCause();
  auto result = std::forward<F>(call)();
  if (const std::optional<Cause> after = LastCause()) {
    cause = ToRecord(*after);
  } else if (before) {
    SetLastCause(*before);
  }
  return result;
}

class RecordingDisk final : public Disk {
 public:
  RecordingDisk(std::unique_ptr<Disk> inner, std::uint32_t handle, Recorder& recorder, Clock& clock)
      : inner_(std::move(inner)), handle_(handle), recorder_(recorder), clock_(clock) {}

  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    const Call call = RequestCall(handle_, request, buffer);
    Answer answer;
    const std::uint64_t start = clock_.NowMs();
    answer.ok =
        CallKeepingCause([&] { return inner_->SendRequest(request, buffer); }, answer.cause);
    answer.elapsedMs = clock_.NowMs() - start;
    answer.scsiStatus = request.ScsiStatus;
    std::copy(std::begin(request.sense), std::end(request.sense), answer.sense.begin());
    if (request.DataIn == kDataIn) {
      const std::size_t length = std::min<std::size_t>(request.DataTransferLength, buffer.size());
      answer.dataIn.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
    }
    recorder_.WriteLine(FormatRecord(call, answer));
    return answer.ok;
  }

 private:
  std::unique_ptr<Disk> inner_;
  const std::uint32_t handle_;
  Recorder& recorder_;
  Clock& clock_;
};

class RecordingSet final : public DeviceInfoSet {
 public:
  RecordingSet(std::unique_ptr<DeviceInfoSet> inner, std::uint32_t handle, Recorder& recorder)
      : inner_(std::move(inner)), handle_(handle), recorder_(recorder) {}

  std::size_t Size() const override { return inner_->Size(); }
  std::optional<std::u16string> InstanceId(std::size_t index) const override {
    return Record(CallKind::kSetId, index, inner_->InstanceId(index));
  }
  std::optional<std::u16string> InterfacePath(std::size_t index) const override {
    return Record(CallKind::kSetPath, index, inner_->InterfacePath(index));
  }

 private:
  std::optional<std::u16string> Record(CallKind kind, std::size_t index,
                                       std::optional<std::u16string> text) const {
    Answer answer;
    answer.text = std::move(text);
    recorder_.WriteLine(
        FormatRecord(Call{.kind = kind, .handle = handle_, .member = index}, answer));
    return std::move(answer.text);
  }

  std::unique_ptr<DeviceInfoSet> inner_;
  const std::uint32_t handle_;
  Recorder& recorder_;
};

}  // namespace

class RecordingPlatform::RecordedStorage final : public StorageIo {
 public:
  RecordedStorage(Platform& inner, Recorder& recorder) : inner_(inner), recorder_(recorder) {}

  std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) override {
    Call call{.kind = CallKind::kDiskOpen, .text = std::u16string(interfacePath)};
    Answer answer;
    const std::uint64_t start = inner_.Time().NowMs();
    std::unique_ptr<Disk> disk =
        CallKeepingCause([&] { return inner_.Storage().OpenDisk(interfacePath); }, answer.cause);
    answer.elapsedMs = inner_.Time().NowMs() - start;
    answer.ok = disk != nullptr;
    call.handle = recorder_.NextDisk();
    recorder_.WriteLine(FormatRecord(call, answer));
    if (!disk) return nullptr;
    return std::make_unique<RecordingDisk>(std::move(disk), call.handle, recorder_, inner_.Time());
  }

 private:
  Platform& inner_;
  Recorder& recorder_;
};

class RecordingPlatform::RecordedDevices final : public DeviceSetup {
 public:
  RecordedDevices(Platform& inner, Recorder& recorder) : inner_(inner), recorder_(recorder) {}

  bool HasDeviceTree() const override { return inner_.Devices().HasDeviceTree(); }

  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) override {
    Call call{.kind = CallKind::kSetOpen, .interfaceClass = interfaceClass};
    Answer answer;
    const std::uint64_t start = inner_.Time().NowMs();
    std::unique_ptr<DeviceInfoSet> set = CallKeepingCause(
        [&] { return inner_.Devices().OpenPresent(interfaceClass); }, answer.cause);
    answer.elapsedMs = inner_.Time().NowMs() - start;
    answer.ok = set != nullptr;
    answer.setSize = set ? set->Size() : 0;
    call.handle = recorder_.NextSet();
    recorder_.WriteLine(FormatRecord(call, answer));
    if (!set) return nullptr;
    return std::make_unique<RecordingSet>(std::move(set), call.handle, recorder_);
  }

  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) override {
    return Record(CallKind::kChild, nodeId, inner_.Devices().FirstChild(nodeId));
  }
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) override {
    return Record(CallKind::kSibling, nodeId, inner_.Devices().NextSibling(nodeId));
  }
  DeviceNodeDetails Details(std::u16string_view nodeId) override {
    Answer answer;
    answer.details = inner_.Devices().Details(nodeId);
    recorder_.WriteLine(
        FormatRecord(Call{.kind = CallKind::kDetails, .text = std::u16string(nodeId)}, answer));
    return std::move(answer.details);
  }

 private:
  std::optional<std::u16string> Record(CallKind kind, std::u16string_view nodeId,
                                       std::optional<std::u16string> text) {
    Answer answer;
    answer.text = std::move(text);
    recorder_.WriteLine(FormatRecord(Call{.kind = kind, .text = std::u16string(nodeId)}, answer));
    return std::move(answer.text);
  }

  Platform& inner_;
  Recorder& recorder_;
};

RecordingPlatform::RecordingPlatform(Platform& inner, std::ostream& out, std::string_view command,
                                     bool flushEachRecord)
    : inner_(inner),
      recorder_(std::make_unique<Recorder>(out, flushEachRecord)),
      storage_(std::make_unique<RecordedStorage>(inner, *recorder_)),
      devices_(std::make_unique<RecordedDevices>(inner, *recorder_)) {
  std::string header = FormatHeaderLines({.emulated = inner.Emulated(),
                                          .deviceTree = inner.Devices().HasDeviceTree(),
                                          .command = std::string(command)});
  header.pop_back();  // WriteLine ends it
  recorder_->WriteLine(header);
}

RecordingPlatform::~RecordingPlatform() = default;

StorageIo& RecordingPlatform::Storage() {
  return *storage_;
}
DeviceSetup& RecordingPlatform::Devices() {
  return *devices_;
}

void RecordingPlatform::RecordResult(int status) {
  recorder_->WriteLine(FormatResult(status));
}
bool RecordingPlatform::Complete() const {
  return recorder_->Complete();
}
std::uint64_t RecordingPlatform::RecordCount() const {
  return recorder_->Records();
}

}  // namespace tr350::platform::trace

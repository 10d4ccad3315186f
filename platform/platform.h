// The operating system as the rest of the tool sees it: a few abstract services, composed into one
// Platform instance that is chosen at start-up. Nothing outside platform/ includes an OS header.
// Every call below that can fail keeps its result and records why it failed as the calling
// thread's LastCause() (platform/cause.h) before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/cause.h"
#include "records/pass_through_request.h"

namespace tr350::platform {

// ---- Storage I/O ---------------------------------------------------------------------------

// One open disk device; closed when destroyed. Used by one thread at a time.
class Disk {
 public:
  virtual ~Disk() = default;
  // Sends one request synchronously. The data phase uses `buffer` (empty when there is none) in
  // the direction of request.DataIn, request.DataTransferLength bytes of it (never more than
  // buffer.size()). Writes the command's SCSI status byte into request.ScsiStatus and any sense
  // data into request.sense. Returns false when the call itself failed (nothing was completed;
  // the cause "SG_IO" is recorded). A completed request's status is the caller's to judge.
  virtual bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) = 0;
};

// Thread-safe.
class StorageIo {
 public:
  virtual ~StorageIo() = default;
  // Opens the disk named by its interface path for reading and writing, shared. Null on failure,
  // with the cause "open" recorded (EACCES: the user may not open the node).
  virtual std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) = 0;
};

// ---- Named mutexes ---------------------------------------------------------------------------

// A handle as the OS hands it out: a plain value that records copy. 0 is the null handle. A handle
// that was closed stays invalid (values are not reused), so a stale copy fails its waits.
struct MutexHandle {
  std::uint64_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(MutexHandle, MutexHandle) = default;
};

enum class WaitResult { kSignaled, kTimedOut, kAbandoned, kFailed };

// Named mutexes shared by the threads of one process and by processes, with the semantics of the
// Windows kind: owned by a thread, recursive for the owner, abandoned when the owner dies.
// Thread-safe.
class Mutexes {
 public:
  virtual ~Mutexes() = default;
  // Opens the mutex of this name, creating it when it does not exist. Null on failure (cause
  // "mutex open").
  virtual MutexHandle Open(std::u16string_view name) = 0;
  // An abandoned wait gives the caller ownership, as on Windows. kFailed records the cause
  // "mutex wait".
  virtual WaitResult Wait(MutexHandle handle, std::uint32_t timeoutMs) = 0;
  // False when the calling thread does not own the mutex or the handle is invalid.
  virtual bool Release(MutexHandle handle) = 0;
  virtual void Close(MutexHandle handle) = 0;
};

// Closes its handle when destroyed.
class UniqueMutex {
 public:
  UniqueMutex() = default;
  UniqueMutex(Mutexes& owner, MutexHandle handle) : owner_(&owner), handle_(handle) {}
  UniqueMutex(UniqueMutex&& other) noexcept : owner_(other.owner_), handle_(other.Detach()) {}
  UniqueMutex& operator=(UniqueMutex&& other) noexcept {
    if (this != &other) {
      Reset();
      owner_ = other.owner_;
      handle_ = other.Detach();
    }
    return *this;
  }
  UniqueMutex(const UniqueMutex&) = delete;
  UniqueMutex& operator=(const UniqueMutex&) = delete;
  ~UniqueMutex() { Reset(); }

  MutexHandle Get() const { return handle_; }
  MutexHandle Detach() {
    MutexHandle h = handle_;
    handle_ = {};
    return h;
  }
  void Reset() {
    if (handle_ && owner_ != nullptr) owner_->Close(handle_);
    handle_ = {};
  }

 private:
  Mutexes* owner_ = nullptr;
  MutexHandle handle_;
};

// ---- Time ------------------------------------------------------------------------------------

// Thread-safe. Tests use a virtual clock on which Sleep costs no wall time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Monotonic milliseconds since an arbitrary start.
  virtual std::uint64_t NowMs() = 0;
};

// The time `afterMs` past `nowMs` on a clock's milliseconds; saturates rather than wraps, so that
// an "infinite" timeout stays in the future.
constexpr std::uint64_t DeadlineAfter(std::uint64_t nowMs, std::uint64_t afterMs) {
  return nowMs > UINT64_MAX - afterMs ? UINT64_MAX : nowMs + afterMs;
}
inline std::uint64_t DeadlineAfter(Clock& clock, std::uint64_t afterMs) {
  return DeadlineAfter(clock.NowMs(), afterMs);
}

// ---- Module resources ------------------------------------------------------------------------

struct FileVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

inline constexpr std::uint16_t kResourceTypeVersion = 16;  // RT_VERSION

// The resources of the running program's own module. Thread-safe; returned bytes stay valid for
// the lifetime of the object.
class ModuleResources {
 public:
  virtual ~ModuleResources() = default;
  // The bytes of the resource of this numeric type and id; nullopt when there is none (when the
  // program file cannot be read, the cause "resources" is recorded).
  virtual std::optional<std::span<const std::uint8_t>> Find(std::uint16_t type,
                                                            std::uint16_t id) = 0;
  // The file version from the program file's version resource; nullopt when it has none.
  virtual std::optional<FileVersion> ProgramFileVersion() = 0;
};

// ---- Device setup and the device tree ----------------------------------------------------------

// The two device interface classes the search uses.
enum class InterfaceClass {
  kUsbDevice,  // USB devices (the candidates)
  kDisk,       // disks (the interface path is what the transport opens)
};

// A snapshot of the present members of one interface class, taken when the set was opened, in the
// system's enumeration order. Member n exposes interface n of the class. Device instance IDs and
// interface paths are UTF-16 text; instance IDs compare without regard to case. Used by one
// thread at a time.
class DeviceInfoSet {
 public:
  virtual ~DeviceInfoSet() = default;
  virtual std::size_t Size() const = 0;
  // nullopt past the end, or when the member vanished and its ID can no longer be read.
  virtual std::optional<std::u16string> InstanceId(std::size_t index) const = 0;
  virtual std::optional<std::u16string> InterfacePath(std::size_t index) const = 0;
};

// A set whose members were all read when it was opened: what a backend that reads the system's
// list at once hands out.
class SnapshotDeviceSet final : public DeviceInfoSet {
 public:
  struct Member {
    std::optional<std::u16string> instanceId;
    std::optional<std::u16string> interfacePath;
  };
  explicit SnapshotDeviceSet(std::vector<Member> members) : members_(std::move(members)) {}
  std::size_t Size() const override { return members_.size(); }
  std::optional<std::u16string> InstanceId(std::size_t index) const override {
    return index < members_.size() ? members_[index].instanceId : std::nullopt;
  }
  std::optional<std::u16string> InterfacePath(std::size_t index) const override {
    return index < members_.size() ? members_[index].interfacePath : std::nullopt;
  }

 private:
  std::vector<Member> members_;
};

// What the system tells cheaply about a node; empty or 0 where it has nothing.
struct DeviceNodeDetails {
  std::u16string description;  // friendly name / product, else manufacturer-less description
  std::u16string manufacturer;
  std::u16string parentInstanceId;
  std::int32_t hubNumber = 0;   // e.g. the USB bus number
  std::int32_t portNumber = 0;  // 1-based port on the parent hub
};

// Device information sets and the device tree: a USB device node, its interface nodes below it,
// and a disk node below an interface. Thread-safe.
class DeviceSetup {
 public:
  virtual ~DeviceSetup() = default;
  // False where the system has no device tree to walk (the child and sibling queries then fail).
  virtual bool HasDeviceTree() const = 0;
  // The present members of a class; null when the set cannot be opened (cause "device set").
  virtual std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) = 0;
  // The first child / next sibling of a present node; nullopt when there is none.
  virtual std::optional<std::u16string> FirstChild(std::u16string_view nodeId) = 0;
  virtual std::optional<std::u16string> NextSibling(std::u16string_view nodeId) = 0;
  virtual DeviceNodeDetails Details(std::u16string_view nodeId) = 0;
};

enum class DeviceChange { kArrival, kRemovalComplete };

// Reports USB device arrival and removal. Listeners run on a thread of the backend's; they must
// return quickly (the window only arms a timer). Thread-safe.
class DeviceNotifications {
 public:
  using Listener = std::function<void(DeviceChange)>;
  // Ends the subscription when destroyed; no call of its listener starts after that returns.
  class Subscription {
   public:
    virtual ~Subscription() = default;
  };
  virtual ~DeviceNotifications() = default;
  // Null when the system cannot report changes.
  virtual std::unique_ptr<Subscription> Subscribe(Listener listener) = 0;
};

// A machine without USB devices: what a platform without a device tree of its own offers.
class NoDevices final : public DeviceSetup, public DeviceNotifications {
 public:
  bool HasDeviceTree() const override { return true; }
  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass) override;
  std::optional<std::u16string> FirstChild(std::u16string_view) override { return std::nullopt; }
  std::optional<std::u16string> NextSibling(std::u16string_view) override { return std::nullopt; }
  DeviceNodeDetails Details(std::u16string_view) override { return {}; }
  std::unique_ptr<Subscription> Subscribe(Listener) override;
};

// ---- The platform ----------------------------------------------------------------------------

class Platform {
 public:
  virtual ~Platform() = default;
  virtual StorageIo& Storage() = 0;
  virtual Mutexes& Sync() = 0;
  virtual Clock& Time() = 0;
  virtual ModuleResources& Resources() = 0;
  virtual DeviceSetup& Devices() = 0;
  virtual DeviceNotifications& Notifications() = 0;
  // True for an emulated machine: what the tool keeps for real readers (their backups) must not
  // mix with what it keeps for emulated ones.
  virtual bool Emulated() const { return false; }
};

// A platform assembled from separate services (tests mix emulated and real ones). Does not own
// them.
class ComposedPlatform final : public Platform {
 public:
  ComposedPlatform(StorageIo& storage, Mutexes& sync, Clock& time, ModuleResources& resources)
      : storage_(storage), sync_(sync), time_(time), resources_(resources) {}
  StorageIo& Storage() override { return storage_; }
  Mutexes& Sync() override { return sync_; }
  Clock& Time() override { return time_; }
  ModuleResources& Resources() override { return resources_; }
  DeviceSetup& Devices() override { return *devices_; }
  DeviceNotifications& Notifications() override { return *notifications_; }

  // Without these the platform has no USB devices.
  void SetDevices(DeviceSetup& devices) { devices_ = &devices; }
  void SetNotifications(DeviceNotifications& notifications) { notifications_ = &notifications; }

 private:
  NoDevices noDevices_;
  DeviceSetup* devices_ = &noDevices_;
  DeviceNotifications* notifications_ = &noDevices_;
  StorageIo& storage_;
  Mutexes& sync_;
  Clock& time_;
  ModuleResources& resources_;
};

// Installs a platform as the current one for a scope and restores the previous one after.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

// The one platform instance of the process, installed by a ScopedPlatform at start-up (tests
// install their own) before any other thread starts; Current() must not be called before.
Platform& Current();
Platform* CurrentOrNull();

// Shorthands for the services of the current platform.
inline void Sleep(std::uint32_t milliseconds) {
  Current().Time().Sleep(milliseconds);
}

}  // namespace tr350::platform

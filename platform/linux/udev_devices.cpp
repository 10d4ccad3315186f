// libudev behind DeviceSetup and DeviceNotifications: sysfs classified into USB devices, USB
// interfaces and SCSI disks with a generic node, the folded tree over them, and the monitor thread.
#include "platform/linux/udev_devices.h"

#include "platform/text.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/sg_disk.h"

namespace tr350::platform {
namespace {

// ---- Handles ---------------------------------------------------------------------------------

struct UdevUnref {
  void operator()(udev* context) const { udev_unref(context); }
  void operator()(udev_device* device) const { udev_device_unref(device); }
  void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
  void operator()(udev_monitor* monitor) const { udev_monitor_unref(monitor); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevUnref>;

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);  // not retried: Linux releases the descriptor whatever it returns
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// ---- Text ------------------------------------------------------------------------------------

std::string_view OrEmpty(const char* text) {
  return text == nullptr ? std::string_view{} : text;
}

// Sysfs strings such as the SCSI vendor field are padded with blanks.
std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::u16string DisplayText(const char* text) {
  return Utf8ToUtf16(Trim(OrEmpty(text)), InvalidText::kReplace).value_or(std::u16string{});
}

std::optional<std::int32_t> ParseInt(std::string_view text) {
  text = Trim(text);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Orders sysfs paths with runs of digits compared by value, so that "1-2" precedes "1-10" and
// "host2" precedes "host10"; equal-valued runs such as "01" and "1" fall back to plain order, which
// keeps this a strict total order.
bool SysPathLess(std::string_view a, std::string_view b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && digit(a[endA])) ++endA;
      while (endB < b.size() && digit(b[endB])) ++endB;
      std::string_view runA = a.substr(i, endA - i);
      std::string_view runB = b.substr(j, endB - j);
      runA.remove_prefix(std::min(runA.find_first_not_of('0'), runA.size()));
      runB.remove_prefix(std::min(runB.find_first_not_of('0'), runB.size()));
      if (runA.size() != runB.size()) return runA.size() < runB.size();
      if (runA != runB) return runA < runB;
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

// A node ID must be a plain absolute sysfs device path: anything else ("..", doubled slashes) could
// make libudev read outside /sys/devices.
bool IsPlainSysPath(std::string_view path) {
  constexpr std::string_view kPrefix = "/sys/devices/";
  if (!path.starts_with(kPrefix)) return false;
  std::string_view rest = path.substr(kPrefix.size());
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

// ---- Classification --------------------------------------------------------------------------

enum class NodeKind { kUsbDevice, kUsbInterface, kDisk };

bool Is(udev_device* device, std::string_view subsystem, std::string_view devtype) {
  return device != nullptr && OrEmpty(udev_device_get_subsystem(device)) == subsystem &&
         OrEmpty(udev_device_get_devtype(device)) == devtype;
}

bool IsDirectAccessScsiDevice(udev_device* device) {
  return Is(device, "scsi", "scsi_device") &&
         ParseInt(OrEmpty(udev_device_get_sysattr_value(device, "type"))) == 0;
}

// Runs `visit` on each device of the subsystem (all of them, or only those below `under`), skipping
// devices that vanish mid-scan. False when the scan itself fails.
template <typename Visit>
bool ForEachDevice(udev& context, const char* subsystem, udev_device* under, Visit&& visit) {
  EnumeratePtr enumerate(udev_enumerate_new(&context));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0)
    return false;
  if (under != nullptr && udev_enumerate_add_match_parent(enumerate.get(), under) < 0) return false;
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return false;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    DevicePtr device(udev_device_new_from_syspath(&context, udev_list_entry_get_name(entry)));
    if (device) visit(device.get());
  }
  return true;
}

// The generic node (/dev/sgN) of each SCSI device, by the SCSI device's sysfs path; only those
// below `under` when it is given.
std::map<std::string, std::string> GenericNodes(udev& context, udev_device* under) {
  std::map<std::string, std::string> nodes;
  ForEachDevice(context, "scsi_generic", under, [&](udev_device* generic) {
    udev_device* parent = udev_device_get_parent(generic);
    const char* node = udev_device_get_devnode(generic);
    if (parent == nullptr || node == nullptr) return;
    // A SCSI device has one generic node; were there two, take the first in order.
    auto [it, added] = nodes.try_emplace(udev_device_get_syspath(parent), node);
    if (!added && SysPathLess(node, it->second)) it->second = node;
  });
  return nodes;
}

std::optional<std::string> GenericNodeOf(udev& context, udev_device* scsiDevice) {
  auto nodes = GenericNodes(context, scsiDevice);
  const auto it = nodes.find(udev_device_get_syspath(scsiDevice));
  if (it == nodes.end()) return std::nullopt;
  return std::move(it->second);
}

std::optional<NodeKind> Classify(udev& context, udev_device* device) {
  if (Is(device, "usb", "usb_device")) return NodeKind::kUsbDevice;
  if (Is(device, "usb", "usb_interface")) return NodeKind::kUsbInterface;
  if (IsDirectAccessScsiDevice(device) && GenericNodeOf(context, device)) return NodeKind::kDisk;
  return std::nullopt;
}

// The interface whose SCSI host carries this disk directly: disk -> target -> host -> interface.
// Nothing for a disk anywhere else, however far up a USB device may be.
udev_device* FoldedInterface(udev_device* disk) {
  udev_device* target = udev_device_get_parent(disk);
  if (!Is(target, "scsi", "scsi_target")) return nullptr;
  udev_device* host = udev_device_get_parent(target);
  if (!Is(host, "scsi", "scsi_host")) return nullptr;
  udev_device* interface = udev_device_get_parent(host);
  return Is(interface, "usb", "usb_interface") ? interface : nullptr;
}

// ---- Tree ------------------------------------------------------------------------------------

struct Node {
  DevicePtr device;
  NodeKind kind;
  std::string syspath;
};

std::optional<Node> FindNode(udev& context, std::u16string_view nodeId) {
  std::optional<std::string> path = InterfacePathToUtf8(nodeId);
  if (!path || !IsPlainSysPath(*path)) return std::nullopt;
  DevicePtr device(udev_device_new_from_syspath(&context, path->c_str()));
  if (!device || OrEmpty(udev_device_get_syspath(device.get())) != *path) return std::nullopt;
  const std::optional<NodeKind> kind = Classify(context, device.get());
  if (!kind) return std::nullopt;
  return Node{std::move(device), *kind, std::move(*path)};
}

// The node's parent in the presented tree; null for a root hub and for a disk outside USB.
udev_device* TreeParent(const Node& node) {
  switch (node.kind) {
    case NodeKind::kUsbDevice: {
      udev_device* parent = udev_device_get_parent(node.device.get());
      return Is(parent, "usb", "usb_device") ? parent : nullptr;
    }
    case NodeKind::kUsbInterface:
      return udev_device_get_parent(node.device.get());
    case NodeKind::kDisk:
      return FoldedInterface(node.device.get());
  }
  return nullptr;
}

bool IsChildOf(udev_device* device, std::string_view parentPath) {
  udev_device* parent = udev_device_get_parent(device);
  return parent != nullptr && OrEmpty(udev_device_get_syspath(parent)) == parentPath;
}

// The sysfs paths of the node's children, in order.
std::vector<std::string> Children(udev& context, udev_device* device, NodeKind kind) {
  const std::string_view path = OrEmpty(udev_device_get_syspath(device));
  std::vector<std::string> children;
  switch (kind) {
    case NodeKind::kUsbDevice:
      ForEachDevice(context, "usb", device, [&](udev_device* child) {
        if ((Is(child, "usb", "usb_device") || Is(child, "usb", "usb_interface")) &&
            IsChildOf(child, path))
          children.emplace_back(udev_device_get_syspath(child));
      });
      break;
    case NodeKind::kUsbInterface: {
      const auto generic = GenericNodes(context, device);
      ForEachDevice(context, "scsi", device, [&](udev_device* disk) {
        if (!IsDirectAccessScsiDevice(disk) || !generic.contains(udev_device_get_syspath(disk)))
          return;
        udev_device* interface = FoldedInterface(disk);
        if (interface != nullptr && OrEmpty(udev_device_get_syspath(interface)) == path)
          children.emplace_back(udev_device_get_syspath(disk));
      });
      break;
    }
    case NodeKind::kDisk:
      break;
  }
  std::sort(children.begin(), children.end(), SysPathLess);
  return children;
}

std::optional<std::u16string> ToId(std::string_view syspath) {
  return Utf8ToUtf16(syspath, InvalidText::kReject);
}

std::u16string IdOf(udev_device* device) {
  return device == nullptr ? std::u16string{}
                           : ToId(OrEmpty(udev_device_get_syspath(device))).value_or(u"");
}

// ---- Information sets ------------------------------------------------------------------------

struct Member {
  std::string syspath;
  std::u16string id;
  std::optional<std::u16string> interfacePath;
};

class SnapshotSet final : public DeviceInfoSet {
 public:
  explicit SnapshotSet(std::vector<Member> members) : members_(std::move(members)) {}
  std::size_t Size() const override { return members_.size(); }
  std::optional<std::u16string> InstanceId(std::size_t index) const override {
    if (index >= members_.size()) return std::nullopt;
    return members_[index].id;
  }
  std::optional<std::u16string> InterfacePath(std::size_t index) const override {
    if (index >= members_.size()) return std::nullopt;
    return members_[index].interfacePath;
  }

 private:
  std::vector<Member> members_;
};

std::optional<std::vector<Member>> UsbDeviceMembers(udev& context) {
  std::vector<Member> members;
  const bool scanned = ForEachDevice(context, "usb", nullptr, [&](udev_device* device) {
    if (!Is(device, "usb", "usb_device")) return;
    const std::string_view syspath = OrEmpty(udev_device_get_syspath(device));
    std::optional<std::u16string> id = ToId(syspath);
    if (!id) return;  // a name that UTF-16 cannot carry faithfully could not be looked up again
    const char* node = udev_device_get_devnode(device);
    std::optional<std::u16string> path =
        node == nullptr ? std::nullopt : Utf8ToUtf16(node, InvalidText::kReject);
    members.push_back({std::string(syspath), std::move(*id), std::move(path)});
  });
  if (!scanned) return std::nullopt;
  return members;
}

std::optional<std::vector<Member>> DiskMembers(udev& context) {
  const auto generic = GenericNodes(context, nullptr);
  std::vector<Member> members;
  const bool scanned = ForEachDevice(context, "scsi", nullptr, [&](udev_device* device) {
    if (!IsDirectAccessScsiDevice(device)) return;
    const std::string_view syspath = OrEmpty(udev_device_get_syspath(device));
    const auto node = generic.find(std::string(syspath));
    if (node == generic.end()) return;  // nothing the transport could open
    std::optional<std::u16string> id = ToId(syspath);
    std::optional<std::u16string> path = Utf8ToUtf16(node->second, InvalidText::kReject);
    if (!id || !path) return;
    members.push_back({std::string(syspath), std::move(*id), std::move(path)});
  });
  if (!scanned) return std::nullopt;
  return members;
}

// ---- Notifications ---------------------------------------------------------------------------

// One monitor and the thread that polls it. Created by Subscribe, used only by its thread until
// that is joined.
struct Watcher {
  UdevPtr context;
  MonitorPtr monitor;
  UniqueFd wake{-1};  // readable once the thread is to stop
  std::thread thread;
  bool stop = false;    // guarded by State::mutex
  bool failed = false;  // guarded by State::mutex: the thread ended on its own

  explicit Watcher(int wakeFd) : wake(wakeFd) {}
};

}  // namespace

// ---- UdevDeviceSetup -------------------------------------------------------------------------

std::unique_ptr<DeviceInfoSet> UdevDeviceSetup::OpenPresent(InterfaceClass interfaceClass) {
  errno = 0;
  UdevPtr context(udev_new());
  if (!context) {
    SetLastCause({.operation = "device set", .osError = errno != 0 ? errno : ENOMEM});
    return nullptr;
  }
  std::optional<std::vector<Member>> members = interfaceClass == InterfaceClass::kUsbDevice
                                                   ? UsbDeviceMembers(*context)
                                                   : DiskMembers(*context);
  if (!members) {
    SetLastCause({.operation = "device set", .osError = errno});
    return nullptr;
  }
  std::sort(members->begin(), members->end(),
            [](const Member& a, const Member& b) { return SysPathLess(a.syspath, b.syspath); });
  return std::make_unique<SnapshotSet>(std::move(*members));
}

std::optional<std::u16string> UdevDeviceSetup::FirstChild(std::u16string_view nodeId) {
  UdevPtr context(udev_new());
  if (!context) return std::nullopt;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return std::nullopt;
  const std::vector<std::string> children = Children(*context, node->device.get(), node->kind);
  if (children.empty()) return std::nullopt;
  return ToId(children.front());
}

std::optional<std::u16string> UdevDeviceSetup::NextSibling(std::u16string_view nodeId) {
  UdevPtr context(udev_new());
  if (!context) return std::nullopt;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return std::nullopt;
  udev_device* parent = TreeParent(*node);
  if (parent == nullptr) return std::nullopt;
  const std::optional<NodeKind> parentKind = Classify(*context, parent);
  if (!parentKind) return std::nullopt;
  const std::vector<std::string> siblings = Children(*context, parent, *parentKind);
  const auto self = std::find(siblings.begin(), siblings.end(), node->syspath);
  if (self == siblings.end() || std::next(self) == siblings.end()) return std::nullopt;
  return ToId(*std::next(self));
}

DeviceNodeDetails UdevDeviceSetup::Details(std::u16string_view nodeId) {
  DeviceNodeDetails details;
  UdevPtr context(udev_new());
  if (!context) return details;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return details;
  udev_device* device = node->device.get();
  details.parentInstanceId = IdOf(TreeParent(*node));
  switch (node->kind) {
    case NodeKind::kUsbDevice: {
      details.description = DisplayText(udev_device_get_sysattr_value(device, "product"));
      details.manufacturer = DisplayText(udev_device_get_sysattr_value(device, "manufacturer"));
      details.hubNumber =
          ParseInt(OrEmpty(udev_device_get_sysattr_value(device, "busnum"))).value_or(0);
      // devpath is the chain of ports from the root hub ("1.4"); a root hub's is "0".
      const std::string_view ports = OrEmpty(udev_device_get_sysattr_value(device, "devpath"));
      const std::size_t dot = ports.rfind('.');
      details.portNumber =
          ParseInt(dot == std::string_view::npos ? ports : ports.substr(dot + 1)).value_or(0);
      break;
    }
    case NodeKind::kUsbInterface:
      details.description = DisplayText(udev_device_get_sysattr_value(device, "interface"));
      break;
    case NodeKind::kDisk:
      details.description = DisplayText(udev_device_get_sysattr_value(device, "model"));
      details.manufacturer = DisplayText(udev_device_get_sysattr_value(device, "vendor"));
      break;
  }
  return details;
}

// ---- UdevNotifications -----------------------------------------------------------------------

// Shared by the backend and its subscriptions; its functions may be called from any thread. The
// members are guarded by `mutex`; a watcher's handles belong to its thread until it is joined.
struct UdevNotifications::State {
  std::mutex mutex;
  std::condition_variable idle;  // signalled when a listener call ends
  std::map<std::uint64_t, std::shared_ptr<const Listener>> listeners;
  std::uint64_t nextId = 0;
  std::unique_ptr<Watcher> current;
  std::vector<std::unique_ptr<Watcher>> retired;  // stopped, not joined yet
  std::uint64_t callingId = 0;                    // the listener being called; 0 when none
  std::thread::id callingThread;

  // The new listener's ID; nullopt when no monitor could be started.
  std::optional<std::uint64_t> Add(Listener listener);
  void Remove(std::uint64_t id);
  void Shutdown();

 private:
  std::unique_ptr<Watcher> Start();
  void Run(Watcher& watcher);
  void Dispatch(Watcher& watcher, DeviceChange change);
  // Stops the current watcher (under the lock).
  void Retire();
  // Takes the stopped watchers that the calling thread can join (under the lock).
  std::vector<std::unique_ptr<Watcher>> TakeJoinable();
  static void Join(std::vector<std::unique_ptr<Watcher>>& watchers);
};

std::unique_ptr<Watcher> UdevNotifications::State::Start() {
  UdevPtr context(udev_new());
  if (!context) return nullptr;
  MonitorPtr monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
  if (!monitor ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0)
    return nullptr;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  auto watcher = std::make_unique<Watcher>(wake);
  watcher->context = std::move(context);
  watcher->monitor = std::move(monitor);
  try {
    watcher->thread = std::thread([this, w = watcher.get()] { Run(*w); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return watcher;
}

void UdevNotifications::State::Run(Watcher& watcher) {
  const int monitorFd = udev_monitor_get_fd(watcher.monitor.get());
  while (true) {
    pollfd fds[2] = {{watcher.wake.get(), POLLIN, 0}, {monitorFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) return;  // asked to stop
    if ((fds[1].revents & POLLIN) != 0) {
      DevicePtr device(udev_monitor_receive_device(watcher.monitor.get()));
      if (!device) continue;  // filtered out or malformed
      const std::string_view action = OrEmpty(udev_device_get_action(device.get()));
      if (action == "add") Dispatch(watcher, DeviceChange::kArrival);
      if (action == "remove") Dispatch(watcher, DeviceChange::kRemovalComplete);
    } else if (fds[1].revents != 0) {
      break;  // the socket failed; polling on would spin
    }
  }
  std::lock_guard lock(mutex);
  watcher.failed = true;
}

void UdevNotifications::State::Dispatch(Watcher& watcher, DeviceChange change) {
  std::unique_lock lock(mutex);
  // A listener that subscribed again from inside its call may have a new watcher running beside
  // this one; calls stay one at a time.
  idle.wait(lock, [&] { return callingId == 0 || watcher.stop; });
  std::vector<std::uint64_t> ids;
  for (const auto& entry : listeners) ids.push_back(entry.first);
  for (const std::uint64_t id : ids) {
    if (watcher.stop) return;
    const auto it = listeners.find(id);
    if (it == listeners.end()) continue;  // ended by an earlier listener of this event
    const std::shared_ptr<const Listener> listener = it->second;
    callingId = id;
    callingThread = std::this_thread::get_id();
    lock.unlock();
    (*listener)(change);
    lock.lock();
    callingId = 0;
    idle.notify_all();
  }
}

void UdevNotifications::State::Retire() {
  if (!current) return;
  current->stop = true;
  const std::uint64_t one = 1;
  // Cannot fail short of a full counter, which a handful of writes never reaches.
  [[maybe_unused]] const ssize_t written = ::write(current->wake.get(), &one, sizeof one);
  retired.push_back(std::move(current));
  idle.notify_all();
}

std::vector<std::unique_ptr<Watcher>> UdevNotifications::State::TakeJoinable() {
  std::vector<std::unique_ptr<Watcher>> joinable;
  const auto self = std::this_thread::get_id();
  for (auto it = retired.begin(); it != retired.end();) {
    if ((*it)->thread.get_id() == self) {
      ++it;  // the listener call we are in runs on it; a later call joins it
    } else {
      joinable.push_back(std::move(*it));
      it = retired.erase(it);
    }
  }
  return joinable;
}

void UdevNotifications::State::Join(std::vector<std::unique_ptr<Watcher>>& watchers) {
  for (auto& watcher : watchers) {
    if (watcher->thread.joinable()) watcher->thread.join();
  }
  watchers.clear();
}

std::optional<std::uint64_t> UdevNotifications::State::Add(Listener listener) {
  std::vector<std::unique_ptr<Watcher>> joinable;
  std::optional<std::uint64_t> id;
  {
    std::lock_guard lock(mutex);
    if (current && current->failed) Retire();
    if (!current) current = Start();
    if (current) {
      id = ++nextId;
      listeners.emplace(*id, std::make_shared<const Listener>(std::move(listener)));
    }
    joinable = TakeJoinable();
  }
  Join(joinable);
  return id;
}

void UdevNotifications::State::Remove(std::uint64_t id) {
  std::vector<std::unique_ptr<Watcher>> joinable;
  {
    std::unique_lock lock(mutex);
    listeners.erase(id);
    // A call already running on another thread finishes before the subscription ends; a listener
    // that ends its own subscription is that call and must not wait for itself.
    idle.wait(lock, [&] { return callingId != id || callingThread == std::this_thread::get_id(); });
    if (listeners.empty()) Retire();
    joinable = TakeJoinable();
  }
  Join(joinable);
}

void UdevNotifications::State::Shutdown() {
  std::vector<std::unique_ptr<Watcher>> joinable;
  {
    std::lock_guard lock(mutex);
    listeners.clear();
    Retire();
    joinable = std::move(retired);
    retired.clear();
  }
  Join(joinable);
}

namespace {

// Runs `end` once, when destroyed.
class UdevSubscription final : public DeviceNotifications::Subscription {
 public:
  explicit UdevSubscription(std::function<void()> end) : end_(std::move(end)) {}
  ~UdevSubscription() override { end_(); }
  UdevSubscription(const UdevSubscription&) = delete;
  UdevSubscription& operator=(const UdevSubscription&) = delete;

 private:
  std::function<void()> end_;
};

}  // namespace

UdevNotifications::UdevNotifications() : state_(std::make_shared<State>()) {}

UdevNotifications::~UdevNotifications() {
  state_->Shutdown();
}

std::unique_ptr<DeviceNotifications::Subscription> UdevNotifications::Subscribe(Listener listener) {
  if (!listener) return nullptr;
  const std::optional<std::uint64_t> id = state_->Add(std::move(listener));
  if (!id) return nullptr;
  // The subscription keeps the state alive, so it may outlive this object.
  return std::make_unique<UdevSubscription>([state = state_, id = *id] { state->Remove(id); });
}

}  // namespace tr350::platform

// The machine's device tree: presence worked out from connections, hubs and the readers' bus
// state, instance IDs minted per arrival, the views the device setup takes, hooks, and the
// ordered delivery of arrival and removal events.
#include "emulator/machine.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace tr350::emulator {
namespace {

using platform::DeviceChange;
using platform::InterfaceClass;

constexpr std::string_view kUsbDeviceClassGuid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr std::string_view kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

char16_t UpperChar(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string UpperCase(std::u16string_view s) {
  std::u16string out(s);
  std::ranges::transform(out, out.begin(), UpperChar);
  return out;
}

std::u16string Widen(std::string_view ascii) {
  return {ascii.begin(), ascii.end()};
}

std::string Hex(std::uint32_t v, bool upper, int minDigits = 1) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0 || static_cast<int>(out.size()) < minDigits);
  return out;
}

// A bijection on 32 bits: distinct arrivals give distinct IDs that still look scattered.
std::uint32_t Scramble(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// A SCSI identity field as an instance ID carries it: printable ASCII, spaces as '_'.
std::string IdField(std::string_view text, bool upper) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c < 0x21 || c > 0x7E || c == '\\' || c == '#') c = '_';
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out.push_back(c);
  }
  return out;
}

// "\\?\" + the ID in lower case with '\' as '#' + "#" + the class GUID.
std::u16string InterfacePathOf(std::u16string_view id, std::string_view classGuid) {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : id) {
    const char16_t lower = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    path.push_back(lower == u'\\' ? u'#' : lower);
  }
  path += u"#";
  path += Widen(classGuid);
  return path;
}

std::string UsbIdPrefix(const UsbDeviceSpec& spec) {
  return "USB\\VID_" + Hex(spec.vendorId, true, 4) + "&PID_" + Hex(spec.productId, true, 4);
}

bool IsUsbDevice(NodeKind kind) {
  return kind == NodeKind::kHub || kind == NodeKind::kUsbDevice;
}

bool IsHub(NodeKind kind) {
  return kind == NodeKind::kRootHub || kind == NodeKind::kHub;
}

// The IDs and paths of one arrival of a device.
struct Arrival {
  std::uint64_t serial = 0;
  std::u16string id;
  std::u16string usbPath;
  std::vector<std::u16string> interfaces;
  std::vector<std::u16string> functions;  // per interface; empty when it has none
  std::u16string intermediate;
  std::u16string disk;
  std::u16string diskSetId;
  std::u16string diskPath;
};

struct Device {
  DeviceId id;
  NodeKind kind = NodeKind::kUsbDevice;
  std::optional<DeviceId> parent;
  std::uint8_t port = 0;
  std::uint8_t ports = 0;                  // hubs
  std::map<std::uint8_t, DeviceId> below;  // hubs: what is connected at each port
  UsbDeviceSpec spec;
  bool connected = true;
  bool powered = false;  // what the reader was last told
  // The reader's bus state as its reports tell it, whatever order they arrive in: the newest
  // attachment begun and the newest ended.
  std::uint64_t attachment = 0;
  std::uint64_t detachedUpTo = 0;
  std::optional<Arrival> arrival;  // set while present

  bool OnBus() const { return !spec.disk || attachment > detachedUpTo; }
};

struct NodeRef {
  DeviceId device;
  NodeKind kind = NodeKind::kUsbDevice;
  std::size_t index = 0;  // the interface, for interface and function nodes
};

struct CommandHook {
  DeviceId device;
  std::optional<std::uint8_t> opcode;
  std::uint64_t remaining = 1;
  Machine::Action action;
};

struct SetHook {
  InterfaceClass interfaceClass = InterfaceClass::kUsbDevice;
  std::uint64_t remaining = 1;
  Machine::Action action;
};

struct PowerChange {
  std::shared_ptr<Reader> reader;
  bool on = false;
};

}  // namespace

// ---- Subscriptions ------------------------------------------------------------------------------

struct Machine::Subscription::Entry {
  explicit Entry(Listener l) : listener(std::move(l)) {}

  void Deliver(const MachineEvent& event) {
    std::lock_guard lock(call);
    if (!active) return;
    caller = std::this_thread::get_id();
    listener(event);
    caller = std::thread::id{};
  }

  void End() {
    // From inside its own listener the call lock is already this thread's.
    if (caller.load() == std::this_thread::get_id()) {
      active = false;
      return;
    }
    std::lock_guard lock(call);
    active = false;
  }

  const Listener listener;
  std::mutex call;
  bool active = true;  // guarded by `call`
  std::atomic<std::thread::id> caller{};
};

// ---- State ------------------------------------------------------------------------------------

struct Machine::State {
  State(DiskHost h, std::uint32_t s) : host(std::move(h)), seed(s) {}

  const DiskHost host;
  const std::uint32_t seed;

  std::mutex ops;  // serialises topology changes together with the reader calls they make
  mutable std::mutex mutex;
  Machine* machine = nullptr;  // null once the machine is gone
  std::map<std::uint64_t, Device> devices;
  std::vector<DeviceId> roots;
  std::unordered_map<std::u16string, NodeRef> nodes;  // present nodes by upper-case ID
  std::unordered_set<std::uint64_t> presentArrivals;
  std::uint64_t nextDevice = 1;
  std::uint64_t nextArrival = 1;
  UsbOrder usbOrder = UsbOrder::kTree;
  DiskOrder diskOrder = DiskOrder::kUsbOrder;
  DiskIdCase diskIdCase = DiskIdCase::kOwnCase;
  std::vector<MachineEvent> log;
  std::deque<MachineEvent> pending;
  bool draining = false;
  int opsActive = 0;
  std::vector<std::shared_ptr<Subscription::Entry>> listeners;
  std::vector<CommandHook> commandHooks;
  std::vector<SetHook> setHooks;

  // ---- Under `mutex` ----

  Device& Get(DeviceId id) {
    const auto it = devices.find(id.value);
    if (it == devices.end()) throw std::invalid_argument("no such device");
    return it->second;
  }
  const Device* Find(DeviceId id) const {
    const auto it = devices.find(id.value);
    return it == devices.end() ? nullptr : &it->second;
  }

  // Every device, parents before children: buses in turn, ports ascending.
  std::vector<Device*> TreeOrder() {
    std::vector<Device*> order;
    for (DeviceId root : roots) Visit(Get(root), order);
    return order;
  }
  void Visit(Device& d, std::vector<Device*>& order) {
    order.push_back(&d);
    for (const auto& [port, child] : d.below) Visit(Get(child), order);
  }

  // Brings presence in line with connections, hubs and bus state. Readers whose power changes
  // are returned in `power`, to be told outside the lock.
  void Reconcile(std::vector<PowerChange>& power) {
    const std::vector<Device*> order = TreeOrder();
    std::unordered_map<std::uint64_t, bool> wanted;
    for (Device* d : order) {
      const bool parentUp = !d->parent || wanted[d->parent->value];
      const bool powered = d->connected && parentUp;
      if (d->spec.disk && powered != d->powered) {
        d->powered = powered;
        power.push_back({d->spec.disk, powered});
      }
      wanted[d->id.value] = powered && d->OnBus();
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      if ((*it)->arrival && !wanted[(*it)->id.value]) Remove(**it);
    }
    for (Device* d : order) {
      if (!d->arrival && wanted[d->id.value]) Arrive(*d);
    }
  }

  std::uint32_t Tag(std::uint64_t serial, std::uint32_t salt) const {
    return Scramble(static_cast<std::uint32_t>(seed * 0x9E3779B9u + serial) ^ salt);
  }

  void Arrive(Device& d) {
    Arrival a;
    a.serial = nextArrival++;
    const UsbDeviceSpec& s = d.spec;
    if (d.kind == NodeKind::kRootHub) {
      a.id = Widen("USB\\ROOT_HUB30\\4&" + Hex(Tag(a.serial, 0x4), true) + "&0&0");
    } else {
      a.id = Widen(UsbIdPrefix(s) + "\\5&" + Hex(Tag(a.serial, 0x5), true) + "&0&" +
                   std::to_string(d.port));
      a.usbPath = InterfacePathOf(a.id, kUsbDeviceClassGuid);
    }
    if (d.kind == NodeKind::kUsbDevice) {
      const bool hasInterfaces = s.placement != DiskPlacement::kBelowDevice || !s.disk;
      for (std::size_t i = 0; hasInterfaces && i < s.interfaces.size(); ++i) {
        const std::string mi = "&MI_" + Hex(static_cast<std::uint32_t>(i), true, 2);
        a.interfaces.push_back(Widen(UsbIdPrefix(s) + mi + "\\6&" + Hex(Tag(a.serial, 0x6), true) +
                                     "&0&" + Hex(static_cast<std::uint32_t>(i), true, 4)));
        const bool holdsDisk = s.disk && i == s.diskInterface;
        a.functions.push_back(
            s.interfaces[i].function.empty() || holdsDisk
                ? std::u16string()
                : Widen("HID\\VID_" + Hex(s.vendorId, true, 4) + "&PID_" +
                        Hex(s.productId, true, 4) + mi + "\\7&" +
                        Hex(Tag(a.serial, 0x70 + static_cast<std::uint32_t>(i)), true) +
                        "&0&0000"));
      }
      if (s.disk) {
        if (s.placement == DiskPlacement::kBelowIntermediate) {
          a.intermediate =
              Widen("USBSTOR\\ADAPTER\\7&" + Hex(Tag(a.serial, 0x8), true) + "&0&0000");
        }
        const std::uint32_t diskTag = Tag(a.serial, 0x7);
        const auto diskId = [&](bool upper) {
          return std::string("USBSTOR\\") + (upper ? "DISK&VEN_" : "Disk&Ven_") +
                 IdField(s.diskVendor, upper) + (upper ? "&PROD_" : "&Prod_") +
                 IdField(s.diskProduct, upper) + (upper ? "&REV_" : "&Rev_") +
                 IdField(s.diskRevision, upper) + "\\7&" + Hex(diskTag, upper) + "&0";
        };
        a.disk = Widen(diskId(true));
        a.diskSetId = Widen(diskId(false));
        a.diskPath = InterfacePathOf(a.disk, kDiskClassGuid);
      }
    }

    nodes[UpperCase(a.id)] = {d.id, d.kind, 0};
    for (std::size_t i = 0; i < a.interfaces.size(); ++i) {
      nodes[UpperCase(a.interfaces[i])] = {d.id, NodeKind::kInterface, i};
      if (!a.functions[i].empty())
        nodes[UpperCase(a.functions[i])] = {d.id, NodeKind::kFunction, i};
    }
    if (!a.intermediate.empty()) nodes[UpperCase(a.intermediate)] = {d.id, NodeKind::kIntermediate};
    if (!a.disk.empty()) nodes[UpperCase(a.disk)] = {d.id, NodeKind::kDisk};
    presentArrivals.insert(a.serial);
    d.arrival = std::move(a);

    const Arrival& now = *d.arrival;
    if (!now.disk.empty() && host.attach) {
      host.attach(now.diskPath, s.disk);
      if (!s.userMayOpenDisk && host.denyUserOpens) host.denyUserOpens(now.diskPath);
    }
    if (d.kind != NodeKind::kRootHub) Emit(DeviceChange::kArrival, d.id, d.kind, now.id);
    if (!now.disk.empty()) Emit(DeviceChange::kArrival, d.id, NodeKind::kDisk, now.disk);
  }

  void Remove(Device& d) {
    const Arrival& a = *d.arrival;
    if (!a.disk.empty()) {
      if (host.detach) host.detach(a.diskPath);
      Emit(DeviceChange::kRemovalComplete, d.id, NodeKind::kDisk, a.disk);
    }
    if (d.kind != NodeKind::kRootHub) Emit(DeviceChange::kRemovalComplete, d.id, d.kind, a.id);
    std::erase_if(nodes, [&](const auto& entry) { return entry.second.device == d.id; });
    presentArrivals.erase(a.serial);
    d.arrival.reset();
  }

  void Emit(DeviceChange change, DeviceId device, NodeKind kind, const std::u16string& id) {
    MachineEvent event{change, device, kind, id};
    log.push_back(event);
    pending.push_back(std::move(event));
  }

  // Present hubs and USB devices in the USB set's order.
  std::vector<const Device*> UsbOrderList() {
    std::vector<const Device*> list;
    for (const Device* d : TreeOrder()) {
      if (d->arrival && IsUsbDevice(d->kind)) list.push_back(d);
    }
    if (usbOrder == UsbOrder::kArrival) {
      std::ranges::stable_sort(list, {}, [](const Device* d) { return d->arrival->serial; });
    }
    return list;
  }

  // 1-based position of a hub among the present hubs, in tree order; 0 when not present.
  std::int32_t HubNumber(DeviceId hub) {
    std::int32_t n = 0;
    for (const Device* d : TreeOrder()) {
      if (!d->arrival || !IsHub(d->kind)) continue;
      ++n;
      if (d->id == hub) return n;
    }
    return 0;
  }

  std::optional<NodeRef> Lookup(std::u16string_view id) const {
    const auto it = nodes.find(UpperCase(id));
    if (it == nodes.end()) return std::nullopt;
    return it->second;
  }

  std::vector<std::u16string> Children(const NodeRef& n) const {
    const Device& d = *Find(n.device);
    const Arrival& a = *d.arrival;
    const UsbDeviceSpec& s = d.spec;
    std::vector<std::u16string> out;
    switch (n.kind) {
      case NodeKind::kRootHub:
      case NodeKind::kHub:
        for (const auto& [port, child] : d.below) {
          const Device& c = *Find(child);
          if (c.arrival) out.push_back(c.arrival->id);
        }
        break;
      case NodeKind::kUsbDevice:
        if (s.disk && s.placement == DiskPlacement::kBelowDevice) {
          out.push_back(a.disk);
        } else {
          out = a.interfaces;
        }
        break;
      case NodeKind::kInterface:
        if (s.disk && n.index == s.diskInterface) {
          out.push_back(s.placement == DiskPlacement::kBelowIntermediate ? a.intermediate : a.disk);
        } else if (!a.functions[n.index].empty()) {
          out.push_back(a.functions[n.index]);
        }
        break;
      case NodeKind::kIntermediate:
        out.push_back(a.disk);
        break;
      case NodeKind::kFunction:
      case NodeKind::kDisk:
        break;
    }
    return out;
  }

  std::u16string ParentId(const NodeRef& n) const {
    const Device& d = *Find(n.device);
    const Arrival& a = *d.arrival;
    switch (n.kind) {
      case NodeKind::kRootHub:
        return {};
      case NodeKind::kHub:
      case NodeKind::kUsbDevice:
        return Find(*d.parent)->arrival->id;
      case NodeKind::kInterface:
        return a.id;
      case NodeKind::kFunction:
      case NodeKind::kIntermediate:
        return a.interfaces[n.index];
      case NodeKind::kDisk:
        switch (d.spec.placement) {
          case DiskPlacement::kBelowDevice:
            return a.id;
          case DiskPlacement::kBelowInterface:
            return a.interfaces[d.spec.diskInterface];
          case DiskPlacement::kBelowIntermediate:
            return a.intermediate;
        }
    }
    return {};
  }

  // ---- Outside `mutex` ----

  // Delivers queued events in order. A thread that finds another delivering, or a topology
  // change under way, leaves its events to that one.
  void Drain() {
    std::unique_lock lock(mutex);
    if (draining || opsActive > 0) return;
    draining = true;
    while (!pending.empty()) {
      const MachineEvent event = std::move(pending.front());
      pending.pop_front();
      const auto targets = listeners;
      lock.unlock();
      for (const auto& entry : targets) entry->Deliver(event);
      lock.lock();
    }
    draining = false;
  }

  void OnBus(DeviceId id, BusEvent event, std::uint64_t attachment) {
    {
      std::lock_guard lock(mutex);
      if (machine == nullptr) return;
      Device& d = Get(id);
      if (event == BusEvent::kAttached) {
        d.attachment = std::max(d.attachment, attachment);
      } else {
        d.detachedUpTo = std::max(d.detachedUpTo, attachment);
      }
      // A reader's own comings and goings change no one's power: readers have nothing below.
      std::vector<PowerChange> none;
      Reconcile(none);
    }
    Drain();
  }

  void OnCommand(DeviceId id, std::uint8_t opcode) {
    std::vector<Action> due;
    Machine* owner = nullptr;
    {
      std::lock_guard lock(mutex);
      owner = machine;
      if (owner == nullptr || commandHooks.empty()) return;
      for (auto it = commandHooks.begin(); it != commandHooks.end();) {
        if (it->device == id && (!it->opcode || *it->opcode == opcode) && --it->remaining == 0) {
          due.push_back(std::move(it->action));
          it = commandHooks.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (Action& action : due) action(*owner);
  }
};

namespace {

// One topology change: holds the change lock, keeps event delivery back until the change and its
// reader calls are done, then delivers.
template <typename State>
class ChangeScope {
 public:
  explicit ChangeScope(State& state) : state_(state), lock_(state.ops) {
    std::lock_guard guard(state_.mutex);
    ++state_.opsActive;
  }
  ~ChangeScope() {
    {
      std::lock_guard guard(state_.mutex);
      --state_.opsActive;
    }
    lock_.unlock();
    state_.Drain();
  }
  ChangeScope(const ChangeScope&) = delete;
  ChangeScope& operator=(const ChangeScope&) = delete;

 private:
  State& state_;
  std::unique_lock<std::mutex> lock_;
};

void Apply(const std::vector<PowerChange>& power) {
  for (const PowerChange& p : power) {
    if (p.on) {
      p.reader->Plug();
    } else {
      p.reader->Unplug();
    }
  }
}

}  // namespace

Machine::Subscription::Subscription(std::weak_ptr<State> state, std::shared_ptr<Entry> entry)
    : state_(std::move(state)), entry_(std::move(entry)) {}

Machine::Subscription::~Subscription() {
  entry_->End();
  if (const auto state = state_.lock()) {
    std::lock_guard lock(state->mutex);
    std::erase(state->listeners, entry_);
  }
}

// ---- Ready-made devices -------------------------------------------------------------------------

UsbDeviceSpec ReaderDevice(std::shared_ptr<Reader> reader) {
  UsbDeviceSpec spec;
  spec.vendorId = 0x3C51;
  spec.productId = 0x4D08;
  spec.manufacturer = u"TR350";
  spec.product = u"TR350 SD Card Reader";
  spec.interfaces = {{u"USB Mass Storage Device", {}}};
  spec.disk = std::move(reader);
  return spec;
}

UsbDeviceSpec PlainDiskDevice(std::shared_ptr<Reader> disk) {
  UsbDeviceSpec spec;
  spec.vendorId = 0x2F14;
  spec.productId = 0x1100;
  spec.manufacturer = u"Generic";
  spec.product = u"USB Flash Disk";
  spec.disk = std::move(disk);
  spec.placement = DiskPlacement::kBelowDevice;
  spec.diskVendor = "GENERIC";
  spec.diskProduct = "FLASH DISK";
  spec.diskRevision = "1.00";
  return spec;
}

UsbDeviceSpec KeyboardDevice() {
  UsbDeviceSpec spec;
  spec.vendorId = 0x2F12;
  spec.productId = 0x2001;
  spec.manufacturer = u"Generic";
  spec.product = u"USB Keyboard";
  spec.interfaces = {{u"USB Input Device", u"HID Keyboard Device"},
                     {u"USB Input Device", u"HID-compliant consumer control device"}};
  return spec;
}

// ---- Machine ----------------------------------------------------------------------------------

Machine::Machine(DiskHost host, std::uint32_t seed)
    : state_(std::make_shared<State>(std::move(host), seed)) {
  state_->machine = this;
}

Machine::~Machine() {
  std::vector<std::shared_ptr<Reader>> readers;
  {
    std::lock_guard lock(state_->mutex);
    state_->machine = nullptr;
    for (auto& [key, d] : state_->devices) {
      if (!d.spec.disk) continue;
      readers.push_back(d.spec.disk);
      if (d.arrival && state_->host.detach) state_->host.detach(d.arrival->diskPath);
    }
    state_->commandHooks.clear();
    state_->setHooks.clear();
  }
  for (const auto& reader : readers) {
    reader->SetBusObserver({});
    reader->SetCommandObserver({});
  }
}

DeviceId Machine::AddBus(std::uint8_t ports) {
  State& s = *state_;
  ChangeScope change(s);
  std::lock_guard lock(s.mutex);
  const DeviceId id{s.nextDevice++};
  Device& d = s.devices[id.value];
  d.id = id;
  d.kind = NodeKind::kRootHub;
  d.ports = ports;
  s.roots.push_back(id);
  std::vector<PowerChange> none;
  s.Reconcile(none);
  return id;
}

DeviceId Machine::ConnectHub(DeviceId parentHub, std::uint8_t port, HubSpec spec) {
  UsbDeviceSpec usb;
  usb.vendorId = spec.vendorId;
  usb.productId = spec.productId;
  usb.manufacturer = std::move(spec.manufacturer);
  usb.product = std::move(spec.product);

  State& s = *state_;
  ChangeScope change(s);
  std::vector<PowerChange> power;
  DeviceId id;
  {
    std::lock_guard lock(s.mutex);
    Device& parent = s.Get(parentHub);
    if (!IsHub(parent.kind)) throw std::invalid_argument("parent is not a hub");
    if (port < 1 || port > parent.ports || parent.below.contains(port)) {
      throw std::invalid_argument("port out of range or taken");
    }
    id = DeviceId{s.nextDevice++};
    parent.below[port] = id;
    Device& d = s.devices[id.value];
    d.id = id;
    d.kind = NodeKind::kHub;
    d.parent = parentHub;
    d.port = port;
    d.ports = spec.ports;
    d.spec = std::move(usb);
    s.Reconcile(power);
  }
  Apply(power);
  return id;
}

DeviceId Machine::Connect(DeviceId parentHub, std::uint8_t port, UsbDeviceSpec spec) {
  State& s = *state_;
  ChangeScope change(s);
  const std::shared_ptr<Reader> reader = spec.disk;
  DeviceId id;
  {
    std::lock_guard lock(s.mutex);
    Device& parent = s.Get(parentHub);
    if (!IsHub(parent.kind)) throw std::invalid_argument("parent is not a hub");
    if (port < 1 || port > parent.ports || parent.below.contains(port)) {
      throw std::invalid_argument("port out of range or taken");
    }
    if (reader) {
      if (spec.placement != DiskPlacement::kBelowDevice &&
          spec.diskInterface >= spec.interfaces.size()) {
        throw std::invalid_argument("the disk's interface does not exist");
      }
      for (const auto& [key, other] : s.devices) {
        if (other.spec.disk == reader) throw std::invalid_argument("reader already in use");
      }
    }
    id = DeviceId{s.nextDevice++};
    parent.below[port] = id;
    Device& d = s.devices[id.value];
    d.id = id;
    d.parent = parentHub;
    d.port = port;
    d.spec = std::move(spec);
    if (!reader) {
      std::vector<PowerChange> none;
      s.Reconcile(none);
      return id;
    }
  }

  // Observers first, so that no change of the reader's bus state goes unseen; the attachment is
  // read before the state, so that a return in between does not read as a departure.
  const std::weak_ptr<State> weak = state_;
  reader->SetBusObserver([weak, id](BusEvent event, std::uint64_t attachment) {
    if (const auto state = weak.lock()) state->OnBus(id, event, attachment);
  });
  reader->SetCommandObserver([weak, id](std::uint64_t, std::uint8_t opcode) {
    if (const auto state = weak.lock()) state->OnCommand(id, opcode);
  });
  const std::uint64_t attachment = reader->CurrentAttachment();
  const bool attached = reader->State() == BusState::kAttached;

  std::vector<PowerChange> power;
  {
    std::lock_guard lock(s.mutex);
    Device& d = s.Get(id);
    d.attachment = std::max(d.attachment, attachment);
    if (!attached) d.detachedUpTo = std::max(d.detachedUpTo, attachment);
    d.powered = attached;
    s.Reconcile(power);
  }
  Apply(power);
  return id;
}

void Machine::Unplug(DeviceId device) {
  SetConnected(device, false);
}

void Machine::Plug(DeviceId device) {
  SetConnected(device, true);
}

void Machine::SetConnected(DeviceId device, bool connected) {
  State& s = *state_;
  ChangeScope change(s);
  std::vector<PowerChange> power;
  {
    std::lock_guard lock(s.mutex);
    s.Get(device).connected = connected;
    s.Reconcile(power);
  }
  Apply(power);
}

void Machine::Poll() {
  std::vector<std::shared_ptr<Reader>> readers;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& [key, d] : state_->devices) {
      if (d.spec.disk) readers.push_back(d.spec.disk);
    }
  }
  for (const auto& reader : readers) reader->Poll();
  state_->Drain();
}

void Machine::SetUsbOrder(UsbOrder order) {
  std::lock_guard lock(state_->mutex);
  state_->usbOrder = order;
}

void Machine::SetDiskOrder(DiskOrder order) {
  std::lock_guard lock(state_->mutex);
  state_->diskOrder = order;
}

void Machine::SetDiskIdCase(DiskIdCase idCase) {
  std::lock_guard lock(state_->mutex);
  state_->diskIdCase = idCase;
}

// ---- Views --------------------------------------------------------------------------------------

bool Machine::IsPresent(DeviceId device) const {
  std::lock_guard lock(state_->mutex);
  const Device* d = state_->Find(device);
  return d != nullptr && d->arrival.has_value();
}

std::optional<std::u16string> Machine::InstanceIdOf(DeviceId device) const {
  std::lock_guard lock(state_->mutex);
  const Device* d = state_->Find(device);
  if (d == nullptr || !d->arrival) return std::nullopt;
  return d->arrival->id;
}

std::optional<std::u16string> Machine::DiskInstanceIdOf(DeviceId device) const {
  std::lock_guard lock(state_->mutex);
  const Device* d = state_->Find(device);
  if (d == nullptr || !d->arrival || d->arrival->disk.empty()) return std::nullopt;
  return d->arrival->disk;
}

std::optional<std::u16string> Machine::DiskPathOf(DeviceId device) const {
  std::lock_guard lock(state_->mutex);
  const Device* d = state_->Find(device);
  if (d == nullptr || !d->arrival || d->arrival->disk.empty()) return std::nullopt;
  return d->arrival->diskPath;
}

std::shared_ptr<Reader> Machine::ReaderOf(DeviceId device) const {
  std::lock_guard lock(state_->mutex);
  const Device* d = state_->Find(device);
  return d == nullptr ? nullptr : d->spec.disk;
}

std::vector<DeviceId> Machine::DiskDevices() const {
  std::lock_guard lock(state_->mutex);
  std::vector<DeviceId> out;
  for (const Device* d : state_->TreeOrder()) {
    if (d->spec.disk) out.push_back(d->id);
  }
  return out;
}

std::vector<MachineEvent> Machine::Events() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

void Machine::ClearEvents() {
  std::lock_guard lock(state_->mutex);
  state_->log.clear();
}

// ---- The device setup's view -------------------------------------------------------------------

std::vector<SetMember> Machine::Present(platform::InterfaceClass interfaceClass) {
  State& s = *state_;
  std::vector<SetMember> members;
  std::vector<Action> due;
  {
    std::lock_guard lock(s.mutex);
    const std::vector<const Device*> usb = s.UsbOrderList();
    if (interfaceClass == InterfaceClass::kUsbDevice) {
      for (const Device* d : usb) {
        members.push_back({d->arrival->serial, d->id, d->arrival->id, d->arrival->usbPath});
      }
    } else {
      for (const Device* d : usb) {
        if (d->arrival->disk.empty()) continue;
        const Arrival& a = *d->arrival;
        members.push_back({a.serial, d->id,
                           s.diskIdCase == DiskIdCase::kOwnCase ? a.diskSetId : a.disk,
                           a.diskPath});
      }
      if (s.diskOrder == DiskOrder::kReverseUsbOrder) std::ranges::reverse(members);
    }
    for (auto it = s.setHooks.begin(); it != s.setHooks.end();) {
      if (it->interfaceClass == interfaceClass && --it->remaining == 0) {
        due.push_back(std::move(it->action));
        it = s.setHooks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Action& action : due) action(*this);
  return members;
}

bool Machine::IsNodePresent(std::uint64_t node) const {
  std::lock_guard lock(state_->mutex);
  return state_->presentArrivals.contains(node);
}

std::optional<std::u16string> Machine::FirstChild(std::u16string_view nodeId) const {
  std::lock_guard lock(state_->mutex);
  const auto node = state_->Lookup(nodeId);
  if (!node) return std::nullopt;
  const auto children = state_->Children(*node);
  if (children.empty()) return std::nullopt;
  return children.front();
}

std::optional<std::u16string> Machine::NextSibling(std::u16string_view nodeId) const {
  std::lock_guard lock(state_->mutex);
  const auto node = state_->Lookup(nodeId);
  if (!node) return std::nullopt;
  const auto parent = state_->Lookup(state_->ParentId(*node));
  if (!parent) return std::nullopt;
  const auto siblings = state_->Children(*parent);
  const std::u16string self = UpperCase(nodeId);
  const auto it = std::ranges::find_if(
      siblings, [&](const std::u16string& sibling) { return UpperCase(sibling) == self; });
  if (it == siblings.end() || std::next(it) == siblings.end()) return std::nullopt;
  return *std::next(it);
}

std::optional<platform::DeviceNodeDetails> Machine::Details(std::u16string_view nodeId) const {
  std::lock_guard lock(state_->mutex);
  State& s = *state_;
  const auto node = s.Lookup(nodeId);
  if (!node) return std::nullopt;
  const Device& d = *s.Find(node->device);
  platform::DeviceNodeDetails out;
  out.parentInstanceId = s.ParentId(*node);
  switch (node->kind) {
    case NodeKind::kRootHub:
      out.description = u"USB Root Hub (USB 3.0)";
      out.manufacturer = u"(Standard USB HUBs)";
      break;
    case NodeKind::kHub:
    case NodeKind::kUsbDevice:
      out.description = d.spec.product;
      out.manufacturer = d.spec.manufacturer;
      out.hubNumber = s.HubNumber(*d.parent);
      out.portNumber = d.port;
      break;
    case NodeKind::kInterface:
      out.description = d.spec.interfaces[node->index].description;
      out.manufacturer = d.spec.manufacturer;
      break;
    case NodeKind::kFunction:
      out.description = d.spec.interfaces[node->index].function;
      out.manufacturer = u"(Standard system devices)";
      break;
    case NodeKind::kIntermediate:
      out.description = u"USB Attached Storage Bridge";
      out.manufacturer = d.spec.manufacturer;
      break;
    case NodeKind::kDisk: {
      std::u16string name = Widen(d.spec.diskVendor + " " + d.spec.diskProduct + " USB Device");
      std::ranges::replace(name, u'_', u' ');
      out.description = std::move(name);
      out.manufacturer = u"(Standard disk drives)";
      break;
    }
  }
  return out;
}

std::unique_ptr<Machine::Subscription> Machine::Subscribe(Listener listener) {
  auto entry = std::make_shared<Subscription::Entry>(std::move(listener));
  {
    std::lock_guard lock(state_->mutex);
    state_->listeners.push_back(entry);
  }
  return std::unique_ptr<Subscription>(new Subscription(state_, std::move(entry)));
}

// ---- Hooks ------------------------------------------------------------------------------------

void Machine::AfterCommand(DeviceId device, std::optional<std::uint8_t> opcode, std::uint64_t nth,
                           Action action) {
  std::lock_guard lock(state_->mutex);
  if (!state_->Get(device).spec.disk) throw std::invalid_argument("the device has no reader");
  if (nth == 0) throw std::invalid_argument("commands count from 1");
  state_->commandHooks.push_back({device, opcode, nth, std::move(action)});
}

void Machine::AfterSetOpened(platform::InterfaceClass interfaceClass, std::uint64_t nth,
                             Action action) {
  std::lock_guard lock(state_->mutex);
  if (nth == 0) throw std::invalid_argument("openings count from 1");
  state_->setHooks.push_back({interfaceClass, nth, std::move(action)});
}

}  // namespace tr350::emulator

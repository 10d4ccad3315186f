// The machine's topology: buses, hubs and devices plugged in and out, presence worked out from
// connections, hubs and the readers' bus state, and the tree the device setup walks.
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "emulator/machine.h"
#include "emulator/machine_state.h"

namespace tr350::emulator {

using detail::Arrival;
using detail::ChangeScope;
using detail::Device;
using detail::NodeRef;
using detail::PowerChange;
using detail::UpperCase;
using platform::DeviceChange;

namespace {

bool IsUsbDevice(NodeKind kind) {
  return kind == NodeKind::kHub || kind == NodeKind::kUsbDevice;
}

bool IsHub(NodeKind kind) {
  return kind == NodeKind::kRootHub || kind == NodeKind::kHub;
}

}  // namespace

void detail::Apply(const std::vector<PowerChange>& power) {
  for (const PowerChange& p : power) {
    if (p.on) {
      p.reader->Plug();
    } else {
      p.reader->Unplug();
    }
  }
}

// ---- State ------------------------------------------------------------------------------------

std::vector<Device*> Machine::State::TreeOrder() {
  std::vector<Device*> order;
  for (DeviceId root : roots) Visit(Get(root), order);
  return order;
}

void Machine::State::Visit(Device& d, std::vector<Device*>& order) {
  order.push_back(&d);
  for (const auto& [port, child] : d.below) Visit(Get(child), order);
}

void Machine::State::Reconcile(std::vector<PowerChange>& power) {
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

void Machine::State::Arrive(Device& d) {
  const UsbDeviceSpec& s = d.spec;
  Arrival a = detail::MintArrival(d.kind, d.port, s, nextArrival++, seed);

  nodes[UpperCase(a.id)] = {d.id, d.kind, 0};
  for (std::size_t i = 0; i < a.interfaces.size(); ++i) {
    nodes[UpperCase(a.interfaces[i])] = {d.id, NodeKind::kInterface, i};
    if (!a.functions[i].empty()) nodes[UpperCase(a.functions[i])] = {d.id, NodeKind::kFunction, i};
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

void Machine::State::Remove(Device& d) {
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

std::vector<const Device*> Machine::State::UsbOrderList() {
  std::vector<const Device*> list;
  for (const Device* d : TreeOrder()) {
    if (d->arrival && IsUsbDevice(d->kind)) list.push_back(d);
  }
  if (usbOrder == UsbOrder::kArrival) {
    std::ranges::stable_sort(list, {}, [](const Device* d) { return d->arrival->serial; });
  }
  return list;
}

std::int32_t Machine::State::HubNumber(DeviceId hub) {
  std::int32_t n = 0;
  for (const Device* d : TreeOrder()) {
    if (!d->arrival || !IsHub(d->kind)) continue;
    ++n;
    if (d->id == hub) return n;
  }
  return 0;
}

std::optional<NodeRef> Machine::State::Lookup(std::u16string_view id) const {
  const auto it = nodes.find(UpperCase(id));
  if (it == nodes.end()) return std::nullopt;
  return it->second;
}

std::vector<std::u16string> Machine::State::Children(const NodeRef& n) const {
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

std::u16string Machine::State::ParentId(const NodeRef& n) const {
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

// ---- Machine ----------------------------------------------------------------------------------

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

}  // namespace tr350::emulator

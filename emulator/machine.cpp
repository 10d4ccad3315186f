// The emulated machine's life and views: making and ending it, the ready-made devices, and what
// the device setup sees of it (the sets of present devices and disks, node details).
#include "emulator/machine.h"

#include <algorithm>
#include <utility>

#include "emulator/machine_state.h"

namespace tr350::emulator {

using detail::Arrival;
using detail::Device;
using detail::UpperCase;
using detail::Widen;
using platform::InterfaceClass;

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
}  // namespace tr350::emulator

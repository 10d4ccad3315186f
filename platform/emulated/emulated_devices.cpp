// The emulated machine behind the device-setup and notification interfaces: snapshot sets whose
// vanished members can no longer be read, tree navigation and details, filtered events.
#include "platform/emulated/emulated_devices.h"

#include <algorithm>
#include <utility>

namespace tr350::platform {
namespace {

class SnapshotSet final : public DeviceInfoSet {
 public:
  SnapshotSet(const emulator::Machine& machine, std::vector<emulator::SetMember> members,
              std::set<emulator::DeviceId> unreadable)
      : machine_(machine), members_(std::move(members)), unreadable_(std::move(unreadable)) {}

  std::size_t Size() const override { return members_.size(); }

  std::optional<std::u16string> InstanceId(std::size_t index) const override {
    if (!Readable(index) || unreadable_.contains(members_[index].device)) return std::nullopt;
    return members_[index].instanceId;
  }

  std::optional<std::u16string> InterfacePath(std::size_t index) const override {
    if (!Readable(index)) return std::nullopt;
    return members_[index].interfacePath;
  }

 private:
  bool Readable(std::size_t index) const {
    return index < members_.size() && machine_.IsNodePresent(members_[index].node);
  }

  const emulator::Machine& machine_;
  const std::vector<emulator::SetMember> members_;
  const std::set<emulator::DeviceId> unreadable_;
};

class MachineSubscription final : public DeviceNotifications::Subscription {
 public:
  explicit MachineSubscription(std::unique_ptr<emulator::Machine::Subscription> inner)
      : inner_(std::move(inner)) {}

 private:
  std::unique_ptr<emulator::Machine::Subscription> inner_;
};

}  // namespace

std::unique_ptr<DeviceInfoSet> EmulatedDevices::OpenPresent(InterfaceClass interfaceClass) {
  std::set<emulator::DeviceId> unreadable;
  {
    std::lock_guard lock(mutex_);
    std::uint64_t& opens = interfaceClass == InterfaceClass::kUsbDevice ? usbOpens_ : diskOpens_;
    const std::uint64_t index = opens++;
    const bool failed = std::ranges::any_of(openFailures_, [&](const OpenFailure& f) {
      return f.interfaceClass == interfaceClass && index >= f.first &&
             (f.count == 0 || index - f.first < f.count);
    });
    if (failed) return nullptr;
    unreadable = unreadableIds_;
  }
  machine_.Poll();
  return std::make_unique<SnapshotSet>(machine_, machine_.Present(interfaceClass),
                                       std::move(unreadable));
}

std::optional<std::u16string> EmulatedDevices::FirstChild(std::u16string_view nodeId) {
  return machine_.FirstChild(nodeId);
}

std::optional<std::u16string> EmulatedDevices::NextSibling(std::u16string_view nodeId) {
  return machine_.NextSibling(nodeId);
}

DeviceNodeDetails EmulatedDevices::Details(std::u16string_view nodeId) {
  return machine_.Details(nodeId).value_or(DeviceNodeDetails{});
}

std::unique_ptr<DeviceNotifications::Subscription> EmulatedDevices::Subscribe(Listener listener) {
  auto inner = machine_.Subscribe([listener =
                                       std::move(listener)](const emulator::MachineEvent& event) {
    if (event.kind == emulator::NodeKind::kHub || event.kind == emulator::NodeKind::kUsbDevice) {
      listener(event.change);
    }
  });
  return std::make_unique<MachineSubscription>(std::move(inner));
}

void EmulatedDevices::FailSetOpens(InterfaceClass interfaceClass, std::uint64_t firstOpen,
                                   std::uint32_t count) {
  std::lock_guard lock(mutex_);
  openFailures_.push_back({interfaceClass, firstOpen, count});
}

void EmulatedDevices::FailInstanceIdOf(emulator::DeviceId device) {
  std::lock_guard lock(mutex_);
  unreadableIds_.insert(device);
}

void EmulatedDevices::ClearFaults() {
  std::lock_guard lock(mutex_);
  openFailures_.clear();
  unreadableIds_.clear();
}

std::uint64_t EmulatedDevices::SetOpenCount(InterfaceClass interfaceClass) const {
  std::lock_guard lock(mutex_);
  return interfaceClass == InterfaceClass::kUsbDevice ? usbOpens_ : diskOpens_;
}

}  // namespace tr350::platform

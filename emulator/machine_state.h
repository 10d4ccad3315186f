// The emulated machine's inner state, shared by the files that implement it: the devices and
// their arrivals, the hooks, the event queue and the listeners. Internal to the emulator.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "emulator/machine.h"
#include "emulator/machine_ids.h"

namespace tr350::emulator {
namespace detail {

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
  platform::InterfaceClass interfaceClass = platform::InterfaceClass::kUsbDevice;
  std::uint64_t remaining = 1;
  Machine::Action action;
};

struct PowerChange {
  std::shared_ptr<Reader> reader;
  bool on = false;
};

}  // namespace detail

struct Machine::State {
  using Device = detail::Device;
  using NodeRef = detail::NodeRef;
  using PowerChange = detail::PowerChange;

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
  std::vector<detail::CommandHook> commandHooks;
  std::vector<detail::SetHook> setHooks;

  // ---- Under `mutex` (topology) ----

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
  std::vector<Device*> TreeOrder();
  void Visit(Device& d, std::vector<Device*>& order);
  // Brings presence in line with connections, hubs and bus state. Readers whose power changes
  // are returned in `power`, to be told outside the lock.
  void Reconcile(std::vector<PowerChange>& power);
  void Arrive(Device& d);
  void Remove(Device& d);
  // Present hubs and USB devices in the USB set's order.
  std::vector<const Device*> UsbOrderList();
  // 1-based position of a hub among the present hubs, in tree order; 0 when not present.
  std::int32_t HubNumber(DeviceId hub);
  std::optional<NodeRef> Lookup(std::u16string_view id) const;
  std::vector<std::u16string> Children(const NodeRef& n) const;
  std::u16string ParentId(const NodeRef& n) const;

  // ---- Under `mutex` (events) ----

  void Emit(platform::DeviceChange change, DeviceId device, NodeKind kind,
            const std::u16string& id);

  // ---- Outside `mutex` ----

  // Delivers queued events in order. A thread that finds another delivering, or a topology
  // change under way, leaves its events to that one.
  void Drain();
  void OnBus(DeviceId id, BusEvent event, std::uint64_t attachment);
  void OnCommand(DeviceId id, std::uint8_t opcode);
};

namespace detail {

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

// Tells readers of their power, outside the machine's lock.
void Apply(const std::vector<PowerChange>& power);

}  // namespace detail
}  // namespace tr350::emulator

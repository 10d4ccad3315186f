// The emulated machine: USB buses with root hubs, external hubs and USB devices with their
// interface nodes and disks, the readers that serve those disks, devices that come and go, and
// the arrival and removal events that report it. Node IDs and interface paths look like Windows
// device instance IDs and device interface paths.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/reader.h"
#include "platform/platform.h"

namespace tr350::emulator {

// Names a hub or USB device of one machine; stays the same while it is unplugged and comes back.
struct DeviceId {
  std::uint64_t value = 0;
  friend auto operator<=>(const DeviceId&, const DeviceId&) = default;
};

enum class NodeKind : std::uint8_t {
  kRootHub,
  kHub,        // an external hub; a USB device itself
  kUsbDevice,  // any other USB device
  kInterface,  // one interface of a composite device
  kFunction,   // what an interface's driver puts below it (e.g. a HID keyboard), not a disk
  kIntermediate,
  kDisk,
};

// Where a USB device's disk node hangs.
enum class DiskPlacement : std::uint8_t {
  kBelowInterface,     // device -> interface -> disk
  kBelowDevice,        // device -> disk; such a device has no interface nodes
  kBelowIntermediate,  // device -> interface -> intermediate node -> disk
};

struct InterfaceSpec {
  std::u16string description;  // e.g. "USB Mass Storage Device"
  // A function node below the interface, e.g. "HID Keyboard Device"; empty: none. An interface
  // that holds the disk has no function node.
  std::u16string function;
};

struct UsbDeviceSpec {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::u16string manufacturer;
  std::u16string product;
  std::vector<InterfaceSpec> interfaces;
  // The reader that serves the device's disk; null: the device has no disk. A reader serves one
  // device only.
  std::shared_ptr<Reader> disk;
  DiskPlacement placement = DiskPlacement::kBelowInterface;
  std::size_t diskInterface = 0;  // the interface that holds the disk, unless kBelowDevice
  // The disk's identity in its instance ID (ASCII; spaces become '_').
  std::string diskVendor = "TR350";
  std::string diskProduct = "SD_READER";
  std::string diskRevision = "0100";
  // False: the disk's node refuses the user's opens, as one that no udev rule made the user's.
  bool userMayOpenDisk = true;
};

struct HubSpec {
  std::uint16_t vendorId = 0x2F10;
  std::uint16_t productId = 0x0404;
  std::u16string manufacturer = u"Generic";
  std::u16string product = u"USB 3.0 Hub";
  std::uint8_t ports = 4;
};

// Ready-made devices.
// The TR350: a composite device whose mass-storage interface MI_00 holds the disk.
UsbDeviceSpec ReaderDevice(std::shared_ptr<Reader> reader);
// A USB flash drive of another maker: a single-function device, the disk right below it.
UsbDeviceSpec PlainDiskDevice(std::shared_ptr<Reader> disk);
// A keyboard: two HID interfaces, each with a function node, and no disk.
UsbDeviceSpec KeyboardDevice();

// The order of the USB device set: the tree (buses in turn, ports ascending, a hub before the
// devices on it), or the order in which the devices last arrived.
enum class UsbOrder : std::uint8_t { kTree, kArrival };
// The order of the disk set, relative to the USB order of the devices that hold the disks.
enum class DiskOrder : std::uint8_t { kUsbOrder, kReverseUsbOrder };
// How the disk set spells a disk's instance ID: in a letter case of its own, as Windows does, or
// exactly as the tree does.
enum class DiskIdCase : std::uint8_t { kOwnCase, kAsTree };

struct MachineEvent {
  platform::DeviceChange change;
  DeviceId device;
  NodeKind kind;  // kHub, kUsbDevice or kDisk
  std::u16string instanceId;
};

// One member of a snapshot of a device interface class.
struct SetMember {
  std::uint64_t node = 0;  // the arrival of the device that holds it; never reused
  DeviceId device;
  std::u16string instanceId;
  std::u16string interfacePath;
};

// Where the machine makes a disk reachable by its interface path. Called with the machine's lock
// held: must not call back into the machine.
struct DiskHost {
  std::function<void(std::u16string_view path, std::shared_ptr<Reader> reader)> attach;
  std::function<void(std::u16string_view path)> detach;
  // Right after attach, for a disk whose node the user may not open; may be empty.
  std::function<void(std::u16string_view path)> denyUserOpens = {};
};

// Thread-safe: the tool's threads enumerate and send commands while a test thread plugs and
// unplugs. Topology changes are serialised among themselves.
//
// Presence: a device is present while it is connected, the hub above it is present and, for a
// device with a disk, its reader is on the bus. A reader that leaves the bus (a reset, a drop)
// takes its device away; when it returns, the device arrives again under new instance IDs. A
// device losing power (unplugged, or its hub gone) unplugs its reader; regaining it plugs it in.
//
// Events: arrival parents first, removal children first, disk events inside those of their
// device. Listeners run synchronously and in order on the thread that caused the change (the one
// that plugs, polls, opens a set or sends a command); while another thread is delivering, or is
// in the middle of a topology change, that thread delivers them instead. Never two calls at once
// for one subscription. Listeners must return quickly and not throw; they may call the machine.
//
// The machine installs its own bus and command observers on the readers it hosts. Destroy it only
// when no other thread uses it or its readers; it detaches its disks from the host.
class Machine {
  struct State;

 public:
  using Action = std::function<void(Machine&)>;
  using Listener = std::function<void(const MachineEvent&)>;

  // Ends its subscription when destroyed: no call of its listener starts after that, and one in
  // progress on another thread has finished (one in progress on this thread, that is from inside
  // the listener, carries on to its end). May outlive the machine.
  class Subscription {
   public:
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

   private:
    friend class Machine;
    struct Entry;
    Subscription(std::weak_ptr<State> state, std::shared_ptr<Entry> entry);
    std::weak_ptr<State> state_;
    std::shared_ptr<Entry> entry_;
  };

  // `seed` varies the instance IDs between machines.
  explicit Machine(DiskHost host, std::uint32_t seed = 1);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- Topology ---------------------------------------------------------------------------------
  // Misuse (an unknown or non-hub parent, a port out of range or taken, a reader already in use,
  // a disk interface that does not exist) throws std::invalid_argument.

  // A new bus; returns its root hub.
  DeviceId AddBus(std::uint8_t ports = 8);
  // Connects at a 1-based port of a hub; present at once when the hub is.
  DeviceId ConnectHub(DeviceId parentHub, std::uint8_t port, HubSpec spec = {});
  DeviceId Connect(DeviceId parentHub, std::uint8_t port, UsbDeviceSpec spec);
  // Pulls the device (and all below it) out; its disks' interface paths stop working.
  void Unplug(DeviceId device);
  // Plugs it back in; it arrives under new instance IDs.
  void Plug(DeviceId device);
  // Lets the readers apply restarts whose time has come (each reader also does so on its own
  // next command or open).
  void Poll();

  void SetUsbOrder(UsbOrder order);
  void SetDiskOrder(DiskOrder order);
  void SetDiskIdCase(DiskIdCase idCase);

  // ---- Views ------------------------------------------------------------------------------------

  bool IsPresent(DeviceId device) const;
  // Current IDs and paths; nullopt while the device is not present (or has no disk).
  std::optional<std::u16string> InstanceIdOf(DeviceId device) const;
  std::optional<std::u16string> DiskInstanceIdOf(DeviceId device) const;  // as the tree has it
  std::optional<std::u16string> DiskPathOf(DeviceId device) const;
  std::shared_ptr<Reader> ReaderOf(DeviceId device) const;  // null for a device without a disk
  // Devices that have a disk, present or not, in tree order.
  std::vector<DeviceId> DiskDevices() const;
  // Every event so far, in the order delivered to listeners.
  std::vector<MachineEvent> Events() const;
  void ClearEvents();

  // ---- What the system's device setup sees ------------------------------------------------------

  // A snapshot of the present members of a class in the set's order; counts as one opening of
  // that class's set.
  std::vector<SetMember> Present(platform::InterfaceClass interfaceClass);
  bool IsNodePresent(std::uint64_t node) const;
  // Navigation among present nodes; IDs are compared without regard to case.
  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) const;
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) const;
  // Nullopt for a node that is not present.
  std::optional<platform::DeviceNodeDetails> Details(std::u16string_view nodeId) const;
  std::unique_ptr<Subscription> Subscribe(Listener listener);

  // ---- Hooks ------------------------------------------------------------------------------------
  // Each runs its action once, outside the machine's lock, then is gone.

  // Right after the reader of `device` answered the nth command (from 1, counted from now) whose
  // opcode is `opcode` (any opcode when none), on the thread that sent it.
  void AfterCommand(DeviceId device, std::optional<std::uint8_t> opcode, std::uint64_t nth,
                    Action action);
  // Right after the nth snapshot (from 1, counted from now) of a class's set was taken, before
  // it is handed out, on the thread that opens the set.
  void AfterSetOpened(platform::InterfaceClass interfaceClass, std::uint64_t nth, Action action);

 private:
  void SetConnected(DeviceId device, bool connected);

  std::shared_ptr<State> state_;
};

}  // namespace tr350::emulator

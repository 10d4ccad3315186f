// Device setup, the device tree and device-change notifications served by an emulated machine,
// with faults of the system's own: a set that cannot be opened, a member whose ID cannot be read.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/machine.h"
#include "platform/platform.h"

namespace tr350::platform {

// Thread-safe. The machine must outlive this object and every set it opened; subscriptions may
// outlive both.
//
// Sets are snapshots: a member that vanished after the set was opened yields nullopt for its ID
// and path. Opening a set first lets the machine's readers apply restarts that are due, so a
// reader that restarted is seen again once its time has passed on its clock.
//
// Listeners are called as the machine delivers its events: synchronously, on the thread that
// caused the change (a plug or unplug, an opened set, a command that reset a reader) or on one
// already delivering. Only hubs and USB devices are reported.
class EmulatedDevices final : public DeviceSetup, public DeviceNotifications {
 public:
  explicit EmulatedDevices(emulator::Machine& machine) : machine_(machine) {}

  bool HasDeviceTree() const override { return true; }
  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) override;
  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) override;
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) override;
  DeviceNodeDetails Details(std::u16string_view nodeId) override;
  std::unique_ptr<Subscription> Subscribe(Listener listener) override;

  // ---- Faults ----------------------------------------------------------------------------------

  // Openings number firstOpen .. firstOpen + count - 1 of the class's set (counted from 0, every
  // call counting) fail; count 0: all from firstOpen on.
  void FailSetOpens(InterfaceClass interfaceClass, std::uint64_t firstOpen, std::uint32_t count);
  // The members that belong to this device (its USB member, its disk) report no instance ID.
  void FailInstanceIdOf(emulator::DeviceId device);
  void ClearFaults();
  std::uint64_t SetOpenCount(InterfaceClass interfaceClass) const;

 private:
  struct OpenFailure {
    InterfaceClass interfaceClass;
    std::uint64_t first;
    std::uint32_t count;
  };

  emulator::Machine& machine_;
  mutable std::mutex mutex_;
  std::uint64_t usbOpens_ = 0;
  std::uint64_t diskOpens_ = 0;
  std::vector<OpenFailure> openFailures_;
  std::set<emulator::DeviceId> unreadableIds_;
};

}  // namespace tr350::platform

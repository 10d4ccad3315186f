// Device setup on Windows: the present members of the two interface classes from SetupAPI and the
// device tree from the configuration manager.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/windows/setup_calls.h"

namespace tr350::platform::windows {

// Members are the present interfaces of the class in the system's order: member n is interface n,
// and its instance ID is that of the device exposing that interface (a device with two interfaces
// of the class is two members, so indices never drift apart). Instance IDs are the configuration
// manager's device IDs; the tree is the system's own, walked from present nodes only.
//
// Thread-safe as far as `calls` is (the real calls are).
class WinDeviceSetup final : public DeviceSetup {
 public:
  explicit WinDeviceSetup(SetupCalls& calls) : calls_(calls) {}

  bool HasDeviceTree() const override { return true; }
  // Null when the set cannot be made (cause "device set").
  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) override;
  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) override;
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) override;
  // Description: the friendly name, else the device description, else the service name.
  // Manufacturer, the parent's ID, and hub and port from the location information
  // ("Port_#0002.Hub_#0001") where the node has one.
  DeviceNodeDetails Details(std::u16string_view nodeId) override;

 private:
  std::optional<DEVINST> Locate(std::u16string_view nodeId);
  std::optional<std::u16string> IdOf(std::optional<DEVINST> node);

  SetupCalls& calls_;
};

// The hub and port of a location information text such as "Port_#0002.Hub_#0001"; 0 for a part
// the text does not carry.
struct HubPort {
  std::int32_t hub = 0;
  std::int32_t port = 0;
};
HubPort ParseLocation(std::u16string_view location);

}  // namespace tr350::platform::windows

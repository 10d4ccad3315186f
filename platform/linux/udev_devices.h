// The device tree and device-change notifications of a Linux machine, read through libudev from
// sysfs attributes and uevent properties alone (no udev database, so no udevd is needed).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform {

// Device setup on sysfs. Instance IDs are the devices' sysfs paths ("/sys/devices/..."), which are
// stable while the device stays plugged in and name exactly one device.
//
// Members of the classes, in ascending sysfs-path order with digit runs compared as numbers (port 2
// before port 10), because the kernel promises no directory order and the device table numbers
// its slots in this order:
//  - kUsbDevice: every USB device ("usb"/"usb_device"), hubs and root hubs included; interface
//    path: its usbfs node (/dev/bus/usb/BBB/DDD), nullopt when the kernel gave it none.
//  - kDisk: every direct-access SCSI device (peripheral type 0) that has a SCSI generic node;
//    interface path: that node (/dev/sgN), which is what the SG_IO transport opens. The SCSI device
//    rather than the block disk is the member because the generic node hangs off it and it exists
//    whether or not the sd driver has bound. A disk without a generic node is no member.
//
// The tree is shaped the way the search expects it: a USB device node has its interfaces and, for
// a hub, the devices on its ports as children; an interface has as children the disk members whose
// SCSI host sits directly on it (the host and target levels that Linux inserts are folded away);
// disks have no children. Root hubs have no parent in this tree. Nodes that are none of these
// (controllers, SCSI hosts, non-disk SCSI devices) are not present in it. Children and siblings
// are in the same order as the members.
//
// IDs are found only as handed out: sysfs paths are case-sensitive, and an alias through a
// symbolic link is not accepted.
//
// Thread-safe: every call works on its own libudev context.
class UdevDeviceSetup final : public DeviceSetup {
 public:
  bool HasDeviceTree() const override { return true; }
  // Null when libudev cannot open or scan sysfs.
  std::unique_ptr<DeviceInfoSet> OpenPresent(InterfaceClass interfaceClass) override;
  std::optional<std::u16string> FirstChild(std::u16string_view nodeId) override;
  std::optional<std::u16string> NextSibling(std::u16string_view nodeId) override;
  // USB device: product and manufacturer strings, the parent hub, bus number and 1-based port on
  // the parent hub (0 for a root hub). Interface: its interface string and its USB device. Disk:
  // SCSI model and vendor, and its interface.
  DeviceNodeDetails Details(std::u16string_view nodeId) override;
};

// USB device arrival ("add") and removal ("remove") from a udev monitor on the netlink "udev"
// source, filtered to "usb"/"usb_device". A thread of its own polls the monitor while at least one
// subscription exists; it is joined when the last subscription ends, or at the latest when this
// object is destroyed. Listeners are called one at a time, in the order the events arrive; for one
// event, in the order they subscribed.
//
// Thread-safe. A listener may end its own or another subscription, or subscribe again, from inside
// its call. Subscriptions may outlive this object (they are then already ended). This object must
// not be destroyed from inside a listener.
class UdevNotifications final : public DeviceNotifications {
 public:
  UdevNotifications();
  ~UdevNotifications() override;
  UdevNotifications(const UdevNotifications&) = delete;
  UdevNotifications& operator=(const UdevNotifications&) = delete;

  // Null when the monitor or its thread cannot be set up, or the listener is empty. Events that
  // happen after this returns reach the listener.
  std::unique_ptr<Subscription> Subscribe(Listener listener) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tr350::platform

// The libudev handles the Linux backend's device setup and notifications share, each released
// when it goes. Internal to platform/linux.
#pragma once

#include <libudev.h>

#include <memory>
#include <string_view>

namespace tr350::platform::udev_handles {

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

inline std::string_view OrEmpty(const char* text) {
  return text == nullptr ? std::string_view{} : text;
}

}  // namespace tr350::platform::udev_handles

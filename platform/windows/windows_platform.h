// The platform of a real Windows machine: pass-through disks, the system's named mutexes, its
// clock, the program's resources, SetupAPI's device tree and WM_DEVICECHANGE.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace tr350::platform {

class WindowsPlatform final : public Platform {
 public:
  WindowsPlatform();
  ~WindowsPlatform() override;
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;

  StorageIo& Storage() override;
  Mutexes& Sync() override;
  Clock& Time() override;
  ModuleResources& Resources() override;
  DeviceSetup& Devices() override;
  DeviceNotifications& Notifications() override;

 private:
  struct Services;
  std::unique_ptr<Services> services_;
};

}  // namespace tr350::platform

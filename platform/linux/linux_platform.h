// The platform of a real Linux machine: SG_IO disks, process-shared named mutexes, the real clock
// and the resources of the program file.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace tr350::platform {

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform();
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

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

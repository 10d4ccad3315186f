// Composition of the Linux services into the platform of a real machine.
#include "platform/linux/linux_platform.h"

#include "platform/linux/elf_resources.h"
#include "platform/linux/named_mutex.h"
#include "platform/linux/real_clock.h"
#include "platform/linux/sg_disk.h"
#include "platform/linux/udev_devices.h"

namespace tr350::platform {

struct LinuxPlatform::Services {
  SgStorageIo storage;
  LinuxMutexes mutexes;
  RealClock clock;
  ElfModuleResources resources;
  UdevDeviceSetup devices;
  UdevNotifications notifications;
};

LinuxPlatform::LinuxPlatform() : services_(std::make_unique<Services>()) {}
LinuxPlatform::~LinuxPlatform() = default;

StorageIo& LinuxPlatform::Storage() {
  return services_->storage;
}
Mutexes& LinuxPlatform::Sync() {
  return services_->mutexes;
}
Clock& LinuxPlatform::Time() {
  return services_->clock;
}
ModuleResources& LinuxPlatform::Resources() {
  return services_->resources;
}
DeviceSetup& LinuxPlatform::Devices() {
  return services_->devices;
}
DeviceNotifications& LinuxPlatform::Notifications() {
  return services_->notifications;
}

}  // namespace tr350::platform

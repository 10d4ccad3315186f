// Composition of the Windows services into the platform of a real machine.
#include "platform/windows/windows_platform.h"

#include "platform/windows/scsi_disk.h"
#include "platform/windows/setup_calls.h"
#include "platform/windows/win_clock.h"
#include "platform/windows/win_device_setup.h"
#include "platform/windows/win_mutexes.h"
#include "platform/windows/win_notifications.h"
#include "platform/windows/win_resources.h"

namespace tr350::platform {

struct WindowsPlatform::Services {
  windows::WinStorageIo storage;
  windows::WinMutexes mutexes;
  windows::WinClock clock;
  windows::WinModuleResources resources;
  windows::Win32SetupCalls setupCalls;
  windows::WinDeviceSetup devices{setupCalls};
  windows::WinNotifications notifications;
};

WindowsPlatform::WindowsPlatform() : services_(std::make_unique<Services>()) {}
WindowsPlatform::~WindowsPlatform() = default;

StorageIo& WindowsPlatform::Storage() {
  return services_->storage;
}
Mutexes& WindowsPlatform::Sync() {
  return services_->mutexes;
}
Clock& WindowsPlatform::Time() {
  return services_->clock;
}
ModuleResources& WindowsPlatform::Resources() {
  return services_->resources;
}
DeviceSetup& WindowsPlatform::Devices() {
  return services_->devices;
}
DeviceNotifications& WindowsPlatform::Notifications() {
  return services_->notifications;
}

}  // namespace tr350::platform

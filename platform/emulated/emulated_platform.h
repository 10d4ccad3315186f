// The platform of an emulated machine: the machine's disks, device tree and notifications, an
// in-process mutex service, and a clock, with the program's own resources from the host.
#pragma once

#include <memory>
#include <string_view>

#include "emulator/machine.h"
#include "platform/emulated/emulated_devices.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/emulated_storage.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/platform.h"

namespace tr350::platform {

// Owns its services and the machine. Thread-safe as its services are.
class EmulatedPlatform final : public Platform {
 public:
  // An empty machine (add buses and devices through GetMachine()) on the given clock, or on a
  // virtual clock of the platform's own.
  EmulatedPlatform(Clock& clock, ModuleResources& resources);
  explicit EmulatedPlatform(ModuleResources& resources);
  ~EmulatedPlatform() override;
  EmulatedPlatform(const EmulatedPlatform&) = delete;
  EmulatedPlatform& operator=(const EmulatedPlatform&) = delete;
  bool Emulated() const override { return true; }

  // The machine of a named scenario; null for an unknown name.
  static std::unique_ptr<EmulatedPlatform> ForScenario(std::string_view scenario, Clock& clock,
                                                       ModuleResources& resources);
  static std::unique_ptr<EmulatedPlatform> ForScenario(std::string_view scenario,
                                                       ModuleResources& resources);

  StorageIo& Storage() override { return storage_; }
  Mutexes& Sync() override { return mutexes_; }
  Clock& Time() override { return clock_; }
  ModuleResources& Resources() override { return resources_; }
  DeviceSetup& Devices() override { return *devices_; }
  DeviceNotifications& Notifications() override { return *devices_; }

  emulator::Machine& GetMachine() { return *machine_; }
  EmulatedMutexes& GetMutexes() { return mutexes_; }
  EmulatedDevices& GetDevices() { return *devices_; }
  // The platform's own virtual clock; null when it runs on a clock given to it.
  VirtualClock* GetVirtualClock() { return ownClock_.get(); }

 private:
  static std::unique_ptr<EmulatedPlatform> WithScenario(std::unique_ptr<EmulatedPlatform> platform,
                                                        std::string_view scenario);

  std::unique_ptr<VirtualClock> ownClock_;
  Clock& clock_;
  ModuleResources& resources_;
  EmulatedMutexes mutexes_;
  // The storage outlives the machine, which detaches its disks from it when destroyed.
  EmulatedStorage storage_;
  std::unique_ptr<emulator::Machine> machine_;
  std::unique_ptr<EmulatedDevices> devices_;
};

}  // namespace tr350::platform

// Composition of the emulated services.
#include "platform/emulated/emulated_platform.h"

#include "emulator/scenarios.h"

namespace tr350::platform {

EmulatedPlatform::EmulatedPlatform(Clock& clock, ModuleResources& resources)
    : clock_(clock), resources_(resources), mutexes_(clock) {
  machine_ = std::make_unique<emulator::Machine>(storage_);
  devices_ = std::make_unique<EmulatedDevices>(*machine_);
}

EmulatedPlatform::~EmulatedPlatform() {
  devices_.reset();
  machine_.reset();
}

std::unique_ptr<EmulatedPlatform> EmulatedPlatform::ForScenario(std::string_view scenario,
                                                                Clock& clock,
                                                                ModuleResources& resources) {
  // The machine is built first, on a storage of the platform's own: build the platform around
  // an empty machine, then replace the machine before anything can use it.
  auto platform = std::make_unique<EmulatedPlatform>(clock, resources);
  auto machine = emulator::BuildScenario(scenario, clock, platform->storage_);
  if (!machine) return nullptr;
  platform->devices_ = std::make_unique<EmulatedDevices>(*machine);
  platform->machine_ = std::move(machine);
  return platform;
}

}  // namespace tr350::platform

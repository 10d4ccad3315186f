// Composition of the emulated services.
#include "platform/emulated/emulated_platform.h"

#include "emulator/scenarios.h"
#include "ids/resource_ids.h"

namespace tr350::platform {

EmulatedPlatform::EmulatedPlatform(Clock& clock, ModuleResources& resources)
    : clock_(clock), resources_(resources), mutexes_(clock) {
  machine_ = std::make_unique<emulator::Machine>(HostOn(storage_));
  devices_ = std::make_unique<EmulatedDevices>(*machine_);
}

EmulatedPlatform::EmulatedPlatform(ModuleResources& resources)
    : ownClock_(std::make_unique<VirtualClock>()),
      clock_(*ownClock_),
      resources_(resources),
      mutexes_(clock_) {
  machine_ = std::make_unique<emulator::Machine>(HostOn(storage_));
  devices_ = std::make_unique<EmulatedDevices>(*machine_);
}

EmulatedPlatform::~EmulatedPlatform() {
  devices_.reset();
  machine_.reset();
}

std::unique_ptr<EmulatedPlatform> EmulatedPlatform::WithScenario(
    std::unique_ptr<EmulatedPlatform> platform, std::string_view scenario) {
  // The scenario's machine needs the platform's storage and clock: the platform is built around
  // an empty machine, which is replaced before anything can use it.
  // Current readers hold the firmware the program carries, as a factory would have programmed it.
  emulator::ScenarioInputs inputs;
  if (auto image = platform->resources_.Find(kFirmwareResourceType, kFirmwareResourceId)) {
    inputs.releaseImage = *image;
  }
  auto machine =
      emulator::BuildScenario(scenario, platform->clock_, HostOn(platform->storage_), inputs);
  if (!machine) return nullptr;
  platform->devices_ = std::make_unique<EmulatedDevices>(*machine);
  platform->machine_ = std::move(machine);
  return platform;
}

std::unique_ptr<EmulatedPlatform> EmulatedPlatform::ForScenario(std::string_view scenario,
                                                                Clock& clock,
                                                                ModuleResources& resources) {
  return WithScenario(std::make_unique<EmulatedPlatform>(clock, resources), scenario);
}

std::unique_ptr<EmulatedPlatform> EmulatedPlatform::ForScenario(std::string_view scenario,
                                                                ModuleResources& resources) {
  return WithScenario(std::make_unique<EmulatedPlatform>(resources), scenario);
}

}  // namespace tr350::platform

// Named machines for tests and the demo: which readers, disks and other USB devices are plugged
// in, and what the readers' firmware storage holds.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "emulator/machine.h"
#include "platform/platform.h"

namespace tr350::emulator {

struct ScenarioInfo {
  std::string_view name;
  std::string_view description;  // one line
};

std::span<const ScenarioInfo> Scenarios();
std::vector<std::string_view> ScenarioNames();
std::optional<std::string_view> ScenarioDescription(std::string_view name);

// What a scenario may be built from besides its own data. The release image is the firmware file
// a factory programs current readers with (header, FW1, FW2, configuration block); without it a
// current reader holds firmware of the same versions but other code bytes.
struct ScenarioInputs {
  std::span<const std::uint8_t> releaseImage;
};

// Adds `devices` USB devices to the machine (hubs count as devices; buses are added as needed):
// TR350s of both storage kinds, keyboards, mice, hubs and plain disks that refuse the
// identification command, in a fixed cycle. The same count always gives the same machine.
void PopulateMixedMachine(Machine& m, platform::Clock& clock, std::size_t devices,
                          const ScenarioInputs& inputs = {});

// A new machine set up as the scenario says, its readers on `clock`; null for an unknown name.
// Thread-safe.
std::unique_ptr<Machine> BuildScenario(std::string_view name, platform::Clock& clock, DiskHost host,
                                       const ScenarioInputs& inputs = {});
}  // namespace tr350::emulator

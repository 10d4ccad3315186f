// The machine the program runs on, as the front ends ask for it: one backend per operating
// system (platform/linux, platform/windows), chosen by the build, behind these portable calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace tr350::platform {

// The resources of the running program's own file.
class ProgramResources : public ModuleResources {
 public:
  // kAbsent: built without resources. kDamaged: the program file's resource data is corrupt (the
  // program must say so and stop, whatever it was asked).
  enum class State : std::uint8_t { kPresent, kAbsent, kDamaged };
  virtual State ResourceState() = 0;
};

std::unique_ptr<ProgramResources> OpenProgramResources();

// The real machine: its disks, device tree, named mutexes, clock and the program's resources.
std::unique_ptr<Platform> MakeNativePlatform();

// First thing in main, before anything is opened: makes the standard streams fit for the program
// (Linux: descriptors 0-2 valid, so that no reader's node can become one; Windows: the console
// shows UTF-8). False when the program must not go on.
bool PrepareStandardStreams();

// Sets a variable of the process environment, or removes it (nullopt). Not thread-safe: for
// start-up and tests, before other threads read the environment.
void SetProcessEnvironment(const std::string& name, const std::optional<std::string>& value);

}  // namespace tr350::platform

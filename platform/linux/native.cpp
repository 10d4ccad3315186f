// The Linux machine behind the portable start-up calls.
#include "platform/native.h"

#include <cstdlib>

#include "platform/linux/elf_resources.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/standard_streams.h"

namespace tr350::platform {

std::unique_ptr<ProgramResources> OpenProgramResources() {
  return std::make_unique<ElfModuleResources>();
}

std::unique_ptr<Platform> MakeNativePlatform() {
  return std::make_unique<LinuxPlatform>();
}

bool PrepareStandardStreams() {
  return OpenMissingStandardDescriptors();
}

void SetProcessEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace tr350::platform

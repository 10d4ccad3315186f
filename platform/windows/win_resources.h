// Module resources on Windows: the resource section of the program's own module, which the loader
// has mapped and checked.
#pragma once

#include <windows.h>

#include "platform/native.h"

namespace tr350::platform::windows {

// Thread-safe: the loader's resource calls are. Returned bytes stay mapped while the module is.
class WinModuleResources final : public ProgramResources {
 public:
  // The resources of this module; the program's own (the executable) by default. A module that is
  // not the executable reads its version from its own file.
  explicit WinModuleResources(HMODULE module = ::GetModuleHandleW(nullptr)) : module_(module) {}

  // kPresent when the module has a resource section, kAbsent when it has none. Never kDamaged: the
  // loader refuses to start a program whose section it cannot read.
  State ResourceState() override;
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t type, std::uint16_t id) override;
  // The fixed file information's file version, read from the module's file as the version API
  // reads it.
  std::optional<FileVersion> ProgramFileVersion() override;

 private:
  HMODULE module_;
};

}  // namespace tr350::platform::windows

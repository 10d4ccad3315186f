// Module resources on Linux: read back from the program file itself.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/native.h"

namespace tr350::platform {

// The build packs the resources into a directory and places it in the non-loaded ELF section
// ".tr350.rsrc". Reading that section from the file named by /proc/self/exe keeps the resources
// where Windows keeps them, in the program file: a program built without them, or a file whose
// section is damaged, really has no resources, instead of a linked-in array that can't be absent.
// Thread-safe: the file is read once, on first use.
class ElfModuleResources final : public ProgramResources {
 public:
  // kAbsent: not a program file, or one built without the section. kDamaged: the section table,
  // the section or its directory does not fit the file (the program file is corrupt).
  using State = ProgramResources::State;

  explicit ElfModuleResources(std::string programPath = "/proc/self/exe");

  State SectionState();
  State ResourceState() override { return SectionState(); }

  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t type, std::uint16_t id) override;
  std::optional<FileVersion> ProgramFileVersion() override;

 private:
  struct Entry {
    std::uint16_t type;
    std::uint16_t id;
    std::span<const std::uint8_t> bytes;
  };
  void Load();
  State Decode();

  std::string path_;
  State state_ = State::kAbsent;
  int readError_ = 0;  // errno of a program file that could not be opened
  std::once_flag loaded_;
  std::vector<std::uint8_t> section_;
  std::vector<Entry> entries_;
};

inline constexpr const char* kResourceSectionName = ".tr350.rsrc";

}  // namespace tr350::platform

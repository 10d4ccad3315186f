// Test support: a program file's bytes with the place of its resource section's header and of the
// section itself, to be damaged and written out as a copy.
#pragma once

#include <elf.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tr350::test {

struct ProgramFile {
  std::vector<std::uint8_t> bytes;
  std::size_t sectionHeader = 0;  // where the section's Elf64_Shdr lies in the file
  std::size_t section = 0;        // where the section's bytes lie in the file

  // A 64-bit little-endian ELF file (as this machine's programs are) and its named section.
  static ProgramFile Load(const std::string& path, std::string_view name = ".tr350.rsrc") {
    std::ifstream in(path, std::ios::binary);
    ProgramFile file{{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}};
    const Elf64_Ehdr eh = file.At<Elf64_Ehdr>(0);
    const auto names = file.At<Elf64_Shdr>(eh.e_shoff + eh.e_shstrndx * sizeof(Elf64_Shdr));
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
      const std::size_t at = eh.e_shoff + i * sizeof(Elf64_Shdr);
      const auto sh = file.At<Elf64_Shdr>(at);
      const char* shName = reinterpret_cast<const char*>(&file.bytes[names.sh_offset + sh.sh_name]);
      if (name == shName) {
        file.sectionHeader = at;
        file.section = sh.sh_offset;
      }
    }
    return file;
  }

  template <typename T>
  T At(std::size_t offset) const {
    T value{};
    std::memcpy(&value, &bytes[offset], sizeof(T));
    return value;
  }
  template <typename T>
  void Put(std::size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof(T));
  }

  void Save(const std::string& path) const {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ::chmod(path.c_str(), 0755);
  }
};

}  // namespace tr350::test

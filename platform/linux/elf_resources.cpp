// Finds the resource section in an ELF program file and decodes its resource directory. Every
// offset read from the file is checked against what was read, so a damaged file yields "no
// resources", never a read out of bounds.
#include "platform/linux/elf_resources.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tr350::platform {
namespace {

constexpr std::uint8_t kDirectoryMagic[8] = {'T', 'R', '3', '5', 'R', 'S', 'R', 'C'};
constexpr std::size_t kDirectoryEntrySize = 12;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

template <typename T>
bool ReadAt(std::ifstream& file, std::uint64_t offset, T& out) {
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(&out), sizeof(T));
  return static_cast<bool>(file);
}

// The bytes of the named section of an ELF file of the given class; empty when absent.
template <typename Ehdr, typename Shdr>
std::vector<std::uint8_t> ReadSection(std::ifstream& file, const char* name) {
  Ehdr eh{};
  if (!ReadAt(file, 0, eh) || eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum) {
    return {};
  }
  Shdr names{};
  if (!ReadAt(file, eh.e_shoff + std::uint64_t{eh.e_shstrndx} * sizeof(Shdr), names)) return {};
  const std::size_t nameLength = std::strlen(name);
  for (std::uint16_t i = 0; i < eh.e_shnum; ++i) {
    Shdr sh{};
    if (!ReadAt(file, eh.e_shoff + std::uint64_t{i} * sizeof(Shdr), sh)) return {};
    if (sh.sh_type == SHT_NOBITS || sh.sh_name >= names.sh_size) continue;
    std::vector<char> candidate(nameLength + 1, '\0');
    file.seekg(static_cast<std::streamoff>(names.sh_offset + sh.sh_name));
    file.read(candidate.data(), static_cast<std::streamsize>(candidate.size()));
    if (!file) {
      file.clear();
      continue;
    }
    if (std::memcmp(candidate.data(), name, nameLength + 1) != 0) continue;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sh.sh_size));
    file.seekg(static_cast<std::streamoff>(sh.sh_offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) return {};
    return bytes;
  }
  return {};
}

}  // namespace

ElfModuleResources::ElfModuleResources(std::string programPath) : path_(std::move(programPath)) {}

void ElfModuleResources::Load() {
  std::ifstream file(path_, std::ios::binary);
  if (!file) return;
  unsigned char ident[EI_NIDENT] = {};
  file.read(reinterpret_cast<char*>(ident), EI_NIDENT);
  if (!file || std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB) return;
  if (ident[EI_CLASS] == ELFCLASS64) {
    section_ = ReadSection<Elf64_Ehdr, Elf64_Shdr>(file, kResourceSectionName);
  } else if (ident[EI_CLASS] == ELFCLASS32) {
    section_ = ReadSection<Elf32_Ehdr, Elf32_Shdr>(file, kResourceSectionName);
  }

  const std::span<const std::uint8_t> s(section_);
  if (s.size() < sizeof(kDirectoryMagic) + 4 ||
      !std::equal(std::begin(kDirectoryMagic), std::end(kDirectoryMagic), s.begin())) {
    return;
  }
  const std::uint32_t count = Le32(s, 8);
  if (count > (s.size() - 12) / kDirectoryEntrySize) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = 12 + i * kDirectoryEntrySize;
    const std::uint32_t offset = Le32(s, at + 4);
    const std::uint32_t size = Le32(s, at + 8);
    if (offset > s.size() || size > s.size() - offset) return;  // damaged: no resources at all
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = 12 + i * kDirectoryEntrySize;
    entries_.push_back({Le16(s, at), Le16(s, at + 2), s.subspan(Le32(s, at + 4), Le32(s, at + 8))});
  }
}

std::optional<std::span<const std::uint8_t>> ElfModuleResources::Find(std::uint16_t type,
                                                                       std::uint16_t id) {
  std::call_once(loaded_, [this] { Load(); });
  for (const Entry& e : entries_) {
    if (e.type == type && e.id == id) return e.bytes;
  }
  return std::nullopt;
}

std::optional<FileVersion> ElfModuleResources::ProgramFileVersion() {
  const auto resource = Find(kResourceTypeVersion, 1);
  if (!resource) return std::nullopt;
  // The root block's value is the fixed file information; find it by its signature, as the
  // version query of the root path does.
  const std::span<const std::uint8_t> b = *resource;
  for (std::size_t at = 0; at + 16 <= b.size(); at += 4) {
    if (Le32(b, at) != kFixedFileInfoSignature) continue;
    const std::uint32_t ms = Le32(b, at + 8);
    const std::uint32_t ls = Le32(b, at + 12);
    return FileVersion{static_cast<std::uint16_t>(ms >> 16), static_cast<std::uint16_t>(ms),
                       static_cast<std::uint16_t>(ls >> 16), static_cast<std::uint16_t>(ls)};
  }
  return std::nullopt;
}

}  // namespace tr350::platform

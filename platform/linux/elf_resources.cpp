// Finds the resource section in an ELF program file and decodes its resource directory. Every
// offset and size read from the file is checked against the file or the section before it is
// used, so a damaged file yields "damaged, no resources", never a huge allocation or a read out
// of bounds.
#include "platform/linux/elf_resources.h"

#include <elf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

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

using State = ElfModuleResources::State;

template <typename T>
bool ReadAt(std::ifstream& file, std::uint64_t offset, T& out) {
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(&out), sizeof(T));
  return static_cast<bool>(file);
}

// Whether [offset, offset + size) lies within a file (or section) of `total` bytes; no overflow.
bool Fits(std::uint64_t offset, std::uint64_t size, std::uint64_t total) {
  return offset <= total && size <= total - offset;
}

// Reads the named section of an ELF file of the given class into `bytes`. Every stated offset and
// size is checked against the file's size before anything is allocated or read.
template <typename Ehdr, typename Shdr>
State ReadSection(std::ifstream& file, std::uint64_t fileSize, std::string_view name,
                  std::vector<std::uint8_t>& bytes) {
  Ehdr eh{};
  if (!ReadAt(file, 0, eh)) return State::kDamaged;
  if (eh.e_shnum == 0) return State::kAbsent;  // no section table: a stripped-down program
  if (eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum ||
      !Fits(eh.e_shoff, std::uint64_t{eh.e_shnum} * sizeof(Shdr), fileSize)) {
    return State::kDamaged;
  }
  Shdr names{};
  if (!ReadAt(file, eh.e_shoff + std::uint64_t{eh.e_shstrndx} * sizeof(Shdr), names) ||
      names.sh_type == SHT_NOBITS || !Fits(names.sh_offset, names.sh_size, fileSize)) {
    return State::kDamaged;
  }
  std::string candidate(name.size() + 1, '\0');
  for (std::uint16_t i = 0; i < eh.e_shnum; ++i) {
    Shdr sh{};
    if (!ReadAt(file, eh.e_shoff + std::uint64_t{i} * sizeof(Shdr), sh)) return State::kDamaged;
    // The name and its terminator must lie within the name table to match.
    if (!Fits(sh.sh_name, candidate.size(), names.sh_size)) continue;
    file.seekg(static_cast<std::streamoff>(names.sh_offset + sh.sh_name));
    file.read(candidate.data(), static_cast<std::streamsize>(candidate.size()));
    if (!file) return State::kDamaged;
    if (candidate.compare(0, name.size(), name) != 0 || candidate.back() != '\0') continue;
    if (sh.sh_type == SHT_NOBITS || !Fits(sh.sh_offset, sh.sh_size, fileSize)) {
      return State::kDamaged;
    }
    bytes.resize(static_cast<std::size_t>(sh.sh_size));
    file.seekg(static_cast<std::streamoff>(sh.sh_offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) return State::kDamaged;
    return State::kPresent;
  }
  return State::kAbsent;
}

}  // namespace

ElfModuleResources::ElfModuleResources(std::string programPath) : path_(std::move(programPath)) {}

void ElfModuleResources::Load() {
  state_ = Decode();
  if (state_ != State::kPresent) {
    entries_.clear();
    section_.clear();
  }
}

ElfModuleResources::State ElfModuleResources::Decode() {
  errno = 0;
  std::ifstream file(path_, std::ios::binary | std::ios::ate);
  if (!file) {
    readError_ = errno;
    return State::kAbsent;
  }
  const std::streamoff end = file.tellg();
  if (end < 0) return State::kAbsent;
  const auto fileSize = static_cast<std::uint64_t>(end);
  file.seekg(0);
  unsigned char ident[EI_NIDENT] = {};
  file.read(reinterpret_cast<char*>(ident), EI_NIDENT);
  if (!file || std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB) {
    return State::kAbsent;
  }
  State read = State::kAbsent;
  if (ident[EI_CLASS] == ELFCLASS64) {
    read = ReadSection<Elf64_Ehdr, Elf64_Shdr>(file, fileSize, kResourceSectionName, section_);
  } else if (ident[EI_CLASS] == ELFCLASS32) {
    read = ReadSection<Elf32_Ehdr, Elf32_Shdr>(file, fileSize, kResourceSectionName, section_);
  }
  if (read != State::kPresent) return read;

  // The directory: magic, entry count, then {type, id, offset, size} entries, the data after them.
  const std::span<const std::uint8_t> s(section_);
  if (s.size() < sizeof(kDirectoryMagic) + 4 ||
      !std::equal(std::begin(kDirectoryMagic), std::end(kDirectoryMagic), s.begin())) {
    return State::kDamaged;
  }
  const std::uint32_t count = Le32(s, 8);
  if (count > (s.size() - 12) / kDirectoryEntrySize) return State::kDamaged;
  const std::size_t directoryEnd = 12 + std::size_t{count} * kDirectoryEntrySize;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = 12 + i * kDirectoryEntrySize;
    const std::uint32_t offset = Le32(s, at + 4);
    const std::uint32_t size = Le32(s, at + 8);
    if (offset < directoryEnd || !Fits(offset, size, s.size())) return State::kDamaged;
    entries_.push_back({Le16(s, at), Le16(s, at + 2), s.subspan(offset, size)});
  }
  // Resources never share bytes: overlapping entries mean a damaged directory.
  std::vector<std::span<const std::uint8_t>> byStart;
  for (const Entry& e : entries_) byStart.push_back(e.bytes);
  std::ranges::sort(byStart, {}, [](std::span<const std::uint8_t> b) { return b.data(); });
  for (std::size_t i = 1; i < byStart.size(); ++i) {
    if (byStart[i - 1].data() + byStart[i - 1].size() > byStart[i].data()) return State::kDamaged;
  }
  return State::kPresent;
}

ElfModuleResources::State ElfModuleResources::SectionState() {
  std::call_once(loaded_, [this] { Load(); });
  return state_;
}

std::optional<std::span<const std::uint8_t>> ElfModuleResources::Find(std::uint16_t type,
                                                                      std::uint16_t id) {
  std::call_once(loaded_, [this] { Load(); });
  for (const Entry& e : entries_) {
    if (e.type == type && e.id == id) return e.bytes;
  }
  // A program file that cannot be read is a failure; a resource it does not carry is not.
  if (state_ == State::kDamaged) {
    SetLastCause({.operation = "resources", .detail = "the program file's resources are damaged"});
  } else if (state_ == State::kAbsent && readError_ != 0) {
    SetLastCause({.operation = "resources", .osError = readError_});
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

// Resources read back from program files: present, missing, without a version, damaged.
#include "platform/linux/elf_resources.h"

#include <elf.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/platform/linux/damaged_program.h"

namespace tr350::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ElfResources, TheRunningProgramCarriesTheImageAndItsVersion) {
  ElfModuleResources resources;  // this test program, read through /proc/self/exe
  const auto image = resources.Find(132, 131);
  ASSERT_TRUE(image.has_value());
  const Bytes expected = ReadFile(TR350_FIRMWARE_IMAGE_FILE);
  EXPECT_TRUE(std::equal(image->begin(), image->end(), expected.begin(), expected.end()));

  const auto version = resources.ProgramFileVersion();
  ASSERT_TRUE(version.has_value());
  const std::string text = std::to_string(version->major) + "." + std::to_string(version->minor) +
                           "." + std::to_string(version->build) + "." +
                           std::to_string(version->revision);
  EXPECT_EQ(text, TR350_PROJECT_VERSION);
}

TEST(ElfResources, MissingResourcesAreReportedAsMissing) {
  ElfModuleResources self;
  EXPECT_FALSE(self.Find(132, 130).has_value());
  EXPECT_FALSE(self.Find(131, 131).has_value());

  ElfModuleResources noVersion(TR350_PROBE_NOVERSION);
  EXPECT_TRUE(noVersion.Find(132, 131).has_value());
  EXPECT_FALSE(noVersion.ProgramFileVersion().has_value());

  ElfModuleResources none(TR350_PROBE_NORESOURCES);
  EXPECT_FALSE(none.Find(132, 131).has_value());
  EXPECT_FALSE(none.ProgramFileVersion().has_value());

  ElfModuleResources absent("/nonexistent/program");
  EXPECT_FALSE(absent.Find(132, 131).has_value());
}

// Copies of this program whose section table or resource directory states offsets and sizes that
// do not fit: damaged, no resources, and no allocation of the stated size.
TEST(ElfResources, DamagedSectionsAreReportedAsDamaged) {
  using State = ElfModuleResources::State;
  const test::ProgramFile self = test::ProgramFile::Load("/proc/self/exe");
  ASSERT_NE(self.sectionHeader, 0u);
  EXPECT_EQ(ElfModuleResources().SectionState(), State::kPresent);
  const std::string path = ::testing::TempDir() + "damaged_program_" + std::to_string(getpid());
  const auto stateOf = [&](const test::ProgramFile& damaged) {
    damaged.Save(path);
    ElfModuleResources resources(path);
    EXPECT_FALSE(resources.Find(132, 131).has_value());
    return resources.SectionState();
  };
  const std::size_t header = self.sectionHeader;
  const std::size_t directory = self.section;
  const auto damaged = [&](auto&& change) {
    test::ProgramFile copy = self;
    change(copy);
    return stateOf(copy);
  };

  // The section table: a size of nearly 2^64, an offset past the end, a table past the end.
  EXPECT_EQ(damaged([&](auto& f) {
              f.template Put<std::uint64_t>(header + offsetof(Elf64_Shdr, sh_size), ~0ull << 8);
            }),
            State::kDamaged);
  EXPECT_EQ(damaged([&](auto& f) {
              f.template Put<std::uint64_t>(header + offsetof(Elf64_Shdr, sh_offset),
                                            f.bytes.size() - 4);
            }),
            State::kDamaged);
  EXPECT_EQ(damaged([&](auto& f) {
              f.template Put<std::uint64_t>(offsetof(Elf64_Ehdr, e_shoff), f.bytes.size() - 64);
            }),
            State::kDamaged);

  // The directory: {magic, count, {type, id, offset, size}...}; the first entry is the version.
  ASSERT_EQ(self.At<std::uint32_t>(directory + 12), 16u | (1u << 16));
  EXPECT_EQ(damaged([&](auto& f) { f.bytes[directory + 11] = 0x7F; }), State::kDamaged);
  EXPECT_EQ(damaged([&](auto& f) { f.bytes[directory + 12 + 8 + 3] = 0x7F; }), State::kDamaged);
  EXPECT_EQ(damaged([&](auto& f) { f.bytes[directory] = 'X'; }), State::kDamaged);
  // The second entry's bytes moved onto the first's; then onto the directory itself.
  EXPECT_EQ(damaged([&](auto& f) {
              f.template Put<std::uint32_t>(directory + 24 + 4,
                                            f.template At<std::uint32_t>(directory + 12 + 4));
            }),
            State::kDamaged);
  EXPECT_EQ(damaged([&](auto& f) { f.template Put<std::uint32_t>(directory + 12 + 4, 0); }),
            State::kDamaged);

  // Not a program file at all, and a program without the section: no resources, not damaged.
  std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n";
  EXPECT_EQ(ElfModuleResources(path).SectionState(), State::kAbsent);
  EXPECT_EQ(ElfModuleResources(TR350_PROBE_NORESOURCES).SectionState(), State::kAbsent);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tr350::platform

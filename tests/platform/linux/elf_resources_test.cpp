// Resources read back from program files: present, missing, without a version, damaged.
#include "platform/linux/elf_resources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// A copy of this program whose resource directory says more than the section holds.
TEST(ElfResources, DamagedDirectoryYieldsNoResources) {
  Bytes file = ReadFile("/proc/self/exe");
  // The directory: magic, two entries, the first the version resource (type 16, id 1). The
  // non-loaded section lies after the loaded ones, so the last match is the section, not a copy
  // of these bytes among the program's constants.
  const Bytes directory = {'T', 'R', '3', '5', 'R', 'S', 'R', 'C', 2, 0, 0, 0, 16, 0, 1, 0};
  const auto at = std::find_end(file.begin(), file.end(), directory.begin(), directory.end());
  ASSERT_NE(at, file.end());
  const std::string path = ::testing::TempDir() + "damaged_program_" + std::to_string(getpid());

  const auto damagedAt = [&](std::size_t offset) {
    Bytes damaged = file;
    damaged[static_cast<std::size_t>(at - file.begin()) + offset] = 0x7F;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(damaged.data()),
               static_cast<std::streamsize>(damaged.size()));
    return ElfModuleResources(path).Find(132, 131).has_value();
  };
  EXPECT_FALSE(damagedAt(11));          // an entry count far beyond the section
  EXPECT_FALSE(damagedAt(12 + 8 + 3));  // the first entry's size running past the section

  // Not a program file at all.
  std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n";
  EXPECT_FALSE(ElfModuleResources(path).Find(132, 131).has_value());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tr350::platform

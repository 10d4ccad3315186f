// The cost of one table build on large machines: the disk set is opened once and each disk is
// asked for its identification at most once, while the table and the skipped disks stay what the
// search gave before it reused anything (recorded below from that search).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/device_table.h"
#include "emulator/scenarios.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/text.h"
#include "tests/discovery/discovery_fixture.h"

namespace tr350::test {
namespace {

std::string Text(std::u16string_view text) {
  return platform::Utf16ToUtf8(text, platform::InvalidText::kReplace).value_or("?");
}

// One line per entry (USB device, disk, access mode, flash part) and per skipped disk.
std::vector<std::string> Describe(const DeviceTable& table) {
  std::vector<std::string> lines;
  for (std::int32_t i = 0; i < table.count; ++i) {
    const DeviceEntry& e = table.entries[static_cast<std::size_t>(i)];
    lines.push_back(Text(FieldText(e.usbInstanceId)) + " | " + Text(FieldText(e.diskInstanceId)) +
                    " | " + std::to_string(e.accessMode) + " | " +
                    std::to_string(e.flashPartIndex));
  }
  for (const SkippedCandidate& s : table.skipped) {
    lines.push_back("skipped " + Text(s.usbInstanceId) + " | " + Text(s.diskInstanceId) + " | " +
                    s.Describe());
  }
  return lines;
}

class ScanCost : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    emulated = platform::EmulatedPlatform::ForScenario(GetParam(), clock, resources);
    ASSERT_NE(emulated, nullptr);
  }
  // Identification commands each disk has received so far, in tree order.
  std::vector<std::size_t> Identifications() {
    std::vector<std::size_t> counts;
    emulator::Machine& machine = emulated->GetMachine();
    for (const emulator::DeviceId d : machine.DiskDevices()) {
      std::size_t n = 0;
      for (const auto& c : machine.ReaderOf(d)->Commands()) n += c.opcode == 0xD0 ? 1 : 0;
      counts.push_back(n);
    }
    return counts;
  }

  platform::VirtualClock clock;
  NoResources resources;
  std::unique_ptr<platform::EmulatedPlatform> emulated;
};

// The tables recorded from the search as it was before it reused the disk set and the answers.
const std::vector<std::string>& Recorded(std::string_view scenario);

TEST_P(ScanCost, TheTableIsTheOneTheSearchAlwaysGave) {
  platform::ScopedPlatform scope(*emulated);
  DeviceTable table;
  BuildDeviceTable(table);
  EXPECT_EQ(Describe(table), Recorded(GetParam()));
  // A second build of the same machine gives the same again.
  BuildDeviceTable(table);
  EXPECT_EQ(Describe(table), Recorded(GetParam()));
}

TEST_P(ScanCost, OneDiskSetAndOneIdentificationPerDiskPerBuild) {
  platform::ScopedPlatform scope(*emulated);
  platform::EmulatedDevices& devices = emulated->GetDevices();
  for (int build = 1; build <= 2; ++build) {
    SCOPED_TRACE(build);
    const std::uint64_t disksBefore = devices.SetOpenCount(platform::InterfaceClass::kDisk);
    const std::uint64_t usbBefore = devices.SetOpenCount(platform::InterfaceClass::kUsbDevice);
    const std::vector<std::size_t> before = Identifications();
    DeviceTable table;
    BuildDeviceTable(table);
    EXPECT_EQ(devices.SetOpenCount(platform::InterfaceClass::kDisk) - disksBefore, 1u);
    // The USB set is counted and then opened, as the table is sized before it is filled.
    EXPECT_EQ(devices.SetOpenCount(platform::InterfaceClass::kUsbDevice) - usbBefore, 2u);
    const std::vector<std::size_t> after = Identifications();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i] - before[i], 1u) << "disk " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(LargeMachines, ScanCost,
                         ::testing::Values("sixty-four-devices", "eight-readers", "two-readers",
                                           "foreign-disk"),
                         [](const auto& param) {
                           std::string name = param.param;
                           std::erase(name, '-');
                           return name;
                         });

const std::vector<std::string>& Recorded(std::string_view scenario) {
  static const std::vector<std::string> kSixtyFour = {
      R"(USB\VID_3C51&PID_4D08\5&A715B186&0&1 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&F8B8B36&0 | 3 | 58)",
      R"(USB\VID_3C51&PID_4D08\5&E943CD7D&0&1 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&2EA7C666&0 | 3 | 46)",
      R"(USB\VID_3C51&PID_4D08\5&1D30D85&0&2 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&1912AACB&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&6C7CA7C4&0&6 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&341A9DED&0 | 3 | 1)",
      R"(USB\VID_3C51&PID_4D08\5&84874248&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&5D73D29D&0 | 3 | 60)",
      R"(USB\VID_3C51&PID_4D08\5&455ECB74&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&865F053F&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&E17FFF35&0&7 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&B88F70E2&0 | 3 | 60)",
      R"(USB\VID_3C51&PID_4D08\5&89B82CD1&0&7 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&4555AA1&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&5B71B7CA&0&5 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&3FD9ABDB&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&9F505634&0&5 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&A4F7896C&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&FEEB85CF&0&4 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&8A762D60&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&5AA305A8&0&4 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&54756830&0 | 3 | 58)",
      R"(USB\VID_3C51&PID_4D08\5&65C6E413&0&2 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&DE8DE405&0 | 3 | 1)",
      R"(USB\VID_3C51&PID_4D08\5&73474E0B&0&1 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&55450AF6&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&71C8CBA5&0&5 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&86B1D50&0 | 3 | 46)",
      R"(USB\VID_3C51&PID_4D08\5&5D20BCEF&0&6 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&91722554&0 | 7 | -1)",
      R"(skipped USB\VID_2F10&PID_0404\5&A4F7896C&0&3 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&67BD5809&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&81FBCF15&0&2 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&59993643&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&4555AA1&0&5 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&D347E033&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F14&PID_1100\5&5913BB8E&0&6 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&A3D360F3&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&A3D360F3&0&8 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&81FBCF15&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&67BD5809&0&1 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&52176030&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&52176030&0&3 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&99BD733&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
      R"(skipped USB\VID_2F10&PID_0404\5&91722554&0&4 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&CF058D54&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
  };
  static const std::vector<std::string> kEight = {
      R"(USB\VID_3C51&PID_4D08\5&A4F7896C&0&1 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&9F505634&0 | 3 | 58)",
      R"(USB\VID_3C51&PID_4D08\5&79F4ECE&0&2 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&1FCE552&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&9F505634&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&A4F7896C&0 | 3 | 46)",
      R"(USB\VID_3C51&PID_4D08\5&5913BB8E&0&4 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&A3D360F3&0 | 3 | 1)",
      R"(USB\VID_3C51&PID_4D08\5&2EA7C666&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&E943CD7D&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&3E5CCE5F&0&2 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&20FF88A5&0 | 3 | 60)",
      R"(USB\VID_3C51&PID_4D08\5&3FD9ABDB&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&5B71B7CA&0 | 7 | -1)",
      R"(USB\VID_3C51&PID_4D08\5&20FF88A5&0&3 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&3E5CCE5F&0 | 3 | 20)",
  };
  static const std::vector<std::string> kTwo = {
      R"(USB\VID_3C51&PID_4D08\5&A715B186&0&1 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&F8B8B36&0 | 3 | 1)",
      R"(USB\VID_3C51&PID_4D08\5&A4F7896C&0&2 | USBSTOR\DISK&VEN_TR350&PROD_SD_READER&REV_0100\7&9F505634&0 | 7 | -1)",
  };
  static const std::vector<std::string> kForeign = {
      R"(skipped USB\VID_2F14&PID_1100\5&1FCE552&0&2 | USBSTOR\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\7&79F4ECE&0 | not a reader: refused the identification command: SCSI status 2, sense 05/20/00)",
  };
  if (scenario == "sixty-four-devices") return kSixtyFour;
  if (scenario == "eight-readers") return kEight;
  if (scenario == "two-readers") return kTwo;
  return kForeign;
}

}  // namespace
}  // namespace tr350::test

// Enumeration primitives and the order in which the search tries candidates, on a scripted
// device tree whose every node has a disk interface; the device record's text fields.
#include "discovery/enumeration.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "discovery/device_table.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/virtual_clock.h"
#include "records/device_entry.h"
#include "tests/discovery/discovery_fixture.h"

namespace tr350::test {
namespace {

// A device tree given as parent -> children lists. Every node except the USB devices is also a
// disk member whose interface path is "disk:" + its ID in lower case.
class ScriptedDevices final : public platform::DeviceSetup {
 public:
  std::vector<std::u16string> usbDevices;
  std::map<std::u16string, std::vector<std::u16string>> children;
  std::vector<std::u16string> disks;
  int diskSetOpens = 0;
  bool hasTree = true;

  bool HasDeviceTree() const override { return hasTree; }
  std::unique_ptr<platform::DeviceInfoSet> OpenPresent(platform::InterfaceClass c) override {
    const bool disk = c == platform::InterfaceClass::kDisk;
    if (disk) ++diskSetOpens;
    return std::make_unique<Set>(disk ? disks : usbDevices, disk);
  }
  std::optional<std::u16string> FirstChild(std::u16string_view id) override {
    const auto it = children.find(std::u16string(id));
    if (it == children.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
  }
  std::optional<std::u16string> NextSibling(std::u16string_view id) override {
    for (const auto& [parent, list] : children) {
      for (std::size_t i = 0; i + 1 < list.size(); ++i) {
        if (list[i] == id) return list[i + 1];
      }
    }
    return std::nullopt;
  }
  platform::DeviceNodeDetails Details(std::u16string_view) override { return {}; }

 private:
  class Set final : public platform::DeviceInfoSet {
   public:
    Set(std::vector<std::u16string> ids, bool disk) : ids_(std::move(ids)), disk_(disk) {}
    std::size_t Size() const override { return ids_.size(); }
    std::optional<std::u16string> InstanceId(std::size_t i) const override {
      if (i >= ids_.size()) return std::nullopt;
      return ids_[i];
    }
    std::optional<std::u16string> InterfacePath(std::size_t i) const override {
      if (i >= ids_.size()) return std::nullopt;
      if (!disk_) return u"usb:" + ids_[i];
      std::u16string path = u"disk:";
      for (char16_t c : ids_[i]) path.push_back(c >= u'A' && c <= u'Z' ? c + 32 : c);
      return path;
    }

   private:
    std::vector<std::u16string> ids_;
    bool disk_;
  };
};

// Records the disks the probe opens; none can be opened, so every candidate fails.
class RecordingStorage final : public platform::StorageIo {
 public:
  std::vector<std::u16string> opened;
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view path) override {
    opened.emplace_back(path);
    return nullptr;
  }
};

class EnumerationTest : public ::testing::Test {
 protected:
  EnumerationTest() {
    platform.SetDevices(devices);
    // U has ten children C1..C10 (the tenth is named C0); each Ck has one child Gk.
    devices.usbDevices = {u"U"};
    for (int k = 1; k <= 10; ++k) {
      const auto digit = static_cast<char16_t>(u'0' + k % 10);
      const std::u16string c{u'C', digit};
      const std::u16string g{u'G', digit};
      devices.children[u"U"].push_back(c);
      devices.children[c] = {g};
      devices.disks.push_back(c);
      devices.disks.push_back(g);
    }
    devices.disks.push_back(u"U");
  }

  ScriptedDevices devices;
  RecordingStorage storage;
  platform::VirtualClock clock;
  platform::EmulatedMutexes mutexes{clock};
  NoResources resources;
  platform::ComposedPlatform platform{storage, mutexes, clock, resources};
  platform::ScopedPlatform scope{platform};
};

TEST_F(EnumerationTest, TheSearchTriesCandidatesInItsOrder) {
  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  // U; C1 (tried twice, asked once); then for eight children: the child, its first child; C9
  // and C10 never.
  const std::vector<std::u16string> expected = {
      u"disk:u",  u"disk:c1", u"disk:g1", u"disk:c2", u"disk:g2", u"disk:c3",
      u"disk:g3", u"disk:c4", u"disk:g4", u"disk:c5", u"disk:g5", u"disk:c6",
      u"disk:g6", u"disk:c7", u"disk:g7", u"disk:c8", u"disk:g8"};
  EXPECT_EQ(storage.opened, expected);
}

TEST_F(EnumerationTest, WithoutADeviceTreeOnlyTheUsbDeviceIsTried) {
  devices.hasTree = false;
  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_EQ(storage.opened, std::vector<std::u16string>{u"disk:u"});
}

TEST_F(EnumerationTest, AnEmptyClassIsNotOpenedTwice) {
  devices.disks.clear();
  EXPECT_EQ(CountInterfaces(InterfaceClass::kDisk), 0u);
  devices.diskSetOpens = 0;
  char16_t path[8] = {};
  std::size_t length = 0;
  EXPECT_FALSE(FindInterfacePath(InterfaceClass::kDisk, u"C1", path, length));
  EXPECT_EQ(devices.diskSetOpens, 1);
}

TEST_F(EnumerationTest, BuffersThatAreTooSmallFailAndStayUntouched) {
  const auto set = devices.OpenPresent(InterfaceClass::kDisk);
  std::vector<char16_t> small(7, u'#');  // "disk:c1" needs 8 with its terminator
  std::size_t length = 99;
  EXPECT_FALSE(GetInterfacePath(InterfaceClass::kDisk, *set, 0, small, length));
  EXPECT_EQ(small, std::vector<char16_t>(7, u'#'));
  EXPECT_EQ(length, 99u);
  std::vector<char16_t> id(2, u'#');  // "C1" needs 3
  EXPECT_FALSE(GetInstanceIdByIndex(*set, 0, id, length));
  EXPECT_EQ(id, std::vector<char16_t>(2, u'#'));
  EXPECT_FALSE(GetInstanceIdByIndex(*set, 999, id, length));

  // Tree IDs longer than 199 characters do not fit the query's buffer.
  const std::u16string longId(200, u'L');
  devices.children[u"C1"] = {longId};
  char16_t child[kDeviceIdChars] = {};
  EXPECT_FALSE(GetChildId(u"C1", child, length));
}

TEST_F(EnumerationTest, LookupsIgnoreLetterCaseAndEndAtLeavesAndLastSiblings) {
  char16_t path[kDeviceTextLength] = {};
  std::size_t length = 0;
  ASSERT_TRUE(FindInterfacePath(InterfaceClass::kDisk, u"g7", path, length));
  EXPECT_EQ(std::u16string(path), u"disk:g7");
  EXPECT_EQ(length, 7 * sizeof(char16_t));
  EXPECT_FALSE(FindInterfacePath(InterfaceClass::kDisk, u"G", path, length));

  char16_t id[kDeviceIdChars] = {};
  EXPECT_FALSE(GetChildId(u"G3", id, length));
  EXPECT_FALSE(GetSiblingId(u"C0", id, length));  // C10 is the last child
  ASSERT_TRUE(GetSiblingId(u"C1", id, length));
  EXPECT_EQ(std::u16string(id), u"C2");
  EXPECT_EQ(length, 2u);
}

// The record's text fields, which these lookups fill, never overflow.
TEST(DeviceEntryTest, TextFieldsAreCutToLeaveTheTerminator) {
  DeviceEntry e = MakeEmptyDeviceEntry();
  SetFieldText(e.diskPath, std::u16string(400, u'x'));
  EXPECT_EQ(FieldText(e.diskPath).size(), kDeviceTextLength - 1);
  EXPECT_EQ(e.diskPath[kDeviceTextLength - 1], u'\0');
  SetFieldText(e.diskPath, u"/dev/sg1");
  EXPECT_EQ(FieldText(e.diskPath), u"/dev/sg1");
  EXPECT_EQ(e.diskPath[9], u'\0');  // the old text is cleared behind the new one
}

}  // namespace
}  // namespace tr350::test

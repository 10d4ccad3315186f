// The SetupAPI device setup: against the system's real device set (under Wine an empty one), and
// against scripted answers for a USB device -> interface -> disk tree.
#include <gtest/gtest.h>

#include <cerrno>
#include <cwctype>
#include <map>
#include <vector>

#include <windows.h>
// The interface class GUIDs, defined in this program.
#include <initguid.h>
// The SDK's headers of the classes need the types the ones before declare.
#include <winioctl.h>

#include <ntddstor.h>
#include <usbiodef.h>

#include "platform/windows/win_device_setup.h"
#include "platform/windows/win_handles.h"
#include "tests/platform/device_walk.h"

namespace tr350::platform::windows {
namespace {

using test::FoundDisks;
using test::WalkForDisks;

TEST(WinDeviceSetupTest, TheSystemsOwnDevicesHoldNoReader) {
  Win32SetupCalls calls;
  WinDeviceSetup setup(calls);
  const auto usb = setup.OpenPresent(InterfaceClass::kUsbDevice);
  const auto disks = setup.OpenPresent(InterfaceClass::kDisk);
  ASSERT_NE(usb, nullptr);
  ASSERT_NE(disks, nullptr);
  EXPECT_FALSE(usb->InstanceId(usb->Size()));  // past the end
  for (const auto& [usbId, paths] : WalkForDisks(setup)) {
    for (const std::u16string& path : paths) {
      EXPECT_EQ(test::Upper(path).find(u"VID_3C51&PID_4D08"), std::u16string::npos);
    }
  }
  EXPECT_FALSE(setup.FirstChild(u"USB\\VID_0000&PID_0000\\NO-SUCH-NODE"));
  EXPECT_FALSE(setup.NextSibling(u"USB\\VID_0000&PID_0000\\NO-SUCH-NODE"));
  EXPECT_TRUE(setup.Details(u"USB\\VID_0000&PID_0000\\NO-SUCH-NODE").description.empty());
}

// A device tree and two interface lists as the system would answer them. Node 0 is "none".
class ScriptedCalls final : public SetupCalls {
 public:
  struct Node {
    std::wstring id;
    DEVINST parent = 0;
    std::map<ULONG, std::wstring> properties;
  };

  DEVINST Add(std::wstring id, DEVINST parent, std::map<ULONG, std::wstring> properties = {}) {
    nodes_.push_back({std::move(id), parent, std::move(properties)});
    return static_cast<DEVINST>(nodes_.size());
  }
  std::vector<InterfaceRecord> usbInterfaces;
  std::vector<InterfaceRecord> diskInterfaces;
  DWORD failOpenWith = 0;
  int openSets = 0;

  std::optional<SetId> OpenInterfaceSet(const GUID& interfaceClass, DWORD& error) override {
    if (failOpenWith != 0) {
      error = failOpenWith;
      return std::nullopt;
    }
    ++openSets;
    return interfaceClass == GUID_DEVINTERFACE_USB_DEVICE ? 1 : 2;
  }
  void CloseSet(SetId) override { --openSets; }
  std::optional<InterfaceRecord> Interface(SetId set, const GUID& interfaceClass,
                                           DWORD index) override {
    const auto& list = set == 1 ? usbInterfaces : diskInterfaces;
    EXPECT_EQ(set == 1, interfaceClass == GUID_DEVINTERFACE_USB_DEVICE);
    if (index >= list.size()) return std::nullopt;
    return list[index];
  }
  // The configuration manager finds IDs without regard to case.
  std::optional<DEVINST> Locate(const std::wstring& instanceId) override {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (Folded(nodes_[i].id) == Folded(instanceId)) return static_cast<DEVINST>(i + 1);
    }
    return std::nullopt;
  }
  std::optional<DEVINST> Child(DEVINST node) override { return After(node, 0); }
  std::optional<DEVINST> Sibling(DEVINST node) override {
    return After(Get(node).parent, static_cast<DEVINST>(node));
  }
  std::optional<DEVINST> Parent(DEVINST node) override {
    const DEVINST parent = Get(node).parent;
    return parent != 0 ? std::optional(parent) : std::nullopt;
  }
  std::optional<std::wstring> DeviceId(DEVINST node) override { return Get(node).id; }
  std::optional<std::wstring> TextProperty(DEVINST node, ULONG property) override {
    const auto& properties = Get(node).properties;
    const auto it = properties.find(property);
    return it == properties.end() ? std::nullopt : std::optional(it->second);
  }

 private:
  static std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
  }
  const Node& Get(DEVINST node) const { return nodes_.at(node - 1); }
  // The first child of `parent` added after node `after`.
  std::optional<DEVINST> After(DEVINST parent, DEVINST after) const {
    for (std::size_t i = after; i < nodes_.size(); ++i) {
      if (nodes_[i].parent == parent) return static_cast<DEVINST>(i + 1);
    }
    return std::nullopt;
  }
  std::vector<Node> nodes_;
};

class ScriptedTreeTest : public testing::Test {
 protected:
  ScriptedTreeTest() {
    const DEVINST hub = calls_.Add(L"USB\\ROOT_HUB30\\4&1", 0);
    // A reader whose disk is the USB device's own child.
    const DEVINST reader = calls_.Add(L"USB\\VID_3C51&PID_4D08\\000000000001", hub,
                                      {{CM_DRP_DEVICEDESC, L"USB Mass Storage Device"},
                                       {CM_DRP_MFG, L"Compatible USB storage device"},
                                       {CM_DRP_LOCATION_INFORMATION, L"Port_#0003.Hub_#0002"}});
    calls_.Add(
        L"USBSTOR\\DISK&VEN_TR350&PROD_READER\\000000000001&0", reader,
        {{CM_DRP_FRIENDLYNAME, L"TR350 Reader USB Device"}, {CM_DRP_DEVICEDESC, L"Disk drive"}});
    // A composite device: interface 0 carries a disk, interface 1 a keyboard.
    const DEVINST composite = calls_.Add(L"USB\\VID_1234&PID_0001\\7&2", hub);
    const DEVINST storage = calls_.Add(L"USB\\VID_1234&PID_0001&MI_00\\8&1&0", composite);
    calls_.Add(L"USB\\VID_1234&PID_0001&MI_01\\8&1&1", composite, {{CM_DRP_SERVICE, L"HidUsb"}});
    calls_.Add(L"USBSTOR\\DISK&VEN_OTHER&PROD_CARD\\8&1&0&0", storage);

    calls_.usbInterfaces = {
        {L"\\\\?\\usb#vid_3c51&pid_4d08#000000000001#{a5dcbf10}",
         L"USB\\VID_3C51&PID_4D08\\000000000001"},
        {L"\\\\?\\usb#vid_1234&pid_0001#7&2#{a5dcbf10}", L"USB\\VID_1234&PID_0001\\7&2"},
        {std::nullopt, std::nullopt},  // went away while the set was read
    };
    // In another order than the USB devices, IDs in other letter cases, and one device with two
    // disk interfaces.
    calls_.diskInterfaces = {
        {kCardPath, L"usbstor\\disk&ven_other&prod_card\\8&1&0&0"},
        {L"\\\\?\\scsi#disk#1#{53f56307}", L"SCSI\\DISK&VEN_ATA\\1"},
        {L"\\\\?\\scsi#disk#1#{53f56307}-second", L"SCSI\\DISK&VEN_ATA\\1"},
        {kReaderPath, L"USBSTOR\\DISK&VEN_TR350&PROD_READER\\000000000001&0"},
    };
  }

  static constexpr const wchar_t* kReaderPath =
      L"\\\\?\\usbstor#disk&ven_tr350&prod_reader#000000000001&0#{53f56307}";
  static constexpr const wchar_t* kCardPath =
      L"\\\\?\\usbstor#disk&ven_other&prod_card#8&1&0&0#{53f56307}";

  ScriptedCalls calls_;
  WinDeviceSetup setup_{calls_};
};

TEST_F(ScriptedTreeTest, TheSearchReachesEachDiskBelowItsUsbDevice) {
  const FoundDisks found = WalkForDisks(setup_);
  ASSERT_EQ(found.size(), 3U);
  EXPECT_EQ(found[0].first, u"USB\\VID_3C51&PID_4D08\\000000000001");
  EXPECT_EQ(found[0].second, std::vector<std::u16string>{FromWide(kReaderPath)});
  EXPECT_EQ(found[1].first, u"USB\\VID_1234&PID_0001\\7&2");
  EXPECT_EQ(found[1].second, std::vector<std::u16string>{FromWide(kCardPath)});
  EXPECT_EQ(found[2].first, u"");  // the member that went away: no ID, nothing found
  EXPECT_TRUE(found[2].second.empty());
  EXPECT_EQ(calls_.openSets, 0) << "every set is closed again";
}

TEST_F(ScriptedTreeTest, EachInterfaceIsAMemberWithItsOwnDevicesId) {
  const auto disks = setup_.OpenPresent(InterfaceClass::kDisk);
  ASSERT_NE(disks, nullptr);
  ASSERT_EQ(disks->Size(), 4U);
  EXPECT_EQ(disks->InstanceId(1), disks->InstanceId(2));
  EXPECT_NE(disks->InterfacePath(1), disks->InterfacePath(2));
  EXPECT_EQ(disks->InterfacePath(3), FromWide(kReaderPath));
  EXPECT_FALSE(disks->InstanceId(4));
  EXPECT_FALSE(disks->InterfacePath(4));
}

TEST_F(ScriptedTreeTest, DetailsComeFromTheNodesProperties) {
  const DeviceNodeDetails reader = setup_.Details(u"USB\\VID_3C51&PID_4D08\\000000000001");
  EXPECT_EQ(reader.description, u"USB Mass Storage Device");  // no friendly name
  EXPECT_EQ(reader.manufacturer, u"Compatible USB storage device");
  EXPECT_EQ(reader.parentInstanceId, u"USB\\ROOT_HUB30\\4&1");
  EXPECT_EQ(reader.hubNumber, 2);
  EXPECT_EQ(reader.portNumber, 3);

  const DeviceNodeDetails disk =
      setup_.Details(u"USBSTOR\\DISK&VEN_TR350&PROD_READER\\000000000001&0");
  EXPECT_EQ(disk.description, u"TR350 Reader USB Device");
  EXPECT_EQ(disk.parentInstanceId, u"USB\\VID_3C51&PID_4D08\\000000000001");
  EXPECT_EQ(disk.hubNumber, 0);  // no location information
  EXPECT_EQ(setup_.Details(u"USB\\VID_1234&PID_0001&MI_01\\8&1&1").description, u"HidUsb");
  EXPECT_EQ(setup_.Details(u"USB\\ROOT_HUB30\\4&1").parentInstanceId, u"");

  EXPECT_EQ(ParseLocation(u"Port_#0012.Hub_#0004").port, 12);
  EXPECT_EQ(ParseLocation(u"Port_#0012.Hub_#0004").hub, 4);
  EXPECT_EQ(ParseLocation(u"0000.0014.0000.001.000.000.000.000.000").port, 0);
}

TEST_F(ScriptedTreeTest, ASetThatCannotBeMadeRecordsItsCause) {
  calls_.failOpenWith = ERROR_ACCESS_DENIED;
  ClearLastCause();
  EXPECT_EQ(setup_.OpenPresent(InterfaceClass::kUsbDevice), nullptr);
  ASSERT_TRUE(LastCause());
  EXPECT_EQ(LastCause()->operation, "device set");
  EXPECT_EQ(LastCause()->osError, EACCES);
}

}  // namespace
}  // namespace tr350::platform::windows

// Building and releasing the device table on an emulated machine.
#include "discovery/device_table.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/discovery/discovery_fixture.h"

namespace tr350::test {
namespace {

using emulator::DeviceId;

class DeviceTableTest : public MachineTest {
 protected:
  // How many identification commands each reader has received.
  static std::size_t IdentificationsSent(const emulator::Reader& reader) {
    std::size_t n = 0;
    for (const auto& c : reader.Commands()) n += c.opcode == 0xD0 ? 1 : 0;
    return n;
  }
  platform::EmulatedMutexes::NameState Slot(std::u16string_view name) {
    return platform.GetMutexes().State(name);
  }
};

TEST_F(DeviceTableTest, ReadersTakeSlotsInUsbOrderWithTheirOwnMutexes) {
  // The disk set lists the disks in the opposite order from the USB devices.
  platform.GetMachine().SetDiskOrder(emulator::DiskOrder::kReverseUsbOrder);
  auto flash = FlashReader();
  auto sectors = SectorReader();
  const DeviceId first = Plug(2, flash);
  const DeviceId second = Plug(5, sectors);

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 2);
  const DeviceEntry& a = table.entries[0];
  const DeviceEntry& b = table.entries[1];
  EXPECT_EQ(FieldText(a.usbInstanceId), *machine().InstanceIdOf(first));
  EXPECT_EQ(FieldText(a.diskPath), *machine().DiskPathOf(first));
  EXPECT_EQ(a.accessMode, kAccessModeSerialFlash);
  EXPECT_EQ(a.flashPartIndex, 58);
  EXPECT_EQ(FieldText(b.usbInstanceId), *machine().InstanceIdOf(second));
  EXPECT_EQ(b.accessMode, kAccessModeSectors);
  EXPECT_EQ(a.tableIndex, 0);
  EXPECT_EQ(b.tableIndex, 1);
  // The disk ID is the tree's node ID, which the disk set spells in another case.
  EXPECT_EQ(FieldText(a.diskInstanceId), *machine().DiskInstanceIdOf(first));
  EXPECT_EQ(a.portNumber, 2);
  EXPECT_FALSE(FieldText(a.usbDescription).empty());

  // Each slot holds its own named mutex; the check-chip mutex is not held after the build.
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 1u);
  EXPECT_EQ(Slot(u"[Device0001]").openHandles, 1u);
  EXPECT_NE(a.accessMutex, b.accessMutex);
  EXPECT_EQ(Slot(u"[Device check chip]").openHandles, 0u);

  ASSERT_TRUE(ReleaseDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 0u);
  EXPECT_EQ(Slot(u"[Device0001]").openHandles, 0u);
}

TEST_F(DeviceTableTest, TheWalkReachesAGrandchildDiskButNotADeeperOne) {
  auto deep = FlashReader();
  emulator::UsbDeviceSpec spec = emulator::ReaderDevice(deep);
  spec.placement = emulator::DiskPlacement::kBelowIntermediate;
  machine().Connect(bus, 1, spec);
  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_EQ(IdentificationsSent(*deep), 0u);

  const DeviceId reader = Plug(2, FlashReader());  // device -> interface -> disk
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(FieldText(table.entries[0].usbInstanceId), *machine().InstanceIdOf(reader));
}

TEST_F(DeviceTableTest, OnlyDisksWhoseIdentificationDecodesEnterTheTable) {
  // A plain USB disk refuses 0xD0; another product whose answer decodes is a reader all the same;
  // a reader whose flash answers no known identification is dropped.
  emulator::ReaderConfig plain;
  plain.vendorCommands = false;
  auto foreign = SectorReader(plain);
  machine().Connect(bus, 1, emulator::PlainDiskDevice(foreign));
  emulator::ReaderConfig other;
  other.identification = emulator::MakeIdentification(0x0BDA, 0x0316, 0x01020304, 3);
  const DeviceId otherBridge = Plug(2, SectorReader(other));
  auto unknownFlash = FlashReader();
  unknownFlash->SetUnknownFlashIdentity(true);
  Plug(3, unknownFlash);
  machine().Connect(bus, 4, emulator::KeyboardDevice());

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(FieldText(table.entries[0].usbInstanceId), *machine().InstanceIdOf(otherBridge));
  EXPECT_EQ(table.entries[0].vendorId, 0x0BDA);
  EXPECT_EQ(table.entries[0].accessMode, kAccessModeStorageType3);
  // Every disk was asked.
  EXPECT_GE(IdentificationsSent(*foreign), 1u);
  EXPECT_GE(IdentificationsSent(*unknownFlash), 1u);
}

TEST_F(DeviceTableTest, NoReaderLeavesTheTableEmptyAndNoUsbDeviceLeavesItUntouched) {
  DeviceTable table;
  table.count = 7;  // a marker: with no USB device at all the build does not touch the table
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_EQ(table.count, 7);
  table.count = 0;

  machine().Connect(bus, 1, emulator::KeyboardDevice());
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_TRUE(table.Empty());
}

TEST_F(DeviceTableTest, AReaderThatVanishesDuringTheBuildIsNotListed) {
  const DeviceId gone = Plug(1, FlashReader());
  const DeviceId stays = Plug(2, SectorReader());
  // The USB set is taken with both readers in it; the first leaves right after.
  machine().AfterSetOpened(platform::InterfaceClass::kUsbDevice, 2,
                           [gone](emulator::Machine& m) { m.Unplug(gone); });
  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(FieldText(table.entries[0].usbInstanceId), *machine().InstanceIdOf(stays));
}

TEST_F(DeviceTableTest, ASlotMutexThatCannotBeOpenedDismantlesTheTable) {
  Plug(1, FlashReader());
  Plug(2, SectorReader());
  platform.GetMutexes().FailOpens(u"[Device0001]");
  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 0u);
}

TEST_F(DeviceTableTest, ACheckChipMutexThatCannotBeOpenedSkipsTheCandidate) {
  auto reader = FlashReader();
  Plug(1, reader);
  platform.GetMutexes().FailOpens(u"[Device check chip]", 100);
  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_EQ(IdentificationsSent(*reader), 0u);
}

TEST_F(DeviceTableTest, ReleaseRules) {
  DeviceTable table;
  table.count = 3;
  EXPECT_FALSE(ReleaseDeviceTable(table));  // no array: nothing to release
  EXPECT_EQ(table.count, 0);

  // A table of more than 20 readers is released like any other: every mutex is closed.
  int readers = 0;
  for (std::uint8_t port = 1; port <= 6; ++port) {
    const DeviceId hub = machine().ConnectHub(bus, port);
    for (std::uint8_t p = 1; p <= 4 && readers < 21; ++p, ++readers) {
      machine().Connect(hub, p, emulator::ReaderDevice(SectorReader()));
    }
  }
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 21);
  EXPECT_EQ(Slot(u"[Device0020]").openHandles, 1u);
  EXPECT_TRUE(ReleaseDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 0u);
  EXPECT_EQ(Slot(u"[Device0020]").openHandles, 0u);
}

TEST_F(DeviceTableTest, BuildingAgainReleasesWhatTheTableHeld) {
  Plug(1, FlashReader());
  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_TRUE(BuildDeviceTable(table));  // without a release in between
  EXPECT_EQ(table.count, 1);
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 1u);  // the first build's handle was closed
}

TEST_F(DeviceTableTest, ADiskReachedFromItsHubAndFromItselfIsListedOnce) {
  // A single-function disk on an external hub: the hub's walk reaches it (hub -> device -> disk)
  // before the device's own walk does.
  const DeviceId hub = machine().ConnectHub(bus, 1);
  auto reader = SectorReader();
  machine().Connect(hub, 2, emulator::PlainDiskDevice(reader));
  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  EXPECT_EQ(table.count, 1);
}

TEST_F(DeviceTableTest, TwoThreadsBuildSeparateTablesAtOnce) {
  Plug(1, FlashReader());
  Plug(2, SectorReader());
  std::vector<std::int32_t> counts(2, -1);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < counts.size(); ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 5; ++round) {
          DeviceTable table;
          if (!BuildDeviceTable(table)) return;
          counts[t] = table.count;
        }
      });
    }
  }
  EXPECT_EQ(counts, (std::vector<std::int32_t>{2, 2}));
  EXPECT_EQ(Slot(u"[Device0000]").openHandles, 0u);
}

}  // namespace
}  // namespace tr350::test

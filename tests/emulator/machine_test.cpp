// The emulated machine: the shape and IDs of its tree, presence and events as devices come and
// go, a reader's reset and return, and the hooks that pull devices out at chosen moments.
#include "emulator/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/chip_catalogue.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using platform::DeviceChange;
using platform::InterfaceClass;
using testing::Bytes;
using testing::SendThrough;
using testing::StatusThrough;  // of an identification, or of a reset

std::string Narrow(const std::u16string& s) {
  return {s.begin(), s.end()};
}

bool StartsWith(const std::u16string& s, std::string_view prefix) {
  return Narrow(s).starts_with(prefix);
}

std::vector<std::u16string> Ids(const std::vector<SetMember>& members) {
  std::vector<std::u16string> ids;
  for (const SetMember& m : members) ids.push_back(m.instanceId);
  return ids;
}

class MachineTest : public ::testing::Test {
 protected:
  std::shared_ptr<Reader> FlashReader(std::uint32_t restartMs = 1500) {
    ReaderConfig config;
    config.restartMs = restartMs;
    return std::make_shared<Reader>(clock_, FindCatalogueChip("ef-4016")->traits, config);
  }

  std::vector<MachineEvent> UsbEvents() const {
    std::vector<MachineEvent> out;
    for (const MachineEvent& e : machine_.Events()) {
      if (e.kind != NodeKind::kDisk) out.push_back(e);
    }
    return out;
  }

  platform::VirtualClock clock_;
  platform::EmulatedStorage storage_;
  Machine machine_{platform::HostOn(storage_)};
};

TEST_F(MachineTest, TreeShapesIdsAndPaths) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId keyboard = machine_.Connect(bus, 1, KeyboardDevice());
  auto reader = FlashReader();
  const DeviceId tr350 = machine_.Connect(bus, 3, ReaderDevice(reader));
  const DeviceId flashDisk =
      machine_.Connect(bus, 4, PlainDiskDevice(std::make_shared<Reader>(clock_, SectorStorage{})));
  UsbDeviceSpec deep = ReaderDevice(FlashReader());
  deep.placement = DiskPlacement::kBelowIntermediate;
  const DeviceId deepReader = machine_.Connect(bus, 5, deep);

  // The reader: device -> MI_00 interface -> disk, reachable at the disk's interface path.
  const std::u16string device = *machine_.InstanceIdOf(tr350);
  EXPECT_TRUE(StartsWith(device, "USB\\VID_3C51&PID_4D08\\5&")) << Narrow(device);
  EXPECT_TRUE(Narrow(device).ends_with("&0&3"));
  const std::u16string mi = *machine_.FirstChild(device);
  EXPECT_TRUE(StartsWith(mi, "USB\\VID_3C51&PID_4D08&MI_00\\6&")) << Narrow(mi);
  const std::u16string disk = *machine_.FirstChild(mi);
  EXPECT_EQ(disk, *machine_.DiskInstanceIdOf(tr350));
  EXPECT_TRUE(StartsWith(disk, "USBSTOR\\DISK&VEN_TR350&PROD_SD_READER&REV_0100\\7&"));
  EXPECT_FALSE(machine_.FirstChild(disk));
  EXPECT_FALSE(machine_.NextSibling(mi));
  const std::string path = Narrow(*machine_.DiskPathOf(tr350));
  EXPECT_TRUE(path.starts_with("\\\\?\\usbstor#disk&ven_tr350&prod_sd_reader&rev_0100#7&"));
  EXPECT_TRUE(path.ends_with("&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")) << path;
  EXPECT_EQ(storage_.ReaderAt(*machine_.DiskPathOf(tr350)), reader);
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), 0);

  // Node lookups ignore case, as the system's do.
  std::u16string lower = mi;
  std::ranges::transform(lower, lower.begin(), [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  });
  EXPECT_EQ(machine_.FirstChild(lower), disk);

  // A keyboard: two interfaces, each with a HID function below, and no disk.
  const std::u16string kb0 = *machine_.FirstChild(*machine_.InstanceIdOf(keyboard));
  const std::u16string kb1 = *machine_.NextSibling(kb0);
  EXPECT_TRUE(StartsWith(kb1, "USB\\VID_2F12&PID_2001&MI_01\\"));
  EXPECT_TRUE(StartsWith(*machine_.FirstChild(kb0), "HID\\"));
  EXPECT_FALSE(machine_.NextSibling(kb1));
  EXPECT_FALSE(machine_.DiskPathOf(keyboard));

  // The deep reader's disk is three levels below its device.
  const std::u16string deepDisk = *machine_.DiskInstanceIdOf(deepReader);
  const auto parent = [&](const std::u16string& id) {
    return machine_.Details(id)->parentInstanceId;
  };
  EXPECT_EQ(parent(parent(parent(deepDisk))), *machine_.InstanceIdOf(deepReader));
  EXPECT_NE(machine_.FirstChild(*machine_.FirstChild(*machine_.InstanceIdOf(deepReader))),
            deepDisk);

  // Devices on a hub are siblings in port order; every ID is unique.
  std::vector<std::u16string> onBus;
  for (auto id = machine_.FirstChild(machine_.Details(device)->parentInstanceId); id;
       id = machine_.NextSibling(*id)) {
    onBus.push_back(*id);
  }
  EXPECT_EQ(onBus,
            (std::vector{*machine_.InstanceIdOf(keyboard), device,
                         *machine_.InstanceIdOf(flashDisk), *machine_.InstanceIdOf(deepReader)}));
}

TEST_F(MachineTest, SetOrdersAndDiskIdCase) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId first = machine_.Connect(bus, 1, ReaderDevice(FlashReader()));
  const DeviceId hub = machine_.ConnectHub(bus, 2);
  const DeviceId behindHub = machine_.Connect(hub, 4, ReaderDevice(FlashReader()));
  const DeviceId last = machine_.Connect(bus, 5, KeyboardDevice());

  const auto id = [&](DeviceId d) { return *machine_.InstanceIdOf(d); };
  const auto diskId = [&](DeviceId d) { return *machine_.DiskInstanceIdOf(d); };
  // Tree order: the hub before the device behind it, which comes before port 5.
  EXPECT_EQ(Ids(machine_.Present(InterfaceClass::kUsbDevice)),
            (std::vector{id(first), id(hub), id(behindHub), id(last)}));

  // The disk set spells IDs in its own case: equal to the tree's only without regard to case.
  const auto disks = machine_.Present(InterfaceClass::kDisk);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_NE(disks[0].instanceId, diskId(first));
  std::u16string upper = disks[0].instanceId;
  std::ranges::transform(upper, upper.begin(), [](char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  });
  EXPECT_EQ(upper, diskId(first));
  EXPECT_EQ(disks[0].interfacePath, *machine_.DiskPathOf(first));

  machine_.SetDiskOrder(DiskOrder::kReverseUsbOrder);
  machine_.SetDiskIdCase(DiskIdCase::kAsTree);
  EXPECT_EQ(Ids(machine_.Present(InterfaceClass::kDisk)),
            (std::vector{diskId(behindHub), diskId(first)}));

  // Arrival order: a device that came back is listed last.
  machine_.Unplug(first);
  machine_.Plug(first);
  machine_.SetUsbOrder(UsbOrder::kArrival);
  EXPECT_EQ(Ids(machine_.Present(InterfaceClass::kUsbDevice)),
            (std::vector{id(hub), id(behindHub), id(last), id(first)}));
}

TEST_F(MachineTest, UnplugAndPlugThroughAHub) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId hub = machine_.ConnectHub(bus, 1);
  auto reader = FlashReader();
  const DeviceId tr350 = machine_.Connect(hub, 1, ReaderDevice(reader));
  const DeviceId keyboard = machine_.Connect(hub, 2, KeyboardDevice());
  const std::u16string oldId = *machine_.InstanceIdOf(tr350);
  const std::u16string oldPath = *machine_.DiskPathOf(tr350);
  const std::uint64_t oldSerial = machine_.Present(InterfaceClass::kUsbDevice)[1].node;
  machine_.ClearEvents();

  machine_.Unplug(hub);
  EXPECT_FALSE(machine_.IsPresent(tr350));
  EXPECT_FALSE(machine_.IsPresent(keyboard));
  EXPECT_FALSE(machine_.IsNodePresent(oldSerial));
  EXPECT_FALSE(machine_.FirstChild(oldId));
  EXPECT_EQ(reader->State(), BusState::kUnplugged);  // lost its power with the hub
  EXPECT_EQ(StatusThrough(storage_, oldPath), -1);
  EXPECT_TRUE(machine_.Present(InterfaceClass::kUsbDevice).empty());

  // Removal children first, the disk before its device; only what was present is reported.
  const auto removed = machine_.Events();
  ASSERT_EQ(removed.size(), 4u);
  EXPECT_EQ(removed[0].device, keyboard);
  EXPECT_EQ(removed[1].kind, NodeKind::kDisk);
  EXPECT_EQ(removed[2].device, tr350);
  EXPECT_EQ(removed[3].device, hub);
  for (const MachineEvent& e : removed) EXPECT_EQ(e.change, DeviceChange::kRemovalComplete);
  EXPECT_EQ(removed[2].instanceId, oldId);

  // A device unplugged by itself stays out when its hub comes back.
  machine_.Unplug(keyboard);
  machine_.ClearEvents();
  machine_.Plug(hub);
  EXPECT_TRUE(machine_.IsPresent(tr350));
  EXPECT_FALSE(machine_.IsPresent(keyboard));
  EXPECT_EQ(reader->State(), BusState::kAttached);
  const auto arrived = UsbEvents();
  ASSERT_EQ(arrived.size(), 2u);
  EXPECT_EQ(arrived[0].device, hub);  // parents first
  EXPECT_EQ(arrived[1].device, tr350);
  EXPECT_EQ(arrived[1].change, DeviceChange::kArrival);

  // It came back as a new device: new IDs, a new path; the old path stays dead.
  EXPECT_NE(*machine_.InstanceIdOf(tr350), oldId);
  EXPECT_NE(*machine_.DiskPathOf(tr350), oldPath);
  EXPECT_EQ(StatusThrough(storage_, oldPath), -1);
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), 0);
  EXPECT_EQ(storage_.Paths().size(), 1u);
}

TEST_F(MachineTest, ResetTakesTheReaderAwayUntilItsRestartTimeHasPassed) {
  const DeviceId bus = machine_.AddBus();
  auto reader = FlashReader(2000);
  const DeviceId tr350 = machine_.Connect(bus, 2, ReaderDevice(reader));
  const std::u16string oldId = *machine_.InstanceIdOf(tr350);
  const std::u16string oldPath = *machine_.DiskPathOf(tr350);
  std::vector<MachineEvent> seen;
  const auto subscription = machine_.Subscribe([&](const MachineEvent& e) { seen.push_back(e); });

  // The reset is answered, then the reader leaves the bus and its device goes.
  EXPECT_EQ(StatusThrough(storage_, oldPath, true), 0);
  EXPECT_FALSE(machine_.IsPresent(tr350));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].change, DeviceChange::kRemovalComplete);
  EXPECT_EQ(seen[1].instanceId, oldId);
  EXPECT_EQ(StatusThrough(storage_, oldPath), -1);

  clock_.Advance(1999);
  machine_.Poll();
  EXPECT_FALSE(machine_.IsPresent(tr350));
  EXPECT_TRUE(machine_.Present(InterfaceClass::kDisk).empty());

  clock_.Advance(1);
  machine_.Poll();
  ASSERT_TRUE(machine_.IsPresent(tr350));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].change, DeviceChange::kArrival);
  EXPECT_EQ(seen[2].instanceId, *machine_.InstanceIdOf(tr350));
  EXPECT_NE(seen[2].instanceId, oldId);
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), 0);
  EXPECT_EQ(reader->CurrentAttachment(), 2u);

  // A reader that drops off the bus stays away, whatever the time, until plugged in again.
  reader->InjectFault({OnOpcode(0xD0), FaultAction::kDropOffBus});
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), -1);
  EXPECT_FALSE(machine_.IsPresent(tr350));
  clock_.Advance(100000);
  machine_.Poll();
  EXPECT_FALSE(machine_.IsPresent(tr350));
  machine_.Unplug(tr350);
  machine_.Plug(tr350);
  EXPECT_TRUE(machine_.IsPresent(tr350));
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), 0);
}

TEST_F(MachineTest, ResetWhileUnpluggedAndReplugDuringRestart) {
  const DeviceId bus = machine_.AddBus();
  auto reader = FlashReader(1000);
  const DeviceId tr350 = machine_.Connect(bus, 1, ReaderDevice(reader));
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350), true), 0);

  // Pulled out while restarting: it does not come back on its own after the restart...
  machine_.Unplug(tr350);
  clock_.Advance(5000);
  machine_.Poll();
  EXPECT_FALSE(machine_.IsPresent(tr350));
  EXPECT_EQ(reader->State(), BusState::kUnplugged);
  // ...but as soon as it is plugged in again.
  machine_.Plug(tr350);
  EXPECT_TRUE(machine_.IsPresent(tr350));
  EXPECT_EQ(StatusThrough(storage_, *machine_.DiskPathOf(tr350)), 0);
  const auto events = UsbEvents();
  ASSERT_EQ(events.size(), 3u);  // arrival, removal by the reset, arrival: no double removal
  EXPECT_EQ(events[2].change, DeviceChange::kArrival);
}

TEST_F(MachineTest, HooksPullDevicesOutAtChosenMoments) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId a = machine_.Connect(bus, 1, ReaderDevice(FlashReader()));
  const DeviceId b = machine_.Connect(bus, 2, ReaderDevice(FlashReader()));
  const std::u16string pathA = *machine_.DiskPathOf(a);
  const std::u16string pathB = *machine_.DiskPathOf(b);

  // B goes right after A answered its second identification; other commands do not count.
  machine_.AfterCommand(a, 0xD0, 2, [&](Machine& m) { m.Unplug(b); });
  Bytes status(2);
  EXPECT_EQ(
      SendThrough(storage_, pathA, testing::FlashCdb(0xE8, {0x05}, 2), status).value().ScsiStatus,
      0);
  EXPECT_EQ(StatusThrough(storage_, pathA), 0);
  EXPECT_TRUE(machine_.IsPresent(b));
  EXPECT_EQ(StatusThrough(storage_, pathA), 0);
  EXPECT_FALSE(machine_.IsPresent(b));
  EXPECT_EQ(StatusThrough(storage_, pathB), -1);
  EXPECT_EQ(StatusThrough(storage_, pathA), 0);  // the hook ran once

  // A device pulled out by its own command: that command was answered, the next one is not.
  machine_.AfterCommand(a, std::nullopt, 1, [&](Machine& m) { m.Unplug(a); });
  EXPECT_EQ(StatusThrough(storage_, pathA), 0);
  EXPECT_FALSE(machine_.IsPresent(a));
  EXPECT_EQ(StatusThrough(storage_, pathA), -1);

  // The nth opening of a set: that snapshot still lists the device, which is gone already.
  machine_.Plug(a);
  machine_.Plug(b);
  machine_.AfterSetOpened(InterfaceClass::kUsbDevice, 2, [&](Machine& m) { m.Unplug(b); });
  EXPECT_EQ(machine_.Present(InterfaceClass::kDisk).size(), 2u);  // another class: not counted
  EXPECT_EQ(machine_.Present(InterfaceClass::kUsbDevice).size(), 2u);
  const auto second = machine_.Present(InterfaceClass::kUsbDevice);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[1].device, b);
  EXPECT_FALSE(machine_.IsNodePresent(second[1].node));
  EXPECT_TRUE(machine_.IsNodePresent(second[0].node));
  EXPECT_EQ(machine_.Present(InterfaceClass::kUsbDevice).size(), 1u);
}

TEST_F(MachineTest, ListenersMayChangeTheMachineAndEndTheirOwnSubscription) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId keyboard = machine_.Connect(bus, 1, KeyboardDevice());
  const DeviceId tr350 = machine_.Connect(bus, 2, ReaderDevice(FlashReader()));

  // A listener that unplugs the reader when the keyboard goes: its events follow in order.
  std::vector<std::pair<DeviceChange, DeviceId>> seen;
  std::unique_ptr<Machine::Subscription> self;
  self = machine_.Subscribe([&](const MachineEvent& e) {
    if (e.kind == NodeKind::kDisk) return;
    seen.emplace_back(e.change, e.device);
    if (e.device == keyboard && e.change == DeviceChange::kRemovalComplete) machine_.Unplug(tr350);
    if (e.device == tr350) self.reset();  // ends itself from inside its listener
  });
  machine_.Unplug(keyboard);
  EXPECT_FALSE(machine_.IsPresent(tr350));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], std::make_pair(DeviceChange::kRemovalComplete, tr350));
  EXPECT_EQ(self, nullptr);
  machine_.Plug(keyboard);
  EXPECT_EQ(seen.size(), 2u);  // nothing after the end
}

TEST_F(MachineTest, DestroyingTheMachineDetachesItsDisksAndLeavesReadersUsable) {
  auto reader = FlashReader();
  std::unique_ptr<Machine::Subscription> subscription;
  {
    Machine machine(platform::HostOn(storage_), 7);
    machine.Connect(machine.AddBus(), 1, ReaderDevice(reader));
    subscription = machine.Subscribe([](const MachineEvent&) {});
    EXPECT_EQ(storage_.Paths().size(), 1u);
  }
  EXPECT_TRUE(storage_.Paths().empty());
  // The reader no longer reports to the machine that is gone.
  reader->Unplug();
  reader->Plug();
  EXPECT_EQ(reader->State(), BusState::kAttached);
  subscription.reset();
}

}  // namespace
}  // namespace tr350::emulator

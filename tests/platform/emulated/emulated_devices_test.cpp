// The emulated machine as the tool's device search sees it: the candidate walk below each USB
// device, set snapshots whose members vanish, the system's faults, and notifications that end
// cleanly while other threads change the machine. A reader's reset and return is seen through
// the device search by the update's tests.
#include "platform/emulated/emulated_devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "emulator/chip_catalogue.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"
#include "tests/platform/device_walk.h"

namespace tr350::platform {
namespace {

using emulator::DeviceId;
using emulator::Machine;
using emulator::Reader;
using emulator::testing::StatusThrough;  // of an identification, or of a reset

// For each member of the USB set: the disk paths the search reaches from it.
std::vector<std::vector<std::u16string>> FoundDisks(DeviceSetup& setup) {
  std::vector<std::vector<std::u16string>> found;
  for (auto& [id, paths] : test::WalkForDisks(setup)) found.push_back(std::move(paths));
  return found;
}

class EmulatedDevicesTest : public ::testing::Test {
 protected:
  std::shared_ptr<Reader> NewReader() {
    return std::make_shared<Reader>(clock_, emulator::FindCatalogueChip("ef-4016")->traits);
  }

  VirtualClock clock_;
  EmulatedStorage storage_;
  Machine machine_{platform::HostOn(storage_)};
  EmulatedDevices devices_{machine_};
};

TEST_F(EmulatedDevicesTest, TheSearchFindsDisksWithinItsReachOnly) {
  const DeviceId bus = machine_.AddBus();
  machine_.Connect(bus, 1, emulator::KeyboardDevice());
  const DeviceId reader = machine_.Connect(bus, 2, emulator::ReaderDevice(NewReader()));
  const DeviceId hub = machine_.ConnectHub(bus, 3);
  const DeviceId behindHub = machine_.Connect(hub, 1, emulator::ReaderDevice(NewReader()));
  // A single-function disk behind the hub: the hub's own walk reaches it (hub -> device -> disk).
  const DeviceId diskBehindHub = machine_.Connect(
      hub, 2,
      emulator::PlainDiskDevice(std::make_shared<Reader>(clock_, emulator::SectorStorage{})));
  const DeviceId flashDisk = machine_.Connect(
      bus, 4,
      emulator::PlainDiskDevice(std::make_shared<Reader>(clock_, emulator::SectorStorage{})));
  emulator::UsbDeviceSpec deepSpec = emulator::ReaderDevice(NewReader());
  deepSpec.placement = emulator::DiskPlacement::kBelowIntermediate;
  machine_.Connect(bus, 5, deepSpec);
  // A reader whose disk hangs below its second interface is still within reach.
  emulator::UsbDeviceSpec second = emulator::ReaderDevice(NewReader());
  second.interfaces = {{u"USB Input Device", u"HID Keyboard Device"},
                       {u"USB Mass Storage Device", {}}};
  second.diskInterface = 1;
  const DeviceId secondInterface = machine_.Connect(bus, 6, second);

  const auto path = [&](DeviceId d) { return *machine_.DiskPathOf(d); };
  using Paths = std::vector<std::u16string>;
  EXPECT_EQ(FoundDisks(devices_),
            (std::vector<Paths>{{},  // keyboard
                                {path(reader)},
                                {path(diskBehindHub)},  // not the composite reader's disk
                                {path(behindHub)},
                                {path(diskBehindHub)},
                                {path(flashDisk)},
                                {},  // the deep reader
                                {path(secondInterface)}}));
  for (const Paths& paths : FoundDisks(devices_)) {
    for (const auto& p : paths) EXPECT_EQ(StatusThrough(storage_, p), 0);
  }

  // The match works only without regard to case: the disk set spells IDs its own way.
  auto disks = devices_.OpenPresent(InterfaceClass::kDisk);
  for (std::size_t i = 0; i < disks->Size(); ++i) {
    const auto id = disks->InstanceId(i);
    ASSERT_TRUE(id);
    EXPECT_FALSE(devices_.Details(*id).parentInstanceId.empty());  // the tree knows it all the same
    EXPECT_NE(*id, *devices_.FirstChild(devices_.Details(*id).parentInstanceId));
  }
}

TEST_F(EmulatedDevicesTest, DetailsNameTheParentHubAndPort) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId reader = machine_.Connect(bus, 2, emulator::ReaderDevice(NewReader()));
  const DeviceId hub = machine_.ConnectHub(bus, 5);
  const DeviceId behindHub = machine_.Connect(hub, 3, emulator::ReaderDevice(NewReader()));
  const DeviceId secondBus = machine_.AddBus();
  const DeviceId keyboard = machine_.Connect(secondBus, 1, emulator::KeyboardDevice());

  const DeviceNodeDetails onRoot = devices_.Details(*machine_.InstanceIdOf(reader));
  EXPECT_EQ(onRoot.description, u"TR350 SD Card Reader");
  EXPECT_EQ(onRoot.manufacturer, u"TR350");
  EXPECT_EQ(onRoot.hubNumber, 1);
  EXPECT_EQ(onRoot.portNumber, 2);
  EXPECT_EQ(onRoot.parentInstanceId.substr(0, 15), u"USB\\ROOT_HUB30\\");

  const DeviceNodeDetails onHub = devices_.Details(*machine_.InstanceIdOf(behindHub));
  EXPECT_EQ(onHub.parentInstanceId, *machine_.InstanceIdOf(hub));
  EXPECT_EQ(onHub.hubNumber, 2);  // hubs in tree order: root 1, the external hub, root 2
  EXPECT_EQ(onHub.portNumber, 3);
  EXPECT_EQ(devices_.Details(*machine_.InstanceIdOf(keyboard)).hubNumber, 3);

  const DeviceNodeDetails disk = devices_.Details(*machine_.DiskInstanceIdOf(reader));
  EXPECT_EQ(disk.description, u"TR350 SD READER USB Device");
  EXPECT_EQ(devices_.Details(disk.parentInstanceId).description, u"USB Mass Storage Device");

  // A hub that goes away renumbers those after it; a node that is gone has no details.
  const std::u16string gone = *machine_.InstanceIdOf(behindHub);
  machine_.Unplug(hub);
  EXPECT_EQ(devices_.Details(*machine_.InstanceIdOf(keyboard)).hubNumber, 2);
  EXPECT_EQ(devices_.Details(gone).description, u"");
  EXPECT_FALSE(devices_.FirstChild(gone));
  EXPECT_FALSE(devices_.NextSibling(gone));
}

TEST_F(EmulatedDevicesTest, SetsAreSnapshotsWhoseVanishedMembersCannotBeRead) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId a = machine_.Connect(bus, 1, emulator::ReaderDevice(NewReader()));
  const DeviceId b = machine_.Connect(bus, 2, emulator::ReaderDevice(NewReader()));
  const std::u16string oldId = *machine_.InstanceIdOf(b);
  const std::u16string oldPath = *machine_.DiskPathOf(b);

  auto usb = devices_.OpenPresent(InterfaceClass::kUsbDevice);
  auto disks = devices_.OpenPresent(InterfaceClass::kDisk);
  machine_.Unplug(b);
  ASSERT_EQ(usb->Size(), 2u);
  ASSERT_EQ(disks->Size(), 2u);
  EXPECT_EQ(usb->InstanceId(0), machine_.InstanceIdOf(a));
  EXPECT_FALSE(usb->InstanceId(1));
  EXPECT_FALSE(usb->InterfacePath(1));
  EXPECT_FALSE(disks->InstanceId(1));
  EXPECT_FALSE(disks->InterfacePath(1));
  EXPECT_FALSE(usb->InstanceId(2));  // past the end
  EXPECT_FALSE(devices_.FirstChild(oldId));
  EXPECT_EQ(StatusThrough(storage_, oldPath), -1);
  EXPECT_EQ(devices_.OpenPresent(InterfaceClass::kUsbDevice)->Size(), 1u);

  // Back again under a new ID; the old snapshot still cannot read it.
  machine_.Plug(b);
  EXPECT_FALSE(usb->InstanceId(1));
  auto fresh = devices_.OpenPresent(InterfaceClass::kUsbDevice);
  ASSERT_EQ(fresh->Size(), 2u);
  EXPECT_NE(fresh->InstanceId(1), oldId);
  EXPECT_EQ(fresh->InstanceId(1), machine_.InstanceIdOf(b));
}

TEST_F(EmulatedDevicesTest, SystemFaults) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId a = machine_.Connect(bus, 1, emulator::ReaderDevice(NewReader()));
  machine_.Connect(bus, 2, emulator::KeyboardDevice());

  devices_.FailSetOpens(InterfaceClass::kUsbDevice, 1, 2);
  EXPECT_NE(devices_.OpenPresent(InterfaceClass::kUsbDevice), nullptr);
  EXPECT_EQ(devices_.OpenPresent(InterfaceClass::kUsbDevice), nullptr);
  EXPECT_NE(devices_.OpenPresent(InterfaceClass::kDisk), nullptr);  // the other class opens
  EXPECT_EQ(devices_.OpenPresent(InterfaceClass::kUsbDevice), nullptr);
  EXPECT_NE(devices_.OpenPresent(InterfaceClass::kUsbDevice), nullptr);
  EXPECT_EQ(devices_.SetOpenCount(InterfaceClass::kUsbDevice), 4u);

  devices_.FailInstanceIdOf(a);
  auto usb = devices_.OpenPresent(InterfaceClass::kUsbDevice);
  auto disks = devices_.OpenPresent(InterfaceClass::kDisk);
  EXPECT_FALSE(usb->InstanceId(0));
  EXPECT_TRUE(usb->InterfacePath(0));
  EXPECT_TRUE(usb->InstanceId(1));
  EXPECT_FALSE(disks->InstanceId(0));

  devices_.ClearFaults();
  EXPECT_TRUE(devices_.OpenPresent(InterfaceClass::kUsbDevice)->InstanceId(0));
}

TEST_F(EmulatedDevicesTest, ASubscriptionEndsOnlyAfterACallInProgressReturns) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId keyboard = machine_.Connect(bus, 1, emulator::KeyboardDevice());
  std::atomic<bool> entered{false}, finished{false}, destroying{false};
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  auto subscription = devices_.Subscribe([&](DeviceChange) {
    entered = true;
    released.wait();
    finished = true;
  });

  std::thread plugger([&] { machine_.Unplug(keyboard); });
  while (!entered) std::this_thread::yield();
  bool finishedWhenEnded = false;
  std::thread ender([&] {
    destroying = true;
    subscription.reset();
    finishedWhenEnded = finished;
  });
  while (!destroying) std::this_thread::yield();
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  go.set_value();
  ender.join();
  plugger.join();
  EXPECT_TRUE(finishedWhenEnded);
}

// Worker threads enumerate, walk and identify while another thread plugs, unplugs and resets,
// and the test thread subscribes and unsubscribes listeners whose state dies with them.
TEST_F(EmulatedDevicesTest, ConcurrentEnumerationChangesAndSubscriptions) {
  const DeviceId bus = machine_.AddBus();
  const DeviceId hub = machine_.ConnectHub(bus, 1);
  std::vector<DeviceId> readers;
  for (std::uint8_t port = 1; port <= 3; ++port) {
    readers.push_back(machine_.Connect(hub, port, emulator::ReaderDevice(NewReader())));
  }
  readers.push_back(machine_.Connect(bus, 2, emulator::ReaderDevice(NewReader())));
  machine_.Connect(bus, 3, emulator::KeyboardDevice());

  // Each thread does a fixed amount of work, whatever the scheduling.
  std::atomic<int> running{3};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&] {
      for (int pass = 0; pass < 40; ++pass) {
        for (const auto& disks : FoundDisks(devices_)) {
          for (const auto& path : disks) StatusThrough(storage_, path);
        }
        auto usb = devices_.OpenPresent(InterfaceClass::kUsbDevice);
        for (std::size_t i = 0; usb && i < usb->Size(); ++i) {
          if (const auto id = usb->InstanceId(i)) devices_.Details(*id);
        }
      }
      --running;
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 200; ++round) {
      const DeviceId victim = round % 5 == 0 ? hub : readers[static_cast<std::size_t>(round) % 4];
      machine_.Unplug(victim);
      machine_.Plug(victim);
      if (const auto path = machine_.DiskPathOf(readers.back()); path && round % 7 == 0) {
        StatusThrough(storage_, *path, true);
      }
      clock_.Advance(500);
    }
    --running;
  });

  do {
    auto counter = std::make_unique<int>(0);
    auto subscription = devices_.Subscribe([c = counter.get()](DeviceChange) { ++*c; });
    std::this_thread::yield();
    subscription.reset();
    counter.reset();  // a call after the end would touch freed memory
  } while (running > 0);
  for (auto& t : threads) t.join();

  // Everything settles back: all plugged in, the reset reader returned, every disk answering.
  clock_.Advance(1500);
  std::size_t disks = 0;
  for (const auto& paths : FoundDisks(devices_)) {
    for (const auto& path : paths) {
      EXPECT_EQ(StatusThrough(storage_, path), 0);
      ++disks;
    }
  }
  EXPECT_EQ(disks, readers.size());
  EXPECT_EQ(storage_.Paths().size(), readers.size());  // no disk left attached from before
}

}  // namespace
}  // namespace tr350::platform

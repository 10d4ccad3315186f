// Readers by their USB port: the port path of every device of a large machine, and a reader found
// again at its port after it came back under new instance IDs.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "discovery/device_table.h"
#include "emulator/scenarios.h"
#include "tests/discovery/discovery_fixture.h"

namespace tr350::test {
namespace {

TEST_F(MachineTest, EveryDeviceOfAMixedMachineHasItsOwnPortPath) {
  emulator::PopulateMixedMachine(machine(), clock, 63);  // with the fixture's bus: a second bus
  const auto set = platform.Devices().OpenPresent(platform::InterfaceClass::kUsbDevice);
  ASSERT_EQ(set->Size(), 63u);
  std::set<std::u16string> paths;
  for (std::size_t i = 0; i < set->Size(); ++i) {
    const std::u16string path = UsbPortPath(*set->InstanceId(i));
    ASSERT_FALSE(path.empty());
    // Bus, '-', then ports joined by '.'.
    EXPECT_NE(path.find(u'-'), std::u16string::npos);
    EXPECT_TRUE(paths.insert(path).second) << std::string(path.begin(), path.end());
  }
}

TEST_F(MachineTest, AReaderIsFoundAgainAtItsPortUnderItsNewIds) {
  const emulator::DeviceId hub = machine().ConnectHub(bus, 2);
  machine().Connect(hub, 1, emulator::KeyboardDevice());
  const emulator::DeviceId reader =
      machine().Connect(hub, 3, emulator::ReaderDevice(SectorReader()));
  const std::u16string port = UsbPortPath(*machine().InstanceIdOf(reader));
  EXPECT_EQ(port, u"1-2.3");
  const std::u16string before = *machine().DiskPathOf(reader);

  machine().Unplug(reader);
  DeviceEntry found{};
  EXPECT_FALSE(FindReaderAtPort(port, found));
  machine().Plug(reader);
  ASSERT_TRUE(FindReaderAtPort(port, found));
  EXPECT_NE(FieldText(found.diskPath), before);  // a new node, the same reader
  EXPECT_EQ(FieldText(found.diskPath), *machine().DiskPathOf(reader));
  EXPECT_EQ(found.accessMode, kAccessModeSectors);
  EXPECT_FALSE(found.accessMutex);  // the caller brings the lock it holds
  // The keyboard's port has no reader.
  EXPECT_FALSE(FindReaderAtPort(u"1-2.1", found));
}

}  // namespace
}  // namespace tr350::test

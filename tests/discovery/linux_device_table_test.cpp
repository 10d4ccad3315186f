// The device search on the Linux backends: libudev device setup on umockdev testbeds
// (tests/platform/linux/testbeds) and SG_IO on their /dev nodes, each answered by a scripted disk.
// Run under umockdev-wrapper.
#include <linux/capability.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/device_table.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/named_mutex.h"
#include "tests/platform/linux/sg_ioctl_script.h"
#include "tests/platform/linux/umockdev_testbed.h"
#include "transport/flash_part_table.h"

namespace tr350 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::WaitResult;

const std::u16string kUsb1 = u"/sys/devices/pci0000:00/0000:00:14.0/usb1";
const std::u16string kUsb2 = u"/sys/devices/pci0000:00/0000:00:14.0/usb2";

// The identification command exactly as the reader expects it, and the flash read-identification
// (0x9F, three reply bytes) inside the flash carrier command.
const Bytes kIdentifyCdb = {0xD0, 0, 0, 0, 0, 0, 0x2A, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kReadFlashIdCdb = {0xE8, 1, 0, 0, 0, 3, 0x2A, 0x7E, 0x9F, 0, 0, 0, 0, 0, 0, 0};

constexpr std::uint8_t kSerialFlash = 1;
constexpr std::uint8_t kSectorStorage = 2;

// A reader's identification block: vendor 0x1234, firmware version 1.2.3.4.
Bytes IdentificationBlock(std::uint16_t product, std::uint8_t storageType) {
  const auto high = static_cast<std::uint8_t>(product >> 8);
  const auto low = static_cast<std::uint8_t>(product);
  return {0x12, 0x34, high, low, 1, 2, 3, 4, 0, 0, 0, storageType, 0, 0, 0, 0};
}

void ExpectCommand(const test::SgCall& call, const Bytes& cdb, unsigned length) {
  EXPECT_EQ(call.cdb, cdb);
  EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(call.header.dxfer_len, length);
}

// What the disk behind a /dev node knows: it answers the identification command with `block` and
// the flash read-identification with `flashId` where these are set; every other command ends in
// CHECK CONDITION, ILLEGAL REQUEST, invalid opcode, as on a disk that does not know the command.
struct Knows {
  Bytes block{};
  Bytes flashId{};
};

test::SgReply Answer(const Knows& knows, const test::SgCall& call) {
  const Bytes& cdb = call.cdb;
  if (cdb.size() >= 9 && cdb[0] == 0xD0 && !knows.block.empty()) return {.data = knows.block};
  if (cdb.size() >= 9 && cdb[0] == 0xE8 && cdb[8] == 0x9F && !knows.flashId.empty())
    return {.data = knows.flashId};
  return {.status = 0x02,
          .driverStatus = 0x08,  // DRIVER_SENSE
          .sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00}};
}

// The names of the tool's mutexes that these tests take. They are fixed, so they are shared by
// every run: cleared of a crashed run's leftovers before and removed after each test, once no
// handle is open any more.
class ToolMutexNames {
 public:
  ToolMutexNames() { Remove(); }
  ~ToolMutexNames() { Remove(); }
  ToolMutexNames(const ToolMutexNames&) = delete;
  ToolMutexNames& operator=(const ToolMutexNames&) = delete;

 private:
  static void Remove() {
    for (std::u16string_view name : {kCheckChipMutexName, std::u16string_view(u"[Device0000]"),
                                     std::u16string_view(u"[Device0001]")}) {
      platform::LinuxMutexes::RemoveName(name);
    }
  }
};

// The result of a zero wait on the mutex of this name from another thread with mutexes of its
// own; what that thread takes, it gives back.
WaitResult WaitFromOtherThread(std::u16string_view name) {
  return std::async(std::launch::async,
                    [name] {
                      platform::LinuxMutexes mutexes;
                      const platform::UniqueMutex mutex(mutexes, mutexes.Open(name));
                      if (!mutex.Get()) return WaitResult::kFailed;
                      const WaitResult result = mutexes.Wait(mutex.Get(), 0);
                      if (result == WaitResult::kSignaled || result == WaitResult::kAbandoned)
                        mutexes.Release(mutex.Get());
                      return result;
                    })
      .get();
}

// Takes the file-permission override from the calling thread for its lifetime, so that a node's
// mode refuses root too; without the capability (not root) there is nothing to take.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    const unsigned mask = (1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH);
    reduced[0].effective &= ~mask;
    dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutPermissionOverride() {
    if (dropped_) ::syscall(SYS_capset, &header_, saved_);
  }
  WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
  WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

class LinuxDeviceTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::UnderUmockdev());
    bed_.reset(umockdev_testbed_new());
  }

  void Load(const char* name) {
    test::LoadTestbed(bed_.get(), std::string(TR350_TESTBED_DIR) + "/" + name);
  }

  test::ScriptedSgNode& Disk(const std::string& node, Knows knows = {}) {
    auto& disk = disks_[node];
    disk = std::make_unique<test::ScriptedSgNode>(
        bed_.get(), node, [knows](const test::SgCall& call) { return Answer(knows, call); });
    return *disk;
  }

  // True when `handle` is the mutex that `name` opens: while this thread owns it through the
  // handle, another thread cannot take it by name.
  bool HandleNamesMutex(platform::MutexHandle handle, std::u16string_view name) {
    platform::Mutexes& sync = platform_.Sync();
    if (sync.Wait(handle, 0) != WaitResult::kSignaled) return false;
    const WaitResult other = WaitFromOtherThread(name);
    sync.Release(handle);
    return other == WaitResult::kTimedOut;
  }

  ToolMutexNames names_;
  test::GPtr<UMockdevTestbed> bed_;
  std::map<std::string, std::unique_ptr<test::ScriptedSgNode>>
      disks_;  // destroyed before the testbed
  platform::LinuxPlatform platform_;
  platform::ScopedPlatform scope_{platform_};
};

TEST_F(LinuxDeviceTableTest, ReaderIsEnteredWithItsNodesAndANamedSlotMutex) {
  Load("one_reader.umockdev");
  test::ScriptedSgNode& sg1 = Disk("/dev/sg1", {IdentificationBlock(0x6104, kSectorStorage)});
  const std::u16string reader = kUsb1 + u"/1-2";
  const std::u16string disk = reader + u"/1-2:1.0/host3/target3:0:0/3:0:0:0";

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  const DeviceEntry& entry = table.entries[0];
  EXPECT_EQ(FieldText(entry.diskPath), u"/dev/sg1");
  EXPECT_EQ(FieldText(entry.usbInstanceId), reader);
  EXPECT_EQ(FieldText(entry.diskInstanceId), disk);
  EXPECT_EQ(FieldText(entry.parentInstanceId), kUsb1);
  EXPECT_EQ(FieldText(entry.usbDescription), u"SD Card Reader");
  EXPECT_EQ(entry.portNumber, 2);
  EXPECT_EQ(entry.accessMode, kAccessModeSectors);
  EXPECT_EQ(entry.vendorId, 0x1234);
  EXPECT_EQ(entry.productId, 0x6104);
  EXPECT_EQ(entry.firmwareVersion, 0x01020304u);
  EXPECT_EQ(entry.tableIndex, 0);
  const std::vector<test::SgCall> commands = sg1.Calls();
  ASSERT_EQ(commands.size(), 1u);
  ExpectCommand(commands[0], kIdentifyCdb, 16);

  // The probe gave the check-chip mutex back; the slot holds its own named mutex until released.
  EXPECT_EQ(WaitFromOtherThread(kCheckChipMutexName), WaitResult::kSignaled);
  const platform::MutexHandle slotMutex = entry.accessMutex;
  EXPECT_TRUE(HandleNamesMutex(slotMutex, u"[Device0000]"));
  EXPECT_TRUE(ReleaseDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(platform_.Sync().Wait(slotMutex, 0), WaitResult::kFailed);  // closed
  EXPECT_EQ(WaitFromOtherThread(u"[Device0000]"), WaitResult::kSignaled);
}

TEST_F(LinuxDeviceTableTest, TwoReadersTakeSlotsInPortOrder) {
  // Port 2's reader has the higher SCSI host and generic node numbers; port order still wins.
  Load("two_readers.umockdev");
  Disk("/dev/sg2", {IdentificationBlock(0x0002, kSectorStorage)});
  Disk("/dev/sg1", {IdentificationBlock(0x0010, kSectorStorage)});

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 2);
  const DeviceEntry& first = table.entries[0];
  const DeviceEntry& second = table.entries[1];
  EXPECT_EQ(FieldText(first.usbInstanceId), kUsb1 + u"/1-2");
  EXPECT_EQ(FieldText(first.diskPath), u"/dev/sg2");
  EXPECT_EQ(first.productId, 0x0002);
  EXPECT_EQ(first.tableIndex, 0);
  EXPECT_EQ(FieldText(second.usbInstanceId), kUsb1 + u"/1-10");
  EXPECT_EQ(FieldText(second.diskPath), u"/dev/sg1");
  EXPECT_EQ(second.productId, 0x0010);
  EXPECT_EQ(second.tableIndex, 1);
  EXPECT_TRUE(HandleNamesMutex(first.accessMutex, u"[Device0000]"));
  EXPECT_TRUE(HandleNamesMutex(second.accessMutex, u"[Device0001]"));
}

TEST_F(LinuxDeviceTableTest, ReaderBehindAHubIsFoundOnce) {
  Load("behind_hub.umockdev");
  test::ScriptedSgNode& sg3 = Disk("/dev/sg3", {IdentificationBlock(0x6104, kSectorStorage)});
  const std::u16string hub = kUsb2 + u"/2-1";

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  const DeviceEntry& entry = table.entries[0];
  EXPECT_EQ(FieldText(entry.diskPath), u"/dev/sg3");
  EXPECT_EQ(FieldText(entry.usbInstanceId), hub + u"/2-1.3");
  EXPECT_EQ(FieldText(entry.parentInstanceId), hub);
  EXPECT_EQ(entry.portNumber, 3);
  EXPECT_FALSE(sg3.Calls().empty());
}

TEST_F(LinuxDeviceTableTest, OtherDisksAreAskedButNotEnteredAndUnreachableOnesNotAsked) {
  // A flash disk (sg4) and a disk LUN behind a CD-ROM (sg6) are reached and refuse the command.
  // Nodes out of the search's reach answer as readers, so reaching any of them would show: the
  // too-deep disk (sg7), the CD-ROM (sg5), the SATA disk (sg0) and the block node of the disk
  // that has no generic node (sdd).
  Load("assorted.umockdev");
  test::ScriptedSgNode& flashDisk = Disk("/dev/sg4");
  test::ScriptedSgNode& secondLun = Disk("/dev/sg6");
  const Bytes block = IdentificationBlock(0x6104, kSectorStorage);
  for (const char* node : {"/dev/sg7", "/dev/sg5", "/dev/sg0", "/dev/sdd"}) Disk(node, {block});

  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  for (test::ScriptedSgNode* disk : {&flashDisk, &secondLun}) {
    const std::vector<test::SgCall> commands = disk->Calls();
    EXPECT_FALSE(commands.empty());
    // Nothing but the identification reaches a disk that is not a reader.
    for (const test::SgCall& command : commands) ExpectCommand(command, kIdentifyCdb, 16);
  }
  for (const char* node : {"/dev/sg7", "/dev/sg5", "/dev/sg0", "/dev/sdd"}) {
    EXPECT_TRUE(disks_.at(node)->Calls().empty()) << node;
  }
}

TEST_F(LinuxDeviceTableTest, SerialFlashReaderHasItsFlashPartIdentified) {
  Load("one_reader.umockdev");
  test::ScriptedSgNode& sg1 = Disk("/dev/sg1", {.block = IdentificationBlock(0x6104, kSerialFlash),
                                                .flashId = {0xEF, 0x40, 0x18}});

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  const DeviceEntry& entry = table.entries[0];
  EXPECT_EQ(entry.accessMode, kAccessModeSerialFlash);
  EXPECT_EQ(entry.flashPartIndex, 59);
  EXPECT_EQ(entry.flashPart, &FlashPartTable[59]);
  EXPECT_EQ(entry.flashId, 0x1840EFu);  // first reply byte lowest
  const std::vector<test::SgCall> commands = sg1.Calls();
  ASSERT_EQ(commands.size(), 2u);
  ExpectCommand(commands[0], kIdentifyCdb, 16);
  ExpectCommand(commands[1], kReadFlashIdCdb, 3);
  // The flash probe locks the check-chip mutex a second time; both locks were given back.
  EXPECT_EQ(WaitFromOtherThread(kCheckChipMutexName), WaitResult::kSignaled);
}

// A node whose mode refuses the user: passed over as "could not be opened" with EACCES and sent
// nothing, while the reader beside it is found as before.
TEST_F(LinuxDeviceTableTest, NodeTheUserMayNotOpenIsSkippedWithItsCause) {
  Load("two_readers.umockdev");
  test::ScriptedSgNode& sg2 = Disk("/dev/sg2", {IdentificationBlock(0x0002, kSectorStorage)});
  test::ScriptedSgNode& sg1 = Disk("/dev/sg1", {IdentificationBlock(0x0010, kSectorStorage)});
  gchar* root = umockdev_testbed_get_root_dir(bed_.get());  // the caller frees it
  const std::string node = std::string(root) + "/dev/sg1";
  g_free(root);
  ASSERT_EQ(::chmod(node.c_str(), 0), 0) << node;

  DeviceTable table;
  {
    const WithoutPermissionOverride asUser;
    ASSERT_TRUE(BuildDeviceTable(table));
  }
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(FieldText(table.entries[0].diskPath), u"/dev/sg2");
  ASSERT_EQ(table.skipped.size(), 1u);
  const SkippedCandidate& skipped = table.skipped[0];
  EXPECT_EQ(skipped.diskPath, u"/dev/sg1");
  EXPECT_EQ(skipped.usbInstanceId, kUsb1 + u"/1-10");
  EXPECT_EQ(skipped.reason, SkipReason::kNotOpened);
  ASSERT_TRUE(skipped.cause);
  EXPECT_EQ(skipped.cause->osError, EACCES);
  EXPECT_TRUE(skipped.PermissionDenied());
  EXPECT_EQ(skipped.Describe(), "could not be opened: open: Permission denied (errno 13)");
  EXPECT_TRUE(sg1.Calls().empty());
  EXPECT_FALSE(sg2.Calls().empty());
}

}  // namespace
}  // namespace tr350

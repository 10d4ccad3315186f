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

using test::GPtr;

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

// What a scripted disk saw of one SG_IO call.
struct Command {
  Bytes cdb;
  int direction;
  unsigned length;
};

void ExpectCommand(const Command& command, const Bytes& cdb, unsigned length) {
  EXPECT_EQ(command.cdb, cdb);
  EXPECT_EQ(command.direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(command.length, length);
}

// The disk behind one /dev node. It answers the identification command with `block` and the flash
// read-identification with `flashId` where these are set; every other command ends in CHECK
// CONDITION, ILLEGAL REQUEST, as on a disk that does not know the command.
class ScriptedDisk {
 public:
  struct Script {
    Bytes block{};
    Bytes flashId{};
  };

  ScriptedDisk(UMockdevTestbed* bed, const std::string& node, Script script)
      : script_(std::move(script)), handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(&ScriptedDisk::OnIoctl), this);
    GError* error = nullptr;
    EXPECT_TRUE(umockdev_testbed_attach_ioctl(bed, node.c_str(), handler_.get(), &error))
        << node << ": " << (error != nullptr ? error->message : "");
    if (error != nullptr) g_error_free(error);
  }
  // The testbed keeps the handler alive; it must not call into a destroyed disk.
  ~ScriptedDisk() { g_signal_handlers_disconnect_by_data(handler_.get(), this); }
  ScriptedDisk(const ScriptedDisk&) = delete;
  ScriptedDisk& operator=(const ScriptedDisk&) = delete;

  std::vector<Command> Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }

 private:
  // Runs on umockdev's worker thread.
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<ScriptedDisk*>(self)->Serve(client);
    return TRUE;
  }

  const Bytes* Answer(const Bytes& cdb) const {
    if (cdb.size() < 9) return nullptr;
    if (cdb[0] == 0xD0 && !script_.block.empty()) return &script_.block;
    if (cdb[0] == 0xE8 && cdb[8] == 0x9F && !script_.flashId.empty()) return &script_.flashId;
    return nullptr;
  }

  void Serve(UMockdevIoctlClient* client) {
    GPtr<UMockdevIoctlData> arg = test::ResolveSgIo(client);
    if (!arg) return;
    auto& header = *reinterpret_cast<sg_io_hdr_t*>(arg->data);
    Command command{test::ReadBehind(*arg, offsetof(sg_io_hdr_t, cmdp), header.cmd_len),
                    header.dxfer_direction, header.dxfer_len};

    const Bytes* answer = Answer(command.cdb);
    if (answer != nullptr && header.dxfer_direction == SG_DXFER_FROM_DEV) {
      const std::size_t n = std::min<std::size_t>(answer->size(), header.dxfer_len);
      test::WriteBehind(*arg, offsetof(sg_io_hdr_t, dxferp), header.dxfer_len, {answer->data(), n});
      header.resid = static_cast<int>(header.dxfer_len - n);
      header.status = 0;
      header.sb_len_wr = 0;
      header.driver_status = 0;
    } else {
      // Fixed-format sense: ILLEGAL REQUEST, invalid command operation code.
      const Bytes sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00};
      const std::size_t n = std::min<std::size_t>(sense.size(), header.mx_sb_len);
      test::WriteBehind(*arg, offsetof(sg_io_hdr_t, sbp), header.mx_sb_len, {sense.data(), n});
      header.sb_len_wr = static_cast<unsigned char>(n);
      header.resid = static_cast<int>(header.dxfer_len);
      header.status = 0x02;
      header.driver_status = 0x08;  // DRIVER_SENSE
    }
    header.masked_status = static_cast<unsigned char>(header.status >> 1);
    header.host_status = 0;
    {
      std::lock_guard lock(mutex_);
      commands_.push_back(std::move(command));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  const Script script_;
  GPtr<UMockdevIoctlBase> handler_;
  std::mutex mutex_;
  std::vector<Command> commands_;
};

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

  ScriptedDisk& Disk(const std::string& node, ScriptedDisk::Script script = {}) {
    auto& disk = disks_[node];
    disk = std::make_unique<ScriptedDisk>(bed_.get(), node, std::move(script));
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
  GPtr<UMockdevTestbed> bed_;
  std::map<std::string, std::unique_ptr<ScriptedDisk>> disks_;  // destroyed before the testbed
  platform::LinuxPlatform platform_;
  platform::ScopedPlatform scope_{platform_};
};

TEST_F(LinuxDeviceTableTest, ReaderIsEnteredWithItsNodesAndANamedSlotMutex) {
  Load("one_reader.umockdev");
  ScriptedDisk& sg1 = Disk("/dev/sg1", {IdentificationBlock(0x6104, kSectorStorage)});
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
  const std::vector<Command> commands = sg1.Commands();
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
  ScriptedDisk& sg3 = Disk("/dev/sg3", {IdentificationBlock(0x6104, kSectorStorage)});
  const std::u16string hub = kUsb2 + u"/2-1";

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  const DeviceEntry& entry = table.entries[0];
  EXPECT_EQ(FieldText(entry.diskPath), u"/dev/sg3");
  EXPECT_EQ(FieldText(entry.usbInstanceId), hub + u"/2-1.3");
  EXPECT_EQ(FieldText(entry.parentInstanceId), hub);
  EXPECT_EQ(entry.portNumber, 3);
  EXPECT_FALSE(sg3.Commands().empty());
}

TEST_F(LinuxDeviceTableTest, OtherDisksAreAskedButNotEnteredAndUnreachableOnesNotAsked) {
  // A flash disk (sg4) and a disk LUN behind a CD-ROM (sg6) are reached and refuse the command.
  // Nodes out of the search's reach answer as readers, so reaching any of them would show: the
  // too-deep disk (sg7), the CD-ROM (sg5), the SATA disk (sg0) and the block node of the disk
  // that has no generic node (sdd).
  Load("assorted.umockdev");
  ScriptedDisk& flashDisk = Disk("/dev/sg4");
  ScriptedDisk& secondLun = Disk("/dev/sg6");
  const Bytes block = IdentificationBlock(0x6104, kSectorStorage);
  for (const char* node : {"/dev/sg7", "/dev/sg5", "/dev/sg0", "/dev/sdd"}) Disk(node, {block});

  DeviceTable table;
  EXPECT_FALSE(BuildDeviceTable(table));
  EXPECT_TRUE(table.Empty());
  for (ScriptedDisk* disk : {&flashDisk, &secondLun}) {
    const std::vector<Command> commands = disk->Commands();
    EXPECT_FALSE(commands.empty());
    // Nothing but the identification reaches a disk that is not a reader.
    for (const Command& command : commands) ExpectCommand(command, kIdentifyCdb, 16);
  }
  for (const char* node : {"/dev/sg7", "/dev/sg5", "/dev/sg0", "/dev/sdd"}) {
    EXPECT_TRUE(disks_.at(node)->Commands().empty()) << node;
  }
}

TEST_F(LinuxDeviceTableTest, SerialFlashReaderHasItsFlashPartIdentified) {
  Load("one_reader.umockdev");
  ScriptedDisk& sg1 = Disk("/dev/sg1", {.block = IdentificationBlock(0x6104, kSerialFlash),
                                        .flashId = {0xEF, 0x40, 0x18}});

  DeviceTable table;
  ASSERT_TRUE(BuildDeviceTable(table));
  ASSERT_EQ(table.count, 1);
  const DeviceEntry& entry = table.entries[0];
  EXPECT_EQ(entry.accessMode, kAccessModeSerialFlash);
  EXPECT_EQ(entry.flashPartIndex, 59);
  EXPECT_EQ(entry.flashPart, &FlashPartTable[59]);
  EXPECT_EQ(entry.flashId, 0x1840EFu);  // first reply byte lowest
  const std::vector<Command> commands = sg1.Commands();
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
  ScriptedDisk& sg2 = Disk("/dev/sg2", {IdentificationBlock(0x0002, kSectorStorage)});
  ScriptedDisk& sg1 = Disk("/dev/sg1", {IdentificationBlock(0x0010, kSectorStorage)});
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
  EXPECT_TRUE(sg1.Commands().empty());
  EXPECT_FALSE(sg2.Commands().empty());
}

}  // namespace
}  // namespace tr350

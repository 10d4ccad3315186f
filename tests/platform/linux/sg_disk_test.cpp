// SG_IO backend against a umockdev testbed: /dev/sg1 is a mock node whose SG_IO calls a scripted
// device answers. Run under umockdev-wrapper.
#include "platform/linux/sg_disk.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/linux/sg_ioctl_script.h"
#include "tests/platform/linux/umockdev_testbed.h"

namespace tr350::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::uint16_t kDriverTimeout = 0x06;
constexpr std::uint16_t kDidNoConnect = 0x01;

using Reply = test::SgReply;
using Call = test::SgCall;

// A serial-flash read as the transport builds it; shorter CDBs take its first bytes.
constexpr std::uint8_t kCdb[16] = {0xE8, 1, 0,    0, 0, 0x40, 0x2A, 0x7E,
                                   0x03, 0, 0x10, 0, 0, 0,    0,    0};

PassThroughRequest MakeRequest(std::uint8_t cdbLength, std::uint8_t dataIn, std::uint32_t length) {
  PassThroughRequest request{};
  request.Length = 44;
  request.TargetId = 1;
  request.CdbLength = cdbLength;
  request.SenseInfoLength = 32;
  request.DataIn = dataIn;
  request.DataTransferLength = length;
  request.TimeOutValue = 5;
  request.SenseInfoOffset = 48;
  std::copy_n(kCdb, std::min<std::size_t>(cdbLength, sizeof(kCdb)), request.Cdb);
  return request;
}

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

class SgDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::UnderUmockdev());
    testbed_.reset(umockdev_testbed_new());
    GError* error = nullptr;
    // A node with contents is a plain file, so open() and its permission checks really happen.
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_.get(),
                                                 "P: /devices/virtual/scsi_generic/sg1\n"
                                                 "N: sg1=00\n"
                                                 "E: SUBSYSTEM=scsi_generic\n",
                                                 &error));
    node_.emplace(testbed_.get(), "/dev/sg1", [this](const Call&) {
      std::lock_guard lock(mutex_);
      if (replies_.empty()) return Reply{};
      Reply reply = std::move(replies_.front());
      replies_.pop_front();
      return reply;
    });
    gchar* root = umockdev_testbed_get_root_dir(testbed_.get());
    root_ = root;
    g_free(root);
  }

  void Script(Reply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
  }
  std::vector<Call> Calls() { return node_->Calls(); }
  std::unique_ptr<Disk> OpenSg1() { return storage_.OpenDisk(u"/dev/sg1"); }

  SgStorageIo storage_;
  test::GPtr<UMockdevTestbed> testbed_;
  std::mutex mutex_;
  std::deque<Reply> replies_;
  std::optional<test::ScriptedSgNode> node_;  // destroyed before the testbed and the replies
  std::string root_;
};

TEST(InterfacePathToUtf8, ConvertsWellFormedPathsAndRefusesOthers) {
  EXPECT_EQ(InterfacePathToUtf8(u"/dev/sg1"), "/dev/sg1");
  EXPECT_EQ(InterfacePathToUtf8(u"/dev/\u00e9\u20ac\U0001F4BE"),
            "/dev/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\xBE");
  EXPECT_EQ(InterfacePathToUtf8(u""), std::nullopt);
  EXPECT_EQ(InterfacePathToUtf8(std::u16string_view(u"/dev/sg1\0x", 10)), std::nullopt);
  const char16_t loneHigh[] = {u'/', 0xD83D, u'a'};
  const char16_t highAtEnd[] = {u'/', 0xD83D};
  const char16_t loneLow[] = {u'/', 0xDCBE, u'a'};
  for (std::u16string_view path : {std::u16string_view(loneHigh, 3), {highAtEnd, 2}, {loneLow, 3}})
    EXPECT_EQ(InterfacePathToUtf8(path), std::nullopt);
}

TEST_F(SgDiskTest, DiskHoldsTheNodeOpenUntilDestroyed) {
  const std::filesystem::path node = root_ + "/dev/sg1";
  auto descriptorsOnNode = [&] {
    std::vector<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(entry.path(), ec) == node)
        fds.push_back(std::stoi(entry.path().filename().string()));
    }
    return fds;
  };
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  const std::vector<int> fds = descriptorsOnNode();
  ASSERT_EQ(fds.size(), 1U);
  EXPECT_EQ(::fcntl(fds[0], F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
  disk.reset();
  EXPECT_TRUE(descriptorsOnNode().empty());
}

TEST_F(SgDiskTest, UnopenableNodesGiveNoDisk) {
  // Opened by their testbed paths: umockdev's preload keeps a connection for every failed open of
  // a /dev path, and ends the process after 50.
  auto openPath = [&](const std::string& path) {
    return storage_.OpenDisk(std::u16string(path.begin(), path.end()));
  };
  EXPECT_EQ(openPath(root_ + "/dev/sg2"), nullptr);  // missing

  const std::string node = root_ + "/dev/sg1";
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);  // the testbed root is private to its owner
  auto openUnprivileged = [&](mode_t mode) {
    EXPECT_EQ(::chmod(node.c_str(), mode), 0);
    // Root opens anything; take an ordinary file identity for this thread only.
    const bool privileged = ::geteuid() == 0;
    if (privileged) ::setfsuid(65534);
    std::unique_ptr<Disk> disk = openPath(node);
    if (privileged) ::setfsuid(0);
    return disk;
  };
  EXPECT_NE(openUnprivileged(0666), nullptr);  // the same identity may open an open node
  EXPECT_EQ(openUnprivileged(0600), nullptr);
}

TEST_F(SgDiskTest, RequestsMapOntoTheHeaderInEachDirection) {
  const Bytes data = Pattern(64, 0x11);
  Script({.data = data});
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  PassThroughRequest read = MakeRequest(16, kDataIn, 64);
  Bytes buffer(80, 0xEE);
  ASSERT_TRUE(disk->SendRequest(read, buffer));
  EXPECT_EQ(read.ScsiStatus, 0);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 64), data);
  PassThroughRequest write = MakeRequest(8, kDataOut, 32);
  const Bytes out = Pattern(32, 0x40);
  buffer.assign(out.begin(), out.end());
  ASSERT_TRUE(disk->SendRequest(write, buffer));
  for (std::uint8_t direction : {kDataOut, kDataIn}) {  // no data phase when the length is zero
    PassThroughRequest none = MakeRequest(16, direction, 0);
    EXPECT_TRUE(disk->SendRequest(none, buffer));
  }

  const std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 4U);
  const sg_io_hdr_t& header = calls[0].header;
  EXPECT_EQ(header.interface_id, 'S');
  EXPECT_EQ(header.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(calls[0].cdb, Bytes(kCdb, kCdb + 16));  // also checks cmd_len
  EXPECT_EQ(header.dxfer_len, 64U);
  EXPECT_EQ(header.timeout, 5000U);
  EXPECT_EQ(header.mx_sb_len, 32);
  EXPECT_EQ(calls[1].header.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(calls[1].cdb, Bytes(kCdb, kCdb + 8));
  EXPECT_EQ(calls[1].dataOut, out);
  for (std::size_t i = 2; i < 4; ++i) {
    EXPECT_EQ(calls[i].header.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(calls[i].header.dxfer_len, 0U);
    EXPECT_EQ(calls[i].header.dxferp, nullptr);
  }
}

TEST_F(SgDiskTest, CompletedCommandReportsItsFullStatusAndSense) {
  const Bytes sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00};
  Script({.status = 0x02, .driverStatus = kDriverSense, .sense = sense});
  Script({.status = 0x01});
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  Bytes buffer(8, 0);

  // A refused command completed: the call succeeds and the status byte says CHECK CONDITION.
  PassThroughRequest refused = MakeRequest(16, kDataIn, 8);
  refused.SenseInfoLength = 255;  // more than the block's sense area holds
  ASSERT_TRUE(disk->SendRequest(refused, buffer));
  EXPECT_EQ(refused.ScsiStatus, 0x02);
  EXPECT_EQ(Bytes(refused.sense, refused.sense + sense.size()), sense);

  PassThroughRequest conditionMet = MakeRequest(16, kDataOut, 0);
  ASSERT_TRUE(disk->SendRequest(conditionMet, buffer));
  EXPECT_EQ(conditionMet.ScsiStatus, 0x01);
  ASSERT_EQ(Calls().size(), 2U);
  EXPECT_EQ(Calls()[0].header.mx_sb_len, 32);
}

TEST_F(SgDiskTest, FailedCallIsFalseWhateverTheStatusByte) {
  const Reply failures[] = {
      {.hostStatus = kDidNoConnect},
      {.driverStatus = kDriverTimeout},
      {.driverStatus = kDriverTimeout | kDriverSense},
      {.result = -1, .error = EIO},
  };
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  Bytes buffer(8, 0);
  for (const Reply& failure : failures) {
    SCOPED_TRACE(testing::Message() << "host " << failure.hostStatus << " driver "
                                    << failure.driverStatus << " errno " << failure.error);
    Script(failure);
    PassThroughRequest request = MakeRequest(16, kDataIn, 8);
    EXPECT_FALSE(disk->SendRequest(request, buffer));
    EXPECT_EQ(request.ScsiStatus, kScsiStatusNotCompleted);
  }
}

TEST_F(SgDiskTest, InterruptedCallIsRepeated) {
  Script({.result = -1, .error = EINTR});
  Script({.data = {0xA5, 0x5A}});
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  PassThroughRequest request = MakeRequest(16, kDataIn, 2);
  Bytes buffer(2, 0);

  EXPECT_TRUE(disk->SendRequest(request, buffer));
  EXPECT_EQ(buffer, (Bytes{0xA5, 0x5A}));
  EXPECT_EQ(Calls().size(), 2U);
}

TEST_F(SgDiskTest, UnmappableRequestsNeverReachTheDevice) {
  auto disk = OpenSg1();
  ASSERT_NE(disk, nullptr);
  Bytes buffer(64, 0);
  PassThroughRequest requests[] = {MakeRequest(16, kDataIn, 65), MakeRequest(16, kDataOut, 65),
                                   MakeRequest(0, kDataOut, 0), MakeRequest(17, kDataOut, 0),
                                   MakeRequest(16, 2, 8)};
  for (PassThroughRequest& request : requests) {
    SCOPED_TRACE(testing::Message()
                 << "cdb " << int{request.CdbLength} << " dir " << int{request.DataIn} << " len "
                 << request.DataTransferLength);
    EXPECT_FALSE(disk->SendRequest(request, buffer));
    EXPECT_EQ(request.ScsiStatus, kScsiStatusNotCompleted);
  }
  EXPECT_TRUE(Calls().empty());
}

}  // namespace
}  // namespace tr350::platform

// The pass-through block as the driver reads it, what MapRequest fills in for each kind of request,
// and the disk calls against files that are not disks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/windows/scsi_disk.h"
#include "platform/windows/win_error.h"

namespace tr350::platform::windows {
namespace {

// On a 32-bit system the block is the tool's own 80-byte record field for field; on a 64-bit one
// the buffer address is wider and everything after it moves.
#define SAME_OFFSET(field) \
  static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, field) == offsetof(PassThroughRequest, field))
SAME_OFFSET(Length);
SAME_OFFSET(ScsiStatus);
SAME_OFFSET(PathId);
SAME_OFFSET(TargetId);
SAME_OFFSET(Lun);
SAME_OFFSET(CdbLength);
SAME_OFFSET(SenseInfoLength);
SAME_OFFSET(DataIn);
SAME_OFFSET(DataTransferLength);
SAME_OFFSET(TimeOutValue);
#undef SAME_OFFSET
static_assert(sizeof(void*) == 8 ||
              (offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) ==
                   offsetof(PassThroughRequest, DataBuffer) &&
               offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) ==
                   offsetof(PassThroughRequest, SenseInfoOffset) &&
               offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == offsetof(PassThroughRequest, Cdb) &&
               offsetof(DirectRequest, sense) == offsetof(PassThroughRequest, sense) &&
               sizeof(DirectRequest) == sizeof(PassThroughRequest)));
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1 &&
              SCSI_IOCTL_DATA_UNSPECIFIED == 2);

// A request as the command builders fill it.
PassThroughRequest Request(std::uint8_t direction, std::uint32_t length) {
  PassThroughRequest r{};
  r.Length = 44;
  r.TargetId = 1;
  r.CdbLength = 16;
  r.SenseInfoLength = 32;
  r.DataIn = direction;
  r.DataTransferLength = length;
  r.TimeOutValue = 5;
  r.SenseInfoOffset = 48;
  for (std::uint8_t i = 0; i < 16; ++i) r.Cdb[i] = static_cast<std::uint8_t>(0xE8 + i);
  return r;
}

TEST(PassThroughBlockTest, CarriesEachDirectionWithTheCallersBufferAndSenseArea) {
  std::vector<std::uint8_t> buffer(512);
  struct Case {
    std::uint8_t direction;
    std::uint32_t length;
    UCHAR expected;
  };
  for (const Case c :
       {Case{kDataIn, 512, SCSI_IOCTL_DATA_IN}, Case{kDataOut, 256, SCSI_IOCTL_DATA_OUT},
        Case{kDataOut, 0, SCSI_IOCTL_DATA_UNSPECIFIED},
        Case{kDataIn, 0, SCSI_IOCTL_DATA_UNSPECIFIED}}) {
    SCOPED_TRACE(testing::Message() << "direction " << int{c.direction} << " length " << c.length);
    DirectRequest block;
    std::memset(&block, 0xCC, sizeof block);  // nothing stale may survive
    ASSERT_TRUE(MapRequest(Request(c.direction, c.length), buffer, block));
    const SCSI_PASS_THROUGH_DIRECT& h = block.header;
    EXPECT_EQ(h.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(h.DataIn, c.expected);
    EXPECT_EQ(h.DataTransferLength, c.length);
    EXPECT_EQ(h.DataBuffer, c.length != 0 ? buffer.data() : nullptr);
    EXPECT_EQ(h.TimeOutValue, 5U);
    EXPECT_EQ(h.TargetId, 1);
    EXPECT_EQ(h.CdbLength, 16);
    EXPECT_EQ(h.SenseInfoLength, 32);
    // The driver writes the sense data at this offset from the block's start.
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&block) + h.SenseInfoOffset, block.sense);
    const PassThroughRequest sent = Request(c.direction, c.length);
    EXPECT_TRUE(std::equal(sent.Cdb, sent.Cdb + 16, h.Cdb));
    EXPECT_EQ(block.filler, 0U);
  }
}

TEST(PassThroughBlockTest, RefusesWhatCannotBeSentSafely) {
  std::vector<std::uint8_t> buffer(64);
  DirectRequest block;
  EXPECT_FALSE(MapRequest(Request(kDataIn, 65), buffer, block));  // past the caller's buffer
  PassThroughRequest unknown = Request(kDataIn, 8);
  unknown.DataIn = 7;
  EXPECT_FALSE(MapRequest(unknown, buffer, block));
  PassThroughRequest noCdb = Request(kDataIn, 8);
  noCdb.CdbLength = 0;
  EXPECT_FALSE(MapRequest(noCdb, buffer, block));
  PassThroughRequest longCdb = Request(kDataIn, 8);
  longCdb.CdbLength = 17;
  EXPECT_FALSE(MapRequest(longCdb, buffer, block));
  PassThroughRequest bigSense = Request(kDataOut, 0);
  bigSense.SenseInfoLength = 200;
  ASSERT_TRUE(MapRequest(bigSense, buffer, block));
  EXPECT_EQ(block.header.SenseInfoLength, kSenseAreaSize);
}

TEST(PassThroughBlockTest, HandsBackTheStatusAndTheSenseTheDriverWrote) {
  DirectRequest block{};
  block.header.ScsiStatus = 2;
  block.header.SenseInfoLength = 18;
  for (std::size_t i = 0; i < kSenseAreaSize; ++i) block.sense[i] = static_cast<UCHAR>(0x70 + i);
  PassThroughRequest request = Request(kDataIn, 0);
  std::fill(std::begin(request.sense), std::end(request.sense), std::uint8_t{0xEE});
  CopyBack(block, request);
  EXPECT_EQ(request.ScsiStatus, 2);
  EXPECT_EQ(request.sense[0], 0x70);
  EXPECT_EQ(request.sense[17], 0x70 + 17);
  EXPECT_EQ(request.sense[18], 0);  // beyond what the driver wrote: nothing stale
}

TEST(WinStorageIoTest, OpenFailuresRecordTheirCause) {
  WinStorageIo storage;
  ClearLastCause();
  EXPECT_EQ(storage.OpenDisk(u""), nullptr);
  ASSERT_TRUE(LastCause());
  EXPECT_EQ(LastCause()->operation, "open");
  EXPECT_EQ(LastCause()->osError, EINVAL);
  EXPECT_EQ(storage.OpenDisk(std::u16string(u"C:\\x\0y", 6)), nullptr);  // a NUL inside
  EXPECT_EQ(LastCause()->osError, EINVAL);

  ClearLastCause();
  EXPECT_EQ(storage.OpenDisk(u"\\\\?\\C:\\no such folder\\no such disk"), nullptr);
  ASSERT_TRUE(LastCause());
  EXPECT_EQ(LastCause()->operation, "open");
  EXPECT_EQ(LastCause()->osError, ENOENT);
  EXPECT_TRUE(Win32Cause("open", ERROR_ACCESS_DENIED).PermissionDenied());
}

TEST(WinStorageIoTest, ARequestTheDriverRefusesFailsWithoutAStatus) {
  // A plain file opens as a disk would, but no SCSI driver takes its requests.
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "tr350-pass-through-test.bin";
  std::ofstream(file) << "not a disk";
  WinStorageIo storage;
  auto disk = storage.OpenDisk(file.u16string());
  ASSERT_NE(disk, nullptr);
  std::array<std::uint8_t, 16> buffer{};
  PassThroughRequest request = Request(kDataIn, 16);
  request.ScsiStatus = 0;
  ClearLastCause();
  EXPECT_FALSE(disk->SendRequest(request, buffer));
  EXPECT_EQ(request.ScsiStatus, kScsiStatusNotCompleted);
  ASSERT_TRUE(LastCause());
  EXPECT_EQ(LastCause()->operation, kPassThroughOperation);
  EXPECT_NE(LastCause()->osError, 0);

  request = Request(kDataIn, 17);  // longer than the buffer: refused before the driver sees it
  EXPECT_FALSE(disk->SendRequest(request, buffer));
  EXPECT_EQ(LastCause()->osError, EINVAL);
  disk.reset();
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace tr350::platform::windows

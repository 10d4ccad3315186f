// Sector read and write: piece split, 9-byte CDBs, what an empty, failing or unfit request does.
#include <array>
#include <vector>

#include "tests/transport/transport_fixture.h"
#include "transport/vendor_commands.h"

namespace tr350::test {
namespace {

std::uint32_t SectorOf(const SentCommand& s) {
  const std::uint8_t* c = s.request.Cdb;
  return std::uint32_t{c[2]} << 24 | std::uint32_t{c[3]} << 16 | std::uint32_t{c[4]} << 8 | c[5];
}
std::uint32_t CountOf(const SentCommand& s) {
  return static_cast<std::uint32_t>(s.request.Cdb[7] << 8 | s.request.Cdb[8]);
}

class SectorTest : public TransportTest {
 protected:
  // A medium whose every byte tells its sector: the low byte of the sector number.
  void SetUp() override {
    reader.SetResponder([](const PassThroughRequest& r, std::span<const std::uint8_t>) {
      const std::uint32_t first = std::uint32_t{r.Cdb[2]} << 24 | std::uint32_t{r.Cdb[3]} << 16 |
                                  std::uint32_t{r.Cdb[4]} << 8 | r.Cdb[5];
      std::vector<std::uint8_t> bytes(r.DataTransferLength);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i / 512);
      }
      return Data(bytes);
    });
  }
};

TEST_F(SectorTest, ReadOf64KiBIsTwoCommandsOf64Sectors) {
  std::vector<std::uint8_t> out(65536);
  ASSERT_TRUE(ReadSectors(Device(), 0, out));
  ASSERT_EQ(recorder.sent.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const SentCommand& s = recorder.sent[i];
    EXPECT_EQ(s.Opcode(), 0xE5);
    EXPECT_EQ(s.request.CdbLength, 9);
    EXPECT_EQ(s.request.DataIn, kDataIn);
    EXPECT_EQ(s.TransferLength(), 32768u);
    EXPECT_EQ(SectorOf(s), 64 * i);
    EXPECT_EQ(CountOf(s), 64u);
  }
  for (std::size_t i = 0; i < out.size(); i += 512) ASSERT_EQ(out[i], i / 512) << i;
  ExpectLockedAndReleased(1);
}

TEST_F(SectorTest, WriteOfTwoSectorsIsOneCommandWithTheCallersBytes) {
  std::vector<std::uint8_t> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  ASSERT_TRUE(WriteSectors(Device(), 0x12345600ull * 512, data));
  ASSERT_EQ(recorder.sent.size(), 1u);
  const SentCommand& s = recorder.sent[0];
  const std::array<std::uint8_t, 16> cdb = {0xE6, 0, 0x12, 0x34, 0x56, 0x00, 0, 0, 2};
  EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), s.request.Cdb));  // no signature bytes
  EXPECT_EQ(s.request.CdbLength, 9);
  EXPECT_EQ(s.request.DataIn, kDataOut);
  EXPECT_EQ(s.dataOut, data);
  ExpectLockedAndReleased(1);
}

TEST_F(SectorTest, EmptyTransferFailsAfterLockingAndSendsNothing) {
  std::array<std::uint8_t, 512> buffer{};
  EXPECT_FALSE(ReadSectors(Device(), 0, std::span(buffer).first(0)));
  EXPECT_FALSE(WriteSectors(Device(), 0, std::span(buffer).first(0)));
  EXPECT_TRUE(recorder.sent.empty());
  ExpectLockedAndReleased(2);
}

TEST_F(SectorTest, FailingPieceStopsAndKeepsEarlierPieces) {
  std::vector<std::uint8_t> out(3 * 32768, 0xAA);
  reader.Queue(Data(std::vector<std::uint8_t>(32768, 0x11)));
  reader.Queue(Status(2));
  EXPECT_FALSE(ReadSectors(Device(), 0, out));
  EXPECT_EQ(recorder.sent.size(), 2u);
  EXPECT_EQ(out[32767], 0x11);
  EXPECT_EQ(out[32768], 0xAA);  // the failed piece left out untouched
  ExpectLockedAndReleased(1);
}

TEST_F(SectorTest, RequestsThatCannotBeSentAsWholeSectorsAreRefusedBeforeLocking) {
  std::vector<std::uint8_t> buffer(1024);
  DeviceEntry noPath = Device();
  SetFieldText(noPath.diskPath, u"");
  const std::uint64_t lastSectorEnd = 0x100000000ull * 512;
  EXPECT_FALSE(ReadSectors(Device(), 100, buffer));                       // offset inside a sector
  EXPECT_FALSE(WriteSectors(Device(), 0, std::span(buffer).first(600)));  // partial sector
  EXPECT_FALSE(WriteSectors(Device(), lastSectorEnd - 512, buffer));      // sector number wraps
  EXPECT_FALSE(ReadSectors(Device(), 0, std::span<std::uint8_t>{}));      // null buffer
  EXPECT_FALSE(ReadSectors(noPath, 0, buffer));
  EXPECT_EQ(MutexState().waits, 0u);
  EXPECT_EQ(recorder.opens, 0);
  EXPECT_TRUE(ReadSectors(Device(), lastSectorEnd - 512, std::span(buffer).first(512)));
  EXPECT_EQ(SectorOf(recorder.sent.at(0)), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace tr350::test

// Sector read and write: what an empty, failing or unfit request does. The piece split and the
// CDBs are checked against the emulated bridge, which refuses what it cannot take.
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

using SectorTest = TransportTest;

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

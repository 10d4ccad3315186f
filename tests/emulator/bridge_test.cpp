// The bridge's vendor commands: what it accepts and refuses, the sector store, the controller reset
// and what it records.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "emulator/chip_catalogue.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using testing::Bytes;
using testing::FlashCdb;
using testing::Host;
using testing::IdentifyCdb;
using testing::ResetCdb;
using testing::SectorCdb;

const SenseData kInvalidField{SenseKey::kIllegalRequest, kAscInvalidFieldInCdb, 0};
const SenseData kInvalidOpcode{SenseKey::kIllegalRequest, kAscInvalidOpcode, 0};
const SenseData kOutOfRange{SenseKey::kIllegalRequest, kAscLbaOutOfRange, 0};

void ExpectRefused(const ScsiOutcome& outcome, const SenseData& sense) {
  EXPECT_TRUE(outcome.delivered);
  EXPECT_EQ(outcome.status, kStatusCheckCondition);
  EXPECT_EQ(outcome.sense, sense);
}

class BridgeTest : public ::testing::Test {
 protected:
  platform::VirtualClock clock_;
  Reader flashReader_{clock_, FindCatalogueChip("ef-4016")->traits};
  Reader sectorReader_{clock_, SectorStorage{128}};
  Host flash_{flashReader_};
  Host sectors_{sectorReader_};
};

TEST_F(BridgeTest, IdentificationBlockAndRefusals) {
  Bytes block(16, 0xEE);
  ASSERT_TRUE(flash_.Send(IdentifyCdb(), DataDirection::kFromDevice, block).IsGood());
  EXPECT_EQ(block, Bytes({0x1A, 0x2B, 0x61, 0x04, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));

  Bytes badSignature = IdentifyCdb();
  badSignature[7] = 0x7F;
  Bytes shortCdb = IdentifyCdb();
  shortCdb.pop_back();
  Bytes unknown = IdentifyCdb();
  unknown[0] = 0xE9;
  Bytes untouched(16, 0xEE), eight(8);
  ExpectRefused(flash_.Send(badSignature, DataDirection::kFromDevice, untouched), kInvalidField);
  ExpectRefused(flash_.Send(shortCdb, DataDirection::kFromDevice, untouched), kInvalidField);
  ExpectRefused(flash_.Send(IdentifyCdb(), DataDirection::kToDevice, untouched), kInvalidField);
  ExpectRefused(flash_.Send(IdentifyCdb(), DataDirection::kFromDevice, eight), kInvalidField);
  ExpectRefused(flash_.Send(unknown, DataDirection::kFromDevice, untouched), kInvalidOpcode);
  EXPECT_EQ(untouched, Bytes(16, 0xEE));  // a refused command moves no data
}

TEST_F(BridgeTest, SectorStoreRoundTripAndRefusals) {
  Bytes data(2 * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(sectors_.Send(SectorCdb(0xE6, 126, 2), DataDirection::kToDevice, data).IsGood());
  Bytes back(2 * 512);
  ASSERT_TRUE(sectors_.Send(SectorCdb(0xE5, 126, 2), DataDirection::kFromDevice, back).IsGood());
  EXPECT_EQ(back, data);

  // Past the end, also where first + count overflows 32 bits: refused, nothing written.
  ExpectRefused(sectors_.Send(SectorCdb(0xE6, 127, 2), DataDirection::kToDevice, back),
                kOutOfRange);
  ExpectRefused(sectors_.Send(SectorCdb(0xE5, 0xFFFFFFFF, 2), DataDirection::kFromDevice, back),
                kOutOfRange);
  EXPECT_EQ(sectorReader_.PeekSectors(127, 1), Bytes(data.begin() + 512, data.end()));

  // Lengths or directions that disagree with the data phase; more than the bridge's buffer.
  Bytes big(65 * 512);
  ExpectRefused(sectors_.Send(SectorCdb(0xE5, 0, 3), DataDirection::kFromDevice, back),
                kInvalidField);
  ExpectRefused(sectors_.Send(SectorCdb(0xE6, 0, 2), DataDirection::kFromDevice, back),
                kInvalidField);
  ExpectRefused(sectors_.Send(SectorCdb(0xE5, 0, 65), DataDirection::kFromDevice, big),
                kInvalidField);
  ExpectRefused(flash_.Send(SectorCdb(0xE5, 0, 2), DataDirection::kFromDevice, back),
                kInvalidOpcode);  // a flash reader has no sectors
}

TEST_F(BridgeTest, FlashCarrierChecksItsLengths) {
  Bytes two(2), one(1);
  Bytes nine = FlashCdb(0xE7, {0x06}, 0);
  nine[1] = 9;  // more flash bytes than the CDB holds
  ExpectRefused(flash_.Send(FlashCdb(0xE8, {0x05}, 3), DataDirection::kFromDevice, two),
                kInvalidField);
  ExpectRefused(flash_.Send(FlashCdb(0xE8, {0x05}, 1), DataDirection::kFromDevice, one),
                kInvalidField);  // a 1-byte read must travel as 2 bytes
  ExpectRefused(flash_.Send(FlashCdb(0xE8, {0x05}, 2), DataDirection::kToDevice, two),
                kInvalidField);
  ExpectRefused(flash_.Send(nine, DataDirection::kNone), kInvalidField);
  ExpectRefused(sectors_.FlashOut({0x06}), kInvalidOpcode);
  EXPECT_TRUE(flashReader_.FlashLog().empty());  // nothing refused reached the chip

  // An empty transaction is carried (and reaches nothing); a status read answers twice.
  EXPECT_TRUE(flash_.FlashOut({}).IsGood());
  flash_.FlashOut({0x06});
  EXPECT_EQ(flash_.FlashIn({0x05}, 2), Bytes({0x02, 0x02}));
}

TEST_F(BridgeTest, ResetNeedsTheKeyAndRestartsAsANewDevice) {
  std::vector<std::pair<BusEvent, std::uint64_t>> events;
  flashReader_.SetBusObserver([&](BusEvent e, std::uint64_t a) { events.emplace_back(e, a); });
  const std::uint64_t before = flashReader_.Open().value();

  ResetKey wrong = kDefaultResetKey;
  wrong[3] ^= 1;
  Bytes block(16);
  ExpectRefused(flash_.Send(ResetCdb(wrong), DataDirection::kNone), kInvalidField);
  EXPECT_EQ(flashReader_.State(), BusState::kAttached);

  EXPECT_TRUE(flash_.Send(ResetCdb(kDefaultResetKey), DataDirection::kNone).IsGood());
  EXPECT_EQ(flashReader_.State(), BusState::kRestarting);
  EXPECT_FALSE(flashReader_.Open());
  EXPECT_FALSE(flash_.Send(IdentifyCdb(), DataDirection::kFromDevice, block).delivered);
  clock_.Advance(1499);
  EXPECT_EQ(flashReader_.State(), BusState::kRestarting);
  clock_.Advance(1);
  flashReader_.Poll();
  const std::uint64_t after = flashReader_.Open().value();
  EXPECT_NE(after, before);
  EXPECT_EQ(events, (std::vector<std::pair<BusEvent, std::uint64_t>>{
                        {BusEvent::kDetached, before}, {BusEvent::kAttached, after}}));
  // A handle from before the restart stays dead; what was sent while away never arrived.
  EXPECT_FALSE(
      flashReader_.Execute(before, {IdentifyCdb(), DataDirection::kFromDevice, block}).delivered);
  EXPECT_TRUE(
      flashReader_.Execute(after, {IdentifyCdb(), DataDirection::kFromDevice, block}).IsGood());
  EXPECT_EQ(flashReader_.CommandCount(), 3u);

  Reader keyed(clock_, SectorStorage{8}, ReaderConfig{.resetKey = wrong});
  EXPECT_TRUE(Host{keyed}.Send(ResetCdb(wrong), DataDirection::kNone).IsGood());
}

TEST_F(BridgeTest, RecordsCommandsAndFlashTransactions) {
  ASSERT_TRUE(flash_.Program(0x000010, {0x11, 0x22, 0x33}).IsGood());
  clock_.Advance(5);
  ASSERT_EQ(flash_.Read(0x10, 2), Bytes({0x11, 0x22}));

  const auto commands = flashReader_.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].cdb,
            Bytes({0xE7, 4, 0, 0, 0, 3, 0x2A, 0x7E, 0x02, 0, 0, 0x10, 0, 0, 0, 0}));
  EXPECT_EQ(commands[0].transferLength, 3u);
  EXPECT_EQ(commands[0].dataOut, Bytes({0x11, 0x22, 0x33}));
  EXPECT_TRUE(commands[1].dataOut.empty());

  // The bridge's own write enable comes first, marked as such.
  const auto flash = flashReader_.FlashLog();
  ASSERT_EQ(flash.size(), 3u);
  EXPECT_TRUE(flash[0].bridgeIssued);
  EXPECT_EQ(flash[0].effect, FlashEffect::kWriteEnabled);
  EXPECT_FALSE(flash[1].bridgeIssued);
  EXPECT_EQ(flash[1].commandBytes, Bytes({0x02, 0, 0, 0x10}));
  EXPECT_EQ(flash[1].dataLength, 3u);
  EXPECT_EQ(flash[1].effect, FlashEffect::kProgramStarted);
  EXPECT_EQ(flash[2].commandIndex, 1u);
}

}  // namespace
}  // namespace tr350::emulator

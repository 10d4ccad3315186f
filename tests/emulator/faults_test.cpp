// Injected faults: failed commands, lost completions, status 1, falling off the bus, unopenable
// devices, corrupted reads and misbehaving flash chips.
#include <gtest/gtest.h>

#include "emulator/chip_catalogue.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using testing::Bytes;
using testing::Host;
using testing::SectorCdb;

class FaultsTest : public ::testing::Test {
 protected:
  ScsiOutcome Write(std::uint32_t sector, std::uint8_t fill) {
    Bytes data(512, fill);
    return host_.Send(SectorCdb(0xE6, sector, 1), DataDirection::kToDevice, data);
  }
  Bytes Stored(std::uint32_t sector) { return reader_.PeekSectors(sector, 1); }

  platform::VirtualClock clock_;
  Reader reader_{clock_, SectorStorage{16}};
  Host host_{reader_};
};

TEST_F(FaultsTest, CommandFaultsDecideWhetherTheCommandIsCarriedOut) {
  reader_.InjectFault({AtCommand(0), FaultAction::kCheckCondition});
  reader_.InjectFault({AtCommand(1), FaultAction::kNotDelivered});
  reader_.InjectFault({AtCommand(2), FaultAction::kLostCompletion});
  reader_.InjectFault({AtCommand(3), FaultAction::kStatusOne});
  EXPECT_EQ(Write(0, 0x10).sense->key, SenseKey::kAbortedCommand);
  EXPECT_EQ(Stored(0), Bytes(512, 0xFF));
  EXPECT_FALSE(Write(1, 0x11).delivered);
  EXPECT_EQ(Stored(1), Bytes(512, 0xFF));
  EXPECT_FALSE(Write(2, 0x12).delivered);
  EXPECT_EQ(Stored(2), Bytes(512, 0x12));  // done, though the host was told otherwise
  const ScsiOutcome one = Write(3, 0x13);
  EXPECT_TRUE(one.delivered && one.status == 0x01);
  EXPECT_EQ(Stored(3), Bytes(512, 0x13));
  EXPECT_TRUE(Write(4, 0x14).IsGood());                   // each fault hit once
  EXPECT_EQ(reader_.Commands()[3].outcome.status, 0x01);  // recorded as the host saw it

  // The first armed fault that matches wins; times 0 repeats; a predicate sees the whole command.
  reader_.InjectFault({OnOpcode(0xE6), FaultAction::kNotDelivered, 1});
  reader_.InjectFault({OnOpcode(0xE6), FaultAction::kCheckCondition, 0});
  EXPECT_FALSE(Write(0, 1).delivered);
  EXPECT_EQ(Write(0, 1).status, kStatusCheckCondition);
  EXPECT_EQ(Write(0, 1).status, kStatusCheckCondition);
  reader_.ClearFaults();
  reader_.InjectFault({[](const CommandRecord& r) { return r.cdb.size() == 9 && r.cdb[5] == 7; },
                       FaultAction::kCheckCondition});
  EXPECT_TRUE(Write(6, 1).IsGood());
  EXPECT_FALSE(Write(7, 1).IsGood());
}

TEST_F(FaultsTest, DroppingOffTheBusAndUnopenableDevice) {
  std::vector<BusEvent> events;
  reader_.SetBusObserver([&](BusEvent e, std::uint64_t) { events.push_back(e); });
  reader_.InjectFault({AtCommand(1), FaultAction::kDropOffBus});
  EXPECT_TRUE(Write(0, 1).IsGood());
  EXPECT_FALSE(Write(1, 1).delivered);
  EXPECT_EQ(Stored(1), Bytes(512, 0xFF));
  clock_.Advance(100000);  // it does not come back by itself
  EXPECT_EQ(reader_.State(), BusState::kUnplugged);
  EXPECT_FALSE(reader_.Open());
  reader_.Plug();
  EXPECT_EQ(events, (std::vector<BusEvent>{BusEvent::kDetached, BusEvent::kAttached}));
  EXPECT_TRUE(Write(2, 1).IsGood());

  // Opens are counted from 0, failed ones included.
  const std::uint64_t next = reader_.OpenCount();
  reader_.FailOpens(next + 1, 2);
  EXPECT_TRUE(reader_.Open());
  EXPECT_FALSE(reader_.Open());
  EXPECT_FALSE(reader_.Open());
  EXPECT_TRUE(reader_.Open());
  reader_.FailOpens(reader_.OpenCount(), 0);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(reader_.Open());
}

// Gone after the command: the write is stored and answered, and the reader is off the bus; after
// an accepted reset it stays off too rather than coming back from the restart.
TEST_F(FaultsTest, DroppingOffTheBusAfterACommandKeepsItsEffect) {
  reader_.InjectFault({AtCommand(0), FaultAction::kDropOffBusAfter});
  EXPECT_TRUE(Write(0, 0x21).IsGood());
  EXPECT_EQ(Stored(0), Bytes(512, 0x21));
  EXPECT_EQ(reader_.State(), BusState::kUnplugged);
  EXPECT_FALSE(Write(1, 0x22).delivered);
  reader_.Plug();

  reader_.InjectFault({OnOpcode(0xE2), FaultAction::kDropOffBusAfter});
  EXPECT_TRUE(host_.Send(testing::ResetCdb(kDefaultResetKey), DataDirection::kNone).IsGood());
  clock_.Advance(100000);
  EXPECT_EQ(reader_.State(), BusState::kUnplugged);
}

TEST_F(FaultsTest, ReadCorruptionFlipsWhatTravelsNotWhatIsStored) {
  ASSERT_TRUE(Write(5, 0x00).IsGood());
  reader_.InjectReadCorruption({OnOpcode(0xE5), 511, 0x80});
  Bytes back(512);
  host_.Send(SectorCdb(0xE5, 5, 1), DataDirection::kFromDevice, back);
  EXPECT_EQ(back[511], 0x80);
  EXPECT_EQ(Stored(5), Bytes(512, 0x00));
  host_.Send(SectorCdb(0xE5, 5, 1), DataDirection::kFromDevice, back);
  EXPECT_EQ(back, Bytes(512, 0x00));

  // Flash reads too; an offset beyond the transfer leaves it alone and stays armed.
  Reader flash(clock_, FindCatalogueChip("c8-4014")->traits);
  Host host{flash};
  flash.InjectReadCorruption({OnFlashOpcode(0x03), 4, 0x01});
  EXPECT_EQ(host.Read(0, 4), Bytes(4, 0xFF));
  EXPECT_EQ(host.Read(0, 6), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF}));
}

TEST(FlashFaultsTest, StuckBusyAndUnknownIdentity) {
  platform::VirtualClock clock;
  Reader reader(clock, FindCatalogueChip("c2-2016")->traits);
  Host host{reader};
  reader.SetFlashStuckBusy(true);
  clock.Advance(3'600'000);
  EXPECT_EQ(host.Status() & kStatusBusy, kStatusBusy);
  EXPECT_EQ(host.FlashIn({0x9F}, 3), Bytes(3, 0xFF));
  reader.SetFlashStuckBusy(false);

  // Armed on a command, the chip hangs as that command reaches it; losing power brings it back.
  reader.InjectFault({AtCommand(reader.CommandCount()), FaultAction::kFlashStuckBusy});
  EXPECT_EQ(host.FlashIn({0x9F}, 3), Bytes(3, 0xFF));
  EXPECT_EQ(host.Status() & kStatusBusy, kStatusBusy);
  reader.Unplug();
  reader.Plug();
  EXPECT_EQ(host.Status() & kStatusBusy, 0);

  reader.SetUnknownFlashIdentity(true);
  EXPECT_EQ(host.FlashIn({0x9F}, 3), Bytes(3, 0x7F));
  EXPECT_EQ(host.FlashIn({0xAB, 0, 0, 0}, 3), Bytes(3, 0x7F));
  reader.SetUnknownFlashIdentity(false);
  EXPECT_EQ(host.FlashIn({0x9F}, 3), Bytes({0xC2, 0x20, 0x16}));
}

}  // namespace
}  // namespace tr350::emulator

// The serial flash chip behind the bridge: program, erase, busy, status writes and protection,
// driven through the bridge's carrier commands on a virtual clock.
#include <gtest/gtest.h>

#include "emulator/chip_catalogue.h"
#include "emulator/flash_chip.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using testing::Bytes;
using testing::Host;

FlashChipTraits TestChip() {
  FlashChipTraits t;
  t.capacity = 64 * 1024;
  t.protectBits = 0x1C;
  t.eraseMs = 1000;
  t.programUs = 2500;
  t.writeStatusUs = 10000;
  t.identity.jedec = Id(0xEF, 0x40, 0x16);
  return t;
}

class FlashChipTest : public ::testing::Test {
 protected:
  platform::VirtualClock clock_;
  Reader reader_{clock_, TestChip()};
  Host host_{reader_};
};

TEST_F(FlashChipTest, ProgramOnlyClearsBitsWrapsInItsPageAndTakesItsTime) {
  reader_.PresetFlash(0x1000, Bytes{0xF0, 0xFF});
  ASSERT_TRUE(host_.Program(0x1000, {0x3C, 0x0F}).IsGood());
  EXPECT_EQ(host_.Read(0x1000, 2), Bytes({0xFF, 0xFF}));  // not answered while busy
  clock_.Advance(2);
  EXPECT_EQ(host_.Status() & kStatusBusy, kStatusBusy);  // 2.5 ms is not over yet
  clock_.Advance(1);
  EXPECT_EQ(host_.Status(), 0x00);  // done, and the latch is down again
  EXPECT_EQ(host_.Read(0x1000, 2), Bytes({0x30, 0x0F}));

  // 32 bytes from 0x20F0 fill the page's last 16 bytes and then wrap to its start.
  Bytes data(32);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(host_.Program(0x20F0, data).IsGood());
  clock_.Advance(3);
  EXPECT_EQ(reader_.PeekFlash(0x20F0, 16), Bytes(data.begin(), data.begin() + 16));
  EXPECT_EQ(reader_.PeekFlash(0x2000, 16), Bytes(data.begin() + 16, data.end()));
}

TEST_F(FlashChipTest, EraseTakesItsTimeAndOnlyStatusIsAnsweredMeanwhile) {
  reader_.PresetFlash(0, Bytes{0x00, 0x12});
  ASSERT_TRUE(host_.FlashOut({0xC7}).IsGood());  // the bridge raises the latch itself
  EXPECT_EQ(host_.Status(), kStatusBusy | kStatusWriteEnableLatch);
  EXPECT_EQ(host_.FlashIn({0x9F}, 3), Bytes(3, 0xFF));
  host_.Program(0x4000, {0x00});
  clock_.Advance(999);
  EXPECT_EQ(host_.Status() & kStatusBusy, kStatusBusy);
  EXPECT_EQ(reader_.PeekFlash(0, 2), Bytes({0x00, 0x12}));  // the content goes at the end
  clock_.Advance(1);
  EXPECT_EQ(host_.Status(), 0x00);
  EXPECT_EQ(host_.Read(0, 2), Bytes(2, 0xFF));
  EXPECT_EQ(reader_.PeekFlash(0x4000, 1), Bytes{0xFF});  // the program during the erase was lost

  // An erase opcode the chip lacks, or one with extra bytes, does nothing.
  reader_.PresetFlash(0, Bytes{0x00});
  host_.FlashOut({0x62});
  host_.FlashOut({0xC7, 0x00});
  EXPECT_EQ(host_.Status() & kStatusBusy, 0);
  EXPECT_EQ(reader_.PeekFlash(0, 1), Bytes{0x00});
}

TEST_F(FlashChipTest, StatusWriteNeedsTheLatchAndProtectionStopsProgramAndErase) {
  host_.FlashOut({0x01, 0x1C});
  EXPECT_EQ(host_.Status(), 0x00);  // no latch: ignored
  host_.FlashOut({0x06});
  host_.FlashOut({0x01, 0x1C, 0x00});  // two status bytes on a one-byte chip: ignored
  EXPECT_EQ(host_.Status(), kStatusWriteEnableLatch);
  host_.FlashOut({0x01, 0x1C});
  clock_.Advance(10);
  EXPECT_EQ(host_.Status(), 0x1C);

  reader_.PresetFlash(0x200, Bytes{0x55});
  host_.Program(0x200, {0x00});
  host_.FlashOut({0x60});
  clock_.Advance(2000);
  EXPECT_EQ(reader_.PeekFlash(0x200, 1), Bytes{0x55});
}

TEST(FlashChipStatusTest, PrefixAndTwoByteRegisters) {
  platform::VirtualClock clock;
  Reader prefixed(clock, FindCatalogueChip("bf-49-90")->traits);
  Host host{prefixed};
  host.FlashOut({0x06});
  host.FlashOut({0x01, 0x0C});  // no prefix
  host.FlashOut({0x50});
  host.FlashOut({0x05});  // anything in between disarms the prefix
  host.FlashOut({0x01, 0x0C});
  EXPECT_EQ(host.Status(), kStatusWriteEnableLatch);
  host.FlashOut({0x50});
  host.FlashOut({0x01, 0x0C});
  clock.Advance(10);
  EXPECT_EQ(host.Status(), 0x0C);

  Reader wide(clock, FindCatalogueChip("c8-4013")->traits);
  Host w{wide};
  w.FlashOut({0x06});
  w.FlashOut({0x01, 0x7C, 0x02});
  clock.Advance(10);
  EXPECT_EQ(wide.FlashStatus(), 0x027C);
  w.FlashOut({0x06});
  w.FlashOut({0x01, 0x00});
  clock.Advance(10);
  EXPECT_EQ(wide.FlashStatus(), 0x0200);  // one byte leaves the second alone
  w.FlashOut({0x06});
  w.FlashOut({0x01, 0x00, 0x00, 0x00});  // more than the register holds: ignored
  clock.Advance(10);
  EXPECT_EQ(wide.FlashStatus(), 0x0202);  // only the latch is still up
}

}  // namespace
}  // namespace tr350::emulator

// The device side of the kernel tests on its own: command wrappers as the host's usb-storage
// driver sends them, the RAM medium, the sense a failed command leaves for REQUEST SENSE, and the
// vendor range reaching the reader emulator.
#include "tests/kernel/gadget/mass_storage.h"

#include <gtest/gtest.h>

#include "platform/emulated/virtual_clock.h"
#include "tests/emulator/emulator_test_support.h"

namespace tr350::kernel_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A 31-byte wrapper: "USBC", tag, length and flags as the host writes them.
Bytes Wrapper(std::uint32_t tag, std::uint32_t length, bool dataIn, const Bytes& cdb) {
  Bytes w(kCbwSize, 0);
  const std::uint32_t fields[] = {0x43425355, tag, length};
  for (std::size_t f = 0; f < 3; ++f) {
    for (std::size_t i = 0; i < 4; ++i) {
      w[4 * f + i] = static_cast<std::uint8_t>(fields[f] >> (8 * i));
    }
  }
  w[12] = dataIn ? 0x80 : 0x00;
  w[14] = static_cast<std::uint8_t>(cdb.size());
  std::ranges::copy(cdb, w.begin() + 15);
  return w;
}

class MassStorageTest : public ::testing::Test {
 protected:
  MassStorage::Result Run(const Bytes& cdb, Bytes& data, bool dataIn) {
    const auto block =
        ParseCommandBlock(Wrapper(7, static_cast<std::uint32_t>(data.size()), dataIn, cdb));
    EXPECT_TRUE(block.has_value());
    return storage.Execute(*block, data);
  }
  Bytes Sense() {
    Bytes sense(18);
    Run({0x03, 0, 0, 0, 18, 0}, sense, true);
    return sense;
  }

  platform::VirtualClock clock;
  std::shared_ptr<emulator::Reader> reader =
      std::make_shared<emulator::Reader>(clock, emulator::SectorStorage{64});
  MassStorage storage{reader, 16};
};

TEST(CommandBlockTest, TakesOnlyWellFormedWrappers) {
  const Bytes cdb = {0x12, 0, 0, 0, 36, 0};
  const auto block = ParseCommandBlock(Wrapper(0x01020304, 36, true, cdb));
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->tag, 0x01020304u);
  EXPECT_EQ(block->transferLength, 36u);
  EXPECT_TRUE(block->dataIn);
  EXPECT_EQ(block->cdb, cdb);

  Bytes badSignature = Wrapper(1, 0, false, cdb);
  badSignature[0] = 0;
  EXPECT_FALSE(ParseCommandBlock(badSignature));
  Bytes longCdb = Wrapper(1, 0, false, cdb);
  longCdb[14] = 17;
  EXPECT_FALSE(ParseCommandBlock(longCdb));
  const Bytes whole = Wrapper(1, 0, false, cdb);
  EXPECT_FALSE(ParseCommandBlock(std::span(whole).first(30)));

  const auto status = StatusWrapper(0x0A0B0C0D, 5, CommandStatus::kFailed);
  EXPECT_EQ(Bytes(status.begin(), status.end()),
            (Bytes{0x55, 0x53, 0x42, 0x53, 0x0D, 0x0C, 0x0B, 0x0A, 5, 0, 0, 0, 1}));
}

TEST_F(MassStorageTest, MediumKeepsWhatIsWrittenAndRefusesBeyondItsEnd) {
  Bytes written(1024);
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(Run({0x2A, 0, 0, 0, 0, 14, 0, 0, 2, 0}, written, false).status, CommandStatus::kPassed);
  Bytes read(1024);
  EXPECT_EQ(Run({0x28, 0, 0, 0, 0, 14, 0, 0, 2, 0}, read, true).status, CommandStatus::kPassed);
  EXPECT_EQ(read, written);

  Bytes beyond(1024);
  const auto result = Run({0x28, 0, 0, 0, 0, 15, 0, 0, 2, 0}, beyond, true);
  EXPECT_EQ(result.status, CommandStatus::kFailed);
  EXPECT_EQ(result.residue, 1024u);
  const Bytes sense = Sense();
  EXPECT_EQ(sense[2], 0x05);    // illegal request
  EXPECT_EQ(sense[12], 0x21);   // logical block address out of range
  EXPECT_EQ(Sense()[2], 0x00);  // reported once

  Bytes capacity(8);
  Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, capacity, true);
  EXPECT_EQ(capacity, (Bytes{0, 0, 0, 15, 0, 0, 2, 0}));
}

TEST_F(MassStorageTest, InquiryPadsWhatTheHostAskedBeyondTheAnswer) {
  Bytes data(64, 0xEE);
  const auto result = Run({0x12, 0, 0, 0, 64, 0}, data, true);
  EXPECT_EQ(result.status, CommandStatus::kPassed);
  EXPECT_EQ(result.residue, 64u - 36u);
  EXPECT_EQ(data[0], 0x00);  // direct access
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "TR350   ");
  EXPECT_EQ(data[40], 0x00);
}

TEST_F(MassStorageTest, VendorCommandsReachTheReader) {
  Bytes id(16);
  EXPECT_EQ(Run(emulator::testing::IdentifyCdb(), id, true).status, CommandStatus::kPassed);
  const auto expected = reader->Identification();
  EXPECT_EQ(id, Bytes(expected.begin(), expected.end()));

  Bytes sectors(512, 0x5C);
  EXPECT_EQ(Run(emulator::testing::SectorCdb(0xE6, 3, 1), sectors, false).status,
            CommandStatus::kPassed);
  EXPECT_EQ(reader->PeekSectors(3, 1), sectors);

  // A command the bridge refuses fails, and its sense is the bridge's.
  Bytes shortId(8);
  EXPECT_EQ(Run(emulator::testing::IdentifyCdb(), shortId, true).status, CommandStatus::kFailed);
  EXPECT_EQ(Sense()[12], emulator::kAscInvalidFieldInCdb);

  // Gone from the bus: nothing completes.
  reader->Unplug();
  EXPECT_EQ(Run(emulator::testing::IdentifyCdb(), id, true).status, CommandStatus::kPhaseError);
}

}  // namespace
}  // namespace tr350::kernel_test

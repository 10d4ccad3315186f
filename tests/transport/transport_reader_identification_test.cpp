// Identification block read and decode, the access-mode choice, and the controller reset.
#include <array>
#include <tuple>

#include "tests/transport/transport_fixture.h"
#include "transport/reader_identification.h"

namespace tr350::test {
namespace {

using InfoBlock = std::array<std::uint8_t, 16>;

// vendor 0x1234, product 0x4C3A, version bytes 1 2 3 12, infoWord 0xBEEF, flags 0b101,
// storage type 2, infoWord2 0xCAFE, infoByte 0x77, nibbles 0xA and 0x5.
constexpr InfoBlock kBlock = {0x12, 0x34, 0x4C, 0x3A, 1,    2,    3,    12,
                              0xBE, 0xEF, 0x05, 0x02, 0xCA, 0xFE, 0x77, 0xA5};

InfoBlock WithStorageType(std::uint8_t type) {
  InfoBlock b = kBlock;
  b[11] = type;
  return b;
}

using IdentificationTest = TransportTest;

// The command's bytes are checked against the emulated bridge; here: what reaches the caller.
TEST_F(IdentificationTest, ReadDeliversTheBlockOnlyOnSuccess) {
  reader.Queue(Data({kBlock.begin(), kBlock.end()}));
  InfoBlock out{};
  ASSERT_TRUE(ReadDeviceInfo(Device(), out));
  EXPECT_EQ(out, kBlock);
  EXPECT_EQ(recorder.sent.at(0).TransferLength(), 16u);

  reader.Queue(Status(2));
  InfoBlock untouched;
  untouched.fill(0x5A);
  InfoBlock failed = untouched;
  EXPECT_FALSE(ReadDeviceInfo(Device(), failed));
  EXPECT_EQ(failed, untouched);
  EXPECT_FALSE(ReadDeviceInfo(Device(), std::span(failed).first(15)));
  EXPECT_FALSE(ReadDeviceInfo(Device(), std::span<std::uint8_t>{}));
  EXPECT_EQ(recorder.opens, 2);
  ExpectLockedAndReleased(2);
}

TEST_F(IdentificationTest, ParseFillsEveryFieldAndPacksDecimalVersionsOfOneProduct) {
  DeviceEntry e = Device();
  ASSERT_TRUE(ParseDeviceInfo(e, kBlock));
  EXPECT_EQ(std::tie(e.vendorId, e.productId, e.firmwareVersion, e.infoWord, e.storageType),
            std::make_tuple(0x1234, 0x4C3A, 0x01020312u, 0xBEEF, 2));
  EXPECT_EQ(std::tie(e.infoFlag0, e.infoFlag1, e.infoFlag2, e.infoByte, e.infoNibbleHigh,
                     e.infoNibbleLow),
            std::make_tuple(1, 0, 1, 0x77, 0xA, 0x5));
  EXPECT_EQ(std::tie(e.infoWord2, e.accessMode), std::make_tuple(0xCAFE, kAccessModeSectors));

  InfoBlock other = kBlock;
  other[3] = 0x3B;
  DeviceEntry plain = Device();
  ASSERT_TRUE(ParseDeviceInfo(plain, other));
  EXPECT_EQ(plain.firmwareVersion, 0x0102030Cu);
}

TEST_F(IdentificationTest, SecondParseKeepsFieldsThatAreAlreadySet) {
  DeviceEntry entry = Device();
  entry.productId = 0x4C3A;  // already known: the version is decoded for it
  InfoBlock second{};
  second[0] = 0x99;
  second[4] = 0x10;
  second[10] = 0x02;
  second[11] = 2;
  ASSERT_TRUE(ParseDeviceInfo(entry, second));
  EXPECT_EQ(entry.productId, 0x4C3A);
  EXPECT_EQ(entry.firmwareVersion, 0x16000000u);
  const DeviceEntry first = entry;
  EXPECT_FALSE(ParseDeviceInfo(entry, kBlock));  // identified already
  EXPECT_EQ(entry.vendorId, first.vendorId);
  EXPECT_EQ(entry.firmwareVersion, first.firmwareVersion);
  EXPECT_EQ(entry.infoFlag1, 1);
  EXPECT_EQ(entry.infoFlag0, 1);  // was zero, so the later block fills it
  EXPECT_EQ(entry.infoWord, 0xBEEF);
}

TEST_F(IdentificationTest, StorageTypeChoosesTheAccessModeOnce) {
  struct Case {
    std::int32_t modeBefore;
    std::uint8_t storageType;
    bool ok;
    std::int32_t modeAfter;
  };
  const Case cases[] = {{0, 0, true, 8},  {0, 2, true, 7},    {0, 3, true, 4},
                        {0, 4, false, 8}, {0, 200, false, 8}, {8, 2, true, 7},
                        {3, 1, false, 3}, {4, 2, false, 4},   {7, 0, false, 7}};
  const FlashPartDescriptor part{};
  for (const Case& c : cases) {
    DeviceEntry entry = Device(c.modeBefore == 3 ? &part : nullptr);
    entry.accessMode = c.modeBefore;
    entry.flashPartIndex = 5;
    EXPECT_EQ(ApplyStorageType(entry, WithStorageType(c.storageType)), c.ok)
        << static_cast<int>(c.storageType);
    EXPECT_EQ(entry.accessMode, c.modeAfter);
    const bool changed = c.modeBefore == 0 || c.modeBefore == 8;
    EXPECT_EQ(entry.flashPartIndex, changed ? -1 : 5);
  }
  EXPECT_TRUE(recorder.sent.empty());
}

// The key itself is checked against the emulated reader.
TEST_F(IdentificationTest, ResetSendsTheKeyOnlyToAReaderThatAnswers) {
  ASSERT_TRUE(ForceCpuReset(Device()));
  EXPECT_EQ(recorder.CommandOpcodes(), (std::vector<std::uint8_t>{0xD0, 0xE2}));
  EXPECT_EQ(recorder.sent[1].request.DataIn, kDataOut);
  ExpectLockedAndReleased(2);

  recorder.sent.clear();
  reader.Queue(Status(2));
  EXPECT_FALSE(ForceCpuReset(Device()));
  EXPECT_EQ(recorder.CommandOpcodes(), (std::vector<std::uint8_t>{0xD0}));
}

}  // namespace
}  // namespace tr350::test

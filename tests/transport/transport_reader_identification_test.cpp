// Identification block read and decode, the access-mode choice, and the controller reset.
#include <array>

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

TEST_F(IdentificationTest, ReadDeviceInfoSendsD0AndDeliversTheBlock) {
  reader.Queue(Data({kBlock.begin(), kBlock.end()}));
  InfoBlock out{};
  ASSERT_TRUE(ReadDeviceInfo(Device(), out));
  EXPECT_EQ(out, kBlock);
  ASSERT_EQ(recorder.sent.size(), 1u);
  const SentCommand& s = recorder.sent[0];
  const std::array<std::uint8_t, 16> cdb = {0xD0, 0, 0, 0, 0, 0, 0x2A, 0x7E};
  EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), s.request.Cdb));
  EXPECT_EQ(s.request.CdbLength, 16);
  EXPECT_EQ(s.request.DataIn, kDataIn);
  EXPECT_EQ(s.TransferLength(), 16u);

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
  DeviceEntry entry = Device();
  ASSERT_TRUE(ParseDeviceInfo(entry, kBlock));
  EXPECT_EQ(entry.vendorId, 0x1234);
  EXPECT_EQ(entry.productId, 0x4C3A);
  EXPECT_EQ(entry.firmwareVersion, 0x01020312u);
  EXPECT_EQ(entry.infoWord, 0xBEEF);
  EXPECT_EQ(entry.infoFlag0, 1);
  EXPECT_EQ(entry.infoFlag1, 0);
  EXPECT_EQ(entry.infoFlag2, 1);
  EXPECT_EQ(entry.storageType, 2);
  EXPECT_EQ(entry.infoWord2, 0xCAFE);
  EXPECT_EQ(entry.infoByte, 0x77);
  EXPECT_EQ(entry.infoNibbleHigh, 0xA);
  EXPECT_EQ(entry.infoNibbleLow, 0x5);
  EXPECT_EQ(entry.accessMode, kAccessModeSectors);

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

TEST_F(IdentificationTest, ResetSendsTheKeyOnlyToAReaderThatAnswers) {
  ASSERT_TRUE(ForceCpuReset(Device()));
  ASSERT_EQ(recorder.sent.size(), 2u);
  EXPECT_EQ(recorder.sent[0].Opcode(), 0xD0);
  const SentCommand& reset = recorder.sent[1];
  const std::array<std::uint8_t, 16> cdb = {0xE2, 0x54, 0x52, 0x33, 0x35, 0xE2, 0x2A, 0x7E};
  EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), reset.request.Cdb));
  EXPECT_EQ(reset.request.CdbLength, 8);
  EXPECT_EQ(reset.request.DataIn, kDataOut);
  EXPECT_EQ(reset.TransferLength(), 0u);
  ExpectLockedAndReleased(2);

  recorder.sent.clear();
  reader.Queue(Status(2));
  EXPECT_FALSE(ForceCpuReset(Device()));
  EXPECT_EQ(recorder.CommandOpcodes(), (std::vector<std::uint8_t>{0xD0}));
}

}  // namespace
}  // namespace tr350::test

// Parsing of firmware images and the configuration-block operations.
#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

namespace tr350 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An image with the given page counts; every byte after the header is distinct from its
// neighbours so that an offset slip shows.
Bytes MakeImage(std::uint16_t fw1Pages, std::uint16_t fw2Pages, std::size_t trailing = 0) {
  Bytes b(kImageHeaderSize + (fw1Pages + fw2Pages) * kImagePageSize + trailing);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  b[0] = 0x7E;
  b[1] = 0x2A;
  b[10] = static_cast<std::uint8_t>(fw1Pages >> 8);
  b[11] = static_cast<std::uint8_t>(fw1Pages);
  b[12] = static_cast<std::uint8_t>(fw2Pages >> 8);
  b[13] = static_cast<std::uint8_t>(fw2Pages);
  return b;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t length) {
  return {b.begin() + static_cast<std::ptrdiff_t>(from),
          b.begin() + static_cast<std::ptrdiff_t>(from + length)};
}

bool AllFF(std::span<const std::uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; });
}

TEST(ParseImage, BuiltInImageSplitsIntoHeaderAndBothSections) {
  const Bytes bytes = ReadFile(TR350_FIRMWARE_IMAGE_FILE);
  FirmwareImage image;
  ASSERT_TRUE(ParseImage(image, bytes));
  EXPECT_EQ(Bytes(image.header.begin(), image.header.end()), Slice(bytes, 0, 512));
  EXPECT_EQ(image.fw1Data, Slice(bytes, 512, image.fw1Size));
  EXPECT_EQ(image.fw2Data, Slice(bytes, 512 + image.fw1Size, image.fw2Size));
  if (TR350_STAND_IN_IMAGE) {
    EXPECT_EQ(bytes.size(), 62464u);
    EXPECT_EQ(image.fw1Size, 25600u);
    EXPECT_EQ(image.fw2Size, 36352u);
    EXPECT_TRUE(AllFF(image.configBlock));  // the image ends right after FW2
  }
}

TEST(ParseImage, PageCountsAreBigEndian) {
  Bytes b = MakeImage(0x0100, 0x0002);  // 256 pages, then 2 pages
  FirmwareImage image;
  ASSERT_TRUE(ParseImage(image, b));
  EXPECT_EQ(image.fw1Size, 256u * 256u);
  EXPECT_EQ(image.fw2Size, 512u);
  EXPECT_EQ(Fw1Size(image), 65536u);
  EXPECT_EQ(image.fw2Data, Slice(b, 512 + 65536, 512));
}

TEST(ParseImage, ConfigurationBlockFollowsTheLastSection) {
  {  // FW2 absent, no configuration block
    FirmwareImage image;
    image.configBlock.fill(0x11);
    ASSERT_TRUE(ParseImage(image, MakeImage(3, 0)));
    EXPECT_TRUE(image.fw2Data.empty());
    EXPECT_EQ(image.fw2Size, 0u);
    EXPECT_TRUE(AllFF(image.configBlock));
  }
  {  // FW2 absent, configuration block right after FW1
    const Bytes b = MakeImage(3, 0, 512);
    FirmwareImage image;
    ASSERT_TRUE(ParseImage(image, b));
    EXPECT_TRUE(image.fw2Data.empty());
    EXPECT_EQ(Bytes(image.configBlock.begin(), image.configBlock.end()), Slice(b, 512 + 768, 512));
  }
  {  // both sections and a block; bytes beyond the block are ignored
    const Bytes b = MakeImage(1, 2, 600);
    FirmwareImage image;
    ASSERT_TRUE(ParseImage(image, b));
    EXPECT_EQ(Bytes(image.configBlock.begin(), image.configBlock.end()), Slice(b, 512 + 768, 512));
  }
}

TEST(ParseImage, HeaderOnlyResources) {
  FirmwareImage image;
  ASSERT_TRUE(ParseImage(image, MakeImage(1, 1)));
  image.configBlock.fill(0x22);
  const auto oldHeader = image.header;

  // 256 bytes replace the first half of the header; the rest and the block stay.
  Bytes half = MakeImage(0, 0);
  half.resize(256);
  std::fill(half.begin() + 14, half.end(), std::uint8_t{0x5A});
  ASSERT_TRUE(ParseImage(image, half));
  EXPECT_TRUE(std::equal(half.begin(), half.end(), image.header.begin()));
  EXPECT_TRUE(std::equal(oldHeader.begin() + 256, oldHeader.end(), image.header.begin() + 256));
  EXPECT_TRUE(image.fw1Data.empty());
  EXPECT_TRUE(image.fw2Data.empty());
  EXPECT_EQ(image.configBlock[0], 0x22);

  // A whole header with no sections also leaves the block alone.
  ASSERT_TRUE(ParseImage(image, MakeImage(0, 0)));
  EXPECT_EQ(image.configBlock[0], 0x22);
}

TEST(ParseImage, RefusedImagesLeaveTheRecordUnchanged) {
  FirmwareImage image;
  const Bytes good = MakeImage(2, 1, 512);
  ASSERT_TRUE(ParseImage(image, good));
  const FirmwareImage before = image;

  Bytes truncated = good;
  truncated.resize(512 + 512 + 100);  // FW2 cut short; the vector ends exactly there
  Bytes halfHeaderWithSections = MakeImage(1, 0);
  halfHeaderWithSections.resize(256);
  Bytes partialBlock = MakeImage(2, 1, 100);  // neither absent nor a whole block
  const std::vector<Bytes> refused = {Bytes{},   Bytes(255, 0),          Bytes(511, 0),
                                      truncated, halfHeaderWithSections, partialBlock};
  for (const Bytes& b : refused) {
    EXPECT_FALSE(ParseImage(image, b)) << b.size() << " bytes";
    EXPECT_EQ(image.header, before.header);
    EXPECT_EQ(image.fw1Data, before.fw1Data);
    EXPECT_EQ(image.fw2Data, before.fw2Data);
    EXPECT_EQ(image.configBlock, before.configBlock);
    EXPECT_EQ(image.fw1Size, before.fw1Size);
  }
  EXPECT_FALSE(ParseImage(image, std::span<const std::uint8_t>()));
}

TEST(ConfigBlock, PutVersionFieldPacksTwoDigitsPerByte) {
  FirmwareImage image;
  ASSERT_TRUE(PutVersionField(image, 1, u"201703240218"));
  ASSERT_TRUE(PutVersionField(image, 2, u"201705170241"));
  const Bytes expected = {0x07, 0x20, 0x17, 0x03, 0x24, 0x02, 0x18,
                          0x07, 0x20, 0x17, 0x05, 0x17, 0x02, 0x41};
  EXPECT_EQ(Slice(Bytes(image.configBlock.begin(), image.configBlock.end()), 6, 14), expected);
  EXPECT_EQ(image.configBlock[5], 0xFF);
  EXPECT_EQ(image.configBlock[20], 0xFF);

  // Hex letters of either case; a last unpaired character is ignored.
  ASSERT_TRUE(PutVersionField(image, 1, u"aBc"));
  EXPECT_EQ(image.configBlock[6], 0x02);
  EXPECT_EQ(image.configBlock[7], 0xAB);
}

TEST(ConfigBlock, EmptyVersionTextsWriteOnlyTheLengthBytes) {
  FirmwareImage image;
  image.configBlock[8] = 0x12;
  image.configBlock[9] = 0x34;
  ASSERT_TRUE(PutVersionField(image, 1, u""));
  ASSERT_TRUE(PutVersionField(image, 2, u""));
  EXPECT_EQ(image.configBlock[6], 0x01);
  EXPECT_EQ(image.configBlock[7], 0x01);
  EXPECT_EQ(image.configBlock[8], 0x12);
  EXPECT_EQ(image.configBlock[9], 0x34);
  EXPECT_FALSE(PutVersionField(image, 3, u"12"));
  EXPECT_FALSE(PutVersionField(image, 0, u"12"));
  EXPECT_EQ(image.configBlock[6], 0x01);
}

TEST(ConfigBlock, PutVersionFieldNeverWritesOutsideTheBlock) {
  FirmwareImage image;
  const auto before = image.configBlock;
  // A text too long for a length byte, and one that fits the byte but not the block.
  EXPECT_FALSE(PutVersionField(image, 1, std::u16string(600, u'9')));
  EXPECT_EQ(image.configBlock, before);

  // Kind 2 trusts the FW1 length byte; a stale 0xFF there puts the field at 261.
  image.configBlock[6] = 0xFF;
  EXPECT_TRUE(PutVersionField(image, 2, std::u16string(2 * 250, u'1')));  // ends at byte 511
  EXPECT_EQ(image.configBlock[261], 251);
  EXPECT_EQ(image.configBlock[511], 0x11);
  const auto full = image.configBlock;
  EXPECT_FALSE(PutVersionField(image, 2, std::u16string(2 * 251, u'1')));  // one byte too many
  EXPECT_EQ(image.configBlock, full);

  // The longest field a length byte can describe still fits at byte 6.
  FirmwareImage other;
  EXPECT_TRUE(PutVersionField(other, 1, std::u16string(2 * 254, u'2')));
  EXPECT_EQ(other.configBlock[6], 255);
  EXPECT_FALSE(PutVersionField(other, 1, std::u16string(2 * 255, u'2')));
}

TEST(ConfigBlock, HeaderChecksumIsAWrappingBigEndianSum) {
  FirmwareImage image;
  image.header.fill(0xFF);
  UpdateHeaderChecksum(image);
  EXPECT_EQ(image.configBlock[2], 0xFE);
  EXPECT_EQ(image.configBlock[3], 0x00);

  image.header.fill(0);
  image.header[0] = 0x01;
  image.header[511] = 0x02;
  UpdateHeaderChecksum(image);
  EXPECT_EQ(image.configBlock[2], 0x00);
  EXPECT_EQ(image.configBlock[3], 0x03);
}

TEST(ConfigBlock, SetAndCopy) {
  FirmwareImage image;
  Bytes source(512);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  SetConfigBlock(image, source);
  Bytes out(512, 0);
  ASSERT_TRUE(CopyConfigBlockTo(image, out));
  EXPECT_EQ(out, source);

  SetConfigBlock(image, Slice(source, 0, 10));  // a short source leaves 0xFF behind it
  EXPECT_EQ(image.configBlock[9], source[9]);
  EXPECT_EQ(image.configBlock[10], 0xFF);

  Bytes shortDestination(100, 0);
  EXPECT_FALSE(CopyConfigBlockTo(image, std::span<std::uint8_t>()));
  EXPECT_FALSE(CopyConfigBlockTo(image, shortDestination));
  EXPECT_EQ(shortDestination, Bytes(100, 0));
}

}  // namespace
}  // namespace tr350

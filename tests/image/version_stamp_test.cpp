// Finding and splitting the version stamps inside the code sections.
#include "image/version_stamp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tr350 {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& section, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), section.begin() + static_cast<std::ptrdiff_t>(at));
}

// A record whose FW1 and FW2 hold the given texts at odd offsets inside patterned sections.
FirmwareImage ImageWith(std::string_view fw1Text, std::string_view fw2Text) {
  FirmwareImage image;
  image.header[11] = 4;  // FW1: 4 pages
  image.header[13] = 2;  // FW2: 2 pages
  image.fw1Data.resize(1024);
  image.fw2Data.resize(512);
  for (std::size_t i = 0; i < image.fw1Data.size(); ++i) {
    image.fw1Data[i] = static_cast<std::uint8_t>(0x80 | i);
  }
  for (std::size_t i = 0; i < image.fw2Data.size(); ++i) {
    image.fw2Data[i] = static_cast<std::uint8_t>(0x80 | (i * 3));
  }
  Put(image.fw1Data, 301, fw1Text);
  image.fw1Data[301 + fw1Text.size()] = 0;
  Put(image.fw2Data, 77, fw2Text);
  std::fill_n(image.fw2Data.begin() + 77 + static_cast<std::ptrdiff_t>(fw2Text.size()), 4, 0);
  return image;
}

TEST(VersionStamp, BuiltInImageVersions) {
  std::ifstream in(TR350_FIRMWARE_IMAGE_FILE, std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  FirmwareImage image;
  ASSERT_TRUE(ParseImage(image, bytes));
  const std::u16string fw1 = GetFirmwareVersion(1, image);
  const std::u16string fw2 = GetFirmwareVersion(2, image);
  if (TR350_STAND_IN_IMAGE) {
    EXPECT_EQ(fw1, u"201703240218");
    EXPECT_EQ(fw2, u"201705170241");
  } else {
    EXPECT_FALSE(fw1.empty());
    EXPECT_FALSE(fw2.empty());
  }
}

TEST(VersionStamp, WindowsSeeFiveFields) {
  // FW1's text goes on after its fifth field; the 52-byte window ends right there.
  FirmwareImage image = ImageWith("USB 3.0 SD Card Reader_RZ6104_TR350A01_20170324_0218_REL",
                                  "Lightning SD Card Reader_RZ6104_TR350A01_20170517_"
                                  "02418AC080038003");
  EXPECT_EQ(GetFirmwareVersion(1, image), u"201703240218");
  // The 66-character FW2 text fits its 68-byte window whole; the last field is cut.
  EXPECT_EQ(GetFirmwareVersion(2, image), u"201705170241");
  EXPECT_EQ(image.fw1Size, 1024u);
  EXPECT_EQ(image.fw2Size, 512u);
}

TEST(VersionStamp, OtherFieldCountsGiveNoVersion) {
  // Four fields in FW1 (the text stops early), six in FW2.
  FirmwareImage image = ImageWith("USB 3.0 SD Card Reader_AB1234_M0001_20170324",
                                  "Lightning SD Card Reader_AB_M1_20170517_0241_X");
  EXPECT_EQ(GetFirmwareVersion(1, image), u"");
  EXPECT_EQ(GetFirmwareVersion(2, image), u"");
}

TEST(VersionStamp, SplitVersionMarker) {
  EXPECT_EQ(SplitVersionMarker(u"M_AB1234_M0001_20170324_0218", u'_'), u"201703240218");
  EXPECT_EQ(SplitVersionMarker(u"M_a_b_2017_", u'_'), u"2017");  // an empty last field counts
  EXPECT_EQ(SplitVersionMarker(u"M_a_b__", u'_'), u"");
  EXPECT_EQ(SplitVersionMarker(u"M_a_b_20170324", u'_'), u"");
  EXPECT_EQ(SplitVersionMarker(u"M_a_b_20170324_0218_x", u'_'), u"");
  EXPECT_EQ(SplitVersionMarker(u"", u'_'), u"");
}

TEST(VersionStamp, MissingSectionsGiveNoVersion) {
  FirmwareImage image = ImageWith("USB 3.0 SD Card Reader_A_B_20170324_0218",
                                  "Lightning SD Card Reader_A_B_20170517_0241");
  image.header[13] = 0;  // FW2 page count 0: no section, whatever the buffer holds
  EXPECT_EQ(GetFirmwareVersion(2, image), u"");
  EXPECT_EQ(image.fw2Size, 0u);
  image.fw1Data.clear();  // FW1 data absent
  EXPECT_EQ(GetFirmwareVersion(1, image), u"");
  for (int which : {0, 3, -1}) EXPECT_EQ(GetFirmwareVersion(which, image), u"");
}

TEST(FindMarker, CopiesTheWindowFromTheFirstMatch) {
  Bytes section(64, 0xAA);
  Put(section, 3, "MARKX");
  Put(section, 20, "MARKY");
  Bytes window(6, 0);
  ASSERT_TRUE(FindMarker(section, "MARK", window));
  EXPECT_EQ(window, (Bytes{'M', 'A', 'R', 'K', 'X', 0xAA}));
  EXPECT_FALSE(FindMarker(section, "NONE", window));
  EXPECT_FALSE(FindMarker(std::span<const std::uint8_t>(), "MARK", window));
  EXPECT_FALSE(FindMarker(section, std::string_view(), window));
  EXPECT_FALSE(FindMarker(Bytes{'M', 'A'}, "MARK", window));  // marker longer than the section
}

TEST(FindMarker, NeverReadsPastTheSection) {
  // The match sits 6 bytes before the end; the rest of the window is zeros, not whatever follows
  // the section in memory. The vector has no slack, so a read past it is caught by ASan too.
  Bytes section(40, 0x33);
  Put(section, 34, "MARK12");
  Bytes window(20, 0xEE);
  ASSERT_TRUE(FindMarker(section, "MARK", window));
  EXPECT_EQ(window,
            (Bytes{'M', 'A', 'R', 'K', '1', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // A stamp at the very end of FW2 still yields its version.
  FirmwareImage image;
  image.header[13] = 1;
  image.fw2Data.assign(256, 0x41);
  const std::string_view stamp = "Lightning SD Card Reader_A_B_20170517_0241";
  Put(image.fw2Data, 256 - stamp.size(), stamp);
  EXPECT_EQ(GetFirmwareVersion(2, image), u"201705170241");
}

}  // namespace
}  // namespace tr350

// The named scenarios, checked over the bus as a host would see them (identification answers,
// firmware storage read back with the vendor read commands), and the layout of the firmware
// content that the readers are loaded with.
#include "emulator/scenarios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/firmware_content.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using platform::InterfaceClass;

using testing::Bytes;
using testing::SendThrough;

// The firmware storage from address 0, read in bridge-sized pieces: 0xE8 carrying a flash read
// (0x03 and a 24-bit address) for storage type 1, 0xE5 sector reads for storage type 2.
Bytes ReadStorage(platform::EmulatedStorage& storage, const std::u16string& path,
                  std::uint8_t storageType, std::size_t length) {
  Bytes out;
  constexpr std::size_t kPiece = 16384;
  for (std::size_t at = 0; at < length; at += kPiece) {
    const std::size_t n = std::min(kPiece, length - at);
    const std::size_t count = (n + 511) / 512;
    Bytes data(storageType == 1 ? n : count * 512);
    const Bytes cdb =
        storageType == 1
            ? testing::FlashCdb(0xE8,
                                {0x03, static_cast<std::uint8_t>(at >> 16),
                                 static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at)},
                                static_cast<std::uint16_t>(n))
            : testing::SectorCdb(0xE5, static_cast<std::uint32_t>(at / 512),
                                 static_cast<std::uint16_t>(count));
    const auto r = SendThrough(storage, path, cdb, data);
    if (!r || r->ScsiStatus != 0) return {};
    out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

// What the stamp of a section says: the window from the marker's first byte, up to its first zero
// byte, split at '_'; five fields give date and time (12 characters), anything else nothing.
std::string VersionIn(std::span<const std::uint8_t> section, std::string_view marker,
                      std::size_t window) {
  const auto hit = std::search(section.begin(), section.end(), marker.begin(), marker.end());
  if (hit == section.end()) return "";
  std::string text;
  for (auto it = hit; it != section.end() && text.size() < window && *it != 0; ++it) {
    text.push_back(static_cast<char>(*it));
  }
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == '_') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  if (fields.size() != 5) return "";
  return (fields[3] + fields[4]).substr(0, 12);
}

struct Header {
  std::uint16_t signature, vendorId, productId, fw1Pages, fw2Pages;
  bool operator==(const Header&) const = default;
};

Header ReadHeader(std::span<const std::uint8_t> b) {
  const auto le = [&](std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
  };
  const auto be = [&](std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
  };
  return {le(0), le(2), le(4), be(10), be(12)};
}

struct ExpectedDisk {
  bool refuses = false;  // CHECK CONDITION, illegal request, invalid opcode
  std::uint16_t vendorId = 0x3C51;
  std::uint16_t productId = 0x4D08;
  std::uint8_t storageType = 1;
  // Firmware storage: none for a blank chip (all 0xFF) or storage the bridge does not expose.
  std::optional<Header> header = std::nullopt;
  std::string fw1 = {};
  std::string fw2 = {};
  bool denied = false;  // the node refuses the user's open
};

const ExpectedDisk kOldFlash{
    false,          0x3C51,        0x4D08, 1, Header{0x2A7E, 0x3C51, 0x4D08, 96, 138},
    "201601150930", "201601150931"};

ExpectedDisk With(ExpectedDisk d, auto change) {
  change(d);
  return d;
}

const ExpectedDisk kCurrentFlash = With(kOldFlash, [](ExpectedDisk& d) {
  d.header = Header{0x2A7E, 0x3C51, 0x4D08, 100, 142};
  d.fw1 = "201703240218";
  d.fw2 = "201705170241";
});
const ExpectedDisk kOldSectors = With(kOldFlash, [](ExpectedDisk& d) { d.storageType = 2; });
const ExpectedDisk kCurrentSectors =
    With(kCurrentFlash, [](ExpectedDisk& d) { d.storageType = 2; });
const ExpectedDisk kRefuses{.refuses = true};

struct Expected {
  std::size_t usbDevices;
  std::vector<ExpectedDisk> disks;  // in tree order
};

const std::map<std::string_view, Expected>& Expectations() {
  static const std::map<std::string_view, Expected> table = {
      {"flash-old", {2, {kOldFlash}}},
      {"flash-current",
       {2,
        {With(kOldFlash,
              [](ExpectedDisk& d) {
                d.header = Header{0x2A7E, 0x3C51, 0x4D08, 100, 142};
                d.fw1 = "201703240218";
                d.fw2 = "201705170241";
              })}}},
      {"sector-old", {2, {With(kOldFlash, [](ExpectedDisk& d) { d.storageType = 2; })}}},
      {"two-readers",
       {3, {kOldFlash, With(kOldFlash, [](ExpectedDisk& d) { d.storageType = 2; })}}},
      {"no-reader", {3, {}}},
      {"no-usb", {0, {}}},
      {"foreign-disk", {2, {ExpectedDisk{.refuses = true}}}},
      {"blank-chip", {2, {ExpectedDisk{}}}},
      {"not-supported",
       {2,
        {With(kOldFlash,
              [](ExpectedDisk& d) {
                d.header = Header{0x2A7E, 0x2B7C, 0x0350, 96, 138};
              })}}},
      {"wrong-signature",
       {2, {With(kOldFlash, [](ExpectedDisk& d) { d.header->signature = 0x7E2A; })}}},
      {"deep-disk", {1, {kOldFlash}}},
      {"other-bridge",
       {1, {ExpectedDisk{.vendorId = 0x2B7C, .productId = 0x0350, .storageType = 3}}}},
      {"no-permission", {2, {ExpectedDisk{.denied = true}}}},
      {"eight-readers",
       {12,
        {kOldFlash, kOldSectors, kCurrentFlash, kOldFlash, kCurrentSectors, kOldFlash, kOldSectors,
         kCurrentFlash}}},
      {"sixty-four-devices",
       {64, {kOldFlash,   kCurrentFlash, kOldSectors,   kRefuses,      kOldFlash,   kCurrentFlash,
             kOldSectors, kRefuses,      kCurrentFlash, kOldSectors,   kOldSectors, kRefuses,
             kOldSectors, kRefuses,      kRefuses,      kOldSectors,   kRefuses,    kOldFlash,
             kOldFlash,   kOldSectors,   kRefuses,      kCurrentFlash, kOldSectors, kRefuses}}},
  };
  return table;
}

// Every scenario has expectations below, and every expected one exists.
TEST(Scenarios, NamesAndDescriptions) {
  const auto names = ScenarioNames();
  std::set<std::string_view> expected;
  for (const auto& entry : Expectations()) expected.insert(entry.first);
  EXPECT_EQ(std::set(names.begin(), names.end()), expected);
  EXPECT_EQ(expected.size(), names.size());  // no name twice
  for (const ScenarioInfo& info : Scenarios()) {
    EXPECT_FALSE(info.description.empty());
    EXPECT_EQ(info.description.find('\n'), std::string_view::npos);
    EXPECT_EQ(ScenarioDescription(info.name), info.description);
  }
  platform::VirtualClock clock;
  platform::EmulatedStorage storage;
  EXPECT_EQ(BuildScenario("flash-ancient", clock, platform::HostOn(storage)), nullptr);
  EXPECT_FALSE(ScenarioDescription("flash-ancient"));
}

TEST(Scenarios, ReadersAnswerAndHoldTheirFirmwareAsDescribed) {
  for (std::string_view name : ScenarioNames()) {
    SCOPED_TRACE(std::string(name));
    platform::VirtualClock clock;
    platform::EmulatedStorage storage;
    const auto machine = BuildScenario(name, clock, platform::HostOn(storage));
    ASSERT_NE(machine, nullptr);
    const Expected& expected = Expectations().at(name);
    EXPECT_EQ(machine->Present(InterfaceClass::kUsbDevice).size(), expected.usbDevices);

    const auto devices = machine->DiskDevices();
    ASSERT_EQ(devices.size(), expected.disks.size());
    EXPECT_EQ(storage.Paths().size(), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const ExpectedDisk& want = expected.disks[i];
      const std::u16string path = *machine->DiskPathOf(devices[i]);
      if (want.denied) {
        platform::ClearLastCause();
        EXPECT_EQ(storage.OpenDisk(path), nullptr);
        ASSERT_TRUE(platform::LastCause());
        EXPECT_EQ(platform::LastCause()->Describe(), "open: Permission denied (errno 13)");
        EXPECT_TRUE(platform::LastCause()->PermissionDenied());
        continue;
      }
      Bytes block(16);
      const auto id = SendThrough(storage, path, testing::IdentifyCdb(), block);
      ASSERT_TRUE(id);
      if (want.refuses) {
        EXPECT_EQ(id->ScsiStatus, 2);
        EXPECT_EQ(id->sense[2] & 0x0F, 0x05);
        EXPECT_EQ(id->sense[12], 0x20);
        continue;
      }
      ASSERT_EQ(id->ScsiStatus, 0);
      EXPECT_EQ(block[0] << 8 | block[1], want.vendorId);
      EXPECT_EQ(block[2] << 8 | block[3], want.productId);
      EXPECT_EQ(block[11], want.storageType);
      if (want.storageType == 3) continue;

      const Bytes head = ReadStorage(storage, path, want.storageType, 512);
      ASSERT_EQ(head.size(), 512u);
      if (!want.header) {
        EXPECT_EQ(head, Bytes(512, 0xFF));
        continue;
      }
      const Header h = ReadHeader(head);
      EXPECT_EQ(h, *want.header);  // printed as its bytes
      const std::size_t fw1 = h.fw1Pages * 256u, fw2 = h.fw2Pages * 256u;
      const Bytes all = ReadStorage(storage, path, want.storageType, 512 + fw1 + fw2);
      ASSERT_EQ(all.size(), 512 + fw1 + fw2);
      const std::span<const std::uint8_t> image(all);
      EXPECT_EQ(VersionIn(image.subspan(512, fw1), kFw1Marker, 52), want.fw1);
      EXPECT_EQ(VersionIn(image.subspan(512 + fw1, fw2), kFw2Marker, 68), want.fw2);
    }
  }
}

// ---- Firmware content ---------------------------------------------------------------------------

TEST(FirmwareContent, HeaderLayout) {
  FirmwareContentSpec spec;
  spec.usbVendorId = 0xABCD;
  spec.usbProductId = 0x1234;
  spec.fw1Pages = 0x0102;  // page counts high byte first, unlike the fields around them
  spec.fw2Pages = 3;
  spec.updateCounter = 0x0506;
  spec.manufacturer = u"AB";
  spec.product = u"C";
  spec.serialNumber = u"";
  const Bytes c = BuildFirmwareContent(spec);
  ASSERT_EQ(c.size(), 512u + (0x0102 + 3) * 256u);
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 16), Bytes({0x7E, 0x2A, 0xCD, 0xAB, 0x34, 0x12, 0, 0, 0, 0,
                                                     0x01, 0x02, 0x00, 0x03, 0x06, 0x05}));
  // Language list, then the strings as USB string descriptors (length, 3, UTF-16LE).
  EXPECT_EQ(Bytes(c.begin() + 16, c.begin() + 34),
            Bytes({4, 3, 0x09, 0x04, 6, 3, 'A', 0, 'B', 0, 4, 3, 'C', 0, 2, 3, 0xFF, 0xFF}));

  spec.signature = 0x7E2A;
  EXPECT_EQ(BuildFirmwareContent(spec)[0], 0x2A);
}

TEST(FirmwareContent, StampsFitTheirWindows) {
  FirmwareContentSpec spec;
  spec.fw1Stamp = Fw1Stamp("201601150930");
  spec.fw2Stamp = Fw2Stamp("201601150931");
  const Bytes c = BuildFirmwareContent(spec);
  const std::span<const std::uint8_t> fw1 = std::span(c).subspan(512, 100 * 256);
  const std::span<const std::uint8_t> fw2 = std::span(c).subspan(512 + 100 * 256, 142 * 256);

  // FW1: the 52-byte window ends right after the time; the text goes on with one more field.
  const auto at1 = std::search(fw1.begin(), fw1.end(), kFw1Marker.begin(), kFw1Marker.end());
  ASSERT_NE(at1, fw1.end());
  EXPECT_EQ(VersionIn(fw1, kFw1Marker, 52), "201601150930");
  EXPECT_EQ(VersionIn(fw1, kFw1Marker, 60), "");  // a longer window sees six fields

  // FW2: 66 characters, then zero bytes to the end of the 68-byte window.
  const auto at2 = std::search(fw2.begin(), fw2.end(), kFw2Marker.begin(), kFw2Marker.end());
  ASSERT_NE(at2, fw2.end());
  const std::string text2(at2, std::find(at2, fw2.end(), 0));
  EXPECT_EQ(text2.size(), 66u);
  EXPECT_EQ(*(at2 + 66), 0);
  EXPECT_EQ(*(at2 + 67), 0);
  EXPECT_EQ(VersionIn(fw2, kFw2Marker, 68), "201601150931");

  // Each marker once, in its own section only.
  EXPECT_EQ(std::search(at1 + 1, fw1.end(), kFw1Marker.begin(), kFw1Marker.end()), fw1.end());
  EXPECT_EQ(std::search(fw2.begin(), fw2.end(), kFw1Marker.begin(), kFw1Marker.end()), fw2.end());
  EXPECT_EQ(std::search(fw1.begin(), fw1.end(), kFw2Marker.begin(), kFw2Marker.end()), fw1.end());
}

TEST(FirmwareContent, ShortSectionsAndMissingStamps) {
  FirmwareContentSpec spec;
  spec.fw1Pages = 1;  // shorter than the stamp's usual offset: the stamp moves back
  spec.fw2Pages = 0;
  spec.fw1Stamp = Fw1Stamp("201703240218");
  const Bytes c = BuildFirmwareContent(spec);
  ASSERT_EQ(c.size(), 512u + 256u);
  EXPECT_EQ(VersionIn(std::span(c).subspan(512), kFw1Marker, 52), "201703240218");

  spec.fw1Stamp.reset();
  const Bytes bare = BuildFirmwareContent(spec);
  EXPECT_EQ(VersionIn(std::span(bare).subspan(512), kFw1Marker, 52), "");

  // Code bytes differ between seeds, so an old and a new image differ beyond their stamps.
  FirmwareContentSpec a, b;
  b.codeSeed = a.codeSeed + 1;
  const Bytes ca = BuildFirmwareContent(a), cb = BuildFirmwareContent(b);
  EXPECT_NE(Bytes(ca.begin() + 512, ca.begin() + 1024), Bytes(cb.begin() + 512, cb.begin() + 1024));
}

}  // namespace
}  // namespace tr350::emulator

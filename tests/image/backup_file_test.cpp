// The firmware backup file: round trip, and each kind of damage refused with its reason.
#include "image/backup_file.h"

#include <gtest/gtest.h>

#include <functional>

namespace tr350 {
namespace {

using namespace std::chrono;

// Content as a reader holds it: signature, 3C51:4D08, page counts (big-endian), counter 7, and
// bytes that differ from their neighbours so that a slipped offset shows.
std::vector<std::uint8_t> MakeContent(std::uint16_t fw1Pages, std::uint16_t fw2Pages) {
  std::vector<std::uint8_t> b(1024 + (std::size_t{fw1Pages} + fw2Pages) * 256);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  const std::uint8_t header[16] = {0x7E, 0x2A, 0x51, 0x3C, 0x08, 0x4D, 0, 0,
                                   0,    0,    0,    0,    0,    0,    7, 0};
  std::copy(std::begin(header), std::end(header), b.begin());
  b[10] = static_cast<std::uint8_t>(fw1Pages >> 8);
  b[11] = static_cast<std::uint8_t>(fw1Pages);
  b[12] = static_cast<std::uint8_t>(fw2Pages >> 8);
  b[13] = static_cast<std::uint8_t>(fw2Pages);
  return b;
}

Backup MakeBackup() {
  return {.created = sys_days{2024y / 5 / 1} + 12h + 34min + 56s,
          .usbPort = "usb1/1-2",
          .diskNode = "/dev/sg2",
          .flashPart = "W25Q40",
          .jedecId = 0xEF4013,
          .content = MakeContent(3, 2)};
}

void Replace(std::string& text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

TEST(BackupFile, RoundTripKeepsEveryFieldEvenHostileText) {
  Backup sectors = MakeBackup();
  // Text that would start a new key line, or end the value, if it were written raw.
  sectors.usbPort = "USB\\VID_3C51&PID_4D08\\5&1\ncrc32: 00000000\r\x01 \xE5\x8F\xB0";
  sectors.diskNode = "";
  sectors.flashPart = "sectors";
  sectors.jedecId.reset();
  for (const Backup& b : {MakeBackup(), sectors}) {
    const std::string text = FormatBackup(b);
    const OrError<Backup> parsed = ParseBackup(text);
    ASSERT_TRUE(parsed) << parsed.error;
    EXPECT_EQ(*parsed.value, b);
  }
  const std::string text = FormatBackup(MakeBackup());
  EXPECT_TRUE(text.starts_with("TR350 firmware backup 1\ncreated: 2024-05-01T12:34:56Z\n"));
  for (std::string_view line :
       {"vendor-id: 3c51\n", "product-id: 4d08\n", "jedec-id: ef4013\n", "update-counter: 7\n",
        "content-size: 2304\n", "fw1-pages: 3\n", "fw2-pages: 2\n", "00000020: e0e7eef5"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST(BackupFile, EditedFilesStillReadWhenOnlyLineEndsChanged) {
  std::string text = FormatBackup(MakeBackup());
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  crlf += "\r\n\r\n";  // blank lines at the end
  Replace(crlf, "disk-node: /dev/sg2", "note: added by hand\r\ndisk-node: /dev/sg2");
  const OrError<Backup> parsed = ParseBackup(crlf);
  ASSERT_TRUE(parsed) << parsed.error;
  EXPECT_EQ(*parsed.value, MakeBackup());
}

using Edit = std::function<void(std::string&)>;

Edit Swap(std::string from, std::string to) {
  return [=](std::string& text) { Replace(text, from, to); };
}

Edit ChangeContent(std::function<void(std::vector<std::uint8_t>&)> change) {
  return [=](std::string& text) {
    Backup b = MakeBackup();
    change(b.content);
    text = FormatBackup(b);
  };
}

TEST(BackupFile, EachKindOfDamageIsRefusedWithItsReason) {
  const struct {
    const char* name;
    Edit edit;
    std::string_view reason;
  } cases[] = {
      // clang-format off
      {"bad magic", Swap("firmware backup", "firmware dump"), "not a firmware backup"},
      {"unknown version", Swap("backup 1\n", "backup 2\n"), "version 2 is not supported"},
      {"missing key", Swap("fw2-pages: 2\n", ""), "\"fw2-pages\" is missing"},
      {"key twice", Swap("fw2-pages: 2\n", "fw2-pages: 2\nfw2-pages: 2\n"), "appears twice"},
      {"impossible date", Swap("2024-05-01", "2023-02-29"), "\"created\" has an invalid value"},
      {"bad escape", Swap("/dev/sg2", "/dev\\q"), "\"disk-node\" has an invalid value"},
      {"bad hex", Swap("00000000: 7e2a", "00000000: 7e2g"), "line 15: malformed hex"},
      {"odd hex", Swap("00000000: 7e2a", "00000000: 7e2"), "line 15: malformed hex"},
      {"line out of place", Swap("00000040:", "00000060:"), "address 00000060 where 00000040"},
      {"truncated content", [](std::string& t) { t.resize(t.size() / 2); }, "(truncated)"},
      {"truncated header", [](std::string& t) { t.resize(t.find("fw2")); }, "ends before its"},
      {"text after content", [](std::string& t) { t += "00000900: 00\n"; }, "line 87: unexpected"},
      {"size vs page counts", ChangeContent([](auto& c) { c.resize(c.size() + 256); }),
       "content-size 2560 does not match the page counts (FW1 3, FW2 2 make 2304 bytes)"},
      {"huge size", Swap("size: 2304", "size: 99999999999999999999"), "does not match the page"},
      {"blank reader", ChangeContent([](auto& c) { c[0] = c[1] = 0xFF; }), "signature is ffff"},
      {"other product", ChangeContent([](auto& c) { c[4] = 0x09; }),
       "USB identity is 3c51:4d09, not the supported 3c51:4d08"},
      {"recorded identity edited", Swap("id: 4d08", "id: 4d09"),
       "recorded USB identity 3c51:4d09 differs from the header's 3c51:4d08"},
      {"checksum", Swap("00000500: 05", "00000500: 06"), "checksum mismatch"},  // in FW1
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = FormatBackup(MakeBackup());
    c.edit(text);
    const OrError<Backup> parsed = ParseBackup(text);
    EXPECT_FALSE(parsed);
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << parsed.error;
  }
}

TEST(BackupFile, ContentCheckForABackupMadeInMemory) {
  EXPECT_EQ(ValidateBackupContent(MakeContent(100, 142)), "");
  EXPECT_EQ(ValidateBackupContent(std::vector<std::uint8_t>(100)),
            "the content is 100 bytes, shorter than the 512-byte header");
  std::vector<std::uint8_t> cut = MakeContent(100, 142);
  cut.resize(cut.size() - 512);  // the configuration block missing
  EXPECT_NE(ValidateBackupContent(cut).find("announce 62976"), std::string::npos);
}

TEST(BackupFile, Crc32AndUtcTimes) {
  const std::string_view check = "123456789";
  EXPECT_EQ(Crc32(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())),
            0xCBF43926u);
  const sys_seconds leapDay = sys_days{2024y / 2 / 29} + 23h + 59min + 59s;
  EXPECT_EQ(FormatUtc(leapDay), "2024-02-29T23:59:59Z");
  EXPECT_EQ(ParseUtc("2024-02-29T23:59:59Z"), leapDay);
  for (std::string_view bad :
       {"2024-02-29 23:59:59Z", "2024-02-29T24:00:00Z", "2024-13-01T00:00:00Z",
        "2024-02-29T23:59:59", "+024-02-29T23:59:59Z"}) {
    EXPECT_FALSE(ParseUtc(bad)) << bad;
  }
}

}  // namespace
}  // namespace tr350

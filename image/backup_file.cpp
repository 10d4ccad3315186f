// The firmware backup file: writer, validating parser, content check and CRC-32.
#include "image/backup_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "image/byte_order.h"

namespace tr350 {
namespace {

using namespace std::string_view_literals;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr std::string_view kHexDigits = "0123456789abcdef";

void AppendHex(std::string& out, std::uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) out += kHexDigits[(value >> (4 * i)) & 0xF];
}

std::string Hex(std::uint64_t value, int digits) {
  std::string s;
  AppendHex(s, value, digits);
  return s;
}

void AppendDecimal(std::string& out, std::uint64_t value, int width) {
  const std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) {
    out.append(static_cast<std::size_t>(width) - digits.size(), '0');
  }
  out += digits;
}

std::string UsbId(std::uint16_t vendor, std::uint16_t product) {
  std::string s;
  AppendHex(s, vendor, 4);
  s += ':';
  AppendHex(s, product, 4);
  return s;
}

int NibbleOf(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole text as an unsigned number no larger than `max`; no sign, space or prefix.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, int base, T max) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || stop != end || value > max) return std::nullopt;
  return value;
}

// Free text on one line: backslash and control characters escaped, other bytes (UTF-8) kept.
std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      AppendHex(out, byte, 2);
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && NibbleOf(text[i + 2]) >= 0 &&
               NibbleOf(text[i + 3]) >= 0) {
      out += static_cast<char>(NibbleOf(text[i + 2]) * 16 + NibbleOf(text[i + 3]));
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// Splits the text into lines; a CR before the LF is dropped, a final LF ends the last line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : m_text(text) {}

  bool Next(std::string_view& line) {
    if (m_pos >= m_text.size()) return false;
    std::size_t end = m_text.find('\n', m_pos);
    m_cut = end == std::string_view::npos;
    if (m_cut) end = m_text.size();
    line = m_text.substr(m_pos, end - m_pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    m_pos = end + 1;
    ++m_number;
    return true;
  }

  std::string At() const { return "line " + std::to_string(m_number) + ": "; }

  // The last line had no line end: a complaint about it most likely means the file was cut.
  std::string Complaint(std::string_view what) const {
    if (m_cut) {
      return "the file ends in the middle of line " + std::to_string(m_number) + " (truncated)";
    }
    return At() + std::string(what);
  }

 private:
  std::string_view m_text;
  std::size_t m_pos = 0;
  std::size_t m_number = 0;
  bool m_cut = false;
};

enum class Key : std::size_t {
  kCreated,
  kUsbPort,
  kDiskNode,
  kVendorId,
  kProductId,
  kFlashPart,
  kJedecId,
  kUpdateCounter,
  kContentSize,
  kFw1Pages,
  kFw2Pages,
  kCrc32,
  kCount
};

constexpr std::array<std::string_view, static_cast<std::size_t>(Key::kCount)> kKeyNames = {
    "created",  "usb-port",       "disk-node",    "vendor-id", "product-id", "flash-part",
    "jedec-id", "update-counter", "content-size", "fw1-pages", "fw2-pages",  "crc32"};

constexpr std::string_view kContentLine = "content:";

OrError<Backup> Fail(std::string message) {
  return {std::nullopt, std::move(message)};
}

// The key lines up to `content:`, each known key at most once.
struct Fields {
  std::array<std::optional<std::string_view>, static_cast<std::size_t>(Key::kCount)> values;
  std::string_view Get(Key key) const { return *values[static_cast<std::size_t>(key)]; }
};

std::string ReadFields(LineReader& lines, Fields& fields) {
  std::string_view line;
  while (lines.Next(line)) {
    if (line == kContentLine) {
      for (std::size_t k = 0; k < kKeyNames.size(); ++k) {
        if (!fields.values[k]) {
          return "the required field \"" + std::string(kKeyNames[k]) + "\" is missing";
        }
      }
      return {};
    }
    // An empty value may have lost its space after the colon to an editor.
    const std::size_t colon = line.find(':');
    const bool spaced = colon != std::string_view::npos && line.substr(colon + 1, 1) == " ";
    if (colon == 0 || colon == std::string_view::npos || (!spaced && colon + 1 != line.size())) {
      return lines.Complaint("expected \"key: value\" or \"content:\"");
    }
    const std::string_view key = line.substr(0, colon);
    for (std::size_t k = 0; k < kKeyNames.size(); ++k) {
      if (kKeyNames[k] != key) continue;
      if (fields.values[k]) {
        return lines.At() + "the field \"" + std::string(key) + "\" appears twice";
      }
      fields.values[k] = line.substr(std::min(colon + 2, line.size()));
    }
  }
  return "the file ends before its content (truncated)";
}

// One content line "AAAAAAAA: hexbytes" appended to `content`, which must not grow past `size`.
std::string ReadContentLine(const LineReader& lines, std::string_view line, std::size_t size,
                            std::vector<std::uint8_t>& content) {
  const auto address = line.size() >= 10 && line.substr(8, 2) == ": "sv
                           ? ParseNumber<std::uint32_t>(line.substr(0, 8), 16, 0xFFFFFFFF)
                           : std::nullopt;
  if (!address) return lines.Complaint("expected \"address: hex bytes\"");
  if (*address != content.size()) {
    return lines.At() + "address " + Hex(*address, 8) + " where " + Hex(content.size(), 8) +
           " was expected";
  }
  const std::string_view hex = line.substr(10);
  const std::size_t count = hex.size() / 2;
  if (hex.empty() || hex.size() % 2 != 0 || count > kBackupBytesPerLine) {
    return lines.Complaint("malformed hex bytes");
  }
  if (count > size - content.size()) return lines.At() + "more content than content-size announces";
  for (std::size_t i = 0; i < count; ++i) {
    const int high = NibbleOf(hex[2 * i]);
    const int low = NibbleOf(hex[2 * i + 1]);
    if (high < 0 || low < 0) return lines.At() + "malformed hex bytes";
    content.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return {};
}

}  // namespace

std::optional<BackupHeaderFields> ReadHeaderFields(std::span<const std::uint8_t> content) {
  if (content.size() < kImageHeaderSize) return std::nullopt;
  return BackupHeaderFields{
      LoadLe16(content, kHeaderSignatureOffset), LoadLe16(content, kHeaderVendorIdOffset),
      LoadLe16(content, kHeaderProductIdOffset), LoadBe16(content, kHeaderFw1PagesOffset),
      LoadBe16(content, kHeaderFw2PagesOffset),  LoadLe16(content, kHeaderUpdateCounterOffset)};
}

std::size_t AnnouncedContentSize(const BackupHeaderFields& fields) {
  return kImageHeaderSize + (std::size_t{fields.fw1Pages} + fields.fw2Pages) * kImagePageSize +
         kConfigBlockSize;
}

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string ValidateBackupContent(std::span<const std::uint8_t> content) {
  const auto fields = ReadHeaderFields(content);
  if (!fields) {
    return "the content is " + std::to_string(content.size()) +
           " bytes, shorter than the 512-byte header";
  }
  if (fields->signature != kHeaderSignature) {
    return "the header's signature is " + Hex(fields->signature, 4) +
           ", not 2a7e: the firmware is blank or damaged";
  }
  if (fields->vendorId != kBackupVendorId || fields->productId != kBackupProductId) {
    return "the header's USB identity is " + UsbId(fields->vendorId, fields->productId) +
           ", not the supported " + UsbId(kBackupVendorId, kBackupProductId);
  }
  const std::size_t announced = AnnouncedContentSize(*fields);
  if (content.size() != announced) {
    return "the content is " + std::to_string(content.size()) +
           " bytes but the header's page counts (FW1 " + std::to_string(fields->fw1Pages) +
           ", FW2 " + std::to_string(fields->fw2Pages) + ") announce " + std::to_string(announced);
  }
  return {};
}

std::string FormatUtc(std::chrono::sys_seconds time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clock{time - day};
  std::string s;
  const int year = static_cast<int>(date.year());
  if (year < 0) s += '-';
  AppendDecimal(s, static_cast<std::uint64_t>(year < 0 ? -year : year), 4);
  s += '-';
  AppendDecimal(s, static_cast<unsigned>(date.month()), 2);
  s += '-';
  AppendDecimal(s, static_cast<unsigned>(date.day()), 2);
  s += 'T';
  AppendDecimal(s, static_cast<std::uint64_t>(clock.hours().count()), 2);
  s += ':';
  AppendDecimal(s, static_cast<std::uint64_t>(clock.minutes().count()), 2);
  s += ':';
  AppendDecimal(s, static_cast<std::uint64_t>(clock.seconds().count()), 2);
  s += 'Z';
  return s;
}

std::optional<std::chrono::sys_seconds> ParseUtc(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ, every separator in place.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const auto year = ParseNumber<unsigned>(text.substr(0, 4), 10, 9999);
  const auto month = ParseNumber<unsigned>(text.substr(5, 2), 10, 12);
  const auto day = ParseNumber<unsigned>(text.substr(8, 2), 10, 31);
  const auto hour = ParseNumber<unsigned>(text.substr(11, 2), 10, 23);
  const auto minute = ParseNumber<unsigned>(text.substr(14, 2), 10, 59);
  const auto second = ParseNumber<unsigned>(text.substr(17, 2), 10, 59);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{static_cast<int>(*year)},
                                         std::chrono::month{*month}, std::chrono::day{*day}};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days{date} + std::chrono::hours{*hour} + std::chrono::minutes{*minute} +
         std::chrono::seconds{*second};
}

std::string FormatBackup(const Backup& backup) {
  const BackupHeaderFields header = ReadHeaderFields(backup.content).value_or(BackupHeaderFields{});
  std::string s;
  s.reserve(512 + backup.content.size() * 2 + backup.content.size() / kBackupBytesPerLine * 11);
  s += kBackupMagic;
  s += ' ' + std::to_string(kBackupFormatVersion) + '\n';
  s += "created: " + FormatUtc(backup.created) + '\n';
  s += "usb-port: " + Escape(backup.usbPort) + '\n';
  s += "disk-node: " + Escape(backup.diskNode) + '\n';
  s += "vendor-id: " + Hex(header.vendorId, 4) + '\n';
  s += "product-id: " + Hex(header.productId, 4) + '\n';
  s += "flash-part: " + Escape(backup.flashPart) + '\n';
  s += "jedec-id: " +
       (backup.jedecId ? Hex(*backup.jedecId, *backup.jedecId > 0xFFFFFF ? 8 : 6)
                       : std::string("none")) +
       '\n';
  s += "update-counter: " + std::to_string(header.updateCounter) + '\n';
  s += "content-size: " + std::to_string(backup.content.size()) + '\n';
  s += "fw1-pages: " + std::to_string(header.fw1Pages) + '\n';
  s += "fw2-pages: " + std::to_string(header.fw2Pages) + '\n';
  s += "crc32: " + Hex(Crc32(backup.content), 8) + '\n';
  s += kContentLine;
  s += '\n';
  for (std::size_t at = 0; at < backup.content.size(); at += kBackupBytesPerLine) {
    AppendHex(s, at, 8);
    s += ": ";
    const std::size_t end = std::min(at + kBackupBytesPerLine, backup.content.size());
    for (std::size_t i = at; i < end; ++i) AppendHex(s, backup.content[i], 2);
    s += '\n';
  }
  return s;
}

OrError<Backup> ParseBackup(std::string_view text) {
  if (text.size() > kMaxBackupFileSize) {
    return Fail("the file is " + std::to_string(text.size()) + " bytes, larger than any backup (" +
                std::to_string(kMaxBackupFileSize) + ")");
  }
  LineReader lines(text);
  std::string_view line;
  const std::string magicLine =
      std::string(kBackupMagic) + ' ' + std::to_string(kBackupFormatVersion);
  if (!lines.Next(line) || line != magicLine) {
    const std::string prefix = std::string(kBackupMagic) + ' ';
    if (line.starts_with(prefix) && ParseNumber<unsigned>(line.substr(prefix.size()), 10, 999999)) {
      return Fail("the backup format version " + std::string(line.substr(prefix.size())) +
                  " is not supported (this program reads version " +
                  std::to_string(kBackupFormatVersion) + ")");
    }
    return Fail("not a firmware backup: the first line is not \"" + magicLine + "\"");
  }

  Fields fields;
  if (std::string error = ReadFields(lines, fields); !error.empty()) return Fail(std::move(error));
  auto invalid = [](Key key) {
    return Fail("the field \"" + std::string(kKeyNames[static_cast<std::size_t>(key)]) +
                "\" has an invalid value");
  };

  Backup backup;
  const auto created = ParseUtc(fields.Get(Key::kCreated));
  if (!created) return invalid(Key::kCreated);
  backup.created = *created;
  const std::pair<Key, std::string*> texts[] = {{Key::kUsbPort, &backup.usbPort},
                                                {Key::kDiskNode, &backup.diskNode},
                                                {Key::kFlashPart, &backup.flashPart}};
  for (const auto& [key, target] : texts) {
    auto value = Unescape(fields.Get(key));
    if (!value) return invalid(key);
    *target = std::move(*value);
  }
  if (fields.Get(Key::kJedecId) != "none") {
    backup.jedecId = ParseNumber<std::uint32_t>(fields.Get(Key::kJedecId), 16, 0xFFFFFFFF);
    if (!backup.jedecId) return invalid(Key::kJedecId);
  }
  BackupHeaderFields recorded;
  const std::pair<Key, std::uint16_t*> words[] = {{Key::kVendorId, &recorded.vendorId},
                                                  {Key::kProductId, &recorded.productId},
                                                  {Key::kUpdateCounter, &recorded.updateCounter},
                                                  {Key::kFw1Pages, &recorded.fw1Pages},
                                                  {Key::kFw2Pages, &recorded.fw2Pages}};
  for (const auto& [key, target] : words) {
    const bool hex = key == Key::kVendorId || key == Key::kProductId;
    const auto value = ParseNumber<std::uint16_t>(fields.Get(key), hex ? 16 : 10, 0xFFFF);
    if (!value) return invalid(key);
    *target = *value;
  }
  const auto crc = fields.Get(Key::kCrc32).size() == 8
                       ? ParseNumber<std::uint32_t>(fields.Get(Key::kCrc32), 16, 0xFFFFFFFF)
                       : std::nullopt;
  if (!crc) return invalid(Key::kCrc32);
  const auto size =
      ParseNumber<std::size_t>(fields.Get(Key::kContentSize), 10, kMaxBackupContentSize);
  const std::size_t announced = AnnouncedContentSize(recorded);
  // Checked before anything is allocated for the content.
  if (!size || *size != announced) {
    return Fail("content-size " + std::string(fields.Get(Key::kContentSize)) +
                " does not match the page counts (FW1 " + std::to_string(recorded.fw1Pages) +
                ", FW2 " + std::to_string(recorded.fw2Pages) + " make " +
                std::to_string(announced) + " bytes)");
  }

  backup.content.reserve(std::min(*size, text.size() / 2));  // a short file cannot claim much
  while (backup.content.size() < *size) {
    if (!lines.Next(line)) {
      return Fail("the content ends after " + std::to_string(backup.content.size()) + " of " +
                  std::to_string(*size) + " bytes (truncated)");
    }
    if (std::string error = ReadContentLine(lines, line, *size, backup.content); !error.empty()) {
      return Fail(std::move(error));
    }
  }
  while (lines.Next(line)) {
    if (!line.empty()) return Fail(lines.At() + "unexpected text after the content");
  }

  const std::uint32_t actualCrc = Crc32(backup.content);
  if (actualCrc != *crc) {
    return Fail("checksum mismatch: the file records crc32 " + Hex(*crc, 8) +
                " but the content gives " + Hex(actualCrc, 8) + "; the file is damaged");
  }
  if (std::string error = ValidateBackupContent(backup.content); !error.empty()) {
    return Fail(std::move(error));
  }
  const BackupHeaderFields header = *ReadHeaderFields(backup.content);
  if (header.vendorId != recorded.vendorId || header.productId != recorded.productId) {
    return Fail("the recorded USB identity " + UsbId(recorded.vendorId, recorded.productId) +
                " differs from the header's " + UsbId(header.vendorId, header.productId));
  }
  if (header.fw1Pages != recorded.fw1Pages || header.fw2Pages != recorded.fw2Pages ||
      header.updateCounter != recorded.updateCounter) {
    return Fail("the recorded page counts or update counter differ from the header's");
  }
  return {std::move(backup), {}};
}

}  // namespace tr350

// The firmware storage content of an emulated reader: header fields, string descriptors, code
// bytes and the build stamps, laid out as the reader's firmware lays them out.
#include "emulator/firmware_content.h"

#include <algorithm>

#include "emulator/byte_order.h"

namespace tr350::emulator {
namespace {

constexpr std::string_view kFw1Tail = "TR350";
constexpr std::string_view kFw2Tail = "5A1C00420042";
constexpr std::size_t kMaxDescriptor = 254;  // bLength is one byte and counts whole UTF-16 units

// One USB string descriptor at `at`, cut to what fits before `end`; returns the next offset.
std::size_t PutStringDescriptor(std::span<std::uint8_t> b, std::size_t at, std::size_t end,
                                std::u16string_view text) {
  if (at + 2 > end) return at;
  const std::size_t room = std::min(end - at, kMaxDescriptor);
  const std::size_t units = std::min(text.size(), (room - 2) / 2);
  b[at] = static_cast<std::uint8_t>(2 + units * 2);
  b[at + 1] = 0x03;
  for (std::size_t i = 0; i < units; ++i) StoreLe16(b, at + 2 + i * 2, text[i]);
  return at + 2 + units * 2;
}

constexpr std::size_t kConfigSize = 512;

void BuildHeader(const FirmwareContentSpec& spec, std::span<std::uint8_t> h) {
  std::ranges::fill(h, std::uint8_t{0xFF});
  StoreLe16(h, 0, spec.signature);
  StoreLe16(h, 2, spec.usbVendorId);
  StoreLe16(h, 4, spec.usbProductId);
  std::fill_n(h.begin() + 6, 4, std::uint8_t{0});
  StoreBe16(h, 10, spec.fw1Pages);
  StoreBe16(h, 12, spec.fw2Pages);
  StoreLe16(h, 14, spec.updateCounter);
  // Language list (0x0409), then manufacturer, product and serial number.
  const std::uint8_t languages[4] = {0x04, 0x03, 0x09, 0x04};
  std::ranges::copy(languages, h.begin() + 16);
  std::size_t at = 20;
  at = PutStringDescriptor(h, at, h.size(), spec.manufacturer);
  at = PutStringDescriptor(h, at, h.size(), spec.product);
  PutStringDescriptor(h, at, h.size(), spec.serialNumber);
}

// Code bytes: a xorshift stream, so that no two positions (and no two seeds) look alike.
void FillCode(std::span<std::uint8_t> code, std::uint32_t seed) {
  std::uint32_t x = seed * 2654435761u + 0x6D2B79F5u;
  if (x == 0) x = 1;
  for (std::uint8_t& byte : code) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
}

// Places `text` followed by `zeros` zero bytes at `offset`, moved back to fit the section.
void PlaceStamp(std::span<std::uint8_t> section, std::size_t offset, std::string_view text,
                std::size_t zeros) {
  const std::size_t needed = text.size() + zeros;
  if (needed > section.size()) return;
  const std::size_t at = std::min(offset, section.size() - needed);
  std::ranges::copy(text, section.begin() + static_cast<std::ptrdiff_t>(at));
  std::fill_n(section.begin() + static_cast<std::ptrdiff_t>(at + text.size()), zeros,
              std::uint8_t{0});
}

VersionStamp Split(std::string_view version, std::string_view tail) {
  VersionStamp s;
  s.date = std::string(version.substr(0, 8));
  s.time = std::string(version.substr(std::min<std::size_t>(8, version.size())));
  s.tail = std::string(tail);
  return s;
}

}  // namespace

VersionStamp Fw1Stamp(std::string_view version) {
  return Split(version, kFw1Tail);
}

VersionStamp Fw2Stamp(std::string_view version) {
  return Split(version, kFw2Tail);
}

std::string Fw1StampText(const VersionStamp& s) {
  return std::string(kFw1Marker) + "_" + s.chip + "_" + s.build + "_" + s.date + "_" + s.time +
         "_" + s.tail;
}

std::string Fw2StampText(const VersionStamp& s) {
  return std::string(kFw2Marker) + "_" + s.chip + "_" + s.build + "_" + s.date + "_" + s.time +
         s.tail;
}

namespace {

// A reader programmed with a release image holds its own header (identity, counter, strings) with
// the page counts of the image's sections raised to even numbers, each section padded with 0xFF to
// its count, then the image's configuration block with the counter's copy (little-endian at 0),
// the 16-bit sum of the header bytes (big-endian at 2) and from byte 6 the two versions as packed
// digits, each field a length byte that counts itself followed by two digits per byte.
std::vector<std::uint8_t> ProgrammedContent(const FirmwareContentSpec& spec) {
  const std::span<const std::uint8_t> image(spec.release);
  if (image.size() < kFirmwareHeaderSize) return {};
  const auto pagesAt = [&](std::size_t at) { return std::size_t{LoadBe16(image, at)}; };
  const std::size_t fw1Bytes = pagesAt(10) * kFirmwarePageSize;
  const std::size_t fw2Bytes = pagesAt(12) * kFirmwarePageSize;
  if (image.size() < kFirmwareHeaderSize + fw1Bytes + fw2Bytes) return {};
  const auto even = [](std::size_t pages) { return pages + pages % 2; };
  FirmwareContentSpec header = spec;
  header.fw1Pages = static_cast<std::uint16_t>(even(pagesAt(10)));
  header.fw2Pages = static_cast<std::uint16_t>(even(pagesAt(12)));
  const std::size_t fw1Span = std::size_t{header.fw1Pages} * kFirmwarePageSize;
  const std::size_t fw2Span = std::size_t{header.fw2Pages} * kFirmwarePageSize;
  const std::size_t configAt = kFirmwareHeaderSize + fw1Span + fw2Span;
  std::vector<std::uint8_t> content(configAt + kConfigSize, 0xFF);
  const std::span<std::uint8_t> all(content);
  BuildHeader(header, all.first(kFirmwareHeaderSize));
  std::ranges::copy(image.subspan(kFirmwareHeaderSize, fw1Bytes),
                    all.begin() + kFirmwareHeaderSize);
  std::ranges::copy(image.subspan(kFirmwareHeaderSize + fw1Bytes, fw2Bytes),
                    all.begin() + static_cast<std::ptrdiff_t>(kFirmwareHeaderSize + fw1Span));

  const std::span<std::uint8_t> config = all.subspan(configAt, kConfigSize);
  const std::size_t imageConfigAt = kFirmwareHeaderSize + fw1Bytes + fw2Bytes;
  if (image.size() >= imageConfigAt + kConfigSize) {
    std::ranges::copy(image.subspan(imageConfigAt, kConfigSize), config.begin());
  }
  StoreLe16(config, 0, spec.updateCounter);
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < kFirmwareHeaderSize; ++i)
    sum = static_cast<std::uint16_t>(sum + content[i]);
  StoreBe16(config, 2, sum);
  std::size_t field = 6;
  for (const auto& stamp : {spec.fw1Stamp, spec.fw2Stamp}) {
    const std::string digits = stamp ? stamp->date + stamp->time : std::string();
    const std::size_t packed = digits.size() / 2;
    if (field + 1 + packed > kConfigSize) break;
    config[field] = static_cast<std::uint8_t>(packed + 1);
    for (std::size_t i = 0; i < packed; ++i) {
      config[field + 1 + i] =
          static_cast<std::uint8_t>(((digits[2 * i] - '0') << 4) | (digits[2 * i + 1] - '0'));
    }
    field += packed + 1;
  }
  return content;
}

}  // namespace

std::vector<std::uint8_t> BuildFirmwareContent(const FirmwareContentSpec& spec) {
  if (!spec.release.empty()) {
    if (std::vector<std::uint8_t> content = ProgrammedContent(spec); !content.empty()) {
      return content;
    }
  }
  const std::size_t fw1Size = std::size_t{spec.fw1Pages} * kFirmwarePageSize;
  const std::size_t fw2Size = std::size_t{spec.fw2Pages} * kFirmwarePageSize;
  std::vector<std::uint8_t> content(kFirmwareHeaderSize + fw1Size + fw2Size);
  const std::span<std::uint8_t> all(content);
  BuildHeader(spec, all.first(kFirmwareHeaderSize));

  const auto fw1 = all.subspan(kFirmwareHeaderSize, fw1Size);
  const auto fw2 = all.subspan(kFirmwareHeaderSize + fw1Size, fw2Size);
  FillCode(fw1, spec.codeSeed);
  FillCode(fw2, spec.codeSeed ^ 0xA5A5A5A5u);
  if (spec.fw1Stamp) PlaceStamp(fw1, spec.fw1StampOffset, Fw1StampText(*spec.fw1Stamp), 1);
  if (spec.fw2Stamp) {
    // The text and its zero padding fill the whole window (at least one zero after the text).
    const std::string text = Fw2StampText(*spec.fw2Stamp);
    const std::size_t zeros = text.size() < kFw2StampWindow ? kFw2StampWindow - text.size() : 1;
    PlaceStamp(fw2, spec.fw2StampOffset, text, zeros);
  }
  return content;
}

std::vector<std::uint8_t> BlankFirmwareContent(std::size_t size) {
  return std::vector<std::uint8_t>(size, 0xFF);
}

bool InstallFirmwareContent(Reader& reader, std::span<const std::uint8_t> content) {
  if (reader.HasFlash()) {
    reader.PresetFlash(0, content);
    return true;
  }
  if (reader.HasSectors()) {
    reader.PresetSectors(0, content);
    return true;
  }
  return false;
}

}  // namespace tr350::emulator

// Parsing and preparation of firmware images.
#include "image/firmware_image.h"

#include <algorithm>

#include "image/byte_order.h"

namespace tr350 {
namespace {

std::uint32_t PagesAt(std::span<const std::uint8_t, kImageHeaderSize> header, std::size_t offset) {
  return LoadBe16(header, offset);
}

constexpr std::array<std::uint8_t, kImageHeaderSize> MakeDefaultHeader() {
  std::array<std::uint8_t, kImageHeaderSize> h{};
  h[kHeaderSignatureOffset] = 0x7E;
  h[kHeaderSignatureOffset + 1] = 0x2A;
  h[kHeaderVendorIdOffset] = 0x51;
  h[kHeaderVendorIdOffset + 1] = 0x3C;
  h[kHeaderProductIdOffset] = 0x08;
  h[kHeaderProductIdOffset + 1] = 0x4D;
  // Only the language list (English, United States) among the string descriptors.
  h[kHeaderStringsOffset] = 0x04;
  h[kHeaderStringsOffset + 1] = 0x03;
  h[kHeaderStringsOffset + 2] = 0x09;
  h[kHeaderStringsOffset + 3] = 0x04;
  return h;
}

constexpr std::array<std::uint8_t, kImageHeaderSize> kDefaultHeader = MakeDefaultHeader();

// Hex digit value; other characters count as 0 (version texts are digit strings).
std::uint8_t NibbleOf(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<std::uint8_t>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<std::uint8_t>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<std::uint8_t>(c - u'a' + 10);
  return 0;
}

}  // namespace

FirmwareImage::FirmwareImage() {
  ResetImage(*this);
}

const std::array<std::uint8_t, kImageHeaderSize>& DefaultHeader() {
  return kDefaultHeader;
}

void ResetImage(FirmwareImage& image) {
  image.configBlock.fill(0xFF);
  image.header = kDefaultHeader;
  image.fw1Data = {};
  image.fw2Data = {};
  image.fw1Size = 0;
  image.fw2Size = 0;
}

std::uint32_t Fw1SizeOf(std::span<const std::uint8_t, kImageHeaderSize> header) {
  return PagesAt(header, kHeaderFw1PagesOffset) * kImagePageSize;
}

std::uint32_t Fw2SizeOf(std::span<const std::uint8_t, kImageHeaderSize> header) {
  return PagesAt(header, kHeaderFw2PagesOffset) * kImagePageSize;
}

std::uint32_t Fw1Size(FirmwareImage& image) {
  return image.fw1Size = Fw1SizeOf(image.header);
}

std::uint32_t Fw2Size(FirmwareImage& image) {
  return image.fw2Size = Fw2SizeOf(image.header);
}

bool ParseImage(FirmwareImage& image, std::span<const std::uint8_t> bytes) {
  const std::size_t length = bytes.size();
  if (bytes.data() == nullptr || (length < kImageHeaderSize && length != kShortHeaderSize)) {
    return false;
  }

  // Work out the new header first so that a refused image leaves the record as it was.
  std::array<std::uint8_t, kImageHeaderSize> header = image.header;
  std::copy_n(bytes.begin(), std::min(length, kImageHeaderSize), header.begin());
  const std::size_t fw1 = Fw1SizeOf(header);
  const std::size_t fw2 = Fw2SizeOf(header);
  const std::size_t sectionsEnd = kImageHeaderSize + fw1 + fw2;
  const bool headerOnly = length <= kImageHeaderSize && fw1 == 0 && fw2 == 0;
  if (!headerOnly) {
    if (length < sectionsEnd) return false;  // announced sections missing
    // A partial configuration block is a damaged image: writing it padded would put bytes into
    // the reader that nobody chose, so it is refused.
    const std::size_t trailing = length - sectionsEnd;
    if (trailing != 0 && trailing < kConfigBlockSize) return false;
  }

  image.header = header;
  image.fw1Data.assign(bytes.begin() + kImageHeaderSize,
                       bytes.begin() + static_cast<std::ptrdiff_t>(kImageHeaderSize + fw1));
  image.fw1Size = static_cast<std::uint32_t>(fw1);
  image.fw2Data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(kImageHeaderSize + fw1),
                       bytes.begin() + static_cast<std::ptrdiff_t>(sectionsEnd));
  image.fw2Size = static_cast<std::uint32_t>(fw2);
  if (!headerOnly) {
    image.configBlock.fill(0xFF);
    if (length > sectionsEnd) {
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(sectionsEnd), kConfigBlockSize,
                  image.configBlock.begin());
    }
  }
  return true;
}

void SetConfigBlock(FirmwareImage& image, std::span<const std::uint8_t> source) {
  image.configBlock.fill(0xFF);
  if (source.data() == nullptr) return;
  std::copy_n(source.begin(), std::min(source.size(), kConfigBlockSize), image.configBlock.begin());
}

bool CopyConfigBlockTo(const FirmwareImage& image, std::span<std::uint8_t> destination) {
  if (destination.data() == nullptr || destination.size() < kConfigBlockSize) return false;
  std::copy(image.configBlock.begin(), image.configBlock.end(), destination.begin());
  return true;
}

void UpdateHeaderChecksum(FirmwareImage& image) {
  std::uint16_t sum = 0;
  for (std::uint8_t b : image.header) sum = static_cast<std::uint16_t>(sum + b);
  image.configBlock[kConfigChecksumOffset] = static_cast<std::uint8_t>(sum >> 8);
  image.configBlock[kConfigChecksumOffset + 1] = static_cast<std::uint8_t>(sum & 0xFF);
}

bool PutVersionField(FirmwareImage& image, int kind, std::u16string_view text) {
  std::size_t lengthPos = 0;
  if (kind == 1) {
    lengthPos = kConfigVersionsOffset;
  } else if (kind == 2) {
    // Right after the FW1 field written before; its length byte counts itself.
    lengthPos = kConfigVersionsOffset + image.configBlock[kConfigVersionsOffset];
  } else {
    return false;
  }
  const std::size_t digits = text.size() / 2;  // a last unpaired character is ignored
  // The length byte must hold D + 1 and the whole field must stay inside the block, whatever
  // the text and whatever the block held before.
  if (digits + 1 > 0xFF || lengthPos + 1 + digits > kConfigBlockSize) return false;

  image.configBlock[lengthPos] = static_cast<std::uint8_t>(digits + 1);
  for (std::size_t i = 0; i < digits; ++i) {
    image.configBlock[lengthPos + 1 + i] =
        static_cast<std::uint8_t>((NibbleOf(text[2 * i]) << 4) | NibbleOf(text[2 * i + 1]));
  }
  return true;
}

bool ReplaceFw1(FirmwareImage& image, std::span<const std::uint8_t> bytes) {
  if (bytes.data() == nullptr || bytes.empty()) return false;
  image.fw1Data.assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace tr350

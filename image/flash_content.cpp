// Assembly of the flash content an update writes, and the comparison the check makes with it.
#include "image/flash_content.h"

#include <algorithm>

#include "image/byte_order.h"

namespace tr350 {
namespace {

constexpr std::uint32_t kMaxPageCount = 0xFFFF;

// The first index in [begin, end) where the two differ; `content` may end early.
std::optional<std::size_t> FirstDifference(std::span<const std::uint8_t> content,
                                           std::span<const std::uint8_t> expected,
                                           std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (i >= content.size() || content[i] != expected[i]) return i;
  }
  return std::nullopt;
}

}  // namespace

FlashLayout LayoutOf(std::span<const std::uint8_t, kImageHeaderSize> header) {
  return FlashLayout{Fw1SizeOf(header) / static_cast<std::uint32_t>(kImagePageSize),
                     Fw2SizeOf(header) / static_cast<std::uint32_t>(kImagePageSize)};
}

std::optional<std::uint32_t> AnnouncedPages(std::size_t sectionBytes) {
  std::size_t pages = sectionBytes / kImagePageSize;
  if (pages % 2 != 0) ++pages;
  if (pages > kMaxPageCount) return std::nullopt;
  return static_cast<std::uint32_t>(pages);
}

std::optional<FlashContent> AssembleFlashContent(const FirmwareImage& carried,
                                                 const FlashContentRequest& request) {
  // The carried sections must be exactly what the carried header announces.
  if (carried.fw1Data.size() != Fw1SizeOf(carried.header) ||
      carried.fw2Data.size() != Fw2SizeOf(carried.header)) {
    return std::nullopt;
  }
  const auto fw1Pages = AnnouncedPages(carried.fw1Data.size());
  const auto fw2Pages = AnnouncedPages(carried.fw2Data.size());
  if (!fw1Pages || !fw2Pages) return std::nullopt;

  // The configuration block starts from the carried one; the record's helpers fill it in.
  FirmwareImage device;
  device.header = request.readerHeader;
  SetConfigBlock(device, carried.configBlock);

  std::uint16_t counter = LoadLe16(device.header, kHeaderUpdateCounterOffset);
  if (request.raiseCounter) {
    ++counter;
    if (counter == 0 || counter == 0x00FF) ++counter;
  }
  StoreLe16(device.header, kHeaderUpdateCounterOffset, counter);
  StoreLe16(device.configBlock, kConfigCounterOffset, counter);
  StoreBe16(device.header, kHeaderFw1PagesOffset, static_cast<std::uint16_t>(*fw1Pages));
  StoreBe16(device.header, kHeaderFw2PagesOffset, static_cast<std::uint16_t>(*fw2Pages));

  UpdateHeaderChecksum(device);
  StoreBe16(device.configBlock, kConfigInfoWord2Offset, request.infoWord2);
  if (!PutVersionField(device, 1, request.fw1Version) ||
      !PutVersionField(device, 2, request.fw2Version)) {
    return std::nullopt;
  }
  const std::size_t fw2Field = kConfigVersionsOffset + device.configBlock[kConfigVersionsOffset];
  const std::size_t versionFieldsEnd = fw2Field + device.configBlock[fw2Field];

  FlashContent content;
  content.layout = FlashLayout{*fw1Pages, *fw2Pages};
  content.header = device.header;
  content.configBlock = device.configBlock;
  content.versionFieldsEnd = versionFieldsEnd;
  // Each section fills the size its header announces, so that FW2 and the configuration block
  // lie where a reader (and the next check) look for them; the padding stays 0xFF.
  content.bytes.assign(content.layout.TotalSize(), 0xFF);
  std::ranges::copy(device.header, content.bytes.begin());
  std::ranges::copy(carried.fw1Data, content.bytes.begin() +
                                         static_cast<std::ptrdiff_t>(content.layout.Fw1Offset()));
  std::ranges::copy(carried.fw2Data, content.bytes.begin() +
                                         static_cast<std::ptrdiff_t>(content.layout.Fw2Offset()));
  std::ranges::copy(device.configBlock, content.bytes.begin() + static_cast<std::ptrdiff_t>(
                                                                    content.layout.ConfigOffset()));
  return content;
}

std::optional<std::size_t> FindContentDifference(std::span<const std::uint8_t> content,
                                                 const FirmwareImage& carried,
                                                 std::u16string_view fw1Version,
                                                 std::u16string_view fw2Version) {
  if (content.size() < kImageHeaderSize) return content.size();
  FlashContentRequest request;
  std::ranges::copy(content.first(kImageHeaderSize), request.readerHeader.begin());
  request.fw1Version = fw1Version;
  request.fw2Version = fw2Version;
  request.raiseCounter = false;
  const std::optional<FlashContent> expected = AssembleFlashContent(carried, request);
  if (!expected) return 0;  // nothing can match a carried image that cannot be written
  const std::span<const std::uint8_t> want(expected->bytes);
  const FlashLayout& layout = expected->layout;

  // The page counts, then the sections with their padding.
  if (auto at = FirstDifference(content, want, kHeaderFw1PagesOffset, kHeaderFw2PagesOffset + 2)) {
    return at;
  }
  if (auto at = FirstDifference(content, want, layout.Fw1Offset(), layout.ConfigOffset())) {
    return at;
  }
  // The configuration block: the counter's copy and the header checksum, then the versions.
  const std::size_t config = layout.ConfigOffset();
  if (auto at = FirstDifference(content, want, config + kConfigCounterOffset,
                                config + kConfigChecksumOffset + 2)) {
    return at;
  }
  return FirstDifference(content, want, config + kConfigVersionsOffset,
                         config + expected->versionFieldsEnd);
}

}  // namespace tr350

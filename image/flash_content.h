// The reader's flash content as an update writes it (the reader's header with its page counts and
// counter, the carried sections padded to those counts, the configuration block with the header's
// checksum and the packed versions), and the check of a reader's content against it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "image/firmware_image.h"

namespace tr350 {

using HeaderBytes = std::array<std::uint8_t, kImageHeaderSize>;

// Where the parts of a flash content lie, from address 0.
struct FlashLayout {
  std::uint32_t fw1Pages = 0;
  std::uint32_t fw2Pages = 0;

  std::size_t Fw1Offset() const { return kImageHeaderSize; }
  std::size_t Fw2Offset() const { return Fw1Offset() + std::size_t{fw1Pages} * kImagePageSize; }
  std::size_t ConfigOffset() const { return Fw2Offset() + std::size_t{fw2Pages} * kImagePageSize; }
  std::size_t TotalSize() const { return ConfigOffset() + kConfigBlockSize; }
};

// The layout a header announces.
FlashLayout LayoutOf(std::span<const std::uint8_t, kImageHeaderSize> header);

// The page count a section is announced with: its own, raised to the next even number; none when
// it does not fit the header's 16-bit field.
std::optional<std::uint32_t> AnnouncedPages(std::size_t sectionBytes);

struct FlashContentRequest {
  HeaderBytes readerHeader;  // the reader's own programmed header: it keeps its USB identity
  std::u16string_view fw1Version;
  std::u16string_view fw2Version;
  std::uint16_t infoWord2 = 0;  // from the reader's identification
  bool raiseCounter = true;     // an update raises the counter; the check compares without
};

struct FlashContent {
  std::vector<std::uint8_t> bytes;
  FlashLayout layout;
  HeaderBytes header;                                      // as written (bytes[0..511])
  std::array<std::uint8_t, kConfigBlockSize> configBlock;  // as written
  std::size_t versionFieldsEnd = 0;  // end of the packed versions in the block
};

// The content an update writes to a reader for the carried image. None when it cannot be built
// (a section whose size disagrees with the carried header, too many pages, a version that does not
// fit the configuration block): nothing must then reach the reader.
std::optional<FlashContent> AssembleFlashContent(const FirmwareImage& carried,
                                                 const FlashContentRequest& request);

// The first address at which a reader's content (read from address 0) differs from what the
// carried image says it must hold: the header's page counts, both sections with their padding,
// and the configuration block's counter copy, header checksum and packed versions (its other bytes
// may come from the factory). None when the content matches; a content shorter than the expected
// layout differs where it ends.
std::optional<std::size_t> FindContentDifference(std::span<const std::uint8_t> content,
                                                 const FirmwareImage& carried,
                                                 std::u16string_view fw1Version,
                                                 std::u16string_view fw2Version);

}  // namespace tr350

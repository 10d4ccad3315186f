// What the scan and the update share: the error raised inside a workflow, the reader identity a
// header must name, and the rebuilding of the device table.
#pragma once

#include <cstdint>
#include <span>

#include "app/resource.h"
#include "discovery/device_table.h"
#include "image/firmware_image.h"

namespace tr350 {

// Raised inside a workflow with its code and caught once, by the workflow's own handler.
struct WorkflowError {
  ErrorCode code;
};

// Reads and writes are tried this many times in a row before a workflow gives up.
inline constexpr int kTransferAttempts = 10;

// The USB identity the supported reader presents (header bytes 2-5).
inline constexpr std::uint16_t kSupportedVendorId = 0x3C51;
inline constexpr std::uint16_t kSupportedProductId = 0x4D08;

using HeaderView = std::span<const std::uint8_t, kImageHeaderSize>;

inline std::uint16_t HeaderWord(HeaderView header, std::size_t offset) {
  return static_cast<std::uint16_t>(header[offset] | (header[offset + 1] << 8));
}

// A header as an update may write it: programmed (signature 0x2A7E) and naming the supported
// product.
inline bool IsProgrammedReaderHeader(HeaderView header) {
  return HeaderWord(header, kHeaderSignatureOffset) == kHeaderSignature &&
         HeaderWord(header, kHeaderVendorIdOffset) == kSupportedVendorId &&
         HeaderWord(header, kHeaderProductIdOffset) == kSupportedProductId;
}

// Releases whatever the table holds and builds it again; raises kNoDevice without a reader.
inline void RebuildDeviceTable(DeviceTable& table) {
  if (!table.Empty()) ReleaseDeviceTable(table);
  if (!BuildDeviceTable(table) || table.count < 1 || table.entries == nullptr) {
    throw WorkflowError{ErrorCode::kNoDevice};
  }
}

}  // namespace tr350

// Storage I/O on Linux: a reader's disk is its SCSI generic node (/dev/sgN), and one request is
// one SG_IO call on it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform {

// ScsiStatus after a request that did not complete: never 0 or 1, so it cannot read as success.
inline constexpr std::uint8_t kScsiStatusNotCompleted = 0xFF;

// Opens /dev/sgN nodes. The sg node is used rather than /dev/sdX because the block layer's command
// filter refuses vendor opcodes without CAP_SYS_RAWIO, while sg lets them through on the node's
// file permissions alone. Stateless, so thread-safe.
class SgStorageIo final : public StorageIo {
 public:
  std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) override;
};

// The UTF-8 form of an interface path; nullopt when it is empty, holds a NUL (the kernel would see
// a shorter path) or is not well-formed UTF-16.
std::optional<std::string> InterfacePathToUtf8(std::u16string_view interfacePath);

}  // namespace tr350::platform

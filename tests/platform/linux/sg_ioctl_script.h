// Test plumbing for scripting SG_IO on umockdev nodes: owning pointers for GObjects, and reading
// and writing the client's memory behind the pointers of an sg_io_hdr.
#pragma once

#include <scsi/sg.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tr350::test {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// The client's sg_io_hdr of an SG_IO call; null after completing any other request with ENOTTY
// or an unreadable header with EFAULT.
inline GPtr<UMockdevIoctlData> ResolveSgIo(UMockdevIoctlClient* client) {
  if (umockdev_ioctl_client_get_request(client) != SG_IO) {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return nullptr;
  }
  GPtr<UMockdevIoctlData> arg(umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(sg_io_hdr_t), nullptr));
  if (!arg) umockdev_ioctl_client_complete(client, -1, EFAULT);
  return arg;
}

// The bytes behind the pointer at `offset` of the header.
inline std::vector<std::uint8_t> ReadBehind(UMockdevIoctlData& header, std::size_t offset,
                                            std::size_t length) {
  GPtr<UMockdevIoctlData> data(umockdev_ioctl_data_resolve(&header, offset, length, nullptr));
  if (!data) return {};
  return std::vector<std::uint8_t>(data->data, data->data + data->data_len);
}

// Copies `bytes` into the client's memory behind the pointer at `offset` of the header.
inline void WriteBehind(UMockdevIoctlData& header, std::size_t offset, std::size_t length,
                        std::span<const std::uint8_t> bytes) {
  GPtr<UMockdevIoctlData> data(umockdev_ioctl_data_resolve(&header, offset, length, nullptr));
  if (data) std::copy(bytes.begin(), bytes.end(), data->data);
}

}  // namespace tr350::test

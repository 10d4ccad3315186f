// Test plumbing for scripting SG_IO on umockdev nodes: owning pointers for GObjects, and a node
// whose SG_IO calls a scripted device answers, recording what it saw of each.
#pragma once

#include <scsi/sg.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tr350::test {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

using SgBytes = std::vector<std::uint8_t>;

// What the scripted device answers to one SG_IO call.
struct SgReply {
  long result = 0;
  int error = 0;
  std::uint8_t status = 0;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  SgBytes data{};  // sent to the host on a read
  SgBytes sense{};
};

// What the device saw of one SG_IO call.
struct SgCall {
  sg_io_hdr_t header;  // pointers are addresses in the test process
  SgBytes cdb;
  SgBytes dataOut;
};

// A /dev node of a testbed whose SG_IO calls `answer` serves, on umockdev's worker thread; other
// requests fail with ENOTTY.
class ScriptedSgNode {
 public:
  using Answer = std::function<SgReply(const SgCall&)>;

  ScriptedSgNode(UMockdevTestbed* bed, const std::string& node, Answer answer)
      : answer_(std::move(answer)), handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(&ScriptedSgNode::OnIoctl), this);
    GError* error = nullptr;
    EXPECT_TRUE(umockdev_testbed_attach_ioctl(bed, node.c_str(), handler_.get(), &error))
        << node << ": " << (error != nullptr ? error->message : "");
    if (error != nullptr) g_error_free(error);
  }
  // The testbed keeps the handler alive; it must not call into a destroyed node.
  ~ScriptedSgNode() { g_signal_handlers_disconnect_by_data(handler_.get(), this); }
  ScriptedSgNode(const ScriptedSgNode&) = delete;
  ScriptedSgNode& operator=(const ScriptedSgNode&) = delete;

  std::vector<SgCall> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<ScriptedSgNode*>(self)->Serve(client);
    return TRUE;
  }

  // The bytes behind the pointer at `offset` of the header, and a copy into them.
  static SgBytes ReadBehind(UMockdevIoctlData& header, std::size_t offset, std::size_t length) {
    GPtr<UMockdevIoctlData> data(umockdev_ioctl_data_resolve(&header, offset, length, nullptr));
    if (!data) return {};
    return SgBytes(data->data, data->data + data->data_len);
  }
  static void WriteBehind(UMockdevIoctlData& header, std::size_t offset, std::size_t length,
                          std::span<const std::uint8_t> bytes) {
    GPtr<UMockdevIoctlData> data(umockdev_ioctl_data_resolve(&header, offset, length, nullptr));
    if (data) std::copy(bytes.begin(), bytes.end(), data->data);
  }

  void Serve(UMockdevIoctlClient* client) {
    if (umockdev_ioctl_client_get_request(client) != SG_IO) {
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return;
    }
    GPtr<UMockdevIoctlData> arg(umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                            0, sizeof(sg_io_hdr_t), nullptr));
    if (!arg) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    auto& header = *reinterpret_cast<sg_io_hdr_t*>(arg->data);
    SgCall call{header, ReadBehind(*arg, offsetof(sg_io_hdr_t, cmdp), header.cmd_len), {}};
    if (header.dxfer_direction == SG_DXFER_TO_DEV)
      call.dataOut = ReadBehind(*arg, offsetof(sg_io_hdr_t, dxferp), header.dxfer_len);
    const SgReply reply = answer_(call);
    header.resid = 0;
    if (header.dxfer_direction == SG_DXFER_FROM_DEV) {
      const std::size_t n = std::min<std::size_t>(reply.data.size(), header.dxfer_len);
      WriteBehind(*arg, offsetof(sg_io_hdr_t, dxferp), header.dxfer_len, {reply.data.data(), n});
      header.resid = static_cast<int>(header.dxfer_len - n);
    }
    const std::size_t senseLength = std::min<std::size_t>(reply.sense.size(), header.mx_sb_len);
    if (senseLength != 0) {
      WriteBehind(*arg, offsetof(sg_io_hdr_t, sbp), header.mx_sb_len,
                  {reply.sense.data(), senseLength});
    }
    header.sb_len_wr = static_cast<unsigned char>(senseLength);
    header.status = reply.status;
    header.masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7F);
    header.host_status = reply.hostStatus;
    header.driver_status = reply.driverStatus;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
    }
    umockdev_ioctl_client_complete(client, reply.result, reply.error);
  }

  const Answer answer_;
  GPtr<UMockdevIoctlBase> handler_;
  std::mutex mutex_;
  std::vector<SgCall> calls_;
};

}  // namespace tr350::test

// The reader presented to the kernel as a USB device: a configfs gadget with one FunctionFS
// function (a bulk-only mass-storage interface), its control requests, its bulk endpoints and its
// binding to the USB device controller.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

namespace tr350::kernel_test {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct GadgetIdentity {
  std::uint16_t vendorId = 0x3C51;
  std::uint16_t productId = 0x4D08;
  std::string manufacturer = "TR350";
  std::string product = "TR350 SD Card Reader";
  std::string serial = "TR3500000001";
  std::string interfaceName = "USB Mass Storage Device";
};

// Builds the gadget under configfs and mounts its FunctionFS instance on construction; unbinds and
// removes both on destruction. Throws std::runtime_error when the kernel refuses a step.
class UsbGadget {
 public:
  explicit UsbGadget(const GadgetIdentity& identity);
  ~UsbGadget();
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  // Attaches the device to the controller (the host sees it plugged in) or detaches it (pulled
  // out). Both are idempotent and may be called from any thread.
  void Bind();
  void Unbind();

  // Answers the control requests addressed to the interface until `stop` is set; checks it at
  // least every 200 ms.
  void ServeControl(const std::atomic<bool>& stop);

  // Bulk transfers. A read returns what one transfer carried (a short packet ends it early); both
  // return false when the host is gone, the function was disabled or a signal arrived, and
  // block until the function is enabled.
  bool ReadOut(std::span<std::uint8_t> buffer, std::size_t& received);
  bool WriteIn(std::span<const std::uint8_t> bytes);

 private:
  void WriteDescriptors(const GadgetIdentity& identity);

  std::string gadgetDir_;
  std::string mountDir_;
  std::string udc_;
  bool mounted_ = false;
  std::mutex bindMutex_;  // guards bound_ and the UDC attribute
  bool bound_ = false;
  UniqueFd ep0_;
  UniqueFd in_;
  UniqueFd out_;
};

}  // namespace tr350::kernel_test

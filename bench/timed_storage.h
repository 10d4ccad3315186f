// The benchmarks' timing model of the USB link: every vendor command costs a fixed latency on the
// platform's clock, and the commands are counted (all of them, and the identification commands).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/platform.h"

namespace tr350::bench {

inline constexpr std::uint32_t kCommandLatencyMs = 1;  // three bulk transfers and the host's stack
inline constexpr std::uint8_t kIdentificationOpcode = 0xD0;

// Thread-safe: several workers send commands at once.
class LatencyStorage final : public platform::StorageIo {
 public:
  LatencyStorage(platform::StorageIo& inner, platform::Clock& clock)
      : inner_(inner), clock_(clock) {}
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view path) override {
    auto disk = inner_.OpenDisk(path);
    if (!disk) return nullptr;
    return std::make_unique<LatencyDisk>(std::move(disk), *this);
  }
  std::uint64_t Commands() const { return commands_.load(); }
  std::uint64_t Identifications() const { return identifications_.load(); }

 private:
  class LatencyDisk final : public platform::Disk {
   public:
    LatencyDisk(std::unique_ptr<platform::Disk> inner, LatencyStorage& owner)
        : inner_(std::move(inner)), owner_(owner) {}
    bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
      owner_.clock_.Sleep(kCommandLatencyMs);
      owner_.commands_.fetch_add(1);
      if (request.Cdb[0] == kIdentificationOpcode) owner_.identifications_.fetch_add(1);
      return inner_->SendRequest(request, buffer);
    }

   private:
    std::unique_ptr<platform::Disk> inner_;
    LatencyStorage& owner_;
  };

  platform::StorageIo& inner_;
  platform::Clock& clock_;
  std::atomic<std::uint64_t> commands_{0};
  std::atomic<std::uint64_t> identifications_{0};
};

}  // namespace tr350::bench

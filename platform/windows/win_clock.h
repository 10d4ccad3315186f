// The machine's clock on Windows.
#pragma once

#include "platform/platform.h"

namespace tr350::platform::windows {

// GetTickCount64 (monotonic, milliseconds since start-up) and Sleep. Stateless, so thread-safe.
class WinClock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t NowMs() override;
};

}  // namespace tr350::platform::windows

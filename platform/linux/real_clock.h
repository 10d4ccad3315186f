// The machine's clock: monotonic time and sleeping, for real runs.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tr350::platform {

// Thread-safe; holds no state.
class RealClock final : public Clock {
 public:
  // Sleeps at least this long on the monotonic clock, resuming after signals. 0 yields the CPU,
  // as Sleep(0) does on Windows.
  void Sleep(std::uint32_t milliseconds) override;
  // Milliseconds of the monotonic clock, shared by all instances in the process.
  std::uint64_t NowMs() override;
};

}  // namespace tr350::platform

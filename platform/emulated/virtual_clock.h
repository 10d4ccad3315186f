// A clock for emulated runs and tests: time moves only when someone sleeps on it or a test
// advances it, so sleeping costs no wall time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace tr350::platform {

// Thread-safe. Time never goes backwards; it saturates at the largest value instead of wrapping.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(std::uint64_t startMs = 0) : now_(startMs) {}

  // Moves time forward by the duration and returns at once (after yielding the CPU, so that a
  // thread polling in a sleep loop lets others run). Counted in SleptMs and SleepCalls.
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t NowMs() override { return now_.load(); }

  // Moves time forward without counting as sleep: time passing elsewhere.
  void Advance(std::uint64_t milliseconds);
  // Sum of all durations passed to Sleep, and the number of Sleep calls, since construction.
  std::uint64_t SleptMs() const { return slept_.load(); }
  std::uint64_t SleepCalls() const { return sleepCalls_.load(); }

 private:
  std::atomic<std::uint64_t> now_;
  std::atomic<std::uint64_t> slept_{0};
  std::atomic<std::uint64_t> sleepCalls_{0};
};

}  // namespace tr350::platform

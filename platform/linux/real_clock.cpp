// The machine's clock on Linux: CLOCK_MONOTONIC, and clock_nanosleep to an absolute deadline so
// that a signal does not cut a sleep short or stretch it.
#include "platform/linux/real_clock.h"

#include <sched.h>

#include <cerrno>
#include <ctime>

#include "platform/linux/monotonic_deadline.h"

namespace tr350::platform {

void RealClock::Sleep(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    ::sched_yield();
    return;
  }
  const timespec deadline = MonotonicDeadlineAfter(milliseconds);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

std::uint64_t RealClock::NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

}  // namespace tr350::platform

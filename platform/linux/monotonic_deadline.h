// Deadlines on CLOCK_MONOTONIC for the Linux backend's absolute-time waits and sleeps.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>

namespace tr350::platform {

// The monotonic time `milliseconds` from now.
inline timespec MonotonicDeadlineAfter(std::uint32_t milliseconds) {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(milliseconds / 1000);
  t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000L;
  if (t.tv_nsec >= 1'000'000'000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1'000'000'000L;
  }
  return t;
}

// Nanoseconds until the deadline, 0 when it has passed.
inline std::int64_t NanosecondsUntil(const timespec& deadline) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::int64_t left =
      (static_cast<std::int64_t>(deadline.tv_sec) - now.tv_sec) * 1'000'000'000 +
      (deadline.tv_nsec - now.tv_nsec);
  return std::max<std::int64_t>(left, 0);
}

}  // namespace tr350::platform

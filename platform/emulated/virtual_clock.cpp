// The virtual clock: lock-free counters, so it can be read from inside other services' locks.
#include "platform/emulated/virtual_clock.h"

#include <limits>
#include <thread>

namespace tr350::platform {

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  Advance(milliseconds);
  slept_.fetch_add(milliseconds);
  sleepCalls_.fetch_add(1);
  std::this_thread::yield();
}

void VirtualClock::Advance(std::uint64_t milliseconds) {
  std::uint64_t now = now_.load();
  std::uint64_t next;
  do {
    next = now > std::numeric_limits<std::uint64_t>::max() - milliseconds
               ? std::numeric_limits<std::uint64_t>::max()
               : now + milliseconds;
  } while (!now_.compare_exchange_weak(now, next));
}

}  // namespace tr350::platform

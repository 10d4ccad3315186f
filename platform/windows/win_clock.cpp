// GetTickCount64 and Sleep behind the Clock interface.
#include "platform/windows/win_clock.h"

#include <windows.h>

namespace tr350::platform::windows {

void WinClock::Sleep(std::uint32_t milliseconds) {
  // Sleep(0) gives up the rest of the time slice, as the Linux clock yields.
  ::Sleep(milliseconds);
}

std::uint64_t WinClock::NowMs() {
  return ::GetTickCount64();
}

}  // namespace tr350::platform::windows

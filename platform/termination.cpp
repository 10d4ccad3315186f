// The process's one state word of requests to end and of the writes that defer them.
#include "platform/termination.h"

#include <atomic>
#include <cstdint>

namespace tr350::platform {
namespace {

// Low 20 bits: the guards alive in the process. Bits 20..27: the signal of the first request to
// end (0: none). A request that finds no guard ends the process; one that finds a guard is kept.
constexpr std::uint32_t kCountMask = (1u << 20) - 1;
constexpr unsigned kSignalShift = 20;
constexpr std::uint32_t kSignalMask = 0xFFu << kSignalShift;

// Process-wide by nature: the signal handlers and every guard share it.
std::atomic<std::uint32_t> g_state{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// The guards this thread holds: a nested guard belongs to a write already under way.
thread_local int t_depth = 0;

std::uint32_t CountOf(std::uint32_t state) {
  return state & kCountMask;
}
int SignalOf(std::uint32_t state) {
  return static_cast<int>((state & kSignalMask) >> kSignalShift);
}

}  // namespace

CriticalWrite::CriticalWrite() noexcept {
  if (t_depth > 0) {
    // This thread's own guard keeps the count above zero: no request can end the process now.
    g_state.fetch_add(1);
  } else {
    std::uint32_t state = g_state.load();
    do {
      if (SignalOf(state) != 0 || CountOf(state) == kCountMask) return;  // the process is ending
    } while (!g_state.compare_exchange_weak(state, state + 1));
  }
  ++t_depth;
  entered_ = true;
}

CriticalWrite::~CriticalWrite() {
  if (!entered_) return;
  --t_depth;
  g_state.fetch_sub(1);
}

std::optional<int> DeferredTermination() noexcept {
  const std::uint32_t state = g_state.load();
  const int signal = SignalOf(state);
  if (signal == 0 || CountOf(state) != 0) return std::nullopt;
  return 128 + signal;  // the status a shell reports for a process the signal ended
}

EndRequest RecordEndRequest(int signal) noexcept {
  const auto bits = (static_cast<std::uint32_t>(signal) << kSignalShift) & kSignalMask;
  std::uint32_t state = g_state.load();
  for (;;) {
    if (CountOf(state) == 0) {
      // Claimed before ending, so that a guard entered meanwhile refuses to write.
      if (g_state.compare_exchange_weak(state, (state & ~kSignalMask) | bits)) {
        return EndRequest::kEndNow;
      }
    } else if (SignalOf(state) != 0) {
      return EndRequest::kDeferred;
    } else if (g_state.compare_exchange_weak(state, state | bits)) {
      return EndRequest::kDeferredFirst;
    }
  }
}

}  // namespace tr350::platform

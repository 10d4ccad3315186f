// An in-process named-mutex service for emulated runs and tests: the semantics of the real kind
// within one service instance, time-outs measured on a given clock, and hooks that inject wait
// results, failed opens and dead owners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform {

struct EmulatedMutexState;

// Thread-safe; must not be destroyed while a call is in progress.
//
// Mutexes are shared by all handles of the same name opened from this instance; separate instances
// are separate namespaces. Names are 1 to 260 UTF-16 code units. A mutex lives while a handle to it
// is open: after the last Close, opening the name creates a new, unowned one. Ownership belongs to
// a thread and is recursive; Release by another thread fails; closing a handle does not release;
// a thread that ends while owning a mutex abandons it, and the next successful wait reports
// kAbandoned and owns it.
//
// Time-outs run on the given clock, and a waiter never moves that clock itself. A wait that cannot
// be satisfied blocks on a condition variable that releases and abandonments signal, waking in
// short real-time slices to compare the clock with its deadline. With a VirtualClock the wait
// therefore times out as soon as some other thread sleeps or advances the clock past the deadline,
// however little wall time that takes, and never before. A slice polls rather than being woken by
// the clock, so the clock and this service stay independent (no lock is ever taken in both
// orders); the price is up to one slice of latency.
class EmulatedMutexes final : public Mutexes {
 public:
  // `clock` must outlive the service.
  explicit EmulatedMutexes(Clock& clock);
  ~EmulatedMutexes() override;
  EmulatedMutexes(const EmulatedMutexes&) = delete;
  EmulatedMutexes& operator=(const EmulatedMutexes&) = delete;

  MutexHandle Open(std::u16string_view name) override;
  WaitResult Wait(MutexHandle handle, std::uint32_t timeoutMs) override;
  bool Release(MutexHandle handle) override;
  void Close(MutexHandle handle) override;

  // ---- Fault injection ------------------------------------------------------------------------

  // A count that is never used up.
  static constexpr std::uint32_t kEveryTime = std::numeric_limits<std::uint32_t>::max();

  // Makes the next `count` waits end with `result`: on mutexes of `name` for the first overload,
  // on any mutex for the second. Injections queue up in order; a wait takes one from its name's
  // queue first, else from the general queue. How each result plays out:
  //   kTimedOut  the wait sleeps its full time-out on the clock and fails; ownership is untouched.
  //   kFailed    the wait fails at once; ownership is untouched.
  //   kAbandoned the wait runs as usual and, when it gains ownership, reports kAbandoned.
  //   kSignaled  the wait runs as usual.
  void InjectWaitResult(std::u16string_view name, WaitResult result, std::uint32_t count = 1);
  void InjectWaitResult(WaitResult result, std::uint32_t count = 1);
  // Makes the next `count` opens of `name` fail, as when a mutex can neither be opened nor created.
  void FailOpens(std::u16string_view name, std::uint32_t count = 1);
  void ClearInjections();

  // As if the owner of the mutex of this name died without releasing it (or, when nobody owns it,
  // as if another process took it and died): whoever owned it owns it no longer, and the next
  // successful wait reports kAbandoned and owns it. Wakes blocked waiters. False when no handle of
  // that name is open.
  bool SimulateOwnerDeath(std::u16string_view name);

  // ---- Observation ----------------------------------------------------------------------------

  struct NameState {
    std::size_t openHandles = 0;
    bool owned = false;
    bool ownedByCaller = false;
    std::uint32_t depth = 0;  // recursion count of the owner
    bool abandoned = false;   // the next successful wait reports kAbandoned
    std::size_t blockedWaiters = 0;
    // Since the service was made, across re-creations of the mutex of this name:
    std::uint64_t waits = 0;
    std::uint64_t releases = 0;  // successful ones
    std::uint64_t failedReleases = 0;
  };
  NameState State(std::u16string_view name) const;

  // Blocks until at least `count` waits are blocked on the mutex of this name, so that a test can
  // then move the clock knowing that those waits have taken their deadlines.
  void AwaitBlockedWaiters(std::u16string_view name, std::size_t count);

 private:
  Clock& clock_;
  std::shared_ptr<EmulatedMutexState> state_;
};

}  // namespace tr350::platform

// Named mutexes on Windows: the system's own named mutex objects, behind handle values of our own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/platform.h"
#include "platform/windows/win_handles.h"

namespace tr350::platform::windows {

// Thread-safe. The system's handles are never handed out: each open mutex gets a value of this
// instance's own, never reused, so that a stale copy of a closed handle fails instead of reaching
// whatever object the system gave the same handle to later. Names are 1 to 260 UTF-16 units
// without NUL, passed to the system as they are (no "Global\\" or "Local\\" prefix is added).
class WinMutexes final : public Mutexes {
 public:
  WinMutexes() = default;
  ~WinMutexes() override = default;  // closes what is still open; ownership is the system's
  WinMutexes(const WinMutexes&) = delete;
  WinMutexes& operator=(const WinMutexes&) = delete;

  MutexHandle Open(std::u16string_view name) override;
  WaitResult Wait(MutexHandle handle, std::uint32_t timeoutMs) override;
  bool Release(MutexHandle handle) override;
  void Close(MutexHandle handle) override;

 private:
  // Shared with the waits in progress, so that Close on another thread cannot close the system's
  // handle under a wait.
  std::shared_ptr<UniqueHandle> Find(MutexHandle handle);

  std::mutex mutex_;  // guards the two below
  std::map<std::uint64_t, std::shared_ptr<UniqueHandle>> handles_;
  std::uint64_t nextValue_ = 1;
};

}  // namespace tr350::platform::windows

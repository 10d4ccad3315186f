// Named mutexes for Linux with the semantics of the Windows kind, shared by the threads of this
// process and by other processes: a robust, process-shared, recursive pthread mutex kept in a POSIX
// shared-memory object whose name is derived from the mutex name.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform {

class SharedMapping;

// Thread-safe. Handles belong to the instance that opened them and stay valid until closed or
// until the instance is destroyed; values are never reused in this process.
//
// Names are 1 to 260 UTF-16 code units (the Windows limit); empty or longer names fail to open.
// The shared objects are created with mode 0600, so only the same user (or root) can share them.
// Ownership belongs to a thread: a thread that ends while owning a mutex, or whose process dies,
// leaves it abandoned, and the next successful wait reports kAbandoned and owns it. Closing a
// handle does not release ownership. Time-outs run on the monotonic clock.
//
// The shared object is left in place when the last handle closes, like a lock file: deleting it
// safely would need a count of its users that survives crashed processes, and a name removed while
// another process still uses it would let a new opener get a second mutex that excludes nothing.
// The tool uses a small fixed set of names, one page each, so they persist until reboot.
//
// Not fork-safe while another thread is inside a call: fork only when no other thread uses it.
class LinuxMutexes final : public Mutexes {
 public:
  LinuxMutexes() = default;
  // Closes the handles that are still open; mutexes that threads still own stay owned.
  ~LinuxMutexes() override;
  LinuxMutexes(const LinuxMutexes&) = delete;
  LinuxMutexes& operator=(const LinuxMutexes&) = delete;

  MutexHandle Open(std::u16string_view name) override;
  WaitResult Wait(MutexHandle handle, std::uint32_t timeoutMs) override;
  bool Release(MutexHandle handle) override;
  void Close(MutexHandle handle) override;

  // Deletes the shared object of this name, so the next Open creates a new mutex. Only for
  // clean-up (tests, uninstall) when no process, this one included, has the name open or owned.
  // False when there was none.
  static bool RemoveName(std::u16string_view name);
  // The name of the shared-memory object behind a mutex name, for shm_open; empty when the mutex
  // name is invalid.
  static std::string SharedObjectName(std::u16string_view name);

 private:
  SharedMapping* Find(MutexHandle handle);

  std::mutex mutex_;  // guards handles_
  std::map<std::uint64_t, SharedMapping*> handles_;
};

}  // namespace tr350::platform

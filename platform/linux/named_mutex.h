// Named mutexes for Linux with the semantics of the Windows kind, shared by the threads of this
// process and by the processes of every user: a lock file in /dev/shm, named after the mutex, held
// with flock between processes and guarded by a private robust recursive pthread mutex between
// this process's threads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform {

class NamedLock;

// Thread-safe. Handles belong to the instance that opened them and stay valid until closed or
// until the instance is destroyed; values are never reused in this process.
//
// Names are 1 to 260 UTF-16 code units (the Windows limit); empty or longer names fail to open.
// The files are created with mode 0666 whatever the umask, so every user who may open the reader
// shares them, whoever ran first; nothing another user writes into one is trusted.
// Ownership belongs to a thread: a thread that ends while owning a mutex, or whose process dies,
// leaves it abandoned, and the next successful wait reports kAbandoned and owns it. Closing a
// handle does not release ownership. Time-outs run on the monotonic clock; a holder in another
// process is polled.
//
// The file is left in place when the last handle closes, like a lock file: deleting it safely
// would need a count of its users that survives crashed processes. The tool uses a small fixed set
// of names, under a kilobyte each, so they persist until reboot.
//
// A forked child cannot use the handles it inherited (they fail); it opens the names again. Not
// fork-safe while another thread is inside a call: fork only when no other thread uses it.
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

  // Deletes the file of this name, so the next Open creates a new one. For clean-up (tests,
  // uninstall) when no process owns the mutex: a holder that finds its file removed moves to the
  // new one on its next first-level wait. False when there was none.
  static bool RemoveName(std::u16string_view name);
  // The name of the file behind a mutex name, as shm_open takes it (in /dev/shm, with a leading
  // '/'); empty when the mutex name is invalid.
  static std::string SharedObjectName(std::u16string_view name);

 private:
  NamedLock* Find(MutexHandle handle);

  std::mutex mutex_;  // guards handles_
  std::map<std::uint64_t, NamedLock*> handles_;
};

}  // namespace tr350::platform

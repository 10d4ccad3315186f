// Ending the process without cutting a write to the reader short: the guard the update holds while
// it writes, and what the front ends ask after a command. No operating-system headers here; the
// handlers that feed it live in the backend (linux/termination.cpp).
//
// The requests to end (Ctrl-C, a terminate or hang-up request) are one process-wide state word,
// changed only by compare-and-swap, so a request that comes while a guard is being entered either
// ends the process before the guard exists or is deferred by it, never both and never neither.
#pragma once

#include <optional>
#include <string_view>

namespace tr350::platform {

// Held from just before the first erase or write until the reader has been told to restart.
// While at least one guard lives anywhere in the process, a request to end is recorded (with a
// notice on the error output) instead of acted on. Guards nest and may live on several threads.
class CriticalWrite {
 public:
  CriticalWrite() noexcept;
  ~CriticalWrite();
  CriticalWrite(const CriticalWrite&) = delete;
  CriticalWrite& operator=(const CriticalWrite&) = delete;

  // False when the process is already ending (a request came before the guard): nothing must be
  // written then; the caller fails cleanly and the front end ends with DeferredTermination().
  // A guard nested inside one this thread already holds always enters: its write is under way.
  bool Entered() const noexcept { return entered_; }

 private:
  bool entered_ = false;
};

// The exit status the process must end with (128 + the signal number on Linux) when a request to
// end was deferred and no guard is alive any more; nullopt otherwise. Front ends ask after their
// command, once the result has been printed, and end with it.
std::optional<int> DeferredTermination() noexcept;

// Installs the handlers of the requests to end (on Linux SIGINT, SIGTERM, SIGHUP). Outside any
// guard a request ends the process at once, as it would without the handlers. Called once by a
// program's main at start-up, never by the libraries; the name starts the notice.
void InstallTerminationHandlers(std::string_view programName);

// Makes a write to a closed pipe fail (an output error) instead of ending the process. The
// terminal front end calls it at start-up.
void IgnoreBrokenPipe();

// ---- For the backends' handlers -----------------------------------------------------------------

enum class EndRequest {
  kEndNow,         // no guard is alive: the process ends now, as the request would end it
  kDeferredFirst,  // deferred; the first request while writing: print the notice
  kDeferred,       // deferred; a notice was printed already
};

// Records a request to end with this signal (or the platform's equivalent code). Lock-free and
// safe to call from a signal handler.
EndRequest RecordEndRequest(int signal) noexcept;

}  // namespace tr350::platform

// The Linux handlers of SIGINT, SIGTERM and SIGHUP behind platform/termination.h, and SIGPIPE.
#include "platform/termination.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

namespace tr350::platform {
namespace {

constexpr std::array kEndSignals = {SIGINT, SIGTERM, SIGHUP};
constexpr std::string_view kNotice =
    ": the reader is being written; the tool will stop when the write is done\n";

// The notice, composed before the handlers are installed and only read by them afterwards.
std::array<char, 160> g_notice{};
std::size_t g_noticeLength = 0;

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // no error output: the notice is lost, nothing else is
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Ends the process by the signal's own default action, as if no handler had been installed.
[[noreturn]] void EndBySignal(int signal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, signal);
  ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action of these signals ends the process
}

// Async-signal-safe: one compare-and-swap on the state word, write(2) and the ending calls.
extern "C" void OnEndSignal(int signal) {
  const int savedErrno = errno;
  switch (RecordEndRequest(signal)) {
    case EndRequest::kEndNow:
      EndBySignal(signal);
    case EndRequest::kDeferredFirst:
      WriteAll(STDERR_FILENO, g_notice.data(), g_noticeLength);
      break;
    case EndRequest::kDeferred:
      break;
  }
  errno = savedErrno;
}

}  // namespace

void InstallTerminationHandlers(std::string_view programName) {
  const std::size_t nameLength = std::min(programName.size(), g_notice.size() - kNotice.size());
  std::copy_n(programName.begin(), nameLength, g_notice.begin());
  std::copy(kNotice.begin(), kNotice.end(),
            g_notice.begin() + static_cast<std::ptrdiff_t>(nameLength));
  g_noticeLength = nameLength + kNotice.size();

  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  // Interrupted system calls resume: a deferred request must not fail the command being sent.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : kEndSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kEndSignals) {
    // A request the shell told this program to ignore (nohup, a background job) stays ignored.
    struct sigaction previous {};
    ::sigaction(signal, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

void IgnoreBrokenPipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace tr350::platform

// The Windows console's requests to end (Ctrl-C, Ctrl-Break, closing the console) behind
// platform/termination.h. Windows has no broken-pipe signal: a write to a closed pipe fails.
#include "platform/termination.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <csignal>

namespace tr350::platform {
namespace {

// The number a request is recorded with, as the C library names them, so that the deferred exit
// status reads as it would elsewhere (128 + the number).
struct EndEvent {
  DWORD event;
  int code;
};
constexpr std::array kEndEvents = {
    EndEvent{CTRL_C_EVENT, SIGINT},
    EndEvent{CTRL_BREAK_EVENT, SIGBREAK},
    EndEvent{CTRL_CLOSE_EVENT, SIGTERM},
};

constexpr std::string_view kNotice =
    ": the reader is being written; the tool will stop when the write is done\r\n";
// How often a console that is closing looks whether the write is done.
constexpr DWORD kClosePollMs = 50;

// The notice, composed before the handler is installed and only read by it afterwards.
std::array<char, 160> g_notice{};
std::size_t g_noticeLength = 0;

void WriteNotice() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(error, g_notice.data(), static_cast<DWORD>(g_noticeLength), &written, nullptr);
}

// Runs on a thread the system starts for the event. FALSE passes the event on to the default
// handler, which ends the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const auto* end = std::find_if(kEndEvents.begin(), kEndEvents.end(),
                                 [event](const EndEvent& e) { return e.event == event; });
  if (end == kEndEvents.end()) return FALSE;
  const EndRequest request = RecordEndRequest(end->code);
  if (request == EndRequest::kEndNow) return FALSE;
  if (request == EndRequest::kDeferredFirst) WriteNotice();
  if (event == CTRL_CLOSE_EVENT) {
    // The system ends the process as soon as this returns (or a few seconds later at the most):
    // hold it here while the write goes on, then end with the deferred status.
    std::optional<int> status;
    while (!(status = DeferredTermination())) ::Sleep(kClosePollMs);
    ::ExitProcess(static_cast<UINT>(*status));
  }
  return TRUE;
}

}  // namespace

void InstallTerminationHandlers(std::string_view programName) {
  const std::size_t nameLength = std::min(programName.size(), g_notice.size() - kNotice.size());
  std::copy_n(programName.begin(), nameLength, g_notice.begin());
  std::copy(kNotice.begin(), kNotice.end(),
            g_notice.begin() + static_cast<std::ptrdiff_t>(nameLength));
  g_noticeLength = nameLength + kNotice.size();
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void IgnoreBrokenPipe() {}

}  // namespace tr350::platform

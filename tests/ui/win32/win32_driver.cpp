// Test support for windows of the Win32 backend.
#include "tests/ui/win32/win32_driver.h"

#include <atomic>
#include <thread>
#include <vector>

namespace tr350::test {
namespace {

std::wstring ClassOf(HWND window) {
  std::wstring name(64, L'\0');
  name.resize(static_cast<std::size_t>(
      ::GetClassNameW(window, name.data(), static_cast<int>(name.size()))));
  return name;
}

struct BoxSearch {
  ui::win32::Win32Ui* ui = nullptr;
  HWND found = nullptr;
};

// A message box is a visible dialog-class window of the window's thread that none of the
// backend's dialogs is: it has no control of the program's ids.
BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<BoxSearch*>(parameter);
  if (!::IsWindowVisible(window) || ClassOf(window) != L"#32770") return TRUE;
  if (::GetDlgItem(window, IDCANCEL) != nullptr && ::GetDlgItem(window, IDOK) == nullptr) {
    return TRUE;  // the main dialog (Exit is IDCANCEL)
  }
  // The about box and the result dialog have the program's controls; a box has none of them.
  for (const int id : {1001, 1010, 1007}) {
    if (::GetDlgItem(window, id) != nullptr) return TRUE;
  }
  search->found = window;
  return FALSE;  // the thread's windows come top first: the first box found is the newest
}

BOOL CALLBACK CancelWindow(HWND window, LPARAM) {
  if (::IsWindowVisible(window)) ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return TRUE;
}

}  // namespace

bool Win32Driver::WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!Read(condition)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Win32Driver::Click(HWND button) {
  if (button != nullptr) ::PostMessageW(button, BM_CLICK, 0, 0);
}

void Win32Driver::Key(HWND window, UINT virtualKey) {
  if (window == nullptr) return;
  ::PostMessageW(window, WM_KEYDOWN, virtualKey, 1);
  ::PostMessageW(window, WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001u));
}

void Win32Driver::SysCommand(HWND window, UINT command) {
  if (window != nullptr) ::PostMessageW(window, WM_SYSCOMMAND, command, 0);
}

HWND Win32Driver::Box() const {
  const DWORD thread = ui_.WindowThreadId();
  if (thread == 0) return nullptr;
  BoxSearch search{&ui_, nullptr};
  ::EnumThreadWindows(thread, &FindBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void RunWithDriver(ui::win32::Win32Ui& ui, const std::function<void()>& program,
                   const std::function<void(Win32Driver&)>& script) {
  std::atomic<bool> ended{false};
  std::thread driver([&] {
    Win32Driver d(ui);
    script(d);
    // Tidy up after a failed script: close what is open until the program has ended.
    while (!ended.load()) {
      if (HWND box = d.Box()) {
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      } else if (const DWORD thread = ui.WindowThreadId(); thread != 0) {
        ::EnumThreadWindows(thread, &CancelWindow, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  program();
  ended.store(true);
  driver.join();
}

std::u16string TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return std::u16string(text.begin(), text.end());
}

std::u16string BoxText(HWND box) {
  // The message is the box's longest static text (the icon is a static without text).
  std::u16string longest;
  for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Static") continue;
    std::u16string text = TextOf(child);
    if (text.size() > longest.size()) longest = std::move(text);
  }
  return longest;
}

bool Shown(HWND control) {
  return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

}  // namespace tr350::test

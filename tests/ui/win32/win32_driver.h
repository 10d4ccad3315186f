// Test support for windows of the Win32 backend: the window's thread (the test's main thread) runs
// the program while a driver thread looks at the windows and gives input as the system delivers
// it: posted clicks, keys and system-menu commands.
#pragma once

// The dialog layer's names before <windows.h>, which defines some of them as macros.
#include "ui/win32/win32_ui.h"

#include <windows.h>
#undef MessageBox
#undef LoadIcon
#undef LoadString

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>

namespace tr350::test {

// A guard against hangs, not a timing: the driver gives up waiting after this long.
inline constexpr std::chrono::seconds kWaitLimit{60};

// Used on the driver thread only; looks run on the window's thread through the backend.
class Win32Driver {
 public:
  explicit Win32Driver(ui::win32::Win32Ui& ui) : ui_(ui) {}

  // Runs `look` on the window's thread and returns what it returns.
  template <typename F>
  auto Read(F look) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      ui_.Send(look);
    } else {
      std::optional<R> result;
      ui_.Send([&] { result.emplace(look()); });
      return std::move(*result);
    }
  }
  // Looks again until the condition (run on the window's thread) holds; false when it never did.
  bool WaitFor(const std::function<bool()>& condition);

  // Input, posted to the window's thread as the system would; returns at once. A hidden or
  // disabled button takes no click, as on the screen.
  void Click(HWND button);
  void Key(HWND window, UINT virtualKey);
  void SysCommand(HWND window, UINT command);

  // The newest message box the window's thread shows; null when none. Any thread.
  HWND Box() const;
  ui::win32::Win32Ui& Ui() { return ui_; }

 private:
  ui::win32::Win32Ui& ui_;
};

// Runs `program` on the calling thread, the window's thread, and `script` on a driver thread, and
// returns when both have ended. Once the script has returned, passed or failed, whatever it left
// open is closed (message boxes with OK, dialogs with Cancel), so that a failed test cannot hang.
void RunWithDriver(ui::win32::Win32Ui& ui, const std::function<void()>& program,
                   const std::function<void(Win32Driver&)>& script);

// Window's thread: a window's text; the text of a message box's message.
std::u16string TextOf(HWND window);
std::u16string BoxText(HWND box);
// Window's thread: the control's own visibility flag (its dialog may be hidden).
bool Shown(HWND control);

}  // namespace tr350::test

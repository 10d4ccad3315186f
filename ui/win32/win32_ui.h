// The native Win32 backend of the dialog framework layer: the program's dialogs made by the
// system's dialog manager from the dialog resources of the program's own file, in the language
// variant of the template the dialog layer chose. No Windows header here.
//
// Threads. The window's thread is the thread that created the first open window; calls from other
// threads reach it as a private message sent (SendMessageW) to a message-only window of that
// thread, so the caller waits while every modal loop there (dialogs, message boxes, menus) serves
// it. Device changes are posted to the same window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/platform.h"
#include "ui/language_ids.h"
#include "ui/ui.h"

struct HWND__;
struct HINSTANCE__;

namespace tr350::ui::win32 {

using WindowHandle = HWND__*;
using ModuleHandle = HINSTANCE__*;

struct Win32UiOptions {
  // Where device changes come from; default: the current platform's.
  platform::DeviceNotifications* notifications = nullptr;
  // The variant of the templates and strings; default: the user's UI language.
  std::optional<Language> language;
  // The tables the dialog layer picks templates and strings from; the module's resources must
  // have been written from the same tables.
  UiResources resources;
  // The module whose resources hold the dialogs and icons; default: the program's own file.
  ModuleHandle module = nullptr;
};

// The variant Windows would choose for the user's UI language (GetUserDefaultUILanguage).
Language UserUiLanguage();

// Input reaches a dialog as the system's dialog manager delivers it: button clicks, Enter (the
// default button, else IDOK), Escape (IDCANCEL), the system menu's application items and SC_CLOSE
// (closing from the frame or Alt+F4) go to the dialog; the system's other commands (move,
// minimise, restore) keep their default processing.
class Win32Ui final : public Backend {
 public:
  explicit Win32Ui(Win32UiOptions options);
  // After every window closed.
  ~Win32Ui() override;
  Win32Ui(const Win32Ui&) = delete;
  Win32Ui& operator=(const Win32Ui&) = delete;

  Language UserLanguage() const override;
  const UiResources& Resources() const override;
  bool InitCommonControls() override;
  // The calling thread becomes the window's thread when no window is open; null elsewhere, and
  // when the module has no dialog resource of the template's id and language.
  std::unique_ptr<Window> CreateDialogWindow(const DialogTemplate& dialog,
                                             WindowEvents& events) override;
  bool OnWindowThread() const override;
  void Send(const std::function<void()>& task) override;
  Icon LoadIcon(int resourceId) override;

  // ---- What the windows show (for tests and the screenshots) ---------------------------------
  // Window's thread: the newest open dialog of the template that has not ended; null when none.
  WindowHandle NewestDialog(int templateId) const;
  // Thread-safe: the system's id of the window's thread while a window is open, else 0.
  std::uint32_t WindowThreadId() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

std::unique_ptr<Backend> MakeWin32Ui(Win32UiOptions options);

// Text for the user of a program that has no window yet (--help, --version, a usage error): on the
// standard stream when it leads to a file, a pipe or a console, else in a message box.
void ReportText(std::u16string_view caption, std::string_view text, bool error);

}  // namespace tr350::ui::win32

// Inside the Win32 backend: handle owners, the backend's state and one dialog window with its
// timers, system menu, workers and modal loop.
#pragma once

// The dialog layer's names come first: <windows.h> defines IDOK, IDCANCEL and SC_CLOSE as macros
// of the same values, and MessageBox, LoadIcon and LoadString as macros that would rename the
// layer's methods.
#include "ui/win32/win32_ui.h"

#include <windows.h>
#undef MessageBox
#undef LoadIcon
#undef LoadString

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace tr350::ui::win32 {

// Private messages of the backend's message-only window.
inline constexpr UINT kRunTaskMessage = WM_APP + 0x350;       // lParam: the task to run
inline constexpr UINT kDeviceChangeMessage = WM_APP + 0x351;  // wParam: the DeviceChange

std::wstring Wide(std::u16string_view text);
std::u16string U16(std::wstring_view text);

// An event, icon or window that goes when its owner does.
struct HandleCloser {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;
struct IconDestroyer {
  void operator()(HICON icon) const { ::DestroyIcon(icon); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;

class Win32Window;

// The backend's state. Window's thread only, except where marked.
struct Win32Ui::Impl {
  Impl(Win32Ui& owner, Win32UiOptions options);
  ~Impl();

  // Any thread: runs the task on the window's thread (at once when called there or while no
  // window is open) and waits; rethrows what it threw.
  void Send(const std::function<void()>& task);
  // The calling thread becomes the window's thread: the first window creates the message-only
  // window (false when it cannot), the last one's going destroys it.
  bool Register(Win32Window* window);
  void Unregister(Win32Window* window);
  void DeliverDeviceChange(platform::DeviceChange change);
  // The window a new dialog belongs to: the newest open one that has not ended; null when none.
  HWND TopWindow() const;
  // The icon of a resource at a size, loaded once.
  HICON IconOf(int resourceId, int size);
  static LRESULT CALLBACK TaskWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  Win32Ui& backend;
  const Language language;  // all threads: constant
  const UiResources resources;
  const HINSTANCE module;
  ATOM taskClass = 0;
  std::vector<Win32Window*> windows;  // open, in the order opened
  std::map<std::pair<int, int>, UniqueIcon> icons;
  bool commonControls = false;

  mutable std::mutex mutex;  // guards the two below, which other threads read
  DWORD windowThread = 0;    // 0 while no window is open
  HWND taskWindow = nullptr;

  std::unique_ptr<platform::DeviceNotifications::Subscription> subscription;
};

// One dialog. Its Window operations may come from any thread (see ui/ui.h); each runs on the
// window's thread. Everything else is window's thread only.
class Win32Window final : public Window {
 public:
  Win32Window(Win32Ui::Impl& ui, const DialogTemplate& dialog, WindowEvents& events);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Makes the window from the module's dialog resource of the template's id and language; false
  // when there is none or the system refused.
  bool Create(const DialogTemplate& dialog, HWND owner);

  void ShowControl(int id, bool show) override;
  void EnableControl(int id, bool enable) override;
  void SetControlText(int id, std::u16string_view text) override;
  std::u16string ControlText(int id) override;
  bool IsControlVisible(int id) override;
  bool IsControlEnabled(int id) override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgressPos(int id, int position) override;
  void FocusControl(int id) override;
  void SetTitle(std::u16string_view title) override;
  std::u16string Title() override;
  void SetIcon(Icon icon, bool big) override;
  bool HasSystemMenu() override;
  void AppendSystemMenuSeparator() override;
  void AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) override;
  bool SetTimer(std::uintptr_t id, std::uint32_t periodMs) override;
  void KillTimer(std::uintptr_t id) override;
  int MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                 MessageBoxIcon icon) override;
  bool BeginThread(std::function<void()> body) override;
  int RunModal() override;
  void EndModal(int result) override;
  bool IsIconic() override;
  Size ClientSize() override;
  Size IconSize() override;
  void PaintIcon(Icon icon, int x, int y) override;

  // ---- Window's thread ------------------------------------------------------------------------
  HWND Handle() const { return hwnd_; }
  int TemplateId() const { return templateId_; }
  bool Ended() const { return ended_; }
  void DeliverDeviceChange(platform::DeviceChange change);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Paint();

  // Runs `f` on the window's thread and returns its result.
  template <typename F>
  auto OnWindowThread(F f) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      ui_.Send(f);
    } else {
      std::optional<R> result;
      ui_.Send([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }
  HWND Control(int id) const;
  // Runs the window's messages (and the messages sent to its thread) until `done` says so.
  void PumpUntil(const std::function<bool()>& done, HANDLE wakeUp);
  void ServeWorkersUntilEnded();

  Win32Ui::Impl& ui_;
  WindowEvents& events_;
  const int templateId_;
  HWND hwnd_ = nullptr;
  bool registered_ = false;       // counted among the backend's open windows
  HWND disabledOwner_ = nullptr;  // the owner the modal loop disabled
  std::set<std::uintptr_t> timers_;
  std::map<bool, int> icons_;  // big / small: the resource id set
  bool ended_ = false;
  int result_ = 0;
  HDC paintDc_ = nullptr;  // inside WM_PAINT of a minimised window

  std::mutex workerMutex_;
  std::size_t liveWorkers_ = 0;  // under workerMutex_
  UniqueHandle workerEnded_;     // auto-reset: set by each worker as it ends
  std::list<std::thread> workers_;
};

}  // namespace tr350::ui::win32

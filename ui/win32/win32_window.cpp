// One dialog of the Win32 backend: the window made by the dialog manager from the module's dialog
// resource, its messages turned into the dialog's events, timers, the system menu, message boxes,
// workers and the modal loop.
#include "ui/win32/win32_internal.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace tr350::ui::win32 {
namespace {

// The system's own system-menu commands start here; the application's lie below.
constexpr std::uint32_t kFirstSystemCommand = 0xF000;

UINT BoxIconFlag(MessageBoxIcon icon) {
  switch (icon) {
    case MessageBoxIcon::kError:
      return MB_ICONERROR;
    case MessageBoxIcon::kWarning:
      return MB_ICONWARNING;
    case MessageBoxIcon::kInformation:
      return MB_ICONINFORMATION;
    case MessageBoxIcon::kNone:
      break;
  }
  return 0;
}

std::u16string WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return U16(text);
}

}  // namespace

Win32Window::Win32Window(Win32Ui::Impl& ui, const DialogTemplate& dialog, WindowEvents& events)
    : ui_(ui),
      events_(events),
      templateId_(dialog.id),
      workerEnded_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool Win32Window::Create(const DialogTemplate& dialog, HWND owner) {
  if (workerEnded_ == nullptr) return false;
  const WORD language = LanguageId(dialog.language);
  HRSRC found = ::FindResourceExW(ui_.module, RT_DIALOG, MAKEINTRESOURCEW(dialog.id), language);
  if (found == nullptr) return false;
  const DWORD size = ::SizeofResource(ui_.module, found);
  const void* data = ::LockResource(::LoadResource(ui_.module, found));
  // A dialog template is a few hundred bytes; anything past 64 KiB is not one of ours.
  constexpr DWORD kMaxTemplateSize = 64 * 1024;
  if (data == nullptr || size < sizeof(DLGTEMPLATE) || size > kMaxTemplateSize) return false;
  // A copy, DWORD-aligned as the dialog manager wants it, without WS_VISIBLE: a modal dialog is
  // shown by its loop once it is ready, as the framework's dialogs are.
  std::vector<DWORD> copy((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  std::memcpy(copy.data(), data, size);
  auto* bytes = reinterpret_cast<unsigned char*>(copy.data());
  WORD signature = 0;
  std::memcpy(&signature, bytes + 2, sizeof signature);
  // DLGTEMPLATEEX: dlgVer, signature (0xFFFF), helpID, exStyle, then the style.
  const std::size_t styleOffset = signature == 0xFFFF ? 12 : 0;
  DWORD style = 0;
  std::memcpy(&style, bytes + styleOffset, sizeof style);
  style &= ~static_cast<DWORD>(WS_VISIBLE);
  std::memcpy(bytes + styleOffset, &style, sizeof style);

  if (!ui_.Register(this)) return false;
  registered_ = true;
  hwnd_ = ::CreateDialogIndirectParamW(ui_.module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()),
                                       owner, &DialogProc, reinterpret_cast<LPARAM>(this));
  return hwnd_ != nullptr;
}

Win32Window::~Win32Window() {
  ServeWorkersUntilEnded();
  if (hwnd_ != nullptr) {
    for (const std::uintptr_t id : timers_) ::KillTimer(hwnd_, id);
    if (disabledOwner_ != nullptr) ::EnableWindow(disabledOwner_, TRUE);
    ::SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
    ::DestroyWindow(hwnd_);
  }
  if (registered_) ui_.Unregister(this);
}

HWND Win32Window::Control(int id) const {
  return hwnd_ != nullptr ? ::GetDlgItem(hwnd_, id) : nullptr;
}

// ---- Controls -----------------------------------------------------------------------------------

void Win32Window::ShowControl(int id, bool show) {
  OnWindowThread([&] {
    if (HWND control = Control(id)) ::ShowWindow(control, show ? SW_SHOWNA : SW_HIDE);
  });
}

void Win32Window::EnableControl(int id, bool enable) {
  OnWindowThread([&] {
    if (HWND control = Control(id)) ::EnableWindow(control, enable ? TRUE : FALSE);
  });
}

void Win32Window::SetControlText(int id, std::u16string_view text) {
  OnWindowThread([&] {
    if (HWND control = Control(id)) ::SetWindowTextW(control, Wide(text).c_str());
  });
}

std::u16string Win32Window::ControlText(int id) {
  return OnWindowThread([&]() -> std::u16string {
    HWND control = Control(id);
    return control != nullptr ? WindowText(control) : std::u16string();
  });
}

bool Win32Window::IsControlVisible(int id) {
  // The control's own flag: a control of a hidden dialog is not hidden itself.
  return OnWindowThread([&] {
    HWND control = Control(id);
    return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
  });
}

bool Win32Window::IsControlEnabled(int id) {
  return OnWindowThread([&] {
    HWND control = Control(id);
    return control != nullptr && ::IsWindowEnabled(control) != FALSE;
  });
}

void Win32Window::SetProgressRange(int id, int low, int high) {
  OnWindowThread([&] {
    if (HWND control = Control(id)) {
      ::SendMessageW(control, PBM_SETRANGE32, static_cast<WPARAM>(low),
                     static_cast<LPARAM>(std::max(low, high)));
    }
  });
}

void Win32Window::SetProgressPos(int id, int position) {
  OnWindowThread([&] {
    if (HWND control = Control(id)) {
      ::SendMessageW(control, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
  });
}

void Win32Window::FocusControl(int id) {
  OnWindowThread([&] {
    // The dialog manager's focus move; a hidden control takes it as well.
    if (HWND control = Control(id)) {
      ::SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
  });
}

// ---- The window ---------------------------------------------------------------------------------

void Win32Window::SetTitle(std::u16string_view title) {
  OnWindowThread([&] { ::SetWindowTextW(hwnd_, Wide(title).c_str()); });
}

std::u16string Win32Window::Title() {
  return OnWindowThread([&] { return WindowText(hwnd_); });
}

void Win32Window::SetIcon(Icon icon, bool big) {
  OnWindowThread([&] {
    const int size = ::GetSystemMetrics(big ? SM_CXICON : SM_CXSMICON);
    HICON handle = icon ? ui_.IconOf(icon.resourceId, size) : nullptr;
    icons_[big] = handle != nullptr ? icon.resourceId : 0;
    ::SendMessageW(hwnd_, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                   reinterpret_cast<LPARAM>(handle));
  });
}

bool Win32Window::HasSystemMenu() {
  return OnWindowThread([&] { return (::GetWindowLongW(hwnd_, GWL_STYLE) & WS_SYSMENU) != 0; });
}

void Win32Window::AppendSystemMenuSeparator() {
  OnWindowThread([&] {
    if (HMENU menu = ::GetSystemMenu(hwnd_, FALSE)) ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  });
}

void Win32Window::AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) {
  OnWindowThread([&] {
    if (HMENU menu = ::GetSystemMenu(hwnd_, FALSE)) {
      ::AppendMenuW(menu, MF_STRING, id, Wide(text).c_str());
    }
  });
}

bool Win32Window::SetTimer(std::uintptr_t id, std::uint32_t periodMs) {
  return OnWindowThread([&] {
    if (ended_ || ::SetTimer(hwnd_, id, periodMs, nullptr) == 0) return false;
    timers_.insert(id);
    return true;
  });
}

void Win32Window::KillTimer(std::uintptr_t id) {
  OnWindowThread([&] {
    if (timers_.erase(id) != 0) ::KillTimer(hwnd_, id);
  });
}

int Win32Window::MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                            MessageBoxIcon icon) {
  return OnWindowThread([&] {
    ::MessageBoxW(hwnd_, Wide(text).c_str(),
                  Wide(caption.value_or(kDefaultMessageBoxCaption)).c_str(),
                  MB_OK | BoxIconFlag(icon));
    // A box with one OK button answers OK however it was closed.
    return IDOK;
  });
}

// ---- Workers and the modal loop -----------------------------------------------------------------

bool Win32Window::BeginThread(std::function<void()> body) {
  return OnWindowThread([&] {
    if (ended_) return false;
    {
      std::lock_guard lock(workerMutex_);
      ++liveWorkers_;
    }
    try {
      workers_.emplace_back([this, work = std::move(body)] {
        work();
        // The last thing the worker does: counts itself out and wakes the window's thread.
        std::lock_guard lock(workerMutex_);
        --liveWorkers_;
        ::SetEvent(workerEnded_.get());
      });
    } catch (const std::system_error&) {
      std::lock_guard lock(workerMutex_);
      --liveWorkers_;
      return false;
    }
    return true;
  });
}

void Win32Window::PumpUntil(const std::function<bool()>& done, HANDLE wakeUp) {
  MSG message;
  while (!done()) {
    // Sent messages (the workers' calls) are served inside the wait and PeekMessageW.
    const DWORD count = wakeUp != nullptr ? 1 : 0;
    ::MsgWaitForMultipleObjectsEx(count, &wakeUp, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    while (!done() && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // Not ours to take: the program's own loop sees it when the dialogs are gone.
        ::PostQuitMessage(static_cast<int>(message.wParam));
        return;
      }
      HWND root = message.hwnd != nullptr ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
      if (root != nullptr && ::IsDialogMessageW(root, &message)) continue;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
}

void Win32Window::ServeWorkersUntilEnded() {
  const auto allEnded = [this] {
    std::lock_guard lock(workerMutex_);
    return liveWorkers_ == 0;
  };
  // A worker may be waiting for this thread (a sent call, a message box): keep serving it.
  while (!allEnded()) PumpUntil(allEnded, workerEnded_.get());
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

int Win32Window::RunModal() {
  if (!ended_) {
    HWND owner = ::GetWindow(hwnd_, GW_OWNER);
    if (owner != nullptr && ::IsWindowEnabled(owner)) {
      ::EnableWindow(owner, FALSE);
      disabledOwner_ = owner;
    }
    ::ShowWindow(hwnd_, SW_SHOWNORMAL);
    ::SetForegroundWindow(hwnd_);
    PumpUntil([this] { return ended_; }, nullptr);
    if (!ended_) EndModal(IDCANCEL);  // the program is quitting
  }
  // The workers use the dialog object: the loop returns only after they have ended.
  ServeWorkersUntilEnded();
  return result_;
}

void Win32Window::EndModal(int result) {
  OnWindowThread([&] {
    if (ended_) return;
    ended_ = true;
    result_ = result;
    for (const std::uintptr_t id : timers_) ::KillTimer(hwnd_, id);
    timers_.clear();
    // The owner first, so that the system activates it rather than another program's window.
    if (disabledOwner_ != nullptr) {
      ::EnableWindow(disabledOwner_, TRUE);
      disabledOwner_ = nullptr;
    }
    ::ShowWindow(hwnd_, SW_HIDE);
    ::PostMessageW(hwnd_, WM_NULL, 0, 0);  // wakes the modal loop
  });
}

// ---- Messages -----------------------------------------------------------------------------------

INT_PTR CALLBACK Win32Window::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    reinterpret_cast<Win32Window*>(lParam)->hwnd_ = hwnd;
    return TRUE;  // the first tab stop takes the focus; the dialog's OnInitDialog may move it
  }
  auto* window = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  return window != nullptr ? window->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR Win32Window::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      // Clicks, and IDOK / IDCANCEL from the dialog manager; the edits' notifications are not
      // commands.
      const WORD code = HIWORD(wParam);
      if (code != BN_CLICKED && code != 1) return FALSE;
      if (!ended_) events_.OnCommand(LOWORD(wParam));
      return TRUE;
    }
    case WM_SYSCOMMAND: {
      const auto command = static_cast<std::uint32_t>(wParam);
      const std::uint32_t id = command & kSystemCommandMask;
      if (id != SC_CLOSE && id >= kFirstSystemCommand) return FALSE;  // move, minimise, ...
      if (!ended_) events_.OnSysCommand(command, static_cast<std::intptr_t>(lParam));
      return TRUE;
    }
    case WM_CLOSE:
      if (!ended_) events_.OnSysCommand(SC_CLOSE, 0);
      return TRUE;
    case WM_TIMER:
      if (!ended_ && timers_.contains(wParam)) events_.OnTimer(wParam);
      return TRUE;
    case WM_PAINT:
      if (::IsIconic(hwnd_)) {
        Paint();
        return TRUE;
      }
      events_.OnPaint();
      return FALSE;  // the dialog manager paints the rest
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(
          icons_[true] != 0 ? ui_.IconOf(icons_[true], ::GetSystemMetrics(SM_CXICON)) : nullptr);
    default:
      return FALSE;
  }
}

void Win32Window::DeliverDeviceChange(platform::DeviceChange change) {
  events_.OnDeviceChange(change);
}

// ---- Painting -----------------------------------------------------------------------------------

void Win32Window::Paint() {
  PAINTSTRUCT paint;
  paintDc_ = ::BeginPaint(hwnd_, &paint);
  events_.OnPaint();
  ::EndPaint(hwnd_, &paint);
  paintDc_ = nullptr;
}

bool Win32Window::IsIconic() {
  return OnWindowThread([&] { return ::IsIconic(hwnd_) != FALSE; });
}

Size Win32Window::ClientSize() {
  return OnWindowThread([&] {
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    return Size{client.right - client.left, client.bottom - client.top};
  });
}

Size Win32Window::IconSize() {
  return Size{::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON)};
}

void Win32Window::PaintIcon(Icon icon, int x, int y) {
  OnWindowThread([&] {
    // Only inside the paint message of a minimised window.
    if (paintDc_ == nullptr) return;
    ::SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paintDc_), 0);
    if (HICON handle =
            icon ? ui_.IconOf(icon.resourceId, ::GetSystemMetrics(SM_CXICON)) : nullptr) {
      ::DrawIcon(paintDc_, x, y, handle);
    }
  });
}

}  // namespace tr350::ui::win32

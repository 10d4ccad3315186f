// The Win32 backend's core: the message-only window that carries calls and device changes to the
// window's thread, the user's language, icons, the backend object and text for a windowless
// program.
#include "ui/win32/win32_internal.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <string>

namespace tr350::ui::win32 {
namespace {

constexpr wchar_t kTaskClassName[] = L"TR350UiTasks";

// A call carried to the window's thread; the sender waits for it on the stack.
struct SentTask {
  const std::function<void()>* task = nullptr;
  std::exception_ptr error;
  bool ran = false;
};

HINSTANCE ProgramModule() {
  return ::GetModuleHandleW(nullptr);
}

}  // namespace

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string U16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

Language UserUiLanguage() {
  return LanguageFromLangId(::GetUserDefaultUILanguage());
}

// ---- The backend's state ------------------------------------------------------------------------

Win32Ui::Impl::Impl(Win32Ui& owner, Win32UiOptions options)
    : backend(owner),
      language(options.language.value_or(UserUiLanguage())),
      resources(options.resources),
      module(options.module != nullptr ? options.module : ProgramModule()) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &TaskWindowProc;
  windowClass.hInstance = module;
  windowClass.lpszClassName = kTaskClassName;
  // A second backend in the process (tests make one after another) finds the class registered.
  taskClass = ::RegisterClassExW(&windowClass);
}

Win32Ui::Impl::~Impl() {
  if (taskClass != 0) ::UnregisterClassW(kTaskClassName, module);
}

LRESULT CALLBACK Win32Ui::Impl::TaskWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == kRunTaskMessage && lParam != 0) {
    auto* sent = reinterpret_cast<SentTask*>(lParam);
    sent->ran = true;
    try {
      (*sent->task)();
    } catch (...) {
      sent->error = std::current_exception();
    }
    return 0;
  }
  if (message == kDeviceChangeMessage && impl != nullptr) {
    impl->DeliverDeviceChange(static_cast<platform::DeviceChange>(wParam));
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

void Win32Ui::Impl::Send(const std::function<void()>& task) {
  HWND target = nullptr;
  {
    std::lock_guard lock(mutex);
    if (windowThread != 0 && windowThread != ::GetCurrentThreadId()) target = taskWindow;
  }
  SentTask sent{&task, nullptr, false};
  if (target != nullptr) {
    ::SendMessageW(target, kRunTaskMessage, 0, reinterpret_cast<LPARAM>(&sent));
  }
  // The window's thread, no window open, or the last one closed meanwhile: run it here.
  if (!sent.ran) {
    task();
    return;
  }
  if (sent.error) std::rethrow_exception(sent.error);
}

bool Win32Ui::Impl::Register(Win32Window* window) {
  if (windows.empty()) {
    HWND created = ::CreateWindowExW(0, kTaskClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     module, nullptr);
    if (created == nullptr) return false;
    ::SetWindowLongPtrW(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    std::lock_guard lock(mutex);
    windowThread = ::GetCurrentThreadId();
    taskWindow = created;
  }
  windows.push_back(window);
  return true;
}

void Win32Ui::Impl::Unregister(Win32Window* window) {
  std::erase(windows, window);
  if (!windows.empty()) return;
  HWND gone = nullptr;
  {
    std::lock_guard lock(mutex);
    windowThread = 0;
    std::swap(gone, taskWindow);
  }
  // A sender that raced past the lock finds the window gone and runs its task itself.
  if (gone != nullptr) ::DestroyWindow(gone);
}

void Win32Ui::Impl::DeliverDeviceChange(platform::DeviceChange change) {
  // A handler may open or close windows: each is looked up again before it gets the change.
  const std::vector<Win32Window*> snapshot = windows;
  for (Win32Window* window : snapshot) {
    if (std::ranges::find(windows, window) != windows.end() && !window->Ended()) {
      window->DeliverDeviceChange(change);
    }
  }
}

HWND Win32Ui::Impl::TopWindow() const {
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (!(*it)->Ended()) return (*it)->Handle();
  }
  return nullptr;
}

HICON Win32Ui::Impl::IconOf(int resourceId, int size) {
  UniqueIcon& icon = icons[{resourceId, size}];
  if (icon == nullptr) {
    icon.reset(static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(resourceId), IMAGE_ICON,
                                               size, size, LR_DEFAULTCOLOR)));
  }
  return icon.get();
}

// ---- The backend --------------------------------------------------------------------------------

Win32Ui::Win32Ui(Win32UiOptions options) {
  platform::DeviceNotifications& notifications = options.notifications != nullptr
                                                     ? *options.notifications
                                                     : platform::Current().Notifications();
  impl_ = std::make_unique<Impl>(*this, std::move(options));
  Impl* impl = impl_.get();
  // The listener runs on the notifier's thread and only posts the change to the window's thread.
  impl_->subscription = notifications.Subscribe([impl](platform::DeviceChange change) {
    std::lock_guard lock(impl->mutex);
    if (impl->taskWindow != nullptr) {
      ::PostMessageW(impl->taskWindow, kDeviceChangeMessage, static_cast<WPARAM>(change), 0);
    }
  });
}

Win32Ui::~Win32Ui() {
  impl_->subscription.reset();
}

Language Win32Ui::UserLanguage() const {
  return impl_->language;
}

const UiResources& Win32Ui::Resources() const {
  return impl_->resources;
}

bool Win32Ui::InitCommonControls() {
  INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  impl_->commonControls = ::InitCommonControlsEx(&classes) != FALSE;
  return impl_->commonControls;
}

std::unique_ptr<Window> Win32Ui::CreateDialogWindow(const DialogTemplate& dialog,
                                                    WindowEvents& events) {
  if (!OnWindowThread()) return nullptr;
  // The progress bar's class must be registered before a template that holds one is made.
  if (!impl_->commonControls) InitCommonControls();
  // Dialogs belong to the newest open window, as the system's dialogs belong to the main window;
  // a window with a taskbar button of its own belongs to none.
  HWND owner = HasFlag(dialog.style, WindowStyle::kAppWindow) ? nullptr : impl_->TopWindow();
  auto window = std::make_unique<Win32Window>(*impl_, dialog, events);
  if (!window->Create(dialog, owner)) return nullptr;
  return window;
}

bool Win32Ui::OnWindowThread() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->windowThread == 0 || impl_->windowThread == ::GetCurrentThreadId();
}

void Win32Ui::Send(const std::function<void()>& task) {
  impl_->Send(task);
}

Icon Win32Ui::LoadIcon(int resourceId) {
  const bool present =
      ::FindResourceW(impl_->module, MAKEINTRESOURCEW(resourceId), RT_GROUP_ICON) != nullptr;
  return present ? Icon{resourceId} : Icon{};
}

WindowHandle Win32Ui::NewestDialog(int templateId) const {
  for (auto it = impl_->windows.rbegin(); it != impl_->windows.rend(); ++it) {
    if ((*it)->TemplateId() == templateId && !(*it)->Ended()) return (*it)->Handle();
  }
  return nullptr;
}

std::uint32_t Win32Ui::WindowThreadId() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->windowThread;
}

std::unique_ptr<Backend> MakeWin32Ui(Win32UiOptions options) {
  return std::make_unique<Win32Ui>(std::move(options));
}

// ---- Text without a window ----------------------------------------------------------------------

void ReportText(std::u16string_view caption, std::string_view text, bool error) {
  HANDLE stream = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (stream != nullptr && stream != INVALID_HANDLE_VALUE &&
      ::GetFileType(stream) != FILE_TYPE_UNKNOWN) {
    DWORD written = 0;
    if (::WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size()) {
      return;
    }
  }
  // The text is UTF-8; the box wants UTF-16.
  const int size = static_cast<int>(text.size());
  std::wstring wide(
      static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)),
      L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  ::MessageBoxW(nullptr, wide.c_str(), Wide(caption).c_str(),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace tr350::ui::win32

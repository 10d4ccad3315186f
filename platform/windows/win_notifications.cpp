// The window, its thread and its message loop behind DeviceNotifications.
#include "platform/windows/win_notifications.h"

#include <windows.h>
// Defines the interface class GUID here; the headers after it need the types windows.h declares.
#include <initguid.h>

#include <dbt.h>
#include <usbiodef.h>

#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tr350::platform::windows {
namespace {

constexpr UINT kStopMessage = WM_APP + 1;

// One subscription's window and thread. The thread holds it too, so that it lives on when a
// listener ends its own subscription.
struct Watch {
  explicit Watch(DeviceNotifications::Listener l) : listener(std::move(l)) {}
  const DeviceNotifications::Listener listener;
  std::mutex mutex;
  bool stopping = false;  // guarded by mutex: no listener call starts once it is set
  HWND window = nullptr;  // written by the thread before `ready` is set
  std::thread thread;

  void Notify(DeviceChange change) {
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
    }
    listener(change);
  }
};

// The change a WM_DEVICECHANGE reports for a USB device interface; nullopt for anything else.
std::optional<DeviceChange> ChangeOf(WPARAM event, LPARAM data) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return std::nullopt;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
    return std::nullopt;
  }
  const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  if (device->dbcc_classguid != GUID_DEVINTERFACE_USB_DEVICE) return std::nullopt;
  return event == DBT_DEVICEARRIVAL ? DeviceChange::kArrival : DeviceChange::kRemovalComplete;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* watch = reinterpret_cast<Watch*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_DEVICECHANGE && watch != nullptr) {
    if (const std::optional<DeviceChange> change = ChangeOf(wParam, lParam)) watch->Notify(*change);
    return TRUE;
  }
  if (message == kStopMessage) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = WinNotifications::kWindowClass;
  // Registered once per process by whichever subscription comes first.
  return ::RegisterClassExW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The thread of one subscription: makes the window, says whether that worked, and runs its
// messages until asked to stop.
void Run(const std::shared_ptr<Watch>& watch, std::promise<bool>& ready) {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  HWND window = nullptr;
  HDEVNOTIFY registration = nullptr;
  if (RegisterWindowClass(instance)) {
    window = ::CreateWindowExW(0, WinNotifications::kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, instance, watch.get());
  }
  if (window != nullptr) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    registration = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  const bool started = registration != nullptr;
  watch->window = window;
  ready.set_value(started);
  if (started) {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    ::UnregisterDeviceNotification(registration);
  }
  if (window != nullptr) ::DestroyWindow(window);
}

class WinSubscription final : public DeviceNotifications::Subscription {
 public:
  explicit WinSubscription(std::shared_ptr<Watch> watch) : watch_(std::move(watch)) {}
  ~WinSubscription() override {
    {
      std::lock_guard lock(watch_->mutex);
      watch_->stopping = true;
    }
    // Fails only while the window's queue is full, which its thread is draining.
    while (!::PostMessageW(watch_->window, kStopMessage, 0, 0)) ::Sleep(1);
    if (watch_->thread.get_id() == std::this_thread::get_id()) {
      watch_->thread.detach();  // inside this subscription's own listener call: it ends after it
    } else {
      watch_->thread.join();
    }
  }
  WinSubscription(const WinSubscription&) = delete;
  WinSubscription& operator=(const WinSubscription&) = delete;

 private:
  std::shared_ptr<Watch> watch_;
};

}  // namespace

std::unique_ptr<DeviceNotifications::Subscription> WinNotifications::Subscribe(Listener listener) {
  if (!listener) return nullptr;
  auto watch = std::make_shared<Watch>(std::move(listener));
  std::promise<bool> ready;
  std::future<bool> started = ready.get_future();
  try {
    watch->thread = std::thread([watch, ready = std::move(ready)]() mutable { Run(watch, ready); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  if (!started.get()) {
    watch->thread.join();
    return nullptr;
  }
  return std::make_unique<WinSubscription>(std::move(watch));
}

}  // namespace tr350::platform::windows

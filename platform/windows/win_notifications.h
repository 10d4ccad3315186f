// USB device arrival and removal on Windows: WM_DEVICECHANGE on a message-only window.
#pragma once

#include "platform/platform.h"

namespace tr350::platform::windows {

// Each subscription has a thread of its own with a message-only window of the class below,
// registered with RegisterDeviceNotificationW for USB device interfaces; DBT_DEVICEARRIVAL and
// DBT_DEVICEREMOVECOMPLETE of that class reach the listener, on that thread, one at a time.
//
// Thread-safe. Ending a subscription stops its thread and waits for it, so that no listener call
// starts after the destructor returns; a listener may end its own subscription from inside its
// call (the thread then ends after that call). Subscriptions may outlive this object.
class WinNotifications final : public DeviceNotifications {
 public:
  static constexpr const wchar_t* kWindowClass = L"tr350.DeviceNotifications";

  // Null when the listener is empty or the window, its registration or its thread cannot be made.
  std::unique_ptr<Subscription> Subscribe(Listener listener) override;
};

}  // namespace tr350::platform::windows

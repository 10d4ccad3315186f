// WM_DEVICECHANGE on the subscription's message-only window reaches the listener; other messages
// do not, and nothing does once the subscription has ended.
#include <gtest/gtest.h>

#include <windows.h>
// The interface class GUIDs, defined in this program; the headers after it need windows.h.
#include <initguid.h>

#include <dbt.h>
#include <usbiodef.h>

#include <atomic>
#include <vector>

#include "platform/windows/win_notifications.h"

namespace tr350::platform::windows {
namespace {

HWND FindWatchWindow() {
  return ::FindWindowExW(HWND_MESSAGE, nullptr, WinNotifications::kWindowClass, nullptr);
}

// Sends what the system sends for a device interface of this class (synchronously: the listener
// has run when this returns).
void SendChange(HWND window, WPARAM event, const GUID& interfaceClass, DWORD type) {
  DEV_BROADCAST_DEVICEINTERFACE_W change{};
  change.dbcc_size = sizeof change;
  change.dbcc_devicetype = type;
  change.dbcc_classguid = interfaceClass;
  ::SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&change));
}

TEST(WinNotificationsTest, UsbArrivalAndRemovalReachTheListenerUntilTheSubscriptionEnds) {
  WinNotifications notifications;
  EXPECT_EQ(notifications.Subscribe(nullptr), nullptr);

  std::vector<DeviceChange> seen;  // written on the window's thread while this one waits in Send
  auto subscription = notifications.Subscribe([&](DeviceChange c) { seen.push_back(c); });
  ASSERT_NE(subscription, nullptr);
  const HWND window = FindWatchWindow();
  ASSERT_NE(window, nullptr);

  SendChange(window, DBT_DEVICEARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, DBT_DEVTYP_DEVICEINTERFACE);
  SendChange(window, DBT_DEVICEREMOVECOMPLETE, GUID_DEVINTERFACE_USB_DEVICE,
             DBT_DEVTYP_DEVICEINTERFACE);
  // Not a USB device change: another class, another kind of record, another event.
  SendChange(window, DBT_DEVICEARRIVAL, GUID_DEVINTERFACE_USB_HUB, DBT_DEVTYP_DEVICEINTERFACE);
  SendChange(window, DBT_DEVICEARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, DBT_DEVTYP_VOLUME);
  SendChange(window, DBT_DEVICEQUERYREMOVE, GUID_DEVINTERFACE_USB_DEVICE,
             DBT_DEVTYP_DEVICEINTERFACE);
  EXPECT_EQ(seen, (std::vector{DeviceChange::kArrival, DeviceChange::kRemovalComplete}));

  subscription.reset();
  EXPECT_FALSE(::IsWindow(window));  // its thread has ended and taken the window with it
  EXPECT_EQ(FindWatchWindow(), nullptr);
}

TEST(WinNotificationsTest, AListenerMayEndItsOwnSubscription) {
  WinNotifications notifications;
  std::unique_ptr<DeviceNotifications::Subscription> subscription;
  std::atomic<int> calls = 0;
  subscription = notifications.Subscribe([&](DeviceChange) {
    ++calls;
    subscription.reset();
  });
  ASSERT_NE(subscription, nullptr);
  const HWND window = FindWatchWindow();
  ASSERT_NE(window, nullptr);
  SendChange(window, DBT_DEVICEARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, DBT_DEVTYP_DEVICEINTERFACE);
  EXPECT_EQ(subscription, nullptr);
  // Whether or not the window is still winding down, the listener is not called again.
  SendChange(window, DBT_DEVICEARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, DBT_DEVTYP_DEVICEINTERFACE);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tr350::platform::windows

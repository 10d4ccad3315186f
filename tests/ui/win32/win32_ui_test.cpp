// The Win32 backend's threading model: a worker's calls run on the window's thread and what a call
// throws reaches the worker; a device change reaches the dialog on the window's thread; the modal
// loop returns only once the window's workers have ended, serving their calls until then.
#include "ids/resource_ids.h"
#include "res/dialog_templates.h"

#include "tests/ui/win32/win32_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>

namespace tr350::test {
namespace {

// Device notifications the test raises itself, from a thread of its own.
class TestNotifications final : public platform::DeviceNotifications {
 public:
  std::unique_ptr<Subscription> Subscribe(Listener listener) override {
    listener_ = std::move(listener);
    return std::make_unique<Subscription>();
  }
  void Raise(platform::DeviceChange change) { listener_(change); }

 private:
  Listener listener_;
};

// The result dialog, its worker run by the test.
class WorkerDialog final : public ui::Dialog {
 public:
  WorkerDialog(ui::Backend& backend, std::function<void(WorkerDialog&)> work)
      : ui::Dialog(backend, IDD_MESSAGEBOX), work_(std::move(work)) {}

  std::atomic<DWORD> deviceChangeThread{0};
  std::promise<void> deviceChanged;

 protected:
  bool OnInitDialog() override {
    ui::Dialog::OnInitDialog();
    EXPECT_TRUE(BeginThread([this] { work_(*this); }));
    return true;
  }
  bool OnDeviceChange(platform::DeviceChange) override {
    deviceChangeThread = ::GetCurrentThreadId();
    deviceChanged.set_value();
    return true;
  }

 private:
  std::function<void(WorkerDialog&)> work_;
};

TEST(Win32UiTest, AWorkersCallsRunOnTheWindowsThreadAndTheLoopWaitsForIt) {
  TestNotifications notifications;
  ui::win32::Win32Ui ui({&notifications, ui::Language::kEnglish, res::WindowResources(), nullptr});
  const DWORD windowThread = ::GetCurrentThreadId();
  std::atomic<bool> finished{false};
  WorkerDialog dialog(ui, [&](WorkerDialog& d) {
    DWORD ranOn = 0;
    ui.Send([&] { ranOn = ::GetCurrentThreadId(); });
    EXPECT_EQ(ranOn, windowThread);
    EXPECT_THROW(ui.Send([] { throw std::runtime_error("from the window's thread"); }),
                 std::runtime_error);
    // A device change from another thread is handled on the window's thread.
    std::thread notifier([&] { notifications.Raise(platform::DeviceChange::kArrival); });
    notifier.join();
    EXPECT_EQ(d.deviceChanged.get_future().wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_EQ(d.deviceChangeThread.load(), windowThread);
    d.EndDialog(IDOK);
    // The dialog has ended: its calls are still served until its worker has.
    d.SetItemText(IDC_RESULT_TEXT, u"after the end");
    EXPECT_EQ(d.ItemText(IDC_RESULT_TEXT), u"after the end");
    finished = true;
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace tr350::test

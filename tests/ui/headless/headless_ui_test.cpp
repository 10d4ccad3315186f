// The headless backend: timers on a virtual clock, operations sent from workers, modal boxes shown
// for workers, input routing, the modal loop waiting for its workers, and the language choice.
#include "ui/headless/headless_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/emulated/virtual_clock.h"

namespace tr350::ui::headless {
namespace {

constexpr int kDialog = 500;
constexpr int kGo = 10;
constexpr int kEdit = 11;
constexpr int kBar = 12;
constexpr int kHiddenButton = 13;

constexpr ControlTemplate kControls[] = {
    {kGo, ControlKind::kPushButton, u"Go", {5, 5, 40, 14}, true},
    {kEdit, ControlKind::kEdit, u"", {5, 25, 40, 14}, true},
    {kBar, ControlKind::kProgress, u"", {5, 45, 40, 8}, true},
    {kHiddenButton, ControlKind::kPushButton, u"Hidden", {50, 5, 40, 14}, false},
    {IDCANCEL, ControlKind::kPushButton, u"Close", {50, 25, 40, 14}, true},
};
constexpr DialogTemplate kDialogs[] = {
    {kDialog, Language::kNeutral, 100, 60, u"Test", u"MS Shell Dlg", 8, 400,
     WindowStyle::kPopup | WindowStyle::kSystemMenu, kControls},
    {kDialog, Language::kJapanese, 100, 60, u"Test ja", u"MS Shell Dlg", 8, 400,
     WindowStyle::kPopup, kControls},
};
constexpr StringEntry kStrings[] = {
    {1, Language::kNeutral, u"one"},
    {1, Language::kJapanese, u"ichi"},
    {2, Language::kNeutral, u"two"},
};

class FakeNotifications final : public platform::DeviceNotifications {
 public:
  std::unique_ptr<Subscription> Subscribe(Listener subscriber) override {
    std::lock_guard lock(mutex);
    listener = std::move(subscriber);
    return std::make_unique<Subscription>();
  }
  void Fire(platform::DeviceChange change) {
    Listener copy;
    {
      std::lock_guard lock(mutex);
      copy = listener;
    }
    copy(change);
  }
  std::mutex mutex;
  Listener listener;
};

// A dialog whose handlers are given by the test.
class TestDialog final : public Dialog {
 public:
  explicit TestDialog(Backend& ui) : Dialog(ui, kDialog) {}
  std::function<void(TestDialog&)> onInit;
  std::function<void(TestDialog&, int)> onCommand;
  std::function<void(TestDialog&, std::uintptr_t)> onTimer;
  std::atomic<int> deviceChanges{0};
  std::thread::id deviceChangeThread;

 protected:
  bool OnInitDialog() override {
    Dialog::OnInitDialog();
    if (onInit) onInit(*this);
    return true;
  }
  void OnCommand(int id) override {
    if (onCommand) onCommand(*this, id);
    Dialog::OnCommand(id);
  }
  void OnTimer(std::uintptr_t id) override {
    if (onTimer) onTimer(*this, id);
  }
  bool OnDeviceChange(platform::DeviceChange) override {
    deviceChangeThread = std::this_thread::get_id();
    ++deviceChanges;
    return true;
  }
};

class HeadlessUiTest : public ::testing::Test {
 protected:
  HeadlessUi& Ui(std::string locale = "C") {
    ui = std::make_unique<HeadlessUi>(
        HeadlessOptions{&clock, &notifications, std::move(locale), {kDialogs, kStrings}});
    return *ui;
  }
  // Runs the dialog on a window thread of its own.
  void Run(TestDialog& dialog) {
    window = std::thread([&dialog, this] {
      windowThread = std::this_thread::get_id();
      result = dialog.DoModal();
    });
    ASSERT_TRUE(ui->WaitUntil([](const Snapshot& s) { return s.Dialog(kDialog) && s.Quiet(); }));
  }
  void TearDown() override {
    if (window.joinable()) window.join();
  }

  platform::VirtualClock clock{1000};
  FakeNotifications notifications;
  std::unique_ptr<HeadlessUi> ui;
  std::thread window;
  std::thread::id windowThread;
  int result = 0;
};

TEST_F(HeadlessUiTest, TimersFireInDueOrderAndMoveAVirtualClockOnlyToTheirDueTimes) {
  HeadlessUi& headless = Ui();
  TestDialog dialog(headless);
  std::vector<std::pair<std::uintptr_t, std::uint64_t>> fired;
  dialog.onInit = [](TestDialog& d) {
    d.SetTimer(1, 800);
    d.SetTimer(2, 500);
  };
  dialog.onTimer = [&](TestDialog& d, std::uintptr_t id) {
    fired.emplace_back(id, clock.NowMs());
    d.KillTimer(id);
    if (fired.size() == 2) d.EndDialog(IDOK);
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);  // this thread is the window's thread
  EXPECT_EQ(fired, (std::vector<std::pair<std::uintptr_t, std::uint64_t>>{{2, 1500}, {1, 1800}}));
  EXPECT_EQ(clock.NowMs(), 1800u);
}

TEST_F(HeadlessUiTest, ClockStandsStillWhileAWorkerIsAlive) {
  HeadlessUi& headless = Ui();
  TestDialog dialog(headless);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<std::uint64_t> firedAt{0};
  dialog.onInit = [&](TestDialog& d) {
    d.SetTimer(1, 500);
    d.BeginThread([released] { released.wait(); });
  };
  dialog.onTimer = [&](TestDialog& d, std::uintptr_t id) {
    d.KillTimer(id);
    firedAt = clock.NowMs();
    d.EndDialog(IDOK);
  };
  window = std::thread([&] { dialog.DoModal(); });
  ASSERT_TRUE(headless.WaitUntil(
      [](const Snapshot& s) { return s.liveThreads == 1 && s.armedTimers == 1 && s.loopWaiting; }));
  EXPECT_EQ(clock.NowMs(), 1000u);
  release.set_value();
  window.join();
  EXPECT_EQ(firedAt.load(), 1500u);
}

TEST_F(HeadlessUiTest, WorkerOperationsRunOnTheWindowThreadBeforeTheyReturn) {
  HeadlessUi& headless = Ui();
  std::mutex mutex;
  std::vector<std::thread::id> changeThreads;
  headless.SetChangeListener([&](const Change&) {
    std::lock_guard lock(mutex);
    changeThreads.push_back(std::this_thread::get_id());
  });
  TestDialog dialog(headless);
  std::atomic<bool> seenAtReturn{false};
  dialog.onInit = [&](TestDialog& d) {
    d.BeginThread([&d, &headless, &seenAtReturn] {
      d.SetItemText(kEdit, u"from worker");
      const auto log = headless.Log();
      seenAtReturn =
          !log.empty() && log.back().kind == ChangeKind::kText && log.back().text == u"from worker";
      d.ShowItem(kBar, false);
      d.EndDialog(IDOK);
    });
  };
  window = std::thread([&] {
    windowThread = std::this_thread::get_id();
    dialog.DoModal();
  });
  window.join();
  EXPECT_TRUE(seenAtReturn);
  std::lock_guard lock(mutex);
  ASSERT_FALSE(changeThreads.empty());
  for (std::thread::id id : changeThreads) EXPECT_EQ(id, windowThread);
}

TEST_F(HeadlessUiTest, BoxShownForAWorkerWaitsForItsAnswer) {
  HeadlessUi& headless = Ui();
  headless.SetModalScript([](const WindowState&) { return std::nullopt; });  // answered below
  TestDialog dialog(headless);
  std::atomic<int> answer{0};
  dialog.onInit = [&](TestDialog& d) {
    d.BeginThread([&d, &answer] { answer = d.MessageBox(u"Hold", std::nullopt); });
  };
  window = std::thread([&] { dialog.DoModal(); });
  ASSERT_TRUE(
      headless.WaitUntil([](const Snapshot& s) { return s.MessageBox() && s.loopWaiting; }));
  const Snapshot snap = headless.Snap();
  const WindowState box = *snap.MessageBox();
  EXPECT_TRUE(box.fromWorker);
  EXPECT_EQ(box.owner, snap.Dialog(kDialog)->serial);
  EXPECT_EQ(box.title, kDefaultMessageBoxCaption);
  EXPECT_EQ(answer.load(), 0);
  // The box is modal: the dialog below takes no input.
  headless.Click(kDialog, kGo);
  headless.Press(box.serial, IDOK);
  ASSERT_TRUE(headless.WaitUntil([](const Snapshot& s) { return s.Quiet(); }));
  EXPECT_EQ(answer.load(), IDOK);
  const auto log = headless.Log();
  EXPECT_TRUE(std::ranges::any_of(log, [](const Change& c) {
    return c.kind == ChangeKind::kInputDropped && c.control == kGo;
  }));
  headless.Click(kDialog, IDCANCEL);
  window.join();
}

TEST_F(HeadlessUiTest, ClicksReachOnlyVisibleEnabledButtons) {
  HeadlessUi& headless = Ui();
  TestDialog dialog(headless);
  std::vector<int> commands;
  dialog.onCommand = [&](TestDialog&, int id) { commands.push_back(id); };
  Run(dialog);
  headless.Click(kDialog, kHiddenButton);
  headless.Click(kDialog, kEdit);
  headless.Send([&] { dialog.EnableItem(kGo, false); });
  headless.Click(kDialog, kGo);
  headless.Send([&] { dialog.EnableItem(kGo, true); });
  headless.Click(kDialog, kGo);
  headless.Click(kDialog, IDCANCEL);
  window.join();
  EXPECT_EQ(commands, (std::vector<int>{kGo, IDCANCEL}));
  EXPECT_EQ(result, IDCANCEL);
}

TEST_F(HeadlessUiTest, ModalLoopReturnsOnlyAfterItsWorkersHaveEnded) {
  HeadlessUi& headless = Ui();
  TestDialog dialog(headless);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> returned{false};
  dialog.onInit = [&](TestDialog& d) {
    d.BeginThread([&d, released] {
      released.wait();
      d.SetItemText(kEdit, u"after the end");  // still served
    });
  };
  window = std::thread([&] {
    dialog.DoModal();
    returned = true;
  });
  ASSERT_TRUE(headless.WaitUntil([](const Snapshot& s) { return s.Dialog(kDialog) != nullptr; }));
  headless.Click(kDialog, IDCANCEL);
  ASSERT_TRUE(headless.WaitUntil([](const Snapshot& s) {
    return s.windows.size() == 1 && s.windows[0].ended && s.loopWaiting;
  }));
  EXPECT_FALSE(returned.load());
  release.set_value();
  window.join();
  const auto log = headless.Log();
  EXPECT_TRUE(std::ranges::any_of(log, [](const Change& c) { return c.text == u"after the end"; }));
}

// Device changes from the platform's thread and tasks sent from this one run on the window's
// thread; a task's exception comes back to its sender.
TEST_F(HeadlessUiTest, DeviceChangesAndSentTasksRunOnTheWindowThread) {
  HeadlessUi& headless = Ui();
  TestDialog dialog(headless);
  Run(dialog);
  notifications.Fire(platform::DeviceChange::kArrival);
  notifications.Fire(platform::DeviceChange::kRemovalComplete);
  ASSERT_TRUE(headless.WaitUntil([](const Snapshot& s) { return s.Quiet(); }));
  EXPECT_EQ(dialog.deviceChanges.load(), 2);
  std::thread::id ranOn;
  const auto failing = [&] {
    ranOn = std::this_thread::get_id();
    throw std::runtime_error("task failed");
  };
  EXPECT_THROW(headless.Send(failing), std::runtime_error);
  headless.Click(kDialog, IDCANCEL);
  window.join();
  EXPECT_EQ(dialog.deviceChangeThread, windowThread);
  EXPECT_EQ(ranOn, windowThread);
}

TEST(LanguageTest, LocaleNamesAndTheirPrecedence) {
  const std::pair<std::string_view, Language> cases[] = {
      {"zh_TW.UTF-8", Language::kChineseTraditional},
      {"zh_HK", Language::kChineseTraditional},
      {"zh-Hant-CN", Language::kChineseTraditional},
      {"zh_CN.UTF-8", Language::kNeutral},
      {"zh-Hans-TW", Language::kNeutral},
      {"zh", Language::kNeutral},
      {"ja_JP.eucJP", Language::kJapanese},
      {"JA", Language::kJapanese},
      {"jam", Language::kNeutral},
      {"en_US.UTF-8", Language::kEnglish},
      {"en", Language::kEnglish},
      {"eo", Language::kNeutral},
      {"C", Language::kNeutral},
      {"", Language::kNeutral},
  };
  for (const auto& [locale, language] : cases) {
    EXPECT_EQ(LanguageFromLocale(locale), language) << locale;
  }
  EXPECT_EQ(LanguageFromEnvironment("ja_JP", "zh_TW", "C"), Language::kJapanese);
  EXPECT_EQ(LanguageFromEnvironment("", "zh_TW", "ja_JP"), Language::kChineseTraditional);
  EXPECT_EQ(LanguageFromEnvironment("", "", "ja_JP"), Language::kJapanese);
}

}  // namespace
}  // namespace tr350::ui::headless

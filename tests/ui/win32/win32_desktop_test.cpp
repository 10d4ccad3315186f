// The Windows desktop program's window on the Win32 backend over the demo's emulated machine,
// clicked through as a user would: the update from the click to the result dialog, Exit refused
// while the reader is written, the about box from the system menu, and the Chinese variant.
// The program's names before <windows.h> (in the driver), which defines IDOK and IDCANCEL.
#include "app/fixed_texts.h"
#include "app/resource.h"
#include "app/win32/desktop.h"
#include "emulator/reader.h"
#include "platform/native.h"

#include "tests/ui/win32/win32_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string_view>

namespace tr350::test {
namespace {

// The program's window over the demo machine of a scenario, in one language variant.
class Win32Desktop {
 public:
  explicit Win32Desktop(std::string_view scenario, ui::Language language = ui::Language::kEnglish)
      : resources_(platform::OpenProgramResources()),
        native_(platform::MakeNativePlatform()),
        demo_(desktop::DemoMachine::ForScenario(scenario, native_->Time(), *resources_, {})),
        scope_(demo_->Platform()),
        ui_(win32_desktop::WindowOptions(demo_->Platform(), language)) {}

  void Run(const std::function<void(Win32Driver&)>& script) {
    RunWithDriver(
        ui_, [this] { win32_desktop::RunWindow(ui_, demo_.get()); }, script);
  }
  emulator::Machine& Machine() { return demo_->Machine(); }
  emulator::DeviceId Reader() { return Machine().DiskDevices().front(); }

  // ---- Window's thread ------------------------------------------------------------------------
  HWND Main() const { return ui_.NewestDialog(IDD_UPDATETOOL_DIALOG); }
  HWND Dialog(int templateId) const { return ui_.NewestDialog(templateId); }
  HWND Control(int id) const { return Main() != nullptr ? ::GetDlgItem(Main(), id) : nullptr; }
  std::u16string String(int id) const { return ui_.LoadString(id); }
  // The verdict after a scan has been shown: the message area holds the string, no worker runs.
  bool ShowsVerdict(int stringId) const {
    return Main() != nullptr && TextOf(Control(IDC_MESSAGE_EDIT)) == String(stringId) &&
           !Shown(Control(IDC_PROGRESS));
  }

 private:
  std::unique_ptr<platform::ProgramResources> resources_;
  std::unique_ptr<platform::Platform> native_;  // its clock drives the demo
  std::unique_ptr<desktop::DemoMachine> demo_;
  platform::ScopedPlatform scope_;
  ui::win32::Win32Ui ui_;
};

// Holds a worker of the window right after the reader has answered the nth command of this opcode
// (from 1, counted from now) until released; released at the latest when destroyed.
class Hold {
 public:
  Hold(Win32Desktop& h, std::uint8_t opcode, std::uint64_t nth) {
    std::shared_future<void> released = state_->release.get_future().share();
    reached_ = state_->reach.get_future();
    h.Machine().AfterCommand(h.Reader(), opcode, nth,
                             [state = state_, released](emulator::Machine&) {
                               state->reach.set_value();
                               released.wait();
                             });
  }
  ~Hold() { Release(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

  bool Reached() { return reached_.wait_for(kWaitLimit) == std::future_status::ready; }
  void Release() {
    if (released_) return;
    released_ = true;
    state_->release.set_value();
  }

 private:
  struct State {
    std::promise<void> reach;
    std::promise<void> release;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::future<void> reached_;
  bool released_ = false;
};

int ProgressPos(HWND bar) {
  return static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0));
}
int ProgressHigh(HWND bar) {
  return static_cast<int>(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
}
int ProgressLow(HWND bar) {
  return static_cast<int>(::SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
}

TEST(Win32DesktopTest, UpdateFromTheClickToTheResultDialog) {
  Win32Desktop h("flash-old");
  h.Run([&](Win32Driver& d) {
    ASSERT_TRUE(d.WaitFor(
        [&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED) && Shown(h.Control(IDC_UPDATE)); }));
    const HWND update = d.Read([&] { return h.Control(IDC_UPDATE); });
    const HWND bar = d.Read([&] { return h.Control(IDC_PROGRESS); });
    d.Read([&] {
      EXPECT_EQ(TextOf(h.Main()), u"TR350 Card Reader FW Update Tool_v.1.0.1.9_170522");
      EXPECT_EQ(::GetFocus(), update);
    });
    d.Click(update);
    ASSERT_TRUE(d.WaitFor([&] {
      HWND result = h.Dialog(IDD_MESSAGEBOX);
      return result != nullptr && ::IsWindowVisible(result);
    }));
    d.Read([&] {
      // The update thread waits in the result dialog, modal over the main window, which shows
      // where the update stopped.
      HWND result = h.Dialog(IDD_MESSAGEBOX);
      EXPECT_EQ(TextOf(::GetDlgItem(result, IDC_RESULT_TEXT)), u"Update OK");
      EXPECT_EQ(::GetWindow(result, GW_OWNER), h.Main());
      EXPECT_FALSE(::IsWindowEnabled(h.Main()));
      EXPECT_TRUE(Shown(update));
      EXPECT_FALSE(::IsWindowEnabled(update));
      EXPECT_EQ(ProgressPos(bar), ProgressHigh(bar));
      EXPECT_EQ(TextOf(h.Control(IDC_STATUS_EDIT)), h.String(IDS_FW_LATEST));
    });
    // The reader restarts meanwhile; unplugged now, it comes back only when plugged in again.
    h.Machine().Unplug(h.Reader());
    d.Click(d.Read([&] { return ::GetDlgItem(h.Dialog(IDD_MESSAGEBOX), IDOK); }));
    ASSERT_TRUE(d.WaitFor([&] {
      return h.Dialog(IDD_MESSAGEBOX) == nullptr && !Shown(update) && !Shown(bar) &&
             ::IsWindowEnabled(update) && ::IsWindowEnabled(h.Main());
    }));
    d.Read([&] { EXPECT_EQ(::GetFocus(), h.Control(IDCANCEL)); });
    h.Machine().Plug(h.Reader());
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    d.Read([&] { EXPECT_FALSE(Shown(update)); });
    d.Click(d.Read([&] { return h.Control(IDCANCEL); }));
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() == nullptr; }));
  });
}

TEST(Win32DesktopTest, ExitIsRefusedWhileTheUpdateWrites) {
  Win32Desktop h("flash-old");
  h.Run([&](Win32Driver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED); }));
    const HWND main = d.Read([&] { return h.Main(); });
    const HWND bar = d.Read([&] { return h.Control(IDC_PROGRESS); });
    // Holds the update thread among the page writes that follow the erase.
    Hold writing(h, emulator::vendor_op::kFlashOut, 50);
    d.Click(d.Read([&] { return h.Control(IDC_UPDATE); }));
    ASSERT_TRUE(writing.Reached());
    d.Read([&] {
      EXPECT_GT(ProgressPos(bar), ProgressLow(bar));
      EXPECT_LT(ProgressPos(bar), ProgressHigh(bar));
      EXPECT_FALSE(::IsWindowEnabled(h.Control(IDC_UPDATE)));
    });
    const auto refused = [&](const char* how) {
      SCOPED_TRACE(how);
      ASSERT_TRUE(d.WaitFor([&] { return d.Box() != nullptr; }));
      const HWND box = d.Box();
      d.Read([&] {
        EXPECT_EQ(BoxText(box), text::kUpdateRunning);
        EXPECT_EQ(TextOf(box), text::kToolName);
        EXPECT_EQ(::GetWindow(box, GW_OWNER), main);
      });
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      ASSERT_TRUE(d.WaitFor([&] { return d.Box() == nullptr; }));
      EXPECT_TRUE(d.Read([&] { return h.Main() == main && ::IsWindowVisible(main) != FALSE; }));
    };
    d.Click(d.Read([&] { return h.Control(IDCANCEL); }));
    refused("Exit");
    d.SysCommand(main, SC_CLOSE);
    refused("the frame's close");
    d.Key(main, VK_ESCAPE);
    refused("Escape");
    writing.Release();
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) != nullptr; }));
    d.Click(d.Read([&] { return ::GetDlgItem(h.Dialog(IDD_MESSAGEBOX), IDOK); }));
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) == nullptr && !Shown(bar); }));
    d.SysCommand(main, SC_CLOSE);
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() == nullptr; }));
  });
}

TEST(Win32DesktopTest, AboutBoxFromTheSystemMenu) {
  Win32Desktop h("flash-current");
  h.Run([&](Win32Driver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    const HWND main = d.Read([&] { return h.Main(); });
    d.Read([&] {
      std::wstring item(128, L'\0');
      item.resize(static_cast<std::size_t>(::GetMenuStringW(
          ::GetSystemMenu(main, FALSE), IDM_ABOUTBOX, item.data(), 128, MF_BYCOMMAND)));
      EXPECT_EQ(std::u16string(item.begin(), item.end()), text::kAboutMenuItem);
    });
    // The system's own commands keep their default processing.
    d.SysCommand(main, SC_MINIMIZE);
    ASSERT_TRUE(d.WaitFor([&] { return ::IsIconic(main) != FALSE; }));
    d.SysCommand(main, SC_RESTORE);
    ASSERT_TRUE(d.WaitFor([&] { return ::IsIconic(main) == FALSE; }));

    d.SysCommand(main, IDM_ABOUTBOX);
    ASSERT_TRUE(d.WaitFor([&] {
      HWND about = h.Dialog(IDD_ABOUTBOX);
      return about != nullptr && ::IsWindowVisible(about);
    }));
    const HWND about = d.Read([&] { return h.Dialog(IDD_ABOUTBOX); });
    d.Read([&] {
      EXPECT_EQ(TextOf(about), text::kAboutTitle);
      EXPECT_EQ(TextOf(::GetDlgItem(about, IDC_ABOUT_VERSION)),
                u"FW Update Tool for TR350 Card Reader 1.0.1.9");
      EXPECT_NE(::SendMessageW(::GetDlgItem(about, IDC_ABOUT_ICON), STM_GETICON, 0, 0), 0);
      EXPECT_EQ(::GetWindow(about, GW_OWNER), main);
      EXPECT_FALSE(::IsWindowEnabled(main));
    });
    d.Key(about, VK_RETURN);  // the default button, OK
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_ABOUTBOX) == nullptr; }));
    EXPECT_TRUE(d.Read([&] { return ::IsWindowEnabled(main) != FALSE; }));
    d.Click(d.Read([&] { return h.Control(IDCANCEL); }));
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() == nullptr; }));
  });
}

TEST(Win32DesktopTest, TheChineseVariantOfTheWindow) {
  Win32Desktop h("flash-old", ui::Language::kChineseTraditional);
  h.Run([&](Win32Driver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED); }));
    d.Read([&] {
      EXPECT_EQ(TextOf(h.Control(IDCANCEL)), u"離開");
      EXPECT_EQ(TextOf(h.Control(IDC_UPDATE)), u"更新");
      EXPECT_EQ(TextOf(h.Control(IDC_MESSAGE_EDIT)),
                u"裝置中為較舊的韌體版本, 請執行韌體更新\r\n更新過程中請勿從電腦拔除裝置");
      // The Chinese template is wider than the English one.
      RECT client{};
      ::GetClientRect(h.Main(), &client);
      RECT wide{0, 0, 267, 125};
      ::MapDialogRect(h.Main(), &wide);
      EXPECT_EQ(client.right, wide.right);
    });
    d.Click(d.Read([&] { return h.Control(IDCANCEL); }));
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() == nullptr; }));
  });
}

}  // namespace
}  // namespace tr350::test

// The desktop tool's window on the emulated reader, used as a user would: the update from the
// click to the result dialog, Exit refused while it writes, the about box from the window menu
// and F1, readers plugged in and out; and the command line.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <cstdlib>
#include <optional>

#include "app/fixed_texts.h"
#include "app/resource.h"
#include "emulator/reader.h"
#include "platform/termination.h"
#include "tests/app/gui/desktop_harness.h"

namespace tr350::test {
namespace {

QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()))
      .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString StatusText(const DesktopHarness& h) {
  return qobject_cast<QLineEdit*>(h.Control(IDC_STATUS_EDIT))->text();
}

TEST(DesktopTest, UpdateFromTheClickToTheResultDialog) {
  DesktopHarness h("flash-old");
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor(
        [&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED) && !h.Button(IDC_UPDATE)->isHidden(); }));
    d.Read([&] {
      EXPECT_EQ(h.Main()->windowTitle(), "TR350 Card Reader FW Update Tool_v.1.0.1.9_170522");
      EXPECT_EQ(h.Main()->focusWidget(), h.Button(IDC_UPDATE));
    });
    d.Click([&] { return h.Button(IDC_UPDATE); });
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) != nullptr; }));
    d.Read([&] {
      // The update thread waits in the result dialog; the window shows where it stopped.
      auto* text = qobject_cast<QLabel*>(h.Ui().Control(IDD_MESSAGEBOX, IDC_RESULT_TEXT));
      EXPECT_EQ(text->text(), "Update OK");
      EXPECT_FALSE(h.Button(IDC_UPDATE)->isHidden());
      EXPECT_FALSE(h.Button(IDC_UPDATE)->isEnabled());
      EXPECT_EQ(h.Progress()->value(), h.Progress()->maximum());
      EXPECT_EQ(StatusText(h), h.String(IDS_FW_LATEST));
    });
    // The reader restarts meanwhile; unplugged now, it comes back only when plugged in again.
    h.Machine().Unplug(h.Reader());
    d.Click([&] { return h.Ui().Control(IDD_MESSAGEBOX, IDOK); });
    // The update thread's last steps: Update hidden, the bar gone, Update enabled for later.
    ASSERT_TRUE(d.WaitFor([&] {
      return h.Dialog(IDD_MESSAGEBOX) == nullptr && h.Button(IDC_UPDATE)->isHidden() &&
             h.Progress()->isHidden() && h.Button(IDC_UPDATE)->isEnabled();
    }));
    d.Read([&] { EXPECT_EQ(h.Main()->focusWidget(), h.Button(IDCANCEL)); });
    h.Machine().Plug(h.Reader());
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    d.Read([&] { EXPECT_TRUE(h.Button(IDC_UPDATE)->isHidden()); });
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

TEST(DesktopTest, ExitIsRefusedWhileTheUpdateWrites) {
  DesktopHarness h("flash-old");
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED); }));
    // Holds the update thread among the page writes that follow the erase.
    Hold writing(h, emulator::vendor_op::kFlashOut, 50);
    d.Click([&] { return h.Button(IDC_UPDATE); });
    ASSERT_TRUE(writing.Reached());
    d.Read([&] {
      EXPECT_GT(h.Progress()->value(), h.Progress()->minimum());
      EXPECT_LT(h.Progress()->value(), h.Progress()->maximum());
      EXPECT_FALSE(h.Button(IDC_UPDATE)->isEnabled());
    });
    const auto refused = [&] {
      ASSERT_TRUE(d.WaitFor([&] { return h.Box() != nullptr; }));
      d.Read([&] {
        EXPECT_EQ(BoxText(h.Box()), Q(text::kUpdateRunning));
        EXPECT_EQ(h.Box()->windowTitle(), Q(text::kToolName));
      });
      d.Key([&] { return h.Box(); }, Qt::Key_Return);
      ASSERT_TRUE(d.WaitFor([&] { return h.Box() == nullptr; }));
      EXPECT_TRUE(d.Read([&] { return h.Main() != nullptr && h.Main()->isVisible(); }));
    };
    d.Click([&] { return h.Button(IDCANCEL); });
    refused();
    d.Close([&] { return h.Main(); });
    refused();
    d.Key([&] { return h.Main(); }, Qt::Key_Escape);
    refused();
    writing.Release();
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) != nullptr; }));
    d.Click([&] { return h.Ui().Control(IDD_MESSAGEBOX, IDOK); });
    ASSERT_TRUE(d.WaitFor([&] { return h.Progress()->isHidden(); }));
    d.Click([&] { return h.Button(IDCANCEL); });
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() == nullptr; }));
  });
}

// SIGTERM while the reader is written: the window stays until the write is done, then closes by
// itself, result dialog first, and the program ends with 128 + SIGTERM. The test holds the write
// guard itself around the update's writes. In a child process of its own: the request is final.
TEST(DesktopTest, ARequestToEndWaitsForTheWriteThenClosesTheWindow) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto program = [] {
    platform::InstallTerminationHandlers(gui::kProgramName);
    bool closedByItself = false;
    {
      DesktopHarness h("flash-old");
      h.Run([&](GuiDriver& d) {
        std::optional<platform::CriticalWrite> write;
        ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED); }));
        Hold writing(h, emulator::vendor_op::kFlashOut, 50);
        write.emplace();
        d.Click([&] { return h.Button(IDC_UPDATE); });
        ASSERT_TRUE(writing.Reached());
        ::kill(::getpid(), SIGTERM);
        EXPECT_TRUE(d.Read([&] { return h.Main() != nullptr && h.Main()->isVisible(); }));
        writing.Release();
        // The update has restarted the reader and shows its result: the write is over.
        ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) != nullptr; }));
        EXPECT_TRUE(d.Read([&] { return h.Main() != nullptr; }));
        write.reset();
        closedByItself = d.WaitFor([&] { return h.Main() == nullptr; });
      });
    }
    // _Exit: the child's status is the point; the font library's caches are not torn down.
    std::_Exit(closedByItself ? platform::DeferredTermination().value_or(2) : 1);
  };
  EXPECT_EXIT(program(), ::testing::ExitedWithCode(128 + SIGTERM),
              "tr350-fwupdate: the reader is being written; the tool will stop when the write is "
              "done");
}

TEST(DesktopTest, AboutBoxFromTheWindowMenuAndF1) {
  DesktopHarness h("flash-current");
  const auto about = [&] { return h.Dialog(IDD_ABOUTBOX); };
  const auto checkAbout = [&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return about() != nullptr; }));
    d.Read([&] {
      EXPECT_EQ(about()->windowTitle(), "About TR350 Card Reader FW Update Tool");
      auto* version = qobject_cast<QLabel*>(h.Ui().Control(IDD_ABOUTBOX, IDC_ABOUT_VERSION));
      EXPECT_EQ(version->text(), "FW Update Tool for TR350 Card Reader 1.0.1.9");
      // The whole line shows: the label is as wide as its text and inside the box.
      EXPECT_GE(version->width(), version->fontMetrics().horizontalAdvance(version->text()));
      EXPECT_TRUE(about()->rect().contains(version->geometry()));
      auto* icon = qobject_cast<QLabel*>(h.Ui().Control(IDD_ABOUTBOX, IDC_ABOUT_ICON));
      EXPECT_FALSE(icon->pixmap().isNull());
    });
  };
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    d.ClickAt([&] { return h.Main(); }, [](QWidget*) { return QPoint(6, 6); }, Qt::RightButton);
    ASSERT_TRUE(d.WaitFor([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }));
    d.ClickAt([] { return QApplication::activePopupWidget(); },
              [](QWidget* m) {
                auto* menu = qobject_cast<QMenu*>(m);
                for (QAction* action : menu->actions()) {
                  if (action->text() == "&About TR350 Card Reader FW Update Tool") {
                    return menu->actionGeometry(action).center();
                  }
                }
                return QPoint(-1, -1);
              },
              Qt::LeftButton);
    checkAbout(d);
    d.Click([&] { return h.Ui().Control(IDD_ABOUTBOX, IDOK); });
    ASSERT_TRUE(d.WaitFor([&] { return about() == nullptr; }));
    d.Key([&] { return h.Main(); }, Qt::Key_F1);
    checkAbout(d);
    d.Key([&] { return about(); }, Qt::Key_Escape);
    ASSERT_TRUE(d.WaitFor([&] { return about() == nullptr; }));
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

TEST(DesktopTest, ReadersPluggedInAndOutAreRescanned) {
  DesktopHarness h("flash-old");
  h.Machine().Unplug(h.Reader());
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.Main() != nullptr && StatusText(h) == "No device!"; }));
    d.Read([&] {
      EXPECT_TRUE(h.Button(IDC_UPDATE)->isHidden());
      EXPECT_FALSE(h.Button(IDCANCEL)->isHidden());
    });
    h.Machine().Plug(h.Reader());
    ASSERT_TRUE(d.WaitFor(
        [&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED) && !h.Button(IDC_UPDATE)->isHidden(); }));
    h.Machine().Unplug(h.Reader());
    ASSERT_TRUE(d.WaitFor([&] { return h.Button(IDC_UPDATE)->isHidden(); }));
    d.Read([&] {
      EXPECT_EQ(StatusText(h), "No device!");
      EXPECT_EQ(h.Message(), h.String(IDS_UPDATE_NEEDED));  // the last verdict stays
    });
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

// ---- The command line ---------------------------------------------------------------------------

TEST(DesktopArguments, OptionsAndErrors) {
  using gui::Action;
  using V = std::vector<std::string_view>;
  const auto parse = [](V args, bool strict) { return gui::ParseArguments(args, strict); };
  EXPECT_EQ(parse({}, true).action, Action::kRun);
  EXPECT_FALSE(parse({}, true).scenario);
  EXPECT_EQ(parse({"--simulate"}, true).scenario, "flash-old");
  EXPECT_EQ(parse({"--simulate=sector-old"}, true).scenario, "sector-old");
  EXPECT_EQ(parse({"--simulate=help"}, true).action, Action::kListScenarios);
  EXPECT_EQ(parse({"--simulate", "--help"}, true).action, Action::kHelp);
  EXPECT_EQ(parse({"--version"}, true).action, Action::kVersion);
  EXPECT_EQ(parse({"--simulate="}, true).action, Action::kUsageError);
  EXPECT_EQ(parse({"--simulate=no-such"}, false).action, Action::kUsageError);
  // Before Qt has taken its own options they are let through; after, nothing unknown is.
  EXPECT_EQ(parse({"-platform", "offscreen"}, false).action, Action::kRun);
  EXPECT_EQ(parse({"--frobnicate"}, true).action, Action::kUsageError);
  // The answers given without a display take nothing but our own options.
  EXPECT_EQ(parse({"--help", "extra"}, false).action, Action::kUsageError);
  EXPECT_EQ(parse({"--version", "extra"}, false).action, Action::kUsageError);
  EXPECT_EQ(parse({"extra", "--simulate=help"}, false).action, Action::kUsageError);
  // Arguments are shown with their control characters escaped.
  const gui::Arguments escaped = parse({"--simulate=\x1b[2J\r"}, false);
  EXPECT_EQ(escaped.action, Action::kUsageError);
  EXPECT_EQ(escaped.error, "unknown scenario '\\x1b[2J\\x0d'; --simulate=help lists them");
}

}  // namespace
}  // namespace tr350::test

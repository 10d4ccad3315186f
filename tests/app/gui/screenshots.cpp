// Screenshots of every window and state of the desktop tool, saved into the build folder
// (screenshots/) for people to look at: the main window in English, Chinese and Japanese with each
// verdict, during a read-back and an update, the refusal to close, the result dialog, the about
// box and the window menu.
#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenu>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include "app/resource.h"
#include "emulator/reader.h"
#include "tests/app/gui/desktop_harness.h"

namespace tr350::test {
namespace {

QString ShotPath(const char* name) {
  QDir().mkpath(QStringLiteral(TR350_SCREENSHOT_DIR));
  return QDir(QStringLiteral(TR350_SCREENSHOT_DIR)).filePath(QString::fromUtf8(name) + ".png");
}

void Shoot(GuiDriver& d, GuiDriver::Find window, const char* name) {
  EXPECT_TRUE(d.Screenshot(std::move(window), ShotPath(name))) << name;
}

// The whole update in one language: the verdict, the read-back and the update under way, the
// refusal to close, the result, the window afterwards, and the verdict for the updated reader.
void UpdateStory(const char* language, const std::string& locale) {
  DesktopHarness h("flash-old", locale);
  const std::string tag(language);
  const auto name = [&](const char* what) { return "main-" + tag + "-" + what; };
  Hold reading(h, emulator::vendor_op::kFlashIn, 100);
  h.Run([&](GuiDriver& d) {
    const auto main = [&] { return h.Main(); };
    ASSERT_TRUE(reading.Reached());
    Shoot(d, main, name("reading").c_str());
    reading.Release();
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_UPDATE_NEEDED); }));
    Shoot(d, main, name("not-latest").c_str());

    Hold writing(h, emulator::vendor_op::kFlashOut, 150);
    d.Click([&] { return h.Button(IDC_UPDATE); });
    ASSERT_TRUE(writing.Reached());
    Shoot(d, main, name("updating").c_str());
    d.Click([&] { return h.Button(IDCANCEL); });
    ASSERT_TRUE(d.WaitFor([&] { return h.Box() != nullptr; }));
    Shoot(
        d, [&] { return h.Box(); }, ("box-" + tag + "-update-running").c_str());
    d.Key([&] { return h.Box(); }, Qt::Key_Return);
    writing.Release();

    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_MESSAGEBOX) != nullptr; }));
    Shoot(
        d, [&] { return h.Dialog(IDD_MESSAGEBOX); }, ("result-" + tag).c_str());
    h.Machine().Unplug(h.Reader());  // it restarts meanwhile; back only when plugged in again
    d.Click([&] { return h.Ui().Control(IDD_MESSAGEBOX, IDOK); });
    ASSERT_TRUE(
        d.WaitFor([&] { return h.Progress()->isHidden() && h.Button(IDC_UPDATE)->isEnabled(); }));
    Shoot(d, main, name("after-update").c_str());

    h.Machine().Plug(h.Reader());
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    Shoot(d, main, name("latest").c_str());

    d.Key(main, Qt::Key_F1);
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_ABOUTBOX) != nullptr; }));
    Shoot(
        d, [&] { return h.Dialog(IDD_ABOUTBOX); }, ("about-" + tag).c_str());
    d.Key([&] { return h.Dialog(IDD_ABOUTBOX); }, Qt::Key_Escape);
    ASSERT_TRUE(d.WaitFor([&] { return h.Dialog(IDD_ABOUTBOX) == nullptr; }));
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

TEST(Screenshots, English) {
  UpdateStory("en", "en_US.UTF-8");
}

TEST(Screenshots, ChineseTraditional) {
  UpdateStory("zh", "zh_TW.UTF-8");
}

TEST(Screenshots, Japanese) {
  UpdateStory("ja", "ja_JP.UTF-8");
}

// A verdict or state without an update: the message area (or its absence) as the scan leaves it.
void StateShot(const char* scenario, bool unplugged, int stringId, const char* shot) {
  DesktopHarness h(scenario);
  if (unplugged) h.Machine().Unplug(h.Reader());
  h.Run([&](GuiDriver& d) {
    // A reader that is not ours leaves the progress bar as it was; nothing else runs then.
    ASSERT_TRUE(d.WaitFor([&] {
      return h.Main() != nullptr &&
             (stringId == 0 ? h.Progress()->isHidden() : h.Message() == h.String(stringId));
    }));
    Shoot(
        d, [&] { return h.Main(); }, shot);
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

TEST(Screenshots, NoReaderAndNotSupported) {
  StateShot("flash-old", true, 0, "main-en-no-device");
  StateShot("not-supported", false, IDS_DEVICE_NOT_SUPPORTED, "main-en-not-supported");
}

TEST(Screenshots, WindowMenu) {
  DesktopHarness h("flash-current");
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] { return h.ShowsVerdict(IDS_ALREADY_LATEST); }));
    d.ClickAt([&] { return h.Main(); }, [](QWidget*) { return QPoint(6, 6); }, Qt::RightButton);
    ASSERT_TRUE(d.WaitFor([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }));
    Shoot(
        d, [] { return QApplication::activePopupWidget(); }, "menu-en");
    d.Key([] { return QApplication::activePopupWidget(); }, Qt::Key_Escape);
    ASSERT_TRUE(d.WaitFor([] { return QApplication::activePopupWidget() == nullptr; }));
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

}  // namespace
}  // namespace tr350::test

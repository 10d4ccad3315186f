// The main dialog's shell: title, icon and system menu, the about box, closing, and the language
// variants of its windows and strings.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/fixed_texts.h"
#include "app/resource.h"
#include "app/version_text.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

TEST(MainDialogTest, TitleIconsAndTheAboutBoxFromTheSystemMenu) {
  Harness h("flash-current");
  h.Start();
  const hl::WindowState main = h.Main();
  EXPECT_EQ(main.title, u"TR350 Card Reader FW Update Tool_v.1.0.1.9_170522");
  EXPECT_EQ(main.bigIcon, IDR_MAINFRAME);
  EXPECT_EQ(main.smallIcon, IDR_MAINFRAME);
  ASSERT_EQ(main.systemMenu.size(), 2u);
  EXPECT_EQ(main.systemMenu[0].id, 0u);  // separator
  EXPECT_EQ(main.systemMenu[1].id, IDM_ABOUTBOX);
  EXPECT_EQ(main.systemMenu[1].text, u"&About TR350 Card Reader FW Update Tool");
  h.ui->SystemCommand(IDD_UPDATETOOL_DIALOG, IDM_ABOUTBOX | 0x3);  // the low bits are the system's
  ASSERT_TRUE(h.Settle());
  const auto modals = h.Modals();
  ASSERT_EQ(modals.size(), 1u);
  EXPECT_EQ(modals[0].templateId, IDD_ABOUTBOX);  // its contents are checked on the Qt window
  EXPECT_NE(h.ui->Snap().Dialog(IDD_UPDATETOOL_DIALOG), nullptr);
}

TEST(MainDialogTest, WithoutAVersionResource) {
  Harness h("flash-current");
  h.resources.SetVersion(std::nullopt);
  std::u16string kept = u"kept";
  EXPECT_FALSE(GetAppVersionString(kept));
  EXPECT_EQ(kept, u"kept");
  h.Start();
  EXPECT_EQ(h.Main().title, u"TR350 Card Reader FW Update Tool_v._170522");
  // The about box ends at once, unseen.
  const std::size_t mark = h.LogSize();
  h.ui->SystemCommand(IDD_UPDATETOOL_DIALOG, IDM_ABOUTBOX);
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h.Modals().empty());
  const auto log = h.ui->Log();
  ASSERT_GT(log.size(), mark);
  EXPECT_EQ(log.back().kind, hl::ChangeKind::kClosed);
  EXPECT_EQ(log.back().templateId, IDD_ABOUTBOX);
  EXPECT_EQ(log.back().value, IDCANCEL);
}

TEST(MainDialogTest, ExitEnterAndTheCloseCommandEndTheDialog) {
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    Harness h("flash-old");
    h.Start();
    if (way == 0) h.ui->Click(IDD_UPDATETOOL_DIALOG, IDCANCEL);
    if (way == 1) h.ui->Command(IDD_UPDATETOOL_DIALOG, IDOK);
    if (way == 2) h.ui->SystemCommand(IDD_UPDATETOOL_DIALOG, ui::SC_CLOSE);
    h.window.join();
    EXPECT_EQ(h.ui->Log().back().kind, hl::ChangeKind::kClosed);
    EXPECT_EQ(h.ui->Log().back().value, way == 1 ? IDOK : IDCANCEL);
  }
}

// ---- Languages
// -------------------------------------------------------------------------------------

// Each user gets the windows and messages of the language variant, the neutral ones where the
// variant has none; the texts themselves are the string table's.
TEST(MainDialogTest, WindowsAndMessagesOfTheUsersLanguage) {
  struct Case {
    const char* locale;
    ui::Language main;   // the main dialog's variant
    ui::Language about;  // the about box's variant
    std::u16string_view exit;
    std::u16string_view resultText;
  };
  const Case cases[] = {
      {"zh_TW.UTF-8", ui::Language::kChineseTraditional, ui::Language::kChineseTraditional, u"離開",
       u"更新成功"},
      {"ja_JP.UTF-8", ui::Language::kNeutral, ui::Language::kJapanese, u"Exit", u"Update OK"},
      {"de_DE.UTF-8", ui::Language::kNeutral, ui::Language::kNeutral, u"Exit", u"Update OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    Harness h("flash-old", c.locale);
    h.Start();
    EXPECT_EQ(h.Main().language, c.main);
    EXPECT_EQ(h.Text(IDCANCEL), c.exit);
    EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), h.ui->LoadString(IDS_UPDATE_NEEDED));
    h.ui->SystemCommand(IDD_UPDATETOOL_DIALOG, IDM_ABOUTBOX);
    h.ui->Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
    ASSERT_TRUE(h.Settle());
    const auto modals = h.Modals();
    ASSERT_EQ(modals.size(), 2u);
    EXPECT_EQ(modals[0].templateId, IDD_ABOUTBOX);
    EXPECT_EQ(modals[0].language, c.about);
    ASSERT_EQ(modals[1].templateId, IDD_MESSAGEBOX);
    EXPECT_EQ(modals[1].Control(IDC_RESULT_TEXT)->text, c.resultText);
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), h.ui->LoadString(IDS_FW_LATEST));
  }
  // Japanese has no text for 106: the neutral one is used.
  Harness japanese("flash-old", "ja_JP.UTF-8");
  EXPECT_NE(japanese.ui->LoadString(IDS_UPDATE_NEEDED).find(u"ファームウェア"),
            std::u16string::npos);
  EXPECT_EQ(japanese.ui->LoadString(IDS_DEVICE_NOT_SUPPORTED), u"裝置無法使用此韌體更新工具");
}

}  // namespace
}  // namespace tr350::test

// The main dialog's shell: title, icon and system menu, the about box, closing, painting while
// minimised, and the three language variants of its windows and strings.
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

TEST(MainDialogTest, MinimisedWindowPaintsItsIconCentred) {
  Harness h("flash-current");
  h.Start();
  h.ui->Paint(IDD_UPDATETOOL_DIALOG);
  h.ui->SetMinimized(IDD_UPDATETOOL_DIALOG, true);
  h.ui->Paint(IDD_UPDATETOOL_DIALOG);
  ASSERT_TRUE(h.Settle());
  std::vector<hl::Change> painted;
  std::ranges::copy_if(h.ui->Log(), std::back_inserter(painted),
                       [](const hl::Change& c) { return c.kind == hl::ChangeKind::kIconPainted; });
  // Client 352 x 201 pixels (235 x 124 dialog units), icon 32 x 32.
  ASSERT_EQ(painted.size(), 1u);
  EXPECT_EQ(painted[0].control, IDR_MAINFRAME);
  EXPECT_EQ(painted[0].value, (352 - 32 + 1) / 2);
  EXPECT_EQ(painted[0].value2, (201 - 32 + 1) / 2);
}

// ---- Languages
// -------------------------------------------------------------------------------------

TEST(MainDialogTest, ChineseTraditionalUserGetsChineseWindowsAndTexts) {
  Harness h("flash-old", "zh_TW.UTF-8");
  h.Start();
  EXPECT_EQ(h.Main().language, ui::Language::kChineseTraditional);
  EXPECT_EQ(h.Main().size.width, 267);
  EXPECT_EQ(h.Main().size.height, 125);
  EXPECT_EQ(h.Text(IDCANCEL), u"離開");
  EXPECT_EQ(h.Text(IDC_UPDATE), u"更新");
  EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT),
            u"裝置中為較舊的韌體版本, 請執行韌體更新\r\n更新過程中請勿從電腦拔除裝置");
  h.ui->Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
  ASSERT_TRUE(h.Settle());
  const hl::WindowState result = h.LastModal();
  ASSERT_EQ(result.templateId, IDD_MESSAGEBOX);
  EXPECT_EQ(result.Control(IDC_RESULT_TEXT)->text, u"更新成功");
  EXPECT_EQ(result.Control(IDOK)->text, u"確定");
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), u"韌體為最新版本");
}

TEST(MainDialogTest, JapaneseUserGetsJapaneseMessagesAndAboutBox) {
  Harness h("flash-old", "ja_JP.UTF-8");
  h.Start();
  EXPECT_EQ(h.Main().language, ui::Language::kNeutral);  // no Japanese main dialog
  EXPECT_EQ(h.Text(IDCANCEL), u"Exit");
  const std::u16string message = h.Text(IDC_MESSAGE_EDIT);
  EXPECT_EQ(message, h.ui->LoadString(IDS_UPDATE_NEEDED));
  EXPECT_NE(message.find(u"ファームウェア"), std::u16string::npos);
  EXPECT_EQ(std::ranges::count(message, u'\n'), 2);  // the added line about unplugging
  h.ui->SystemCommand(IDD_UPDATETOOL_DIALOG, IDM_ABOUTBOX);
  h.ui->Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
  ASSERT_TRUE(h.Settle());
  const auto modals = h.Modals();
  ASSERT_EQ(modals.size(), 2u);
  EXPECT_EQ(modals[0].templateId, IDD_ABOUTBOX);
  EXPECT_EQ(modals[0].language, ui::Language::kJapanese);
  ASSERT_EQ(modals[1].templateId, IDD_MESSAGEBOX);
  EXPECT_EQ(modals[1].Control(IDC_RESULT_TEXT)->text, u"Update OK");
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), u"FW is latest.");
  EXPECT_NE(h.ui->LoadString(IDS_ALREADY_LATEST).find(u"最新"), std::u16string::npos);
  // No Japanese text for 106: the neutral one is shown.
  EXPECT_EQ(h.ui->LoadString(IDS_DEVICE_NOT_SUPPORTED), u"裝置無法使用此韌體更新工具");
}

TEST(MainDialogTest, OtherUsersGetTheNeutralVariant) {
  Harness h("flash-current", "de_DE.UTF-8");
  h.Start();
  EXPECT_EQ(h.Main().size.width, 235);
  EXPECT_EQ(h.Text(IDCANCEL), u"Exit");
  EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), u"裝置中的韌體已經是最新版本");
}

}  // namespace
}  // namespace tr350::test

// The window resources as tables: the variants of a dialog share its layout, and each language
// variant of the string table holds what it must.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "app/resource.h"
#include "res/dialog_templates.h"
#include "res/string_table.h"

namespace tr350 {
namespace {

using ui::Language;

TEST(ResourcesTest, VariantsOfADialogShareItsLayout) {
  const auto dialogs = res::DialogTemplates();
  for (const int id : {IDD_UPDATETOOL_DIALOG, IDD_ABOUTBOX, IDD_MESSAGEBOX}) {
    SCOPED_TRACE(id);
    std::vector<const ui::DialogTemplate*> variants;
    for (const ui::DialogTemplate& dialog : dialogs) {
      if (dialog.id == id) variants.push_back(&dialog);
    }
    ASSERT_GE(variants.size(), 2u);
    EXPECT_EQ(variants[0]->language, Language::kNeutral);
    for (const ui::DialogTemplate* variant : variants) {
      ASSERT_EQ(variant->controls.size(), variants[0]->controls.size());
      for (std::size_t i = 0; i < variant->controls.size(); ++i) {
        const ui::ControlTemplate& a = variants[0]->controls[i];
        const ui::ControlTemplate& b = variant->controls[i];
        EXPECT_EQ(std::tie(a.id, a.kind, a.visible, a.style),
                  std::tie(b.id, b.kind, b.visible, b.style));
        EXPECT_EQ(std::tie(a.rect.x, a.rect.y, a.rect.width, a.rect.height),
                  std::tie(b.rect.x, b.rect.y, b.rect.width, b.rect.height));
        EXPECT_TRUE(b.kind != ui::ControlKind::kPushButton || !b.caption.empty());
      }
    }
  }
}

TEST(ResourcesTest, EveryLanguageHasItsStrings) {
  const auto strings = res::StringTable();
  const auto ids = [&](Language language) {
    std::set<int> found;
    for (const ui::StringEntry& entry : strings) {
      if (entry.language == language) {
        EXPECT_TRUE(found.insert(entry.id).second) << entry.id;
      }
    }
    return found;
  };
  const std::set<int> neutral = ids(Language::kNeutral);
  EXPECT_EQ(ids(Language::kChineseTraditional), neutral);
  std::set<int> japanese = ids(Language::kJapanese);
  EXPECT_FALSE(japanese.contains(IDS_DEVICE_NOT_SUPPORTED));
  japanese.insert(IDS_DEVICE_NOT_SUPPORTED);
  EXPECT_EQ(japanese, neutral);
  for (const ErrorCode code :
       {ErrorCode::kNoDevice, ErrorCode::kEraseChip, ErrorCode::kReadConfig, ErrorCode::kEepromRead,
        ErrorCode::kReadFw, ErrorCode::kVerifyConfig, ErrorCode::kWriteConfig, ErrorCode::kCpuReset,
        ErrorCode::kNewChip, ErrorCode::kDeviceHeader, ErrorCode::kPrepareImage,
        ErrorCode::kStartThread, ErrorCode::kReaderInUse, ErrorCode::kBackup,
        ErrorCode::kStopped}) {
    EXPECT_TRUE(neutral.contains(static_cast<int>(code))) << static_cast<int>(code);
  }
  // English locales read the window's messages in English; the rest falls back.
  EXPECT_EQ(
      ids(Language::kEnglish),
      (std::set<int>{IDS_FW_LATEST, IDS_UPDATE_NEEDED, IDS_ALREADY_LATEST, IDS_DEVICE_NOT_SUPPORTED,
                     IDS_RECOVERY_OFFERED, IDS_NO_BACKUP, IDS_NO_PERMISSION}));
  EXPECT_EQ(ui::FindString(strings, static_cast<int>(ErrorCode::kNoDevice), Language::kEnglish),
            ui::FindString(strings, static_cast<int>(ErrorCode::kNoDevice), Language::kNeutral));
  // The Chinese variant repeats the neutral texts.
  for (const int id : neutral) {
    EXPECT_EQ(ui::FindString(strings, id, Language::kChineseTraditional),
              ui::FindString(strings, id, Language::kNeutral));
  }
}

}  // namespace
}  // namespace tr350

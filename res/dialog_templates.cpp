// The dialog templates as one table. Positions and sizes are in dialog units; the variants of one
// dialog share its layout and differ in captions (and the main dialog in its size).
#include "res/dialog_templates.h"

#include <array>

#include "ids/resource_ids.h"
#include "res/string_table.h"
#include "ui/ui.h"

namespace tr350::res {
namespace {

using ui::ControlKind;
using ui::ControlStyle;
using ui::ControlTemplate;
using ui::DialogTemplate;
using ui::IDCANCEL;
using ui::IDOK;
using ui::Language;
using ui::WindowStyle;

constexpr ControlStyle kBorder = ControlStyle::kBorder;
constexpr ControlStyle kReadOnly = ControlStyle::kReadOnly;
constexpr ControlStyle kAutoHScroll = ControlStyle::kAutoHScroll;
constexpr ControlStyle kTabStop = ControlStyle::kTabStop;
constexpr ControlStyle kMultiLine = ControlStyle::kMultiLine;
constexpr ControlStyle kDefault = ControlStyle::kDefaultButton;
constexpr ControlStyle kNoPrefix = ControlStyle::kNoPrefix;
constexpr ControlStyle kPlain = ControlStyle::kNone;

constexpr WindowStyle kDialogStyle = WindowStyle::kPopup | WindowStyle::kCaption |
                                     WindowStyle::kSystemMenu | WindowStyle::kModalFrame;
constexpr WindowStyle kMainStyle = kDialogStyle | WindowStyle::kVisible | WindowStyle::kAppWindow;

// clang-format off

constexpr ControlStyle kStatusEdit = kBorder | kReadOnly | kAutoHScroll | kTabStop;
constexpr ControlStyle kMessageEdit = kBorder | kReadOnly | kMultiLine | kTabStop;
constexpr ControlKind kEdit = ControlKind::kEdit;
constexpr ControlKind kButton = ControlKind::kPushButton;
constexpr ControlKind kBar = ControlKind::kProgress;
constexpr ControlKind kText = ControlKind::kStaticText;
constexpr ControlKind kIcon = ControlKind::kStaticIcon;

// IDD_UPDATETOOL_DIALOG. The status edit stays hidden; its text follows the status member.
constexpr std::array<ControlTemplate, 5> kMainEnglish = {{
    // id              kind     caption    x    y   w    h    visible style
    {IDC_STATUS_EDIT,  kEdit,   u"",       {27,  35, 99,  14}, false, kStatusEdit},
    {IDCANCEL,         kButton, u"Exit",   {152, 19, 66,  14}, true,  kTabStop},
    {IDC_UPDATE,       kButton, u"Update", {17,  19, 66,  14}, false, kTabStop},
    {IDC_PROGRESS,     kBar,    u"",       {14,  48, 207, 11}, false, kBorder},
    {IDC_MESSAGE_EDIT, kEdit,   u"",       {15,  65, 206, 50}, false, kMessageEdit},
}};
constexpr std::array<ControlTemplate, 5> kMainChinese = {{
    {IDC_STATUS_EDIT,  kEdit,   u"",       {27,  35, 99,  14}, false, kStatusEdit},
    {IDCANCEL,         kButton, u"離開",   {152, 19, 66,  14}, true,  kTabStop},
    {IDC_UPDATE,       kButton, u"更新",   {17,  19, 66,  14}, false, kTabStop},
    {IDC_PROGRESS,     kBar,    u"",       {14,  48, 207, 11}, false, kBorder},
    {IDC_MESSAGE_EDIT, kEdit,   u"",       {15,  65, 206, 50}, false, kMessageEdit},
}};

// IDD_ABOUTBOX: the version line is set at run time.
constexpr std::array<ControlTemplate, 3> kAboutEnglish = {{
    {IDC_ABOUT_ICON,    kIcon,   u"",     {17,  15, 20,  20}, true, kPlain, IDR_MAINFRAME},
    {IDC_ABOUT_VERSION, kText,   u"",     {50,  14, 114, 8},  true, kNoPrefix},
    {IDOK,              kButton, u"OK",   {173, 52, 50,  14}, true, kDefault},
}};
constexpr std::array<ControlTemplate, 3> kAboutChinese = {{
    {IDC_ABOUT_ICON,    kIcon,   u"",     {17,  15, 20,  20}, true, kPlain, IDR_MAINFRAME},
    {IDC_ABOUT_VERSION, kText,   u"",     {50,  14, 114, 8},  true, kNoPrefix},
    {IDOK,              kButton, u"確定", {173, 52, 50,  14}, true, kDefault},
}};
constexpr std::array<ControlTemplate, 3> kAboutJapanese = {{
    {IDC_ABOUT_ICON,    kIcon,   u"",     {17,  15, 20,  20}, true, kPlain, IDR_MAINFRAME},
    {IDC_ABOUT_VERSION, kText,   u"",     {50,  14, 114, 8},  true, kNoPrefix},
    {IDOK,              kButton, u"OK",   {173, 52, 50,  14}, true, kDefault},
}};

// IDD_MESSAGEBOX: the result of a successful update.
constexpr std::array<ControlTemplate, 2> kResultEnglish = {{
    {IDC_RESULT_TEXT, kText,   u"Update OK", {33, 14, 41, 10}, true, kPlain},
    {IDOK,            kButton, u"OK",        {61, 37, 39, 10}, true, kDefault | kTabStop},
}};
constexpr std::array<ControlTemplate, 2> kResultChinese = {{
    {IDC_RESULT_TEXT, kText,   u"更新成功",  {33, 14, 41, 10}, true, kPlain},
    {IDOK,            kButton, u"確定",      {61, 37, 39, 10}, true, kDefault | kTabStop},
}};

constexpr std::u16string_view kAboutTitle = u"About TR350 Card Reader FW Update Tool";
constexpr std::u16string_view kResultTitle = u"TR350 Card Reader FW Update Tool";
constexpr std::u16string_view kFont = u"MS Shell Dlg";
constexpr Language kEn = Language::kNeutral;  // English; also every language without a variant
constexpr Language kZh = Language::kChineseTraditional;
constexpr Language kJa = Language::kJapanese;

constexpr std::array<DialogTemplate, 7> kDialogs = {{
    // id, variant, width, height, title, font, points, weight, style, controls
    {IDD_UPDATETOOL_DIALOG, kEn, 235, 124, u"", kFont, 8, 400, kMainStyle, kMainEnglish},
    {IDD_UPDATETOOL_DIALOG, kZh, 267, 125, u"", kFont, 8, 400, kMainStyle, kMainChinese},
    {IDD_ABOUTBOX, kEn, 230, 73, kAboutTitle, kFont, 8, 400, kDialogStyle, kAboutEnglish},
    {IDD_ABOUTBOX, kZh, 230, 73, kAboutTitle, kFont, 8, 400, kDialogStyle, kAboutChinese},
    {IDD_ABOUTBOX, kJa, 230, 73, kAboutTitle, kFont, 8, 400, kDialogStyle, kAboutJapanese},
    {IDD_MESSAGEBOX, kEn, 107, 50, kResultTitle, kFont, 12, 400, kDialogStyle, kResultEnglish},
    {IDD_MESSAGEBOX, kZh, 107, 50, kResultTitle, kFont, 12, 400, kDialogStyle, kResultChinese},
}};

// clang-format on

}  // namespace

std::span<const ui::DialogTemplate> DialogTemplates() {
  return kDialogs;
}

ui::UiResources WindowResources() {
  return ui::UiResources{DialogTemplates(), StringTable()};
}

}  // namespace tr350::res

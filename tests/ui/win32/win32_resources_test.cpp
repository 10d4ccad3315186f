// The Windows program's resources as the system loads them from the built program: every string
// of every variant under its language, every dialog made by the dialog manager with the tables'
// controls, ids, captions, styles and sizes, and the variant a user's UI language gets.
#include "tests/ui/win32/win32_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cwctype>
#include <optional>
#include <string>

#include "ids/resource_ids.h"
#include "res/dialog_templates.h"
#include "res/string_table.h"
#include "ui/language_ids.h"

namespace tr350::test {
namespace {

using ui::ControlKind;
using ui::ControlStyle;
using ui::HasFlag;
using ui::Language;
using ui::win32::LanguageId;

HMODULE Self() {
  return ::GetModuleHandleW(nullptr);
}

// The string of one language variant exactly as stored (the resource loader's fallback aside).
std::optional<std::u16string> StoredString(int id, WORD language) {
  HRSRC found = ::FindResourceExW(Self(), RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
  if (found == nullptr) return std::nullopt;
  const auto* p = static_cast<const WCHAR*>(::LockResource(::LoadResource(Self(), found)));
  // A block holds sixteen counted strings; an absent one has length 0.
  for (int i = 0; i < id % 16; ++i) p += 1 + *p;
  if (*p == 0) return std::nullopt;
  return std::u16string(p + 1, p + 1 + *p);
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::wstring ClassName(HWND window) {
  std::wstring name(64, L'\0');
  name.resize(static_cast<std::size_t>(
      ::GetClassNameW(window, name.data(), static_cast<int>(name.size()))));
  return Lower(name);
}

// A rectangle in dialog units as the dialog manager places it in this dialog's client area: the
// position and the size mapped each on its own.
RECT Pixels(HWND dialog, ui::DialogRect rect) {
  RECT r{rect.x, rect.y, rect.width, rect.height};
  ::MapDialogRect(dialog, &r);
  return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

// The dialog manager may draw a control's border as a sunken edge.
bool HasBorder(HWND control) {
  return (::GetWindowLongW(control, GWL_STYLE) & WS_BORDER) != 0 ||
         (::GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
}

RECT PlaceInDialog(HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(nullptr, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

class NoEvents final : public ui::WindowEvents {
 public:
  void OnCommand(int) override {}
  void OnSysCommand(std::uint32_t, std::intptr_t) override {}
  void OnTimer(std::uintptr_t) override {}
  bool OnDeviceChange(platform::DeviceChange) override { return true; }
  void OnPaint() override {}
};

TEST(Win32ResourcesTest, EveryStringOfEveryVariantIsStoredUnderItsLanguage) {
  for (const ui::StringEntry& entry : res::StringTable()) {
    EXPECT_EQ(StoredString(entry.id, LanguageId(entry.language)), entry.text)
        << entry.id << " in variant " << int(entry.language);
  }
  // The variants hold only what the tables give them: Japanese has no 106.
  EXPECT_EQ(StoredString(IDS_DEVICE_NOT_SUPPORTED, LanguageId(Language::kJapanese)), std::nullopt);
}

TEST(Win32ResourcesTest, DialogsMadeFromTheResourcesHaveTheTablesControls) {
  platform::NoDevices noDevices;
  NoEvents events;
  for (const ui::DialogTemplate& t : res::DialogTemplates()) {
    SCOPED_TRACE(testing::Message() << "dialog " << t.id << " variant " << int(t.language));
    ui::win32::Win32Ui ui({&noDevices, t.language, res::WindowResources(), nullptr});
    const std::unique_ptr<ui::Window> window = ui.CreateDialogWindow(t, events);
    ASSERT_NE(window, nullptr);
    HWND dialog = ui.NewestDialog(t.id);
    ASSERT_NE(dialog, nullptr);
    // Shown by its modal loop only, once the dialog has set itself up.
    EXPECT_FALSE(::IsWindowVisible(dialog));
    EXPECT_EQ(TextOf(dialog), t.title);
    const auto style = static_cast<DWORD>(::GetWindowLongW(dialog, GWL_STYLE));
    for (const DWORD bit : {DWORD{WS_POPUP}, DWORD{WS_CAPTION}, DWORD{WS_SYSMENU}}) {
      EXPECT_EQ(style & bit, bit);
    }
    EXPECT_EQ((::GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0,
              HasFlag(t.style, ui::WindowStyle::kAppWindow));
    RECT client{};
    ::GetClientRect(dialog, &client);
    const RECT size = Pixels(dialog, {0, 0, t.width, t.height});
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    for (const ui::ControlTemplate& want : t.controls) {
      SCOPED_TRACE(testing::Message() << "control " << want.id);
      HWND control = ::GetDlgItem(dialog, want.id);
      ASSERT_NE(control, nullptr);
      const auto s = static_cast<DWORD>(::GetWindowLongW(control, GWL_STYLE));
      EXPECT_EQ(Shown(control), want.visible);
      EXPECT_EQ((s & WS_TABSTOP) != 0, HasFlag(want.style, ControlStyle::kTabStop));
      // The progress bar draws a frame of its own, whatever its style says.
      if (want.kind != ControlKind::kProgress) {
        EXPECT_EQ(HasBorder(control), HasFlag(want.style, ControlStyle::kBorder));
      }
      const RECT place = PlaceInDialog(control);
      const RECT wanted = Pixels(dialog, want.rect);
      EXPECT_EQ(place.left, wanted.left);
      EXPECT_EQ(place.top, wanted.top);
      if (want.kind != ControlKind::kStaticIcon) {  // an icon control takes its icon's size
        EXPECT_EQ(place.right, wanted.right);
        EXPECT_EQ(place.bottom, wanted.bottom);
      }
      switch (want.kind) {
        case ControlKind::kStaticIcon:
          EXPECT_EQ(ClassName(control), L"static");
          EXPECT_EQ(s & SS_TYPEMASK, DWORD{SS_ICON});
          EXPECT_NE(::SendMessageW(control, STM_GETICON, 0, 0), 0);
          break;
        case ControlKind::kStaticText:
          EXPECT_EQ(ClassName(control), L"static");
          EXPECT_EQ(TextOf(control), want.caption);
          EXPECT_EQ((s & SS_NOPREFIX) != 0, HasFlag(want.style, ControlStyle::kNoPrefix));
          break;
        case ControlKind::kEdit:
          EXPECT_EQ(ClassName(control), L"edit");
          EXPECT_EQ((s & ES_READONLY) != 0, HasFlag(want.style, ControlStyle::kReadOnly));
          EXPECT_EQ((s & ES_MULTILINE) != 0, HasFlag(want.style, ControlStyle::kMultiLine));
          EXPECT_EQ((s & ES_AUTOHSCROLL) != 0, HasFlag(want.style, ControlStyle::kAutoHScroll));
          break;
        case ControlKind::kPushButton:
          EXPECT_EQ(ClassName(control), L"button");
          EXPECT_EQ(TextOf(control), want.caption);
          EXPECT_EQ(s & BS_TYPEMASK,
                    DWORD(HasFlag(want.style, ControlStyle::kDefaultButton) ? BS_DEFPUSHBUTTON
                                                                            : BS_PUSHBUTTON));
          break;
        case ControlKind::kProgress:
          EXPECT_EQ(ClassName(control), Lower(PROGRESS_CLASSW));
          break;
      }
    }
  }
}

TEST(Win32ResourcesTest, TheUsersUiLanguagePicksTheVariantWindowsWould) {
  using ui::win32::LanguageFromLangId;
  // Taiwan, Hong Kong, Macau, zh-Hant.
  for (const std::uint16_t traditional :
       std::array<std::uint16_t, 4>{0x0404, 0x0C04, 0x1404, 0x7C04}) {
    EXPECT_EQ(LanguageFromLangId(traditional), Language::kChineseTraditional) << traditional;
  }
  // The PRC, Singapore, zh-Hans, German, neutral.
  for (const std::uint16_t other :
       std::array<std::uint16_t, 5>{0x0804, 0x1004, 0x0004, 0x0407, 0}) {
    EXPECT_EQ(LanguageFromLangId(other), Language::kNeutral) << other;
  }
  EXPECT_EQ(LanguageFromLangId(0x0411), Language::kJapanese);
  EXPECT_EQ(LanguageFromLangId(0x0409), Language::kEnglish);
  EXPECT_EQ(LanguageFromLangId(0x0809), Language::kEnglish);
}

}  // namespace
}  // namespace tr350::test

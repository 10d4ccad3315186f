// The resource script make_rc writes, read back as the resource compiler reads it: every string of
// every language variant under its LANGUAGE statement, every dialog with its size, caption, font
// and controls (class, id, text, place and styles), the icon, the version and the firmware image.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ids/resource_ids.h"
#include "res/dialog_templates.h"
#include "res/string_table.h"
#include "ui/language_ids.h"
#include "ui/ui.h"

namespace tr350::test {
namespace {

using ui::ControlKind;
using ui::ControlStyle;
using ui::HasFlag;
using ui::Language;

struct RcControl {
  std::u16string text;
  int id = 0;
  std::string windowClass;
  std::string style;
  ui::DialogRect rect;
};
struct RcDialog {
  int width = 0;
  int height = 0;
  std::string style;
  std::string exStyle;
  std::u16string caption;
  std::string font;
  std::vector<RcControl> controls;
};
struct Script {
  std::string text;
  std::map<std::pair<Language, int>, std::u16string> strings;
  std::map<std::pair<Language, int>, RcDialog> dialogs;
};

// A literal as the resource compiler reads it: L"...", "" for a quote, \x with four digits.
std::u16string Literal(std::string_view& in) {
  std::u16string out;
  if (in.starts_with("L")) in.remove_prefix(1);
  EXPECT_TRUE(in.starts_with("\"")) << in;
  in.remove_prefix(1);
  while (!in.empty()) {
    const char c = in.front();
    in.remove_prefix(1);
    if (c == '"') {
      if (!in.starts_with("\"")) break;
      in.remove_prefix(1);
      out += u'"';
    } else if (c == '\\' && !in.empty()) {
      const char e = in.front();
      in.remove_prefix(1);
      if (e == 'x') {
        out += static_cast<char16_t>(std::stoul(std::string(in.substr(0, 4)), nullptr, 16));
        in.remove_prefix(4);
      } else {
        out += e == 'r' ? u'\r' : e == 'n' ? u'\n' : static_cast<char16_t>(e);
      }
    } else {
      out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::optional<Language> LanguageOf(int primary, int sub) {
  for (const Language l : {Language::kNeutral, Language::kChineseTraditional, Language::kJapanese,
                           Language::kEnglish}) {
    if (ui::win32::LanguageId(l) == ui::win32::MakeLangId(static_cast<std::uint16_t>(primary),
                                                          static_cast<std::uint16_t>(sub))) {
      return l;
    }
  }
  return std::nullopt;
}

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" ");
  const auto last = text.find_last_not_of(" ");
  return first == std::string_view::npos ? "" : std::string(text.substr(first, last - first + 1));
}

// The fields after a control's text: id, "class", style, x, y, width, height.
RcControl ParseControl(std::string_view rest) {
  RcControl control;
  if (rest.starts_with("L\"") || rest.starts_with("\"")) {
    control.text = Literal(rest);
  } else {
    const auto comma = rest.find(',');
    const std::string icon = Trim(rest.substr(0, comma));
    control.text = std::u16string(icon.begin(), icon.end());
    rest.remove_prefix(comma);
  }
  std::vector<std::string> fields;
  std::stringstream in{std::string(rest.substr(rest.find(',') + 1))};
  for (std::string field; std::getline(in, field, ',');) fields.push_back(Trim(field));
  EXPECT_EQ(fields.size(), 7u);
  if (fields.size() != 7) return control;
  control.id = std::stoi(fields[0]);
  control.windowClass = fields[1].substr(1, fields[1].size() - 2);
  control.style = fields[2];
  control.rect = {static_cast<std::int16_t>(std::stoi(fields[3])),
                  static_cast<std::int16_t>(std::stoi(fields[4])),
                  static_cast<std::int16_t>(std::stoi(fields[5])),
                  static_cast<std::int16_t>(std::stoi(fields[6]))};
  return control;
}

Script Read() {
  std::string path = TR350_RC_FILE;
  if (path.starts_with("/")) path = "Z:" + path;  // the build machine's root, as Wine shows it
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file) << path;
  Script script;
  script.text.assign(std::istreambuf_iterator<char>(file), {});
  std::istringstream lines(script.text);
  std::optional<Language> language;
  RcDialog* dialog = nullptr;
  bool strings = false;
  for (std::string line; std::getline(lines, line);) {
    std::string_view view = line;
    int a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(line.c_str(), "LANGUAGE %d, %d", &a, &b) == 2) {
      language = LanguageOf(a, b);
      EXPECT_TRUE(language) << line;
    } else if (std::sscanf(line.c_str(), "%d DIALOGEX 0, 0, %d, %d", &a, &c, &d) == 3) {
      dialog = &script.dialogs[{language.value_or(Language::kNeutral), a}];
      dialog->width = c;
      dialog->height = d;
    } else if (dialog != nullptr && view.starts_with("STYLE ")) {
      dialog->style = line.substr(6);
    } else if (dialog != nullptr && view.starts_with("EXSTYLE ")) {
      dialog->exStyle = line.substr(8);
    } else if (dialog != nullptr && view.starts_with("CAPTION ")) {
      view.remove_prefix(8);
      dialog->caption = Literal(view);
    } else if (dialog != nullptr && view.starts_with("FONT ")) {
      dialog->font = line.substr(5);
    } else if (dialog != nullptr && view.starts_with("    CONTROL ")) {
      view.remove_prefix(12);
      dialog->controls.push_back(ParseControl(view));
    } else if (view == "STRINGTABLE") {
      strings = true;
    } else if (view == "END") {
      strings = false;
      dialog = nullptr;
    } else if (strings && std::sscanf(line.c_str(), " %d,", &a) == 1) {
      view.remove_prefix(view.find(',') + 2);
      script.strings[{language.value_or(Language::kNeutral), a}] = Literal(view);
    }
  }
  return script;
}

const Script& TheScript() {
  static const Script script = Read();
  return script;
}

bool HasStyle(const std::string& styles, std::string_view name) {
  std::stringstream in(styles);
  for (std::string token; std::getline(in, token, '|');) {
    if (Trim(token) == name) return true;
  }
  return false;
}

TEST(MakeRcTest, EveryStringOfEveryVariantUnderItsLanguage) {
  const Script& script = TheScript();
  for (const ui::StringEntry& entry : res::StringTable()) {
    const auto it = script.strings.find({entry.language, entry.id});
    ASSERT_NE(it, script.strings.end()) << entry.id << " in variant " << int(entry.language);
    EXPECT_EQ(it->second, entry.text) << entry.id << " in variant " << int(entry.language);
  }
  EXPECT_EQ(script.strings.size(), res::StringTable().size());  // nothing else, nothing twice
}

TEST(MakeRcTest, EveryDialogWithItsControlsAndStyles) {
  const Script& script = TheScript();
  for (const ui::DialogTemplate& t : res::DialogTemplates()) {
    SCOPED_TRACE(testing::Message() << "dialog " << t.id << " variant " << int(t.language));
    const auto it = script.dialogs.find({t.language, t.id});
    ASSERT_NE(it, script.dialogs.end());
    const RcDialog& d = it->second;
    EXPECT_EQ(d.width, t.width);
    EXPECT_EQ(d.height, t.height);
    EXPECT_EQ(d.caption, t.title);
    EXPECT_EQ(d.font, std::to_string(t.fontPoints) + ", L\"MS Shell Dlg\", " +
                          std::to_string(t.fontWeight) + ", 0, 0x1");
    for (const char* name : {"WS_POPUP", "WS_CAPTION", "WS_SYSMENU", "DS_MODALFRAME"}) {
      EXPECT_TRUE(HasStyle(d.style, name)) << name;
    }
    EXPECT_EQ(HasStyle(d.style, "WS_VISIBLE"), HasFlag(t.style, ui::WindowStyle::kVisible));
    EXPECT_EQ(d.exStyle == "WS_EX_APPWINDOW", HasFlag(t.style, ui::WindowStyle::kAppWindow));
    ASSERT_EQ(d.controls.size(), t.controls.size());
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
      const ui::ControlTemplate& want = t.controls[i];
      const RcControl& got = d.controls[i];
      SCOPED_TRACE(testing::Message() << "control " << want.id);
      EXPECT_EQ(got.id, want.id);
      EXPECT_EQ(got.rect.x, want.rect.x);
      EXPECT_EQ(got.rect.y, want.rect.y);
      EXPECT_EQ(got.rect.width, want.rect.width);
      EXPECT_EQ(got.rect.height, want.rect.height);
      EXPECT_TRUE(HasStyle(got.style, want.visible ? "WS_VISIBLE" : "NOT WS_VISIBLE"));
      EXPECT_EQ(HasStyle(got.style, "WS_TABSTOP"), HasFlag(want.style, ControlStyle::kTabStop));
      EXPECT_EQ(HasStyle(got.style, "WS_BORDER"), HasFlag(want.style, ControlStyle::kBorder));
      switch (want.kind) {
        case ControlKind::kStaticIcon:
          EXPECT_EQ(got.windowClass, "Static");
          EXPECT_TRUE(HasStyle(got.style, "SS_ICON"));
          EXPECT_EQ(got.text, u"120");  // IDR_MAINFRAME
          break;
        case ControlKind::kStaticText:
          EXPECT_EQ(got.windowClass, "Static");
          EXPECT_EQ(got.text, want.caption);
          EXPECT_EQ(HasStyle(got.style, "SS_NOPREFIX"),
                    HasFlag(want.style, ControlStyle::kNoPrefix));
          break;
        case ControlKind::kEdit:
          EXPECT_EQ(got.windowClass, "Edit");
          EXPECT_EQ(HasStyle(got.style, "ES_READONLY"),
                    HasFlag(want.style, ControlStyle::kReadOnly));
          EXPECT_EQ(HasStyle(got.style, "ES_MULTILINE"),
                    HasFlag(want.style, ControlStyle::kMultiLine));
          EXPECT_EQ(HasStyle(got.style, "ES_AUTOHSCROLL"),
                    HasFlag(want.style, ControlStyle::kAutoHScroll));
          break;
        case ControlKind::kPushButton:
          EXPECT_EQ(got.windowClass, "Button");
          EXPECT_EQ(got.text, want.caption);
          EXPECT_TRUE(HasStyle(got.style, HasFlag(want.style, ControlStyle::kDefaultButton)
                                              ? "BS_DEFPUSHBUTTON"
                                              : "BS_PUSHBUTTON"));
          break;
        case ControlKind::kProgress:
          EXPECT_EQ(got.windowClass, "msctls_progress32");
          break;
      }
    }
  }
  EXPECT_EQ(script.dialogs.size(), res::DialogTemplates().size());
}

TEST(MakeRcTest, TheIconVersionAndImageOfTheProgram) {
  const std::string& text = TheScript().text;
  EXPECT_NE(text.find("\n120 ICON \""), std::string::npos);
  EXPECT_NE(text.find("FILEVERSION 1, 0, 1, 9\n"), std::string::npos);
  EXPECT_NE(text.find("PRODUCTVERSION 1, 0, 1, 9\n"), std::string::npos);
  EXPECT_NE(text.find("VALUE \"FileVersion\", \"1.0.1.9\""), std::string::npos);
  EXPECT_NE(text.find("\n131 132 \""), std::string::npos);
  // No character outside printable ASCII: the resource compiler needs no code page.
  for (const char c : text) {
    ASSERT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7E)) << int(c);
  }
}

}  // namespace
}  // namespace tr350::test

// Build tool: writes the Windows program's resource script (.rc) from the tables the Linux build
// uses: the dialog templates and the string table in each language variant, the icon, the version
// resource and the firmware image. Runs on the build machine, also when the program is cross-built.
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ids/resource_ids.h"
#include "res/dialog_templates.h"
#include "res/string_table.h"
#include "ui/language_ids.h"
#include "ui/ui.h"

namespace {

using tr350::ui::ControlKind;
using tr350::ui::ControlStyle;
using tr350::ui::ControlTemplate;
using tr350::ui::DialogTemplate;
using tr350::ui::HasFlag;
using tr350::ui::Language;
using tr350::ui::StringEntry;
using tr350::ui::WindowStyle;

constexpr std::string_view kUsage =
    "usage: make_rc --out FILE.rc --version A.B.C.D --icon FILE.ico --image FIRMWARE.bin\n";
constexpr std::string_view kProductName = "TR350 Card Reader FW Update Tool";

// The variants in the order the script lists them, with the names the LANGUAGE statement shows.
struct LanguageName {
  Language language;
  std::string_view name;
};
constexpr std::array<LanguageName, 4> kLanguages = {{
    {Language::kNeutral, "neutral"},
    {Language::kChineseTraditional, "Chinese (Traditional, Taiwan)"},
    {Language::kJapanese, "Japanese"},
    {Language::kEnglish, "English (United States)"},
}};

// The window style flags of the tables and the system's names for them.
struct WindowStyleName {
  WindowStyle flag;
  std::string_view name;
};
constexpr std::array<WindowStyleName, 5> kWindowStyles = {{
    {WindowStyle::kPopup, "WS_POPUP"},
    {WindowStyle::kCaption, "WS_CAPTION"},
    {WindowStyle::kSystemMenu, "WS_SYSMENU"},
    {WindowStyle::kModalFrame, "DS_MODALFRAME"},
    {WindowStyle::kVisible, "WS_VISIBLE"},
}};

// The control styles, per kind of control where the system's name depends on it.
struct ControlStyleName {
  ControlStyle flag;
  std::string_view edit;
  std::string_view other;
};
constexpr std::array<ControlStyleName, 5> kControlStyles = {{
    {ControlStyle::kBorder, "WS_BORDER", "WS_BORDER"},
    {ControlStyle::kReadOnly, "ES_READONLY", ""},
    {ControlStyle::kAutoHScroll, "ES_AUTOHSCROLL", ""},
    {ControlStyle::kMultiLine, "ES_MULTILINE", ""},
    {ControlStyle::kTabStop, "WS_TABSTOP", "WS_TABSTOP"},
}};

struct Options {
  std::string out;
  std::string version;
  std::string icon;
  std::string image;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    std::string* target = name == "--out"       ? &options.out
                          : name == "--version" ? &options.version
                          : name == "--icon"    ? &options.icon
                          : name == "--image"   ? &options.image
                                                : nullptr;
    if (target == nullptr) return std::nullopt;
    *target = argv[i + 1];
  }
  if (argc % 2 == 0 || options.out.empty() || options.version.empty() || options.icon.empty() ||
      options.image.empty()) {
    return std::nullopt;
  }
  return options;
}

// "1.0.1.9" as four 16-bit numbers.
std::optional<std::array<unsigned, 4>> ParseVersion(std::string_view text) {
  std::array<unsigned, 4> parts{};
  std::size_t index = 0;
  for (std::size_t start = 0; start <= text.size(); ++index) {
    const std::size_t end = std::min(text.find('.', start), text.size());
    const std::string_view digits = text.substr(start, end - start);
    if (index >= parts.size() || digits.empty() || digits.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    parts[index] = value;
    start = end + 1;
  }
  if (index != parts.size()) return std::nullopt;
  return parts;
}

// A wide string literal. Everything outside printable ASCII is a four-digit \x escape, so that the
// resource compiler needs no code page; a hex digit right after an escape is escaped too, so that
// no compiler can read it as part of the escape.
std::string WideLiteral(std::u16string_view text) {
  std::string out = "L\"";
  bool afterEscape = false;
  for (const char16_t c : text) {
    const bool hexDigit =
        (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    if (c == u'"') {
      out += "\"\"";
    } else if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c < 0x20 || c > 0x7E || (afterEscape && hexDigit)) {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\x%04x", static_cast<unsigned>(c));
      out += escape.data();
      afterEscape = true;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    afterEscape = false;
  }
  return out + "\"";
}

// A file name as a narrow string literal (the compiler reads it as given).
std::string PathLiteral(std::string_view path) {
  std::string out = "\"";
  for (const char c : path) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string LanguageStatement(Language language) {
  const std::uint16_t id = tr350::ui::win32::LanguageId(language);
  std::string name;
  for (const LanguageName& entry : kLanguages) {
    if (entry.language == language) name = entry.name;
  }
  std::ostringstream out;
  out << "LANGUAGE " << tr350::ui::win32::PrimaryLanguage(id) << ", "
      << tr350::ui::win32::SubLanguage(id) << "  // " << name << ", LANGID 0x" << std::hex << id;
  return out.str();
}

std::string Join(const std::vector<std::string_view>& names) {
  std::string out;
  for (const std::string_view name : names) {
    if (!out.empty()) out += " | ";
    out += name;
  }
  return out;
}

std::string DialogStyle(WindowStyle style) {
  std::vector<std::string_view> names = {"DS_SETFONT"};
  for (const WindowStyleName& entry : kWindowStyles) {
    if (HasFlag(style, entry.flag)) names.push_back(entry.name);
  }
  return Join(names);
}

// The window class and style of a control. WS_VISIBLE is stated either way: the compiler adds it
// to a CONTROL unless told NOT to.
std::pair<std::string_view, std::string> ControlClassAndStyle(const ControlTemplate& control) {
  std::vector<std::string_view> names = {"WS_CHILD"};
  std::string_view windowClass;
  const bool edit = control.kind == ControlKind::kEdit;
  switch (control.kind) {
    case ControlKind::kStaticText:
      windowClass = "Static";
      names.push_back("SS_LEFT");
      if (HasFlag(control.style, ControlStyle::kNoPrefix)) names.push_back("SS_NOPREFIX");
      break;
    case ControlKind::kStaticIcon:
      windowClass = "Static";
      names.push_back("SS_ICON");
      break;
    case ControlKind::kEdit:
      windowClass = "Edit";
      names.push_back("ES_LEFT");
      break;
    case ControlKind::kPushButton:
      windowClass = "Button";
      names.push_back(HasFlag(control.style, ControlStyle::kDefaultButton) ? "BS_DEFPUSHBUTTON"
                                                                           : "BS_PUSHBUTTON");
      break;
    case ControlKind::kProgress:
      windowClass = "msctls_progress32";
      break;
  }
  for (const ControlStyleName& entry : kControlStyles) {
    const std::string_view name = edit ? entry.edit : entry.other;
    if (HasFlag(control.style, entry.flag) && !name.empty()) names.push_back(name);
  }
  names.push_back(control.visible ? "WS_VISIBLE" : "NOT WS_VISIBLE");
  return {windowClass, Join(names)};
}

void WriteDialog(std::ostream& out, const DialogTemplate& dialog) {
  out << dialog.id << " DIALOGEX 0, 0, " << dialog.width << ", " << dialog.height << "\n"
      << "STYLE " << DialogStyle(dialog.style) << "\n";
  if (HasFlag(dialog.style, WindowStyle::kAppWindow)) out << "EXSTYLE WS_EX_APPWINDOW\n";
  out << "CAPTION " << WideLiteral(dialog.title) << "\n"
      << "FONT " << dialog.fontPoints << ", " << WideLiteral(dialog.font) << ", "
      << dialog.fontWeight << ", 0, 0x1\n"
      << "BEGIN\n";
  for (const ControlTemplate& control : dialog.controls) {
    const auto [windowClass, style] = ControlClassAndStyle(control);
    // A static icon's text is the icon's resource id.
    const std::string text = control.kind == ControlKind::kStaticIcon
                                 ? std::to_string(control.iconResource)
                                 : WideLiteral(control.caption);
    out << "    CONTROL " << text << ", " << control.id << ", \"" << windowClass << "\", " << style
        << ", " << control.rect.x << ", " << control.rect.y << ", " << control.rect.width << ", "
        << control.rect.height << "\n";
  }
  out << "END\n\n";
}

void WriteStrings(std::ostream& out, Language language) {
  bool any = false;
  for (const StringEntry& entry : tr350::res::StringTable()) {
    if (entry.language != language) continue;
    if (!any) out << "STRINGTABLE\nBEGIN\n";
    any = true;
    out << "    " << entry.id << ", " << WideLiteral(entry.text) << "\n";
  }
  if (any) out << "END\n\n";
}

void WriteVersion(std::ostream& out, const std::array<unsigned, 4>& v, std::string_view text) {
  const std::string numbers = std::to_string(v[0]) + ", " + std::to_string(v[1]) + ", " +
                              std::to_string(v[2]) + ", " + std::to_string(v[3]);
  out << "VS_VERSION_INFO VERSIONINFO\n"
      << "FILEVERSION " << numbers << "\n"
      << "PRODUCTVERSION " << numbers << "\n"
      << "FILEFLAGSMASK VS_FFI_FILEFLAGSMASK\n"
      << "FILEFLAGS 0x0\n"
      << "FILEOS VOS_NT_WINDOWS32\n"
      << "FILETYPE VFT_APP\n"
      << "FILESUBTYPE VFT2_UNKNOWN\n"
      << "BEGIN\n"
      << "    BLOCK \"StringFileInfo\"\n"
      << "    BEGIN\n"
      << "        BLOCK \"040904b0\"  // English (United States), Unicode\n"
      << "        BEGIN\n"
      << "            VALUE \"FileDescription\", \"" << kProductName << "\"\n"
      << "            VALUE \"FileVersion\", \"" << text << "\"\n"
      << "            VALUE \"InternalName\", \"tr350-fwupdate\"\n"
      << "            VALUE \"OriginalFilename\", \"tr350-fwupdate.exe\"\n"
      << "            VALUE \"ProductName\", \"" << kProductName << "\"\n"
      << "            VALUE \"ProductVersion\", \"" << text << "\"\n"
      << "        END\n"
      << "    END\n"
      << "    BLOCK \"VarFileInfo\"\n"
      << "    BEGIN\n"
      << "        VALUE \"Translation\", 0x409, 1200\n"
      << "    END\n"
      << "END\n\n";
}

std::string Script(const Options& options, const std::array<unsigned, 4>& version) {
  std::ostringstream out;
  out << "// The program's resources, written by make_rc from the tables in res/: do not edit.\n"
      << "#include <windows.h>\n\n";
  for (const LanguageName& variant : kLanguages) {
    out << LanguageStatement(variant.language) << "\n\n";
    for (const DialogTemplate& dialog : tr350::res::DialogTemplates()) {
      if (dialog.language == variant.language) WriteDialog(out, dialog);
    }
    WriteStrings(out, variant.language);
  }
  out << LanguageStatement(Language::kNeutral) << "\n\n"
      << tr350::IDR_MAINFRAME << " ICON " << PathLiteral(options.icon) << "\n\n";
  WriteVersion(out, version, options.version);
  out << "// The firmware image: resource type " << tr350::kFirmwareResourceType << ", id "
      << tr350::kFirmwareResourceId << ".\n"
      << tr350::kFirmwareResourceId << " " << tr350::kFirmwareResourceType << " "
      << PathLiteral(options.image) << "\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  const auto version = ParseVersion(options->version);
  if (!version) {
    std::cerr << "make_rc: the version must be four numbers up to 65535: " << options->version
              << "\n";
    return 2;
  }
  std::ofstream file(options->out, std::ios::binary | std::ios::trunc);
  file << Script(*options, *version);
  if (!file.flush()) {
    std::cerr << "make_rc: cannot write " << options->out << "\n";
    return 1;
  }
  return 0;
}

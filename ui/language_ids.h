// The Windows language identifiers (LANGIDs) of the program's resource variants, and the variant
// Windows picks for a user's UI language. Portable: the build's resource script writer uses it too.
#pragma once

#include <cstdint>

#include "ui/ui.h"

namespace tr350::ui::win32 {

// Primary language ids (the low ten bits of a LANGID) and sublanguages (the high six).
inline constexpr std::uint16_t kLangChinese = 0x04;
inline constexpr std::uint16_t kLangEnglish = 0x09;
inline constexpr std::uint16_t kLangJapanese = 0x11;

constexpr std::uint16_t MakeLangId(std::uint16_t primary, std::uint16_t sub) {
  return static_cast<std::uint16_t>((sub << 10) | primary);
}
constexpr std::uint16_t PrimaryLanguage(std::uint16_t langId) {
  return static_cast<std::uint16_t>(langId & 0x3FF);
}
constexpr std::uint16_t SubLanguage(std::uint16_t langId) {
  return static_cast<std::uint16_t>(langId >> 10);
}

// The LANGID each variant of the tables is stored under in the program's resources.
constexpr std::uint16_t LanguageId(Language language) {
  switch (language) {
    case Language::kNeutral:
      return MakeLangId(0x00, 0x00);  // LANG_NEUTRAL, SUBLANG_NEUTRAL
    case Language::kChineseTraditional:
      return MakeLangId(kLangChinese, 0x01);  // zh-TW
    case Language::kJapanese:
      return MakeLangId(kLangJapanese, 0x01);  // ja-JP
    case Language::kEnglish:
      return MakeLangId(kLangEnglish, 0x01);  // en-US
  }
  return 0;
}

// The variant for a user's UI language: Chinese (Traditional) for Taiwan, Hong Kong, Macau and the
// Traditional script, Japanese, English; every other language gets the neutral one.
constexpr Language LanguageFromLangId(std::uint16_t langId) {
  switch (PrimaryLanguage(langId)) {
    case kLangJapanese:
      return Language::kJapanese;
    case kLangEnglish:
      return Language::kEnglish;
    case kLangChinese:
      switch (SubLanguage(langId)) {
        case 0x01:  // Taiwan
        case 0x03:  // Hong Kong SAR
        case 0x05:  // Macau SAR
        case 0x1F:  // the Traditional script ("zh-Hant")
          return Language::kChineseTraditional;
        default:  // Simplified: the PRC, Singapore, "zh-Hans"
          return Language::kNeutral;
      }
    default:
      return Language::kNeutral;
  }
}

}  // namespace tr350::ui::win32

// The version text, read through the platform's module resources.
#include "app/version_text.h"

#include <string>

#include "platform/platform.h"

namespace tr350 {

bool GetAppVersionString(std::u16string& out) {
  const auto version = platform::Current().Resources().ProgramFileVersion();
  if (!version) return false;
  std::u16string text;
  for (const std::uint16_t part :
       {version->major, version->minor, version->build, version->revision}) {
    if (!text.empty()) text.push_back(u'.');
    for (const char c : std::to_string(part)) text.push_back(static_cast<char16_t>(c));
  }
  out = text;
  return !out.empty();
}

}  // namespace tr350

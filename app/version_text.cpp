// The version text, read through the platform's module resources.
#include "app/version_text.h"

#include <string>

#include "app/front_end.h"
#include "platform/platform.h"

namespace tr350 {

bool GetAppVersionString(std::u16string& out) {
  const std::optional<std::string> version =
      front_end::ToolVersion(platform::Current().Resources());
  if (!version) return false;
  out.assign(version->begin(), version->end());  // digits and dots only
  return !out.empty();
}

}  // namespace tr350

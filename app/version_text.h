// The version text of the running program's file.
#pragma once

#include <string>

namespace tr350 {

// "major.minor.build.revision" of the program file's version resource. False, with `out` left
// unchanged, when the program file has no version resource. Thread-safe.
bool GetAppVersionString(std::u16string& out);

}  // namespace tr350

// Win32 error codes as the portable Cause carries them: the errno of the same meaning, so that
// Describe() and PermissionDenied() read the same on every system, and the Win32 name as detail.
#pragma once

#include <windows.h>

#include <string_view>

#include "platform/cause.h"

namespace tr350::platform::windows {

// The cause of a failed Win32 call. An error without a listed meaning becomes EIO, with a detail
// saying so.
Cause Win32Cause(std::string_view operation, DWORD error);

// The errno of a Win32 error code, EIO where none is listed.
int ErrnoOfWin32(DWORD error);

}  // namespace tr350::platform::windows

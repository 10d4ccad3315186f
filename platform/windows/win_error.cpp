// The table from Win32 error codes to errno values and names.
#include "platform/windows/win_error.h"

#include <array>
#include <cerrno>

namespace tr350::platform::windows {
namespace {

struct ErrorMeaning {
  DWORD win32;
  int posix;
  std::string_view name;
};

// The errors the backend's calls report in practice.
constexpr std::array kMeanings = {
    ErrorMeaning{ERROR_INVALID_FUNCTION, ENOSYS, "(ERROR_INVALID_FUNCTION)"},
    ErrorMeaning{ERROR_FILE_NOT_FOUND, ENOENT, "(ERROR_FILE_NOT_FOUND)"},
    ErrorMeaning{ERROR_PATH_NOT_FOUND, ENOENT, "(ERROR_PATH_NOT_FOUND)"},
    ErrorMeaning{ERROR_TOO_MANY_OPEN_FILES, EMFILE, "(ERROR_TOO_MANY_OPEN_FILES)"},
    ErrorMeaning{ERROR_ACCESS_DENIED, EACCES, "(ERROR_ACCESS_DENIED)"},
    ErrorMeaning{ERROR_INVALID_HANDLE, EBADF, "(ERROR_INVALID_HANDLE)"},
    ErrorMeaning{ERROR_NOT_ENOUGH_MEMORY, ENOMEM, "(ERROR_NOT_ENOUGH_MEMORY)"},
    ErrorMeaning{ERROR_OUTOFMEMORY, ENOMEM, "(ERROR_OUTOFMEMORY)"},
    ErrorMeaning{ERROR_WRITE_PROTECT, EROFS, "(ERROR_WRITE_PROTECT)"},
    ErrorMeaning{ERROR_NOT_READY, ENODEV, "(ERROR_NOT_READY)"},
    ErrorMeaning{ERROR_BAD_LENGTH, EINVAL, "(ERROR_BAD_LENGTH)"},
    ErrorMeaning{ERROR_GEN_FAILURE, EIO, "(ERROR_GEN_FAILURE)"},
    ErrorMeaning{ERROR_SHARING_VIOLATION, EBUSY, "(ERROR_SHARING_VIOLATION)"},
    ErrorMeaning{ERROR_NOT_SUPPORTED, ENOSYS, "(ERROR_NOT_SUPPORTED)"},
    ErrorMeaning{ERROR_INVALID_PARAMETER, EINVAL, "(ERROR_INVALID_PARAMETER)"},
    ErrorMeaning{ERROR_SEM_TIMEOUT, ETIMEDOUT, "(ERROR_SEM_TIMEOUT)"},
    ErrorMeaning{ERROR_INSUFFICIENT_BUFFER, ERANGE, "(ERROR_INSUFFICIENT_BUFFER)"},
    ErrorMeaning{ERROR_INVALID_NAME, EINVAL, "(ERROR_INVALID_NAME)"},
    ErrorMeaning{ERROR_ALREADY_EXISTS, EEXIST, "(ERROR_ALREADY_EXISTS)"},
    ErrorMeaning{ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG, "(ERROR_FILENAME_EXCED_RANGE)"},
    ErrorMeaning{ERROR_NO_MORE_ITEMS, ENOENT, "(ERROR_NO_MORE_ITEMS)"},
    ErrorMeaning{ERROR_NOT_OWNER, EPERM, "(ERROR_NOT_OWNER)"},
    ErrorMeaning{ERROR_DEV_NOT_EXIST, ENODEV, "(ERROR_DEV_NOT_EXIST)"},
    ErrorMeaning{ERROR_OPERATION_ABORTED, EINTR, "(ERROR_OPERATION_ABORTED)"},
    ErrorMeaning{ERROR_IO_DEVICE, EIO, "(ERROR_IO_DEVICE)"},
    ErrorMeaning{ERROR_DEVICE_NOT_CONNECTED, ENODEV, "(ERROR_DEVICE_NOT_CONNECTED)"},
    ErrorMeaning{ERROR_PRIVILEGE_NOT_HELD, EPERM, "(ERROR_PRIVILEGE_NOT_HELD)"},
    ErrorMeaning{ERROR_TIMEOUT, ETIMEDOUT, "(ERROR_TIMEOUT)"},
};

const ErrorMeaning* Find(DWORD error) {
  for (const ErrorMeaning& meaning : kMeanings) {
    if (meaning.win32 == error) return &meaning;
  }
  return nullptr;
}

}  // namespace

int ErrnoOfWin32(DWORD error) {
  const ErrorMeaning* meaning = Find(error);
  return meaning != nullptr ? meaning->posix : EIO;
}

Cause Win32Cause(std::string_view operation, DWORD error) {
  const ErrorMeaning* meaning = Find(error);
  return {
      .operation = operation,
      .osError = meaning != nullptr ? meaning->posix : EIO,
      .detail = meaning != nullptr ? meaning->name : "(a Win32 error without a listed meaning)"};
}

}  // namespace tr350::platform::windows

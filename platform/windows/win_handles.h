// RAII owners of the Win32 handles the Windows backend holds, and the conversion of the tool's
// UTF-16 text into the NUL-terminated wide strings Win32 takes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tr350::platform::windows {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");

// A kernel handle closed with CloseHandle; both null and INVALID_HANDLE_VALUE mean "none", since
// CreateFileW reports failure with one and CreateMutexW with the other.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle = nullptr) {
    if (*this) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The text as Win32 takes it; nullopt when it is empty or holds a NUL, which would cut it short.
inline std::optional<std::wstring> ToWide(std::u16string_view text) {
  if (text.empty() || text.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  return std::wstring(text.begin(), text.end());
}

inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace tr350::platform::windows

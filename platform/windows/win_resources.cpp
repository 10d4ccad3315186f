// FindResourceW, LoadResource and LockResource on the program's own module, and the version API
// on the program file.
#include "platform/windows/win_resources.h"

#include <string>
#include <vector>

#include "platform/windows/win_error.h"

namespace tr350::platform::windows {
namespace {

// The module's file name, however long.
std::optional<std::wstring> ModuleFileName(HMODULE module) {
  std::wstring name(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::nullopt;
    // A name that filled the buffer may have been cut short: try again with more room.
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    if (name.size() >= 32768) return std::nullopt;  // beyond the longest path the system has
    name.resize(name.size() * 2);
  }
}

// Stops the listing at the first type.
BOOL CALLBACK NoteFirstType(HMODULE, LPWSTR, LONG_PTR found) {
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

}  // namespace

WinModuleResources::State WinModuleResources::ResourceState() {
  bool any = false;
  // A module without a resource section has no type to list.
  ::EnumResourceTypesW(module_, NoteFirstType, reinterpret_cast<LONG_PTR>(&any));
  return any ? State::kPresent : State::kAbsent;
}

std::optional<std::span<const std::uint8_t>> WinModuleResources::Find(std::uint16_t type,
                                                                      std::uint16_t id) {
  HRSRC found = ::FindResourceW(module_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
  if (found == nullptr) return std::nullopt;  // a resource the program does not carry: no failure
  HGLOBAL loaded = ::LoadResource(module_, found);
  const DWORD size = ::SizeofResource(module_, found);
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr) {
    SetLastCause(Win32Cause("resources", ::GetLastError()));
    return std::nullopt;
  }
  return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
}

std::optional<FileVersion> WinModuleResources::ProgramFileVersion() {
  const std::optional<std::wstring> file = ModuleFileName(module_);
  if (!file) {
    SetLastCause(Win32Cause("resources", ::GetLastError()));
    return std::nullopt;
  }
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(file->c_str(), &ignored);
  if (size == 0) return std::nullopt;  // no version resource
  std::vector<std::uint8_t> info(size);
  if (!::GetFileVersionInfoW(file->c_str(), 0, size, info.data())) {
    SetLastCause(Win32Cause("resources", ::GetLastError()));
    return std::nullopt;
  }
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(info.data(), L"\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != 0xFEEF04BD) return std::nullopt;
  return FileVersion{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                     HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

}  // namespace tr350::platform::windows

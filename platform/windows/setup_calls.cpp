// The real SetupAPI and configuration-manager calls, each with the two-step size query the API
// asks for.
#include "platform/windows/setup_calls.h"

#include <setupapi.h>

#include <vector>

namespace tr350::platform::windows {
namespace {

HDEVINFO ToSet(SetupCalls::SetId set) {
  return reinterpret_cast<HDEVINFO>(set);
}

// Text the system wrote into a buffer: up to the first NUL.
std::wstring Terminated(const wchar_t* text, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && text[length] != L'\0') ++length;
  return std::wstring(text, length);
}

std::optional<std::wstring> InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                          SP_DEVINFO_DATA& device) {
  DWORD required = 0;
  if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return std::nullopt;
  }
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::nullopt;
  // Held in DWORD-aligned storage: the detail's size field must be aligned.
  std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);  // the fixed part, as the API asks
  if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device)) {
    return std::nullopt;
  }
  const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  const std::wstring path =
      Terminated(detail->DevicePath, (required - pathOffset) / sizeof(wchar_t));
  if (path.empty()) return std::nullopt;
  return path;
}

std::optional<std::wstring> InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  DWORD required = 0;
  if (!::SetupDiGetDeviceInstanceIdW(set, &device, nullptr, 0, &required) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return std::nullopt;
  }
  if (required == 0) return std::nullopt;
  std::vector<wchar_t> id(required, L'\0');
  if (!::SetupDiGetDeviceInstanceIdW(set, &device, id.data(), required, nullptr)) {
    return std::nullopt;
  }
  std::wstring text = Terminated(id.data(), id.size());
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<DEVINST> Step(decltype(&::CM_Get_Child) call, DEVINST node) {
  DEVINST next = 0;
  if (call(&next, node, 0) != CR_SUCCESS) return std::nullopt;
  return next;
}

}  // namespace

std::optional<SetupCalls::SetId> Win32SetupCalls::OpenInterfaceSet(const GUID& interfaceClass,
                                                                   DWORD& error) {
  HDEVINFO set = ::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return std::nullopt;
  }
  return reinterpret_cast<SetId>(set);
}

void Win32SetupCalls::CloseSet(SetId set) {
  ::SetupDiDestroyDeviceInfoList(ToSet(set));
}

std::optional<InterfaceRecord> Win32SetupCalls::Interface(SetId set, const GUID& interfaceClass,
                                                          DWORD index) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!::SetupDiEnumDeviceInterfaces(ToSet(set), nullptr, &interfaceClass, index, &data)) {
    // Past the end; any other failure ends the list too, since later indices would fail alike.
    return std::nullopt;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  InterfaceRecord record;
  record.path = InterfacePath(ToSet(set), data, device);
  // The device that exposes this very interface, so that path and ID always belong together.
  if (record.path) record.instanceId = InstanceId(ToSet(set), device);
  return record;
}

std::optional<DEVINST> Win32SetupCalls::Locate(const std::wstring& instanceId) {
  DEVINST node = 0;
  std::wstring id = instanceId;  // the call takes a non-const pointer
  if (::CM_Locate_DevNodeW(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return std::nullopt;
  }
  return node;
}

std::optional<DEVINST> Win32SetupCalls::Child(DEVINST node) {
  return Step(::CM_Get_Child, node);
}

std::optional<DEVINST> Win32SetupCalls::Sibling(DEVINST node) {
  return Step(::CM_Get_Sibling, node);
}

std::optional<DEVINST> Win32SetupCalls::Parent(DEVINST node) {
  return Step(::CM_Get_Parent, node);
}

std::optional<std::wstring> Win32SetupCalls::DeviceId(DEVINST node) {
  ULONG length = 0;
  if (::CM_Get_Device_ID_Size(&length, node, 0) != CR_SUCCESS || length == 0) return std::nullopt;
  std::vector<wchar_t> id(length + 1, L'\0');  // the size leaves out the terminator
  if (::CM_Get_Device_IDW(node, id.data(), static_cast<ULONG>(id.size()), 0) != CR_SUCCESS) {
    return std::nullopt;
  }
  return Terminated(id.data(), id.size());
}

std::optional<std::wstring> Win32SetupCalls::TextProperty(DEVINST node, ULONG property) {
  ULONG type = 0;
  ULONG size = 0;
  const CONFIGRET sized =
      ::CM_Get_DevNode_Registry_PropertyW(node, property, &type, nullptr, &size, 0);
  if ((sized != CR_SUCCESS && sized != CR_BUFFER_SMALL) || size == 0) return std::nullopt;
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  ULONG capacity = static_cast<ULONG>(text.size() * sizeof(wchar_t));
  if (::CM_Get_DevNode_Registry_PropertyW(node, property, &type, text.data(), &capacity, 0) !=
          CR_SUCCESS ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return std::nullopt;
  }
  return Terminated(text.data(), text.size());  // the first string of a list
}

}  // namespace tr350::platform::windows

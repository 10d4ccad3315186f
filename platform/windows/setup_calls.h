// The SetupAPI and configuration-manager calls the device setup makes, behind a small interface so
// that a test can script the answers of a device tree; the real one forwards to Win32.
#pragma once

#include <windows.h>
// cfgmgr32.h needs the types windows.h declares.
#include <cfgmgr32.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tr350::platform::windows {

// One device interface of a class: its path and the instance ID of the device exposing it. Either
// is nullopt when the system could not tell it (the device went away meanwhile).
struct InterfaceRecord {
  std::optional<std::wstring> path;
  std::optional<std::wstring> instanceId;
};

class SetupCalls {
 public:
  using SetId = std::uintptr_t;  // an open device information set (an HDEVINFO)

  virtual ~SetupCalls() = default;

  // SetupDiGetClassDevsW(class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); nullopt with the Win32
  // error in `error` when the set cannot be made.
  virtual std::optional<SetId> OpenInterfaceSet(const GUID& interfaceClass, DWORD& error) = 0;
  // SetupDiDestroyDeviceInfoList.
  virtual void CloseSet(SetId set) = 0;
  // SetupDiEnumDeviceInterfaces(set, index), then SetupDiGetDeviceInterfaceDetailW and
  // SetupDiGetDeviceInstanceIdW of the interface's own device; nullopt past the last interface.
  virtual std::optional<InterfaceRecord> Interface(SetId set, const GUID& interfaceClass,
                                                   DWORD index) = 0;

  // CM_Locate_DevNodeW(id, CM_LOCATE_DEVNODE_NORMAL): present nodes only.
  virtual std::optional<DEVINST> Locate(const std::wstring& instanceId) = 0;
  // CM_Get_Child, CM_Get_Sibling, CM_Get_Parent.
  virtual std::optional<DEVINST> Child(DEVINST node) = 0;
  virtual std::optional<DEVINST> Sibling(DEVINST node) = 0;
  virtual std::optional<DEVINST> Parent(DEVINST node) = 0;
  // CM_Get_Device_IDW.
  virtual std::optional<std::wstring> DeviceId(DEVINST node) = 0;
  // CM_Get_DevNode_Registry_PropertyW of a text property (CM_DRP_FRIENDLYNAME, ...).
  virtual std::optional<std::wstring> TextProperty(DEVINST node, ULONG property) = 0;
};

// The calls as the system answers them. Stateless, so thread-safe.
class Win32SetupCalls final : public SetupCalls {
 public:
  std::optional<SetId> OpenInterfaceSet(const GUID& interfaceClass, DWORD& error) override;
  void CloseSet(SetId set) override;
  std::optional<InterfaceRecord> Interface(SetId set, const GUID& interfaceClass,
                                           DWORD index) override;
  std::optional<DEVINST> Locate(const std::wstring& instanceId) override;
  std::optional<DEVINST> Child(DEVINST node) override;
  std::optional<DEVINST> Sibling(DEVINST node) override;
  std::optional<DEVINST> Parent(DEVINST node) override;
  std::optional<std::wstring> DeviceId(DEVINST node) override;
  std::optional<std::wstring> TextProperty(DEVINST node, ULONG property) override;
};

}  // namespace tr350::platform::windows

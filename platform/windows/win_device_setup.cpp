// The snapshot sets of the present interfaces and the configuration manager's tree behind
// DeviceSetup.
#include "platform/windows/win_device_setup.h"

// initguid.h first, so that the interface class GUIDs are defined here rather than declared.
#include <initguid.h>
// The SDK's header of the disk class needs the types this one declares.
#include <winioctl.h>

#include <ntddstor.h>
#include <usbiodef.h>

#include <cerrno>
#include <charconv>
#include <utility>
#include <vector>

#include "platform/windows/win_error.h"
#include "platform/windows/win_handles.h"

namespace tr350::platform::windows {
namespace {

const GUID& ClassGuid(InterfaceClass interfaceClass) {
  return interfaceClass == InterfaceClass::kUsbDevice ? GUID_DEVINTERFACE_USB_DEVICE
                                                      : GUID_DEVINTERFACE_DISK;
}

// Closes the set on every path.
class OpenSet {
 public:
  OpenSet(SetupCalls& calls, SetupCalls::SetId set) : calls_(calls), set_(set) {}
  ~OpenSet() { calls_.CloseSet(set_); }
  OpenSet(const OpenSet&) = delete;
  OpenSet& operator=(const OpenSet&) = delete;
  SetupCalls::SetId get() const { return set_; }

 private:
  SetupCalls& calls_;
  SetupCalls::SetId set_;
};

using Member = SnapshotDeviceSet::Member;

std::optional<std::u16string> Narrowed(const std::optional<std::wstring>& text) {
  if (!text) return std::nullopt;
  return FromWide(*text);
}

// The number after `key` in the text, e.g. 2 for "Port_#0002" after "Port_#".
std::int32_t NumberAfter(std::u16string_view text, std::u16string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::u16string_view::npos) return 0;
  std::string digits;
  for (std::size_t i = at + key.size(); i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
    digits.push_back(static_cast<char>(text[i]));
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc{} && end == digits.data() + digits.size() ? value : 0;
}

}  // namespace

HubPort ParseLocation(std::u16string_view location) {
  return {NumberAfter(location, u"Hub_#"), NumberAfter(location, u"Port_#")};
}

std::unique_ptr<DeviceInfoSet> WinDeviceSetup::OpenPresent(InterfaceClass interfaceClass) {
  const GUID& guid = ClassGuid(interfaceClass);
  DWORD error = 0;
  const std::optional<SetupCalls::SetId> id = calls_.OpenInterfaceSet(guid, error);
  if (!id) {
    SetLastCause(Win32Cause("device set", error));
    return nullptr;
  }
  OpenSet set(calls_, *id);
  std::vector<Member> members;
  for (DWORD index = 0;; ++index) {
    std::optional<InterfaceRecord> record = calls_.Interface(set.get(), guid, index);
    if (!record) break;
    members.push_back({Narrowed(record->instanceId), Narrowed(record->path)});
  }
  return std::make_unique<SnapshotDeviceSet>(std::move(members));
}

std::optional<DEVINST> WinDeviceSetup::Locate(std::u16string_view nodeId) {
  const std::optional<std::wstring> id = ToWide(nodeId);
  if (!id) return std::nullopt;
  return calls_.Locate(*id);
}

std::optional<std::u16string> WinDeviceSetup::IdOf(std::optional<DEVINST> node) {
  if (!node) return std::nullopt;
  std::optional<std::u16string> id = Narrowed(calls_.DeviceId(*node));
  if (id && id->empty()) return std::nullopt;
  return id;
}

std::optional<std::u16string> WinDeviceSetup::FirstChild(std::u16string_view nodeId) {
  const std::optional<DEVINST> node = Locate(nodeId);
  return node ? IdOf(calls_.Child(*node)) : std::nullopt;
}

std::optional<std::u16string> WinDeviceSetup::NextSibling(std::u16string_view nodeId) {
  const std::optional<DEVINST> node = Locate(nodeId);
  return node ? IdOf(calls_.Sibling(*node)) : std::nullopt;
}

DeviceNodeDetails WinDeviceSetup::Details(std::u16string_view nodeId) {
  DeviceNodeDetails details;
  const std::optional<DEVINST> node = Locate(nodeId);
  if (!node) return details;
  const auto text = [&](ULONG property) {
    return Narrowed(calls_.TextProperty(*node, property)).value_or(u"");
  };
  for (const ULONG property : {CM_DRP_FRIENDLYNAME, CM_DRP_DEVICEDESC, CM_DRP_SERVICE}) {
    details.description = text(property);
    if (!details.description.empty()) break;
  }
  details.manufacturer = text(CM_DRP_MFG);
  details.parentInstanceId = IdOf(calls_.Parent(*node)).value_or(u"");
  const HubPort place = ParseLocation(text(CM_DRP_LOCATION_INFORMATION));
  details.hubNumber = place.hub;
  details.portNumber = place.port;
  return details;
}

}  // namespace tr350::platform::windows

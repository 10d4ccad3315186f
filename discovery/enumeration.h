// Enumeration primitives of the device search: counting the present interfaces of a class,
// reading a member's instance ID and interface path, finding the disk interface of a node, and
// stepping through the device tree. All report failure by a false result and show nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace tr350 {

using platform::InterfaceClass;

// The device tree queries write IDs of at most this many characters, terminator included.
inline constexpr std::size_t kDeviceIdChars = 200;

// True where the system has a device tree to walk; elsewhere only the USB device is tried.
bool IsNtPlatform();

// The number of present interfaces of the class; 0 when none or the set cannot be opened.
std::uint32_t CountInterfaces(InterfaceClass interfaceClass);

// The instance ID of member `index`, terminator included; `length` = bytes written. False (the
// buffer untouched) when there is no such member or the ID does not fit.
bool GetInstanceIdByIndex(const platform::DeviceInfoSet& set, std::size_t index,
                          std::span<char16_t> buffer, std::size_t& length);

// The interface path of interface `index`; `length` = bytes of the path without terminator.
// False (the buffer untouched) when there is none or the path and its terminator do not fit.
bool GetInterfacePath(InterfaceClass interfaceClass, const platform::DeviceInfoSet& set,
                      std::size_t index, std::span<char16_t> buffer, std::size_t& length);

// The interface path of the present member of the class whose instance ID equals `instanceId`
// without regard to case.
bool FindInterfacePath(InterfaceClass interfaceClass, std::u16string_view instanceId,
                       std::span<char16_t> buffer, std::size_t& length);

// The ID of the first child / next sibling of a present node; `length` in characters. The
// buffer must hold kDeviceIdChars characters; a longer ID fails.
bool GetChildId(std::u16string_view nodeId, std::span<char16_t> buffer, std::size_t& length);
bool GetSiblingId(std::u16string_view nodeId, std::span<char16_t> buffer, std::size_t& length);

// Instance IDs compare without regard to letter case.
bool SameInstanceId(std::u16string_view a, std::u16string_view b);

// One snapshot of a class's set with its members looked up by instance ID: what FindInterfacePath
// answers, without opening the set again for every question. A member whose ID cannot be read is
// never found; among members of one ID the first whose path fits wins, as with FindInterfacePath.
class InterfaceIndex {
 public:
  // Null set: a set that could not be opened, in which nothing is found.
  InterfaceIndex(InterfaceClass interfaceClass, std::unique_ptr<platform::DeviceInfoSet> set);
  bool Find(std::u16string_view instanceId, std::span<char16_t> buffer, std::size_t& length) const;

 private:
  InterfaceClass class_;
  std::unique_ptr<platform::DeviceInfoSet> set_;
  std::unordered_map<std::u16string, std::vector<std::size_t>> byId_;  // by case-folded ID
};

}  // namespace tr350

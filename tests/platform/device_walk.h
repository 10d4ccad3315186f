// The walk the device search takes below each USB device, written out once for the device-tree
// tests of both backends.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace tr350::platform::test {

// A USB device's instance ID and the disk interface paths reached from it.
using FoundDisks = std::vector<std::pair<std::u16string, std::vector<std::u16string>>>;

inline std::u16string Upper(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return s;
}

// For each member of the USB set, in set order: from U the search visits U, its first child C1,
// then for up to eight children Ck: Ck, the first child of Ck, and on to the next sibling. A
// visited node that a disk-set member names, without regard to case as the tool matches, is found.
// A member whose ID cannot be read is listed with an empty ID and no disks.
inline FoundDisks WalkForDisks(DeviceSetup& setup) {
  std::vector<std::pair<std::u16string, std::u16string>> disks;  // upper-case ID, path
  if (const auto set = setup.OpenPresent(InterfaceClass::kDisk)) {
    for (std::size_t i = 0; i < set->Size(); ++i) {
      const auto id = set->InstanceId(i);
      const auto path = set->InterfacePath(i);
      if (id && path) disks.emplace_back(Upper(*id), *path);
    }
  }
  FoundDisks found;
  const auto usb = setup.OpenPresent(InterfaceClass::kUsbDevice);
  for (std::size_t i = 0; usb && i < usb->Size(); ++i) {
    auto& [usbId, paths] =
        found.emplace_back(usb->InstanceId(i).value_or(u""), std::vector<std::u16string>{});
    if (usbId.empty()) continue;
    std::vector<std::u16string> visited{usbId};
    auto child = setup.FirstChild(usbId);
    if (child) visited.push_back(*child);
    for (int k = 0; k < 8 && child; ++k) {
      visited.push_back(*child);
      if (const auto grandchild = setup.FirstChild(*child)) visited.push_back(*grandchild);
      child = setup.NextSibling(*child);
    }
    for (const std::u16string& node : visited) {
      const auto disk = std::ranges::find(disks, Upper(node), &decltype(disks)::value_type::first);
      if (disk != disks.end() && std::ranges::find(paths, disk->second) == paths.end())
        paths.push_back(disk->second);
    }
  }
  return found;
}

}  // namespace tr350::platform::test

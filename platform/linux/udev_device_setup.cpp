// libudev behind DeviceSetup: sysfs classified into USB devices, USB interfaces and SCSI disks
// with a generic node, the folded tree over them, and the snapshot sets of their members.
#include "platform/linux/udev_devices.h"

#include "platform/text.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "platform/linux/sg_disk.h"
#include "platform/linux/udev_handles.h"

namespace tr350::platform {
namespace {

using udev_handles::DevicePtr;
using udev_handles::EnumeratePtr;
using udev_handles::OrEmpty;
using udev_handles::UdevPtr;

// ---- Text ------------------------------------------------------------------------------------

// Sysfs strings such as the SCSI vendor field are padded with blanks.
std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::u16string DisplayText(const char* text) {
  return Utf8ToUtf16(Trim(OrEmpty(text)), InvalidText::kReplace).value_or(std::u16string{});
}

std::optional<std::int32_t> ParseInt(std::string_view text) {
  text = Trim(text);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Orders sysfs paths with runs of digits compared by value, so that "1-2" precedes "1-10" and
// "host2" precedes "host10"; equal-valued runs such as "01" and "1" fall back to plain order, which
// keeps this a strict total order.
bool SysPathLess(std::string_view a, std::string_view b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && digit(a[endA])) ++endA;
      while (endB < b.size() && digit(b[endB])) ++endB;
      std::string_view runA = a.substr(i, endA - i);
      std::string_view runB = b.substr(j, endB - j);
      runA.remove_prefix(std::min(runA.find_first_not_of('0'), runA.size()));
      runB.remove_prefix(std::min(runB.find_first_not_of('0'), runB.size()));
      if (runA.size() != runB.size()) return runA.size() < runB.size();
      if (runA != runB) return runA < runB;
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

// A node ID must be a plain absolute sysfs device path: anything else ("..", doubled slashes) could
// make libudev read outside /sys/devices.
bool IsPlainSysPath(std::string_view path) {
  constexpr std::string_view kPrefix = "/sys/devices/";
  if (!path.starts_with(kPrefix)) return false;
  std::string_view rest = path.substr(kPrefix.size());
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

// ---- Classification --------------------------------------------------------------------------

enum class NodeKind { kUsbDevice, kUsbInterface, kDisk };

bool Is(udev_device* device, std::string_view subsystem, std::string_view devtype) {
  return device != nullptr && OrEmpty(udev_device_get_subsystem(device)) == subsystem &&
         OrEmpty(udev_device_get_devtype(device)) == devtype;
}

bool IsDirectAccessScsiDevice(udev_device* device) {
  return Is(device, "scsi", "scsi_device") &&
         ParseInt(OrEmpty(udev_device_get_sysattr_value(device, "type"))) == 0;
}

// Runs `visit` on each device of the subsystem (all of them, or only those below `under`), skipping
// devices that vanish mid-scan. False when the scan itself fails.
template <typename Visit>
bool ForEachDevice(udev& context, const char* subsystem, udev_device* under, Visit&& visit) {
  EnumeratePtr enumerate(udev_enumerate_new(&context));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0)
    return false;
  if (under != nullptr && udev_enumerate_add_match_parent(enumerate.get(), under) < 0) return false;
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return false;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    DevicePtr device(udev_device_new_from_syspath(&context, udev_list_entry_get_name(entry)));
    if (device) visit(device.get());
  }
  return true;
}

// The generic node (/dev/sgN) of each SCSI device, by the SCSI device's sysfs path; only those
// below `under` when it is given.
std::map<std::string, std::string> GenericNodes(udev& context, udev_device* under) {
  std::map<std::string, std::string> nodes;
  ForEachDevice(context, "scsi_generic", under, [&](udev_device* generic) {
    udev_device* parent = udev_device_get_parent(generic);
    const char* node = udev_device_get_devnode(generic);
    if (parent == nullptr || node == nullptr) return;
    // A SCSI device has one generic node; were there two, take the first in order.
    auto [it, added] = nodes.try_emplace(udev_device_get_syspath(parent), node);
    if (!added && SysPathLess(node, it->second)) it->second = node;
  });
  return nodes;
}

std::optional<std::string> GenericNodeOf(udev& context, udev_device* scsiDevice) {
  auto nodes = GenericNodes(context, scsiDevice);
  const auto it = nodes.find(udev_device_get_syspath(scsiDevice));
  if (it == nodes.end()) return std::nullopt;
  return std::move(it->second);
}

std::optional<NodeKind> Classify(udev& context, udev_device* device) {
  if (Is(device, "usb", "usb_device")) return NodeKind::kUsbDevice;
  if (Is(device, "usb", "usb_interface")) return NodeKind::kUsbInterface;
  if (IsDirectAccessScsiDevice(device) && GenericNodeOf(context, device)) return NodeKind::kDisk;
  return std::nullopt;
}

// The interface whose SCSI host carries this disk directly: disk -> target -> host -> interface.
// Nothing for a disk anywhere else, however far up a USB device may be.
udev_device* FoldedInterface(udev_device* disk) {
  udev_device* target = udev_device_get_parent(disk);
  if (!Is(target, "scsi", "scsi_target")) return nullptr;
  udev_device* host = udev_device_get_parent(target);
  if (!Is(host, "scsi", "scsi_host")) return nullptr;
  udev_device* interface = udev_device_get_parent(host);
  return Is(interface, "usb", "usb_interface") ? interface : nullptr;
}

// ---- Tree ------------------------------------------------------------------------------------

struct Node {
  DevicePtr device;
  NodeKind kind;
  std::string syspath;
};

std::optional<Node> FindNode(udev& context, std::u16string_view nodeId) {
  std::optional<std::string> path = InterfacePathToUtf8(nodeId);
  if (!path || !IsPlainSysPath(*path)) return std::nullopt;
  DevicePtr device(udev_device_new_from_syspath(&context, path->c_str()));
  if (!device || OrEmpty(udev_device_get_syspath(device.get())) != *path) return std::nullopt;
  const std::optional<NodeKind> kind = Classify(context, device.get());
  if (!kind) return std::nullopt;
  return Node{std::move(device), *kind, std::move(*path)};
}

// The node's parent in the presented tree; null for a root hub and for a disk outside USB.
udev_device* TreeParent(const Node& node) {
  switch (node.kind) {
    case NodeKind::kUsbDevice: {
      udev_device* parent = udev_device_get_parent(node.device.get());
      return Is(parent, "usb", "usb_device") ? parent : nullptr;
    }
    case NodeKind::kUsbInterface:
      return udev_device_get_parent(node.device.get());
    case NodeKind::kDisk:
      return FoldedInterface(node.device.get());
  }
  return nullptr;
}

bool IsChildOf(udev_device* device, std::string_view parentPath) {
  udev_device* parent = udev_device_get_parent(device);
  return parent != nullptr && OrEmpty(udev_device_get_syspath(parent)) == parentPath;
}

// The sysfs paths of the node's children, in order.
std::vector<std::string> Children(udev& context, udev_device* device, NodeKind kind) {
  const std::string_view path = OrEmpty(udev_device_get_syspath(device));
  std::vector<std::string> children;
  switch (kind) {
    case NodeKind::kUsbDevice:
      ForEachDevice(context, "usb", device, [&](udev_device* child) {
        if ((Is(child, "usb", "usb_device") || Is(child, "usb", "usb_interface")) &&
            IsChildOf(child, path))
          children.emplace_back(udev_device_get_syspath(child));
      });
      break;
    case NodeKind::kUsbInterface: {
      const auto generic = GenericNodes(context, device);
      ForEachDevice(context, "scsi", device, [&](udev_device* disk) {
        if (!IsDirectAccessScsiDevice(disk) || !generic.contains(udev_device_get_syspath(disk)))
          return;
        udev_device* interface = FoldedInterface(disk);
        if (interface != nullptr && OrEmpty(udev_device_get_syspath(interface)) == path)
          children.emplace_back(udev_device_get_syspath(disk));
      });
      break;
    }
    case NodeKind::kDisk:
      break;
  }
  std::sort(children.begin(), children.end(), SysPathLess);
  return children;
}

std::optional<std::u16string> ToId(std::string_view syspath) {
  return Utf8ToUtf16(syspath, InvalidText::kReject);
}

std::u16string IdOf(udev_device* device) {
  return device == nullptr ? std::u16string{}
                           : ToId(OrEmpty(udev_device_get_syspath(device))).value_or(u"");
}

// ---- Information sets ------------------------------------------------------------------------

struct Member {
  std::string syspath;
  std::u16string id;
  std::optional<std::u16string> interfacePath;
};

std::optional<std::vector<Member>> UsbDeviceMembers(udev& context) {
  std::vector<Member> members;
  const bool scanned = ForEachDevice(context, "usb", nullptr, [&](udev_device* device) {
    if (!Is(device, "usb", "usb_device")) return;
    const std::string_view syspath = OrEmpty(udev_device_get_syspath(device));
    std::optional<std::u16string> id = ToId(syspath);
    if (!id) return;  // a name that UTF-16 cannot carry faithfully could not be looked up again
    const char* node = udev_device_get_devnode(device);
    std::optional<std::u16string> path =
        node == nullptr ? std::nullopt : Utf8ToUtf16(node, InvalidText::kReject);
    members.push_back({std::string(syspath), std::move(*id), std::move(path)});
  });
  if (!scanned) return std::nullopt;
  return members;
}

std::optional<std::vector<Member>> DiskMembers(udev& context) {
  const auto generic = GenericNodes(context, nullptr);
  std::vector<Member> members;
  const bool scanned = ForEachDevice(context, "scsi", nullptr, [&](udev_device* device) {
    if (!IsDirectAccessScsiDevice(device)) return;
    const std::string_view syspath = OrEmpty(udev_device_get_syspath(device));
    const auto node = generic.find(std::string(syspath));
    if (node == generic.end()) return;  // nothing the transport could open
    std::optional<std::u16string> id = ToId(syspath);
    std::optional<std::u16string> path = Utf8ToUtf16(node->second, InvalidText::kReject);
    if (!id || !path) return;
    members.push_back({std::string(syspath), std::move(*id), std::move(path)});
  });
  if (!scanned) return std::nullopt;
  return members;
}

}  // namespace

// ---- UdevDeviceSetup -------------------------------------------------------------------------

std::unique_ptr<DeviceInfoSet> UdevDeviceSetup::OpenPresent(InterfaceClass interfaceClass) {
  errno = 0;
  UdevPtr context(udev_new());
  if (!context) {
    SetLastCause({.operation = "device set", .osError = errno != 0 ? errno : ENOMEM});
    return nullptr;
  }
  std::optional<std::vector<Member>> members = interfaceClass == InterfaceClass::kUsbDevice
                                                   ? UsbDeviceMembers(*context)
                                                   : DiskMembers(*context);
  if (!members) {
    SetLastCause({.operation = "device set", .osError = errno});
    return nullptr;
  }
  std::sort(members->begin(), members->end(),
            [](const Member& a, const Member& b) { return SysPathLess(a.syspath, b.syspath); });
  std::vector<SnapshotDeviceSet::Member> snapshot;
  snapshot.reserve(members->size());
  for (Member& m : *members) snapshot.push_back({std::move(m.id), std::move(m.interfacePath)});
  return std::make_unique<SnapshotDeviceSet>(std::move(snapshot));
}

std::optional<std::u16string> UdevDeviceSetup::FirstChild(std::u16string_view nodeId) {
  UdevPtr context(udev_new());
  if (!context) return std::nullopt;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return std::nullopt;
  const std::vector<std::string> children = Children(*context, node->device.get(), node->kind);
  if (children.empty()) return std::nullopt;
  return ToId(children.front());
}

std::optional<std::u16string> UdevDeviceSetup::NextSibling(std::u16string_view nodeId) {
  UdevPtr context(udev_new());
  if (!context) return std::nullopt;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return std::nullopt;
  udev_device* parent = TreeParent(*node);
  if (parent == nullptr) return std::nullopt;
  const std::optional<NodeKind> parentKind = Classify(*context, parent);
  if (!parentKind) return std::nullopt;
  const std::vector<std::string> siblings = Children(*context, parent, *parentKind);
  const auto self = std::find(siblings.begin(), siblings.end(), node->syspath);
  if (self == siblings.end() || std::next(self) == siblings.end()) return std::nullopt;
  return ToId(*std::next(self));
}

DeviceNodeDetails UdevDeviceSetup::Details(std::u16string_view nodeId) {
  DeviceNodeDetails details;
  UdevPtr context(udev_new());
  if (!context) return details;
  const std::optional<Node> node = FindNode(*context, nodeId);
  if (!node) return details;
  udev_device* device = node->device.get();
  details.parentInstanceId = IdOf(TreeParent(*node));
  switch (node->kind) {
    case NodeKind::kUsbDevice: {
      details.description = DisplayText(udev_device_get_sysattr_value(device, "product"));
      details.manufacturer = DisplayText(udev_device_get_sysattr_value(device, "manufacturer"));
      details.hubNumber =
          ParseInt(OrEmpty(udev_device_get_sysattr_value(device, "busnum"))).value_or(0);
      // devpath is the chain of ports from the root hub ("1.4"); a root hub's is "0".
      const std::string_view ports = OrEmpty(udev_device_get_sysattr_value(device, "devpath"));
      const std::size_t dot = ports.rfind('.');
      details.portNumber =
          ParseInt(dot == std::string_view::npos ? ports : ports.substr(dot + 1)).value_or(0);
      break;
    }
    case NodeKind::kUsbInterface:
      details.description = DisplayText(udev_device_get_sysattr_value(device, "interface"));
      break;
    case NodeKind::kDisk:
      details.description = DisplayText(udev_device_get_sysattr_value(device, "model"));
      details.manufacturer = DisplayText(udev_device_get_sysattr_value(device, "vendor"));
      break;
  }
  return details;
}

}  // namespace tr350::platform

// Enumeration primitives on the platform's device setup.
#include "discovery/enumeration.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

namespace tr350 {
namespace {

platform::DeviceSetup& Devices() {
  return platform::Current().Devices();
}

char16_t FoldCase(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<char16_t>(c - 0x20);
  }
  return c;
}

// Copies a tree query's answer into the caller's buffer, terminator included.
bool CopyTreeId(const std::optional<std::u16string>& id, std::span<char16_t> buffer,
                std::size_t& length) {
  if (!id || id->size() + 1 > std::min(buffer.size(), kDeviceIdChars)) return false;
  std::copy(id->begin(), id->end(), buffer.begin());
  buffer[id->size()] = u'\0';
  length = id->size();
  return true;
}

std::u16string Folded(std::u16string_view id) {
  std::u16string out(id);
  for (char16_t& c : out) c = FoldCase(c);
  return out;
}

}  // namespace

bool SameInstanceId(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

bool IsNtPlatform() {
  return Devices().HasDeviceTree();
}

std::uint32_t CountInterfaces(InterfaceClass interfaceClass) {
  const auto set = Devices().OpenPresent(interfaceClass);
  if (!set) return 0;
  return static_cast<std::uint32_t>(set->Size());
}

bool GetInstanceIdByIndex(const platform::DeviceInfoSet& set, std::size_t index,
                          std::span<char16_t> buffer, std::size_t& length) {
  const auto id = set.InstanceId(index);
  if (!id || id->size() + 1 > buffer.size()) return false;
  std::copy(id->begin(), id->end(), buffer.begin());
  buffer[id->size()] = u'\0';
  length = (id->size() + 1) * sizeof(char16_t);
  return true;
}

bool GetInterfacePath(InterfaceClass, const platform::DeviceInfoSet& set, std::size_t index,
                      std::span<char16_t> buffer, std::size_t& length) {
  const auto path = set.InterfacePath(index);
  // The caller keeps the path as NUL-terminated text, so the terminator must fit too.
  if (!path || path->size() + 1 > buffer.size()) return false;
  std::copy(path->begin(), path->end(), buffer.begin());
  buffer[path->size()] = u'\0';
  length = path->size() * sizeof(char16_t);
  return true;
}

bool FindInterfacePath(InterfaceClass interfaceClass, std::u16string_view instanceId,
                       std::span<char16_t> buffer, std::size_t& length) {
  const std::uint32_t n = CountInterfaces(interfaceClass);
  if (n == 0) return false;
  const auto set = Devices().OpenPresent(interfaceClass);
  if (!set) return false;
  for (std::size_t index = 0; index < n; ++index) {
    char16_t id[260] = {};
    std::size_t idLength = 0;
    if (!GetInstanceIdByIndex(*set, index, id, idLength)) continue;
    const std::u16string_view member(id, idLength / sizeof(char16_t) - 1);
    if (SameInstanceId(member, instanceId) &&
        GetInterfacePath(interfaceClass, *set, index, buffer, length)) {
      return true;
    }
  }
  return false;
}

InterfaceIndex::InterfaceIndex(InterfaceClass interfaceClass,
                               std::unique_ptr<platform::DeviceInfoSet> set)
    : class_(interfaceClass), set_(std::move(set)) {
  if (!set_) return;
  for (std::size_t index = 0; index < set_->Size(); ++index) {
    char16_t id[260] = {};
    std::size_t idLength = 0;
    if (!GetInstanceIdByIndex(*set_, index, id, idLength)) continue;
    byId_[Folded(std::u16string_view(id, idLength / sizeof(char16_t) - 1))].push_back(index);
  }
}

bool InterfaceIndex::Find(std::u16string_view instanceId, std::span<char16_t> buffer,
                          std::size_t& length) const {
  const auto it = byId_.find(Folded(instanceId));
  if (it == byId_.end()) return false;
  for (const std::size_t index : it->second) {
    if (GetInterfacePath(class_, *set_, index, buffer, length)) return true;
  }
  return false;
}

bool GetChildId(std::u16string_view nodeId, std::span<char16_t> buffer, std::size_t& length) {
  if (!IsNtPlatform()) return false;
  return CopyTreeId(Devices().FirstChild(nodeId), buffer, length);
}

bool GetSiblingId(std::u16string_view nodeId, std::span<char16_t> buffer, std::size_t& length) {
  if (!IsNtPlatform()) return false;
  return CopyTreeId(Devices().NextSibling(nodeId), buffer, length);
}

}  // namespace tr350

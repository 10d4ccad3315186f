// Instance IDs and interface paths: what each arrival of a device is called, scattered per
// machine and per arrival the way the system's device setup does it.
#include "emulator/machine_ids.h"

#include <algorithm>

namespace tr350::emulator::detail {
namespace {

char16_t UpperChar(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

constexpr std::string_view kUsbDeviceClassGuid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr std::string_view kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Hex(std::uint32_t v, bool upper, int minDigits = 1) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0 || static_cast<int>(out.size()) < minDigits);
  return out;
}

// A bijection on 32 bits: distinct arrivals give distinct IDs that still look scattered.
std::uint32_t Scramble(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// A SCSI identity field as an instance ID carries it: printable ASCII, spaces as '_'.
std::string IdField(std::string_view text, bool upper) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c < 0x21 || c > 0x7E || c == '\\' || c == '#') c = '_';
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out.push_back(c);
  }
  return out;
}

// "\\?\" + the ID in lower case with '\' as '#' + "#" + the class GUID.
std::u16string InterfacePathOf(std::u16string_view id, std::string_view classGuid) {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : id) {
    const char16_t lower = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    path.push_back(lower == u'\\' ? u'#' : lower);
  }
  path += u"#";
  path += Widen(classGuid);
  return path;
}

std::string UsbIdPrefix(const UsbDeviceSpec& spec) {
  return "USB\\VID_" + Hex(spec.vendorId, true, 4) + "&PID_" + Hex(spec.productId, true, 4);
}

std::uint32_t SeededTag(std::uint32_t seed, std::uint64_t serial, std::uint32_t salt) {
  return Scramble(static_cast<std::uint32_t>(seed * 0x9E3779B9u + serial) ^ salt);
}

}  // namespace

std::u16string UpperCase(std::u16string_view s) {
  std::u16string out(s);
  std::ranges::transform(out, out.begin(), UpperChar);
  return out;
}

std::u16string Widen(std::string_view ascii) {
  return {ascii.begin(), ascii.end()};
}

Arrival MintArrival(NodeKind kind, std::uint8_t port, const UsbDeviceSpec& s, std::uint64_t serial,
                    std::uint32_t seed) {
  const auto tag = [seed](std::uint64_t arrival, std::uint32_t salt) {
    return SeededTag(seed, arrival, salt);
  };
  Arrival a;
  a.serial = serial;
  if (kind == NodeKind::kRootHub) {
    a.id = Widen("USB\\ROOT_HUB30\\4&" + Hex(tag(a.serial, 0x4), true) + "&0&0");
  } else {
    a.id = Widen(UsbIdPrefix(s) + "\\5&" + Hex(tag(a.serial, 0x5), true) + "&0&" +
                 std::to_string(port));
    a.usbPath = InterfacePathOf(a.id, kUsbDeviceClassGuid);
  }
  if (kind == NodeKind::kUsbDevice) {
    const bool hasInterfaces = s.placement != DiskPlacement::kBelowDevice || !s.disk;
    for (std::size_t i = 0; hasInterfaces && i < s.interfaces.size(); ++i) {
      const std::string mi = "&MI_" + Hex(static_cast<std::uint32_t>(i), true, 2);
      a.interfaces.push_back(Widen(UsbIdPrefix(s) + mi + "\\6&" + Hex(tag(a.serial, 0x6), true) +
                                   "&0&" + Hex(static_cast<std::uint32_t>(i), true, 4)));
      const bool holdsDisk = s.disk && i == s.diskInterface;
      a.functions.push_back(
          s.interfaces[i].function.empty() || holdsDisk
              ? std::u16string()
              : Widen("HID\\VID_" + Hex(s.vendorId, true, 4) + "&PID_" + Hex(s.productId, true, 4) +
                      mi + "\\7&" + Hex(tag(a.serial, 0x70 + static_cast<std::uint32_t>(i)), true) +
                      "&0&0000"));
    }
    if (s.disk) {
      if (s.placement == DiskPlacement::kBelowIntermediate) {
        a.intermediate = Widen("USBSTOR\\ADAPTER\\7&" + Hex(tag(a.serial, 0x8), true) + "&0&0000");
      }
      const std::uint32_t diskTag = tag(a.serial, 0x7);
      const auto diskId = [&](bool upper) {
        return std::string("USBSTOR\\") + (upper ? "DISK&VEN_" : "Disk&Ven_") +
               IdField(s.diskVendor, upper) + (upper ? "&PROD_" : "&Prod_") +
               IdField(s.diskProduct, upper) + (upper ? "&REV_" : "&Rev_") +
               IdField(s.diskRevision, upper) + "\\7&" + Hex(diskTag, upper) + "&0";
      };
      a.disk = Widen(diskId(true));
      a.diskSetId = Widen(diskId(false));
      a.diskPath = InterfacePathOf(a.disk, kDiskClassGuid);
    }
  }
  return a;
}

}  // namespace tr350::emulator::detail

// The configfs gadget and its FunctionFS function: descriptors, strings, control requests, bulk
// endpoints and the controller binding.
#include "tests/kernel/gadget/usb_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tr350::kernel_test {
namespace {

constexpr const char* kGadgetDir = "/sys/kernel/config/usb_gadget/tr350";
constexpr const char* kMountDir = "/dev/ffs-tr350";
constexpr const char* kFunction = "ffs.tr350";
constexpr const char* kInstance = "tr350";

// Class requests of the bulk-only transport.
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kBulkOnlyReset = 0xFF;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteAttribute(const std::string& path, const std::string& value) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) Fail("open " + path);
  if (::write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
    Fail("write '" + value + "' to " + path);
  }
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + path);
}

std::string Hex(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// The first (on this machine: the only) USB device controller.
std::string FirstUdc() {
  DIR* dir = ::opendir("/sys/class/udc");
  if (dir == nullptr) Fail("opendir /sys/class/udc");
  std::string name;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') {
      name = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  if (name.empty()) throw std::runtime_error("no USB device controller in /sys/class/udc");
  return name;
}

// Little-endian descriptor blobs, as FunctionFS reads them from ep0.
class Blob {
 public:
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void Append(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Text(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    U8(0);
  }
  void PatchU32(std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::vector<std::uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Interface 0: mass storage (08), SCSI transparent command set (06), bulk-only (50); endpoint 1
// bulk in, endpoint 2 bulk out.
void InterfaceAndEndpoints(Blob& b, std::uint16_t maxPacket) {
  // bLength, bDescriptorType 4, number 0, alternate 0, 2 endpoints, class, subclass, protocol,
  // string 1.
  b.Append({9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 1});
  for (const std::uint8_t address : {std::uint8_t{0x81}, std::uint8_t{0x02}}) {
    b.Append({7, 5, address, 0x02});  // bulk
    b.U16(maxPacket);
    b.U8(0);
  }
}

void WriteAll(int fd, const std::vector<std::uint8_t>& bytes, const char* what) {
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) Fail(what);
}

}  // namespace

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UsbGadget::UsbGadget(const GadgetIdentity& identity)
    : gadgetDir_(kGadgetDir), mountDir_(kMountDir), udc_(FirstUdc()) {
  const std::string& g = gadgetDir_;
  MakeDir(g);
  WriteAttribute(g + "/idVendor", Hex(identity.vendorId));
  WriteAttribute(g + "/idProduct", Hex(identity.productId));
  WriteAttribute(g + "/bcdDevice", "0x0100");
  WriteAttribute(g + "/bcdUSB", "0x0200");
  MakeDir(g + "/strings/0x409");
  WriteAttribute(g + "/strings/0x409/manufacturer", identity.manufacturer);
  WriteAttribute(g + "/strings/0x409/product", identity.product);
  WriteAttribute(g + "/strings/0x409/serialnumber", identity.serial);
  MakeDir(g + "/configs/c.1");
  WriteAttribute(g + "/configs/c.1/MaxPower", "100");
  MakeDir(g + "/functions/" + kFunction);
  const std::string link = g + "/configs/c.1/" + kFunction;
  if (::symlink((g + "/functions/" + kFunction).c_str(), link.c_str()) != 0 && errno != EEXIST) {
    Fail("link the function into the configuration");
  }
  MakeDir(mountDir_);
  if (::mount(kInstance, mountDir_.c_str(), "functionfs", 0, nullptr) != 0)
    Fail("mount functionfs");
  mounted_ = true;
  ep0_ = UniqueFd(::open((mountDir_ + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
  if (ep0_.get() < 0) Fail("open ep0");
  WriteDescriptors(identity);
  in_ = UniqueFd(::open((mountDir_ + "/ep1").c_str(), O_RDWR | O_CLOEXEC));
  out_ = UniqueFd(::open((mountDir_ + "/ep2").c_str(), O_RDWR | O_CLOEXEC));
  if (in_.get() < 0 || out_.get() < 0) Fail("open the bulk endpoints");
}

UsbGadget::~UsbGadget() {
  try {
    Unbind();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gadget: %s\n", e.what());
  }
  in_ = UniqueFd();
  out_ = UniqueFd();
  ep0_ = UniqueFd();
  if (mounted_) ::umount(mountDir_.c_str());
  // Best effort: a gadget left behind only matters to the next program in this guest.
  ::unlink((gadgetDir_ + "/configs/c.1/" + kFunction).c_str());
  ::rmdir((gadgetDir_ + "/functions/" + kFunction).c_str());
  ::rmdir((gadgetDir_ + "/configs/c.1").c_str());
  ::rmdir((gadgetDir_ + "/strings/0x409").c_str());
  ::rmdir(gadgetDir_.c_str());
}

void UsbGadget::WriteDescriptors(const GadgetIdentity& identity) {
  Blob d;
  d.U32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  d.U32(0);  // length, patched below
  d.U32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  d.U32(3);  // full-speed descriptors
  d.U32(3);  // high-speed descriptors
  InterfaceAndEndpoints(d, 64);
  InterfaceAndEndpoints(d, 512);
  d.PatchU32(4, static_cast<std::uint32_t>(d.Bytes().size()));
  WriteAll(ep0_.get(), d.Bytes(), "write the descriptors");

  Blob s;
  s.U32(FUNCTIONFS_STRINGS_MAGIC);
  s.U32(0);
  s.U32(1);  // strings per language
  s.U32(1);  // languages
  s.U16(0x0409);
  s.Text(identity.interfaceName);
  s.PatchU32(4, static_cast<std::uint32_t>(s.Bytes().size()));
  WriteAll(ep0_.get(), s.Bytes(), "write the strings");
}

void UsbGadget::Bind() {
  std::lock_guard lock(bindMutex_);
  if (bound_) return;
  WriteAttribute(gadgetDir_ + "/UDC", udc_);
  bound_ = true;
}

void UsbGadget::Unbind() {
  std::lock_guard lock(bindMutex_);
  if (!bound_) return;
  WriteAttribute(gadgetDir_ + "/UDC", "\n");
  bound_ = false;
}

void UsbGadget::ServeControl(const std::atomic<bool>& stop) {
  while (!stop.load()) {
    pollfd p{ep0_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, 200);
    if (ready <= 0 || (p.revents & POLLIN) == 0) continue;
    usb_functionfs_event events[4];
    const ssize_t n = ::read(ep0_.get(), events, sizeof events);
    if (n <= 0) continue;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& setup = events[i].u.setup;
      const bool in = (setup.bRequestType & 0x80) != 0;
      const bool classRequest = (setup.bRequestType & 0x60) == 0x20;
      if (classRequest && in && setup.bRequest == kGetMaxLun) {
        const std::uint8_t lastLun = 0;
        (void)::write(ep0_.get(), &lastLun, 1);
      } else if (classRequest && !in && setup.bRequest == kBulkOnlyReset) {
        (void)::read(ep0_.get(), nullptr, 0);  // the status stage: accepted
      } else if (in) {
        (void)::read(ep0_.get(), nullptr, 0);  // the wrong direction stalls the request
      } else {
        (void)::write(ep0_.get(), nullptr, 0);
      }
    }
  }
}

bool UsbGadget::ReadOut(std::span<std::uint8_t> buffer, std::size_t& received) {
  // Not retried on EINTR: a signal is how the caller ends a read that waits for the host.
  const ssize_t n = ::read(out_.get(), buffer.data(), buffer.size());
  if (n < 0) return false;
  received = static_cast<std::size_t>(n);
  return true;
}

bool UsbGadget::WriteIn(std::span<const std::uint8_t> bytes) {
  // Pieces of whole packets, so that no piece ends the transfer early.
  constexpr std::size_t kPiece = 64 * 1024;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kPiece);
    const ssize_t n = ::write(in_.get(), bytes.data(), piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace tr350::kernel_test

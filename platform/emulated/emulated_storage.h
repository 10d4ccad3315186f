// Storage I/O served by emulated readers: interface paths map to readers, and each disk turns the
// host's pass-through request into the logical command the reader receives.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/machine.h"
#include "emulator/reader.h"
#include "platform/platform.h"

namespace tr350::platform {

// Thread-safe.
class EmulatedStorage final : public StorageIo {
 public:
  // Makes the reader reachable at `interfacePath`, replacing whatever was there. Disks opened on
  // an earlier reader at that path stop working.
  void Attach(std::u16string_view interfacePath, std::shared_ptr<emulator::Reader> reader);
  // False when nothing was attached there. Disks opened on that path stop working.
  bool Detach(std::u16string_view interfacePath);
  // The node at this path refuses the user's opens from now on (EACCES), as a node whose mode
  // the package's udev rule did not widen; until the path is attached again. False when nothing
  // is attached there.
  bool DenyUserOpens(std::u16string_view interfacePath);
  std::shared_ptr<emulator::Reader> ReaderAt(std::u16string_view interfacePath) const;
  std::vector<std::u16string> Paths() const;

  // Null for an unknown or detached path (cause ENOENT), a node the user may not open (EACCES), a
  // reader that is off the bus (ENODEV) or an injected open fault (EIO).
  std::unique_ptr<Disk> OpenDisk(std::u16string_view interfacePath) override;

  // What one attachment of a path holds; shared with the disks opened on it.
  struct Slot;

 private:
  mutable std::mutex mutex_;
  std::map<std::u16string, std::shared_ptr<Slot>, std::less<>> slots_;
};

// Where a machine's disks are reached: this storage. The storage must outlive every machine that
// uses it.
inline emulator::DiskHost HostOn(EmulatedStorage& storage) {
  return {[&storage](std::u16string_view path, std::shared_ptr<emulator::Reader> reader) {
            storage.Attach(path, std::move(reader));
          },
          [&storage](std::u16string_view path) { storage.Detach(path); },
          [&storage](std::u16string_view path) { storage.DenyUserOpens(path); }};
}

}  // namespace tr350::platform

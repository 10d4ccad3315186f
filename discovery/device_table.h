// The table of found readers, the search that fills it, the probe of one candidate node with the
// reason a candidate disk was skipped, and the named mutexes that serialise access to a reader:
// "[Device check chip]" while a candidate is probed, "[Device%04d]" per table slot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records/device_entry.h"

namespace tr350 {

inline constexpr std::u16string_view kCheckChipMutexName = u"[Device check chip]";
inline constexpr std::u16string_view kSlotMutexFormat = u"[Device%04d]";

// Why the search passed over a disk it reached.
enum class SkipReason {
  kNotOpened,         // the disk could not be opened (the cause says why: permissions, gone, ...)
  kInUse,             // the probe's lock could not be taken
  kNotReader,         // the disk refused or did not answer the identification command
  kUnknownStorage,    // it answered, with a storage type that is not accessed
  kUnknownFlashPart,  // a serial-flash reader whose flash part is not recognised
};

struct SkippedCandidate {
  std::u16string usbInstanceId;  // the USB device whose search reached the disk
  std::u16string diskInstanceId;
  std::u16string diskPath;
  SkipReason reason = SkipReason::kNotReader;
  std::optional<platform::Cause> cause;  // the failed platform call or status, where there was one

  // "could not be opened: open: Permission denied (errno 13)" and the like.
  std::string Describe() const;
  bool PermissionDenied() const {
    return reason == SkipReason::kNotOpened && cause && cause->PermissionDenied();
  }
};

// The readers found by one build, in the system's USB enumeration order. Owns the array and the
// mutex handle of each valid entry; empty is a null array and count 0. Not safe for concurrent
// use: one thread builds, reads and releases a given table.
struct DeviceTable {
  std::unique_ptr<DeviceEntry[]> entries;
  std::int32_t count = 0;
  // The array's length (one slot per USB device present when the build started) and the service
  // the slot mutexes came from.
  std::int32_t capacity = 0;
  platform::Mutexes* sync = nullptr;
  // The disks the last build reached and passed over, each once, in the order first reached.
  // Every build starts it afresh; a release leaves it, as it holds nothing of the system's.
  std::vector<SkippedCandidate> skipped;

  DeviceTable() = default;
  DeviceTable(DeviceTable&&) = delete;
  DeviceTable& operator=(DeviceTable&&) = delete;
  ~DeviceTable();  // releases what the table still holds

  bool Empty() const { return entries == nullptr && count == 0; }
};

// Fills the table with the readers present now. True when at least one was found; false leaves
// the table empty, or untouched when no USB device is present at all. Whatever the table held
// before is released first.
bool BuildDeviceTable(DeviceTable& table);

// Closes the slot mutexes, frees the array and leaves the table empty. False when the table had
// no array (its count is then set to 0).
bool ReleaseDeviceTable(DeviceTable& table);

// printf-style formatting of one number into a name of at most 259 characters plus terminator:
// %d, %0Nd and %% are understood. False when the format is malformed.
bool FormatName(std::span<char16_t, kDeviceTextLength> buffer, std::u16string_view format,
                std::int32_t number);

// Tries one node as the reader's disk, holding the check-chip mutex handle in the record. A disk
// that is passed over is added to `skipped` when given.
void ProbeCandidate(std::u16string_view nodeId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped = nullptr);

// The probe without the check-chip mutex; true when the record holds a disk afterwards.
bool FillFromDisk(DeviceEntry& record, std::u16string_view nodeId,
                  std::vector<SkippedCandidate>* skipped = nullptr);

// Identification of a record whose diskPath is set.
bool ProbeDisk(DeviceEntry& record);

// Tries the children of a USB device: its first child, then up to eight children with the first
// child of each.
void SearchChildren(std::u16string_view usbDeviceId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped = nullptr);

// ---- Readers by their USB port ------------------------------------------------------------------

// The USB port a device is plugged into, as the bus and the chain of hub ports from the root hub
// down ("1-3.2": bus 1, port 3 of the root hub, port 2 of the hub there); empty when the system
// does not tell. It stays the same while the reader comes and goes (a restart, a replug), unlike
// its instance ID and disk node.
std::u16string UsbPortPath(std::u16string_view usbInstanceId);

// Searches the USB device plugged into that port as a build would (check-chip mutex, walk, probe)
// and fills `record` (without a slot mutex) when it is a reader. False when nothing there answers.
bool FindReaderAtPort(std::u16string_view portPath, DeviceEntry& record);

}  // namespace tr350

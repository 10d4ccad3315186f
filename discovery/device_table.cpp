// Building and releasing the device table.
#include "discovery/device_table.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "discovery/enumeration.h"
#include "transport/pass_through.h"
#include "transport/reader_identification.h"

namespace tr350 {
namespace {

// The process-wide lock around each append and each release. Created on first use and never
// destroyed, so that it outlives every thread that may still build or release a table at exit.
std::mutex& TableLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

constexpr std::int32_t kMaxSearchedChildren = 8;
constexpr std::uint8_t kStorageTypeSerialFlash = 1;

// What a failed identification read says about the disk.
SkipReason ReasonOfFailedRead(const std::optional<platform::Cause>& cause) {
  if (cause && cause->operation == "open") return SkipReason::kNotOpened;
  if (cause && cause->operation == "mutex wait") return SkipReason::kInUse;
  return SkipReason::kNotReader;
}

// Adds the disk, or renews its reason when the walk reached it before.
void NoteSkipped(std::vector<SkippedCandidate>& skipped, const DeviceEntry& record,
                 SkipReason reason, const std::optional<platform::Cause>& cause) {
  const std::u16string_view path = FieldText(record.diskPath);
  auto it = std::ranges::find_if(
      skipped, [&](const SkippedCandidate& c) { return SameInstanceId(c.diskPath, path); });
  if (it == skipped.end()) {
    skipped.push_back({std::u16string(FieldText(record.usbInstanceId)),
                       std::u16string(FieldText(record.diskInstanceId)), std::u16string(path),
                       reason, cause});
    return;
  }
  it->reason = reason;
  it->cause = cause;
}

// Closes the slot mutexes and frees the array; the caller holds the table lock.
void DismantleLocked(DeviceTable& table) {
  if (table.sync != nullptr) {
    for (std::int32_t i = 0; i < table.count; ++i) {
      if (table.entries[static_cast<std::size_t>(i)].accessMutex)
        table.sync->Close(table.entries[static_cast<std::size_t>(i)].accessMutex);
      table.entries[static_cast<std::size_t>(i)].accessMutex = {};
    }
  }
  table.entries.reset();
  table.count = 0;
  table.capacity = 0;
}

// A disk of a single-function device on an external hub is reached twice: from the hub (hub,
// device, disk) and from the device itself. One reader must have one slot and one mutex.
bool HoldsDisk(const DeviceTable& table, std::u16string_view diskPath) {
  for (std::int32_t i = 0; i < table.count; ++i) {
    if (SameInstanceId(FieldText(table.entries[static_cast<std::size_t>(i)].diskPath), diskPath))
      return true;
  }
  return false;
}

// What one table build learns once and reuses: the disk set, opened when the first node is looked
// up, and each disk's answer to the identification command. Outside a build (a probe called on
// its own) nothing is remembered and every question goes to the system, as the walk always did.
class Scan {
 public:
  Scan(std::vector<SkippedCandidate>* skipped, bool remember)
      : skipped_(skipped), remember_(remember) {}

  std::vector<SkippedCandidate>* Skipped() const { return skipped_; }
  bool Remembers() const { return remember_; }

  bool FindDisk(std::u16string_view nodeId, std::span<char16_t> buffer, std::size_t& length) {
    if (!remember_) return FindInterfacePath(InterfaceClass::kDisk, nodeId, buffer, length);
    if (!disks_) {
      disks_.emplace(InterfaceClass::kDisk,
                     platform::Current().Devices().OpenPresent(InterfaceClass::kDisk));
    }
    return disks_->Find(nodeId, buffer, length);
  }

  // The disk's identification block, from the disk or from its earlier answer in this build. A
  // wait for the search's lock is not the disk's answer and is not remembered.
  bool Identify(DeviceEntry& record, std::span<std::uint8_t, kDeviceInfoLength> block,
                std::optional<platform::Cause>& cause) {
    const std::u16string path(FieldText(record.diskPath));
    if (remember_) {
      if (const auto it = answers_.find(path); it != answers_.end()) {
        std::ranges::copy(it->second.block, block.begin());
        cause = it->second.cause;
        return it->second.answered;
      }
    }
    const bool answered = ReadDeviceInfo(record, block);
    cause = answered ? std::nullopt : LastFailure(record).cause;
    if (remember_ && !(cause && cause->operation == "mutex wait")) {
      Answer& answer = answers_[path];
      answer.answered = answered;
      std::ranges::copy(block, answer.block.begin());
      answer.cause = cause;
    }
    return answered;
  }

 private:
  struct Answer {
    bool answered = false;
    std::array<std::uint8_t, kDeviceInfoLength> block{};
    std::optional<platform::Cause> cause;
  };
  std::vector<SkippedCandidate>* skipped_;
  bool remember_;
  std::optional<InterfaceIndex> disks_;
  std::map<std::u16string, Answer> answers_;
};

bool FillFromDiskIn(Scan& scan, DeviceEntry& record, std::u16string_view nodeId) {
  if (!FieldText(record.diskPath).empty()) return true;
  std::size_t length = 0;
  if (!scan.FindDisk(nodeId, record.diskPath, length)) return false;
  SetFieldText(record.diskInstanceId, nodeId);
  // The same steps as ProbeDisk, told apart so that a skipped disk keeps its reason.
  ForgetFailure(record);
  std::array<std::uint8_t, kDeviceInfoLength> block{};
  std::optional<platform::Cause> cause;
  std::optional<SkipReason> reason;
  if (!scan.Identify(record, block, cause)) {
    reason = ReasonOfFailedRead(cause);
  } else if (!ParseDeviceInfo(record, block)) {
    reason = block[11] == kStorageTypeSerialFlash ? SkipReason::kUnknownFlashPart
                                                  : SkipReason::kUnknownStorage;
    cause = LastFailure(record).cause;
  }
  if (reason) {
    if (scan.Skipped() != nullptr) NoteSkipped(*scan.Skipped(), record, *reason, cause);
    ForgetFailure(record);
    // Not the reader's disk: the next candidate starts from an empty path and ID.
    SetFieldText(record.diskPath, u"");
    SetFieldText(record.diskInstanceId, u"");
    return false;
  }
  return true;
}

void ProbeCandidateIn(Scan& scan, std::u16string_view nodeId, DeviceEntry& record) {
  if (scan.Remembers()) {
    // A node without a disk, or a record that holds one already, needs no lock: the probe would
    // end at once.
    if (!FieldText(record.diskPath).empty()) return;
    char16_t path[kDeviceTextLength] = {};
    std::size_t length = 0;
    if (!scan.FindDisk(nodeId, path, length)) return;
  }
  platform::Mutexes& sync = platform::Current().Sync();
  platform::UniqueMutex checkChip(sync, sync.Open(kCheckChipMutexName));
  if (!checkChip.Get()) return;
  record.accessMutex = checkChip.Get();
  FillFromDiskIn(scan, record, nodeId);
  record.accessMutex = {};
}

void SearchChildrenIn(Scan& scan, std::u16string_view usbDeviceId, DeviceEntry& record) {
  char16_t child[kDeviceIdChars] = {};
  std::size_t length = 0;
  if (!GetChildId(usbDeviceId, child, length)) return;
  std::u16string current(child, length);
  ProbeCandidateIn(scan, current, record);
  for (std::int32_t k = 1; k <= kMaxSearchedChildren; ++k) {
    // The first child is tried a second time here: the walk has always done so, and a probe of
    // a record that already holds a disk returns at once.
    ProbeCandidateIn(scan, current, record);
    if (GetChildId(current, child, length))
      ProbeCandidateIn(scan, std::u16string_view(child, length), record);
    if (!GetSiblingId(current, child, length)) break;
    current.assign(child, length);
  }
}

void FillDetails(DeviceEntry& record) {
  platform::DeviceSetup& devices = platform::Current().Devices();
  const platform::DeviceNodeDetails usb = devices.Details(FieldText(record.usbInstanceId));
  SetFieldText(record.usbDescription, usb.description);
  SetFieldText(record.parentInstanceId, usb.parentInstanceId);
  record.hubNumber = usb.hubNumber;
  record.portNumber = usb.portNumber;
  SetFieldText(record.diskDescription,
               devices.Details(FieldText(record.diskInstanceId)).description);
}

}  // namespace

DeviceTable::~DeviceTable() {
  ReleaseDeviceTable(*this);
}

bool FormatName(std::span<char16_t, kDeviceTextLength> buffer, std::u16string_view format,
                std::int32_t number) {
  std::u16string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      out.push_back(format[i]);
      continue;
    }
    if (++i >= format.size()) return false;
    if (format[i] == u'%') {
      out.push_back(u'%');
      continue;
    }
    std::size_t width = 0;
    const bool zeroPad = format[i] == u'0';
    for (; i < format.size() && format[i] >= u'0' && format[i] <= u'9'; ++i) {
      width = width * 10 + static_cast<std::size_t>(format[i] - u'0');
    }
    if (i >= format.size() || format[i] != u'd' || width > kDeviceTextLength) return false;
    const std::string digits = std::to_string(number < 0 ? -static_cast<std::int64_t>(number)
                                                         : static_cast<std::int64_t>(number));
    std::u16string field(digits.begin(), digits.end());
    const std::size_t used = field.size() + (number < 0 ? 1 : 0);
    if (used < width) field.insert(0, width - used, zeroPad ? u'0' : u' ');
    if (number < 0) field.insert(zeroPad ? 0 : field.find_first_not_of(u' '), 1, u'-');
    out += field;
  }
  const std::size_t n = std::min(out.size(), buffer.size() - 1);
  std::fill(std::copy_n(out.begin(), n, buffer.begin()), buffer.end(), u'\0');
  return true;
}

bool ProbeDisk(DeviceEntry& record) {
  std::array<std::uint8_t, kDeviceInfoLength> block{};
  // The command waits on the record's mutex: the check-chip mutex during the search.
  if (!ReadDeviceInfo(record, block)) return false;
  return ParseDeviceInfo(record, block);
}

bool FillFromDisk(DeviceEntry& record, std::u16string_view nodeId,
                  std::vector<SkippedCandidate>* skipped) {
  Scan scan(skipped, false);
  return FillFromDiskIn(scan, record, nodeId);
}

void ProbeCandidate(std::u16string_view nodeId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped) {
  Scan scan(skipped, false);
  ProbeCandidateIn(scan, nodeId, record);
}

void SearchChildren(std::u16string_view usbDeviceId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped) {
  Scan scan(skipped, false);
  SearchChildrenIn(scan, usbDeviceId, record);
}

bool ReleaseDeviceTable(DeviceTable& table) {
  std::lock_guard lock(TableLock());
  if (table.entries == nullptr) {
    table.count = 0;
    return false;
  }
  DismantleLocked(table);
  return true;
}

std::string SkippedCandidate::Describe() const {
  std::string text;
  switch (reason) {
    case SkipReason::kNotOpened:
      text = "could not be opened";
      break;
    case SkipReason::kInUse:
      text = "in use: the search's lock could not be taken";
      break;
    case SkipReason::kNotReader:
      text = cause && cause->scsiStatus ? "not a reader: refused the identification command"
                                        : "not a reader: no answer to the identification command";
      break;
    case SkipReason::kUnknownStorage:
      text = "not a reader: unknown storage type";
      break;
    case SkipReason::kUnknownFlashPart:
      text = "unknown flash part";
      break;
  }
  if (cause) text += ": " + cause->Describe();
  return text;
}

// The candidates are kept beside the table; its order and contents do not depend on them.
bool BuildDeviceTable(DeviceTable& table) {
  table.skipped.clear();
  const std::uint32_t n = CountInterfaces(InterfaceClass::kUsbDevice);
  if (n == 0) return false;
  // A table that still holds readers would lose their mutex handles; give them back first.
  if (!table.Empty()) ReleaseDeviceTable(table);

  platform::Mutexes& sync = platform::Current().Sync();
  table.entries.reset(new (std::nothrow) DeviceEntry[n]());
  if (table.entries == nullptr) {
    std::lock_guard lock(TableLock());
    table.count = 0;
    return false;
  }
  table.capacity = static_cast<std::int32_t>(n);
  table.sync = &sync;

  const auto set = platform::Current().Devices().OpenPresent(InterfaceClass::kUsbDevice);
  if (!set) {
    std::lock_guard lock(TableLock());
    DismantleLocked(table);
    return false;
  }

  // One disk set and one identification answer per disk for the whole build: the walk reaches
  // many nodes, and a disk on a hub is reached again from the hub.
  Scan scan(&table.skipped, true);
  for (std::uint32_t i = 0; i < n; ++i) {
    DeviceEntry record = MakeEmptyDeviceEntry();
    std::size_t length = 0;
    if (!GetInstanceIdByIndex(*set, i, record.usbInstanceId, length)) continue;
    const std::u16string usbId(FieldText(record.usbInstanceId));
    ProbeCandidateIn(scan, usbId, record);
    SearchChildrenIn(scan, usbId, record);
    if (FieldText(record.diskPath).empty()) continue;
    FillDetails(record);

    std::lock_guard lock(TableLock());
    if (table.count >= table.capacity) break;  // the set grew after it was counted
    if (HoldsDisk(table, FieldText(record.diskPath))) continue;
    DeviceEntry& slot = table.entries[static_cast<std::size_t>(table.count)];
    slot = record;
    slot.tableIndex = table.count;
    char16_t name[kDeviceTextLength] = {};
    FormatName(name, kSlotMutexFormat, table.count);
    slot.accessMutex = sync.Open(FieldText(name));
    if (!slot.accessMutex) {
      // Without its mutex the slot could not be used safely: give up the whole table.
      DismantleLocked(table);
      return false;
    }
    ++table.count;
  }

  // A disk reached twice (a device behind a hub) may have failed once and answered the other time.
  std::erase_if(table.skipped,
                [&](const SkippedCandidate& c) { return HoldsDisk(table, c.diskPath); });
  if (table.count >= 1) return true;
  std::lock_guard lock(TableLock());
  DismantleLocked(table);
  return false;
}

std::u16string UsbPortPath(std::u16string_view usbInstanceId) {
  // USB allows five hubs between the root hub and a device; more steps mean a broken tree.
  constexpr int kMaxSteps = 8;
  platform::DeviceSetup& devices = platform::Current().Devices();
  std::vector<std::int32_t> ports;
  std::int32_t bus = 0;
  std::u16string node(usbInstanceId);
  for (int step = 0; step < kMaxSteps; ++step) {
    const platform::DeviceNodeDetails details = devices.Details(node);
    // The root hub has no parent in the USB tree and sits at no port.
    if (details.parentInstanceId.empty() || details.portNumber <= 0) break;
    ports.push_back(details.portNumber);
    bus = details.hubNumber;
    node = details.parentInstanceId;
  }
  if (ports.empty()) return {};
  std::string text = std::to_string(bus) + "-";
  for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
    text += std::to_string(*it);
    if (std::next(it) != ports.rend()) text += ".";
  }
  return {text.begin(), text.end()};
}

bool FindReaderAtPort(std::u16string_view portPath, DeviceEntry& record) {
  if (portPath.empty()) return false;
  const auto set = platform::Current().Devices().OpenPresent(InterfaceClass::kUsbDevice);
  if (!set) return false;
  for (std::size_t i = 0; i < set->Size(); ++i) {
    const std::optional<std::u16string> id = set->InstanceId(i);
    if (!id || UsbPortPath(*id) != portPath) continue;
    record = MakeEmptyDeviceEntry();
    SetFieldText(record.usbInstanceId, *id);
    ProbeCandidate(*id, record);
    SearchChildren(*id, record);
    if (FieldText(record.diskPath).empty()) return false;
    FillDetails(record);
    return true;
  }
  return false;
}

}  // namespace tr350

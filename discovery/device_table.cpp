// Building and releasing the device table.
#include "discovery/device_table.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <string>

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
  if (!FieldText(record.diskPath).empty()) return true;
  std::size_t length = 0;
  if (!FindInterfacePath(InterfaceClass::kDisk, nodeId, record.diskPath, length)) return false;
  SetFieldText(record.diskInstanceId, nodeId);
  // The same steps as ProbeDisk, told apart so that a skipped disk keeps its reason.
  ForgetFailure(record);
  std::array<std::uint8_t, kDeviceInfoLength> block{};
  std::optional<SkipReason> reason;
  if (!ReadDeviceInfo(record, block)) {
    reason = ReasonOfFailedRead(LastFailure(record).cause);
  } else if (!ParseDeviceInfo(record, block)) {
    reason = block[11] == kStorageTypeSerialFlash ? SkipReason::kUnknownFlashPart
                                                  : SkipReason::kUnknownStorage;
  }
  if (reason) {
    if (skipped != nullptr) NoteSkipped(*skipped, record, *reason, LastFailure(record).cause);
    ForgetFailure(record);
    // Not the reader's disk: the next candidate starts from an empty path and ID.
    SetFieldText(record.diskPath, u"");
    SetFieldText(record.diskInstanceId, u"");
    return false;
  }
  return true;
}

void ProbeCandidate(std::u16string_view nodeId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped) {
  platform::Mutexes& sync = platform::Current().Sync();
  platform::UniqueMutex checkChip(sync, sync.Open(kCheckChipMutexName));
  if (!checkChip.Get()) return;
  record.accessMutex = checkChip.Get();
  FillFromDisk(record, nodeId, skipped);
  record.accessMutex = {};
}

void SearchChildren(std::u16string_view usbDeviceId, DeviceEntry& record,
                    std::vector<SkippedCandidate>* skipped) {
  char16_t child[kDeviceIdChars] = {};
  std::size_t length = 0;
  if (!GetChildId(usbDeviceId, child, length)) return;
  std::u16string current(child, length);
  ProbeCandidate(current, record, skipped);
  for (std::int32_t k = 1; k <= kMaxSearchedChildren; ++k) {
    // The first child is tried a second time here: the walk has always done so, and a probe of
    // a record that already holds a disk returns at once.
    ProbeCandidate(current, record, skipped);
    if (GetChildId(current, child, length))
      ProbeCandidate(std::u16string_view(child, length), record, skipped);
    if (!GetSiblingId(current, child, length)) break;
    current.assign(child, length);
  }
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

  for (std::uint32_t i = 0; i < n; ++i) {
    DeviceEntry record = MakeEmptyDeviceEntry();
    std::size_t length = 0;
    if (!GetInstanceIdByIndex(*set, i, record.usbInstanceId, length)) continue;
    const std::u16string usbId(FieldText(record.usbInstanceId));
    ProbeCandidate(usbId, record, &table.skipped);
    SearchChildren(usbId, record, &table.skipped);
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

}  // namespace tr350

// The read-back, the verdict and the update on the first reader of a freshly built table.
#include "workflow/core.h"

#include <algorithm>
#include <cstdio>

#include "image/byte_order.h"
#include "image/decimal.h"
#include "image/version_stamp.h"
#include "platform/platform.h"
#include "platform/termination.h"
#include "transport/flash_commands.h"
#include "transport/pass_through.h"
#include "transport/reader_identification.h"
#include "transport/vendor_commands.h"

namespace tr350::workflow {
namespace {

// Raised inside a workflow with its code and caught once, by the workflow's own handler.
struct Failure {
  ErrorCode code;
  std::optional<FailedStep> step = std::nullopt;
};

// A step of `reader` is about to run: what failed before is not its cause.
void BeginStep(const DeviceEntry& reader) {
  ForgetFailure(reader);
}

// The failure of a step, with the piece address and cause the transport recorded for the reader
// since the step began; `at` where the transport names no address.
Failure StepFailure(ErrorCode code, const DeviceEntry& reader, std::string_view step,
                    std::optional<std::uint32_t> at = std::nullopt) {
  const CommandFailure failure = LastFailure(reader);
  return {code, FailedStep{step, failure.address ? failure.address : at, failure.cause}};
}

// Reads and writes are tried this many times in a row before a workflow gives up; an erase whose
// blank check fails is tried again a few times.
constexpr int kTransferAttempts = 10;
constexpr int kEraseAttempts = 3;

constexpr std::uint16_t kSupportedVendorId = 0x3C51;
constexpr std::uint16_t kSupportedProductId = 0x4D08;
constexpr std::uint8_t kStorageTypeSerialFlash = 1;
constexpr std::uint8_t kStorageTypeSectors = 2;
constexpr std::uint8_t kFlashStatusBusy = 0x01;

// Read-back progress; the front end shows position 0 when it starts a workflow.
constexpr int kReadTableBuilt = 10;
constexpr int kReadHeaderRead = 30;
constexpr int kReadFw1ReadFw2Next = 55;
constexpr int kReadFw1ReadNoFw2 = 90;
constexpr int kReadFw2Read = 80;
// Update progress.
constexpr int kUpdateTableBuilt = 10;
constexpr int kUpdateErased = 40;
constexpr int kUpdateWritten = 50;
constexpr int kUpdateReadBack = 60;
constexpr int kUpdateVerified = 70;

bool NamesSupportedProduct(std::span<const std::uint8_t, kImageHeaderSize> header) {
  return LoadLe16(header, kHeaderVendorIdOffset) == kSupportedVendorId &&
         LoadLe16(header, kHeaderProductIdOffset) == kSupportedProductId;
}

template <typename Transfer>
bool WithRetry(int attempts, Transfer transfer) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (transfer()) return true;
  }
  return false;
}

// Releases whatever the table holds and builds it again; raises kNoDevice without a reader.
void RebuildTable(DeviceTable& table) {
  if (!table.Empty()) ReleaseDeviceTable(table);
  if (!BuildDeviceTable(table) || table.count < 1 || table.entries == nullptr) {
    throw Failure{ErrorCode::kNoDevice};
  }
}

// Empties the table on every way out of a workflow; the reader's lock goes first.
class TableScope {
 public:
  explicit TableScope(DeviceTable& table) : table_(table) {}
  ~TableScope() { ReleaseDeviceTable(table_); }
  TableScope(const TableScope&) = delete;
  TableScope& operator=(const TableScope&) = delete;

 private:
  DeviceTable& table_;
};

// Waits for a reader's slot mutex; the failed "lock" step when it is not taken.
std::optional<Failure> TakeReaderLock(platform::MutexHandle mutex) {
  const auto inUse = [](platform::Cause cause) {
    return Failure{ErrorCode::kReaderInUse, FailedStep{"lock", std::nullopt, cause}};
  };
  if (!mutex) return inUse({.operation = "mutex wait", .detail = "no mutex"});
  platform::ClearLastCause();
  switch (platform::Current().Sync().Wait(mutex, kAccessWaitMs)) {
    case platform::WaitResult::kSignaled:
    case platform::WaitResult::kAbandoned:  // a program died holding it: the content is judged
      return std::nullopt;
    case platform::WaitResult::kTimedOut:
      return inUse({.operation = "mutex wait", .detail = "timed out"});
    case platform::WaitResult::kFailed:
      return inUse(platform::LastCause().value_or(platform::Cause{.operation = "mutex wait"}));
  }
  return inUse({.operation = "mutex wait"});
}

// Holds a reader's slot mutex for a whole workflow, so that another program's commands cannot
// come between this one's. The commands take the same mutex again on this thread.
class ReaderLock {
 public:
  explicit ReaderLock(const DeviceEntry& reader) : mutex_(reader.accessMutex) {
    if (auto failure = TakeReaderLock(mutex_)) throw *failure;
    sync_ = &platform::Current().Sync();
  }
  ~ReaderLock() { sync_->Release(mutex_); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  platform::MutexHandle mutex_;
  platform::Mutexes* sync_ = nullptr;
};

bool ReadFrom(const DeviceEntry& reader, std::uint32_t address, std::span<std::uint8_t> out) {
  return reader.accessMode == kAccessModeSectors ? ReadSectors(reader, address, out)
                                                 : ReadFlash(reader, address, out);
}

// Fills `out` with 0xFF once, then reads it, up to ten times.
bool ReadWithRetry(const DeviceEntry& reader, std::uint32_t address, std::span<std::uint8_t> out) {
  BeginStep(reader);
  std::ranges::fill(out, 0xFF);
  return WithRetry(kTransferAttempts, [&] { return ReadFrom(reader, address, out); });
}

// Appends what was read at the content's end.
void Append(std::vector<std::uint8_t>& content, std::span<const std::uint8_t> bytes) {
  content.insert(content.end(), bytes.begin(), bytes.end());
}

void ReadSections(const DeviceEntry& reader, ReadBack& back, Observer& observer) {
  std::array<std::uint8_t, kImageHeaderSize> header;
  if (!ReadWithRetry(reader, 0, header)) {
    throw StepFailure(ErrorCode::kEepromRead, reader, "read", 0);
  }
  back.image.header = header;
  Append(back.content, header);
  observer.Progress(kReadHeaderRead);
  if (LoadLe16(header, kHeaderSignatureOffset) != kHeaderSignature) {
    throw Failure{ErrorCode::kNewChip};
  }

  std::uint32_t address = kImageHeaderSize;
  const std::uint32_t fw1Length = Fw1SizeOf(header);
  if (fw1Length == 0) return;
  back.image.fw1Size = fw1Length;
  std::vector<std::uint8_t> fw1(fw1Length);
  if (!ReadWithRetry(reader, address, fw1)) {
    throw StepFailure(ErrorCode::kReadFw, reader, "read", address);
  }
  Append(back.content, fw1);
  ReplaceFw1(back.image, fw1);
  address += fw1Length;

  const std::uint32_t fw2Length = Fw2SizeOf(header);
  observer.Progress(fw2Length != 0 ? kReadFw1ReadFw2Next : kReadFw1ReadNoFw2);
  if (fw2Length != 0) {
    back.image.fw2Size = fw2Length;
    std::vector<std::uint8_t> fw2(fw2Length);
    if (!ReadWithRetry(reader, address, fw2)) {
      throw StepFailure(ErrorCode::kReadFw, reader, "read", address);
    }
    Append(back.content, fw2);
    back.image.fw2Data = std::move(fw2);
    address += fw2Length;
  }
  // The configuration block, which the verdict checks against the header.
  std::array<std::uint8_t, kConfigBlockSize> config;
  if (!ReadWithRetry(reader, address, config)) {
    throw StepFailure(ErrorCode::kReadFw, reader, "read", address);
  }
  Append(back.content, config);
  back.image.configBlock = config;
  if (fw2Length != 0) observer.Progress(kReadFw2Read);

  back.fw1Version = GetFirmwareVersion(1, back.image);
  if (fw2Length != 0) back.fw2Version = GetFirmwareVersion(2, back.image);
}

// Saves the reader's current content, then erases, writes, reads back, verifies and restarts; the
// reader's lock is held.
void WriteContent(const DeviceEntry& reader, std::span<const std::uint8_t> bytes,
                  const UpdateRequest& request, Observer& observer, UpdateResult& result) {
  const bool sectors = reader.storageType == kStorageTypeSectors;
  const bool serialFlash =
      reader.storageType == kStorageTypeSerialFlash && reader.flashPart != nullptr;
  std::copy_n(bytes.begin(), kImageHeaderSize, result.writtenHeader.begin());

  if (request.backups != nullptr && !request.currentContent.empty()) {
    auto saved = request.backups->SavePending(IdentityOf(reader), request.currentContent);
    if (auto* error = std::get_if<std::string>(&saved)) {
      result.backupError = *error;
      throw Failure{ErrorCode::kBackup};
    }
    if (!std::get<std::filesystem::path>(saved).empty()) {
      result.backup = std::get<std::filesystem::path>(saved);
    }
  }

  std::vector<std::uint8_t> readBack(bytes.size(), 0xFF);
  // From the erase to the restart a request to end the program waits until the write is done.
  const platform::CriticalWrite guard;
  if (!guard.Entered()) throw Failure{ErrorCode::kStopped};
  result.writeStarted = true;
  if (serialFlash) {
    SetFlashProtection(reader, false);  // a chip that keeps its protection fails the erase
    BeginStep(reader);
    // Only a failed blank check earns another erase: a chip still busy after the erase's long
    // ready wait has hung, and each further attempt would wait as long again.
    const bool erased = WithRetry(kEraseAttempts, [&] {
      if (EraseFlashChip(reader)) return true;
      std::array<std::uint8_t, 4> status{};
      if (FlashReadStatus(reader, status) && (status[0] & kFlashStatusBusy) != 0) {
        throw StepFailure(ErrorCode::kEraseChip, reader, "erase");
      }
      return false;
    });
    if (!erased) throw StepFailure(ErrorCode::kEraseChip, reader, "erase");
    observer.Progress(kUpdateErased);
  }
  BeginStep(reader);
  const bool written = WithRetry(kTransferAttempts, [&] {
    return sectors ? WriteSectors(reader, 0, bytes) : ProgramFlash(reader, 0, bytes);
  });
  if (!written)
    throw StepFailure(ErrorCode::kWriteConfig, reader, sectors ? "write" : "program", 0);
  observer.Progress(kUpdateWritten);

  BeginStep(reader);
  if (!WithRetry(kTransferAttempts, [&] { return ReadFrom(reader, 0, readBack); })) {
    throw StepFailure(ErrorCode::kReadConfig, reader, "read back", 0);
  }
  observer.Progress(kUpdateReadBack);
  if (const auto [at, unused] = std::ranges::mismatch(bytes, readBack); at != bytes.end()) {
    const auto address = static_cast<std::uint32_t>(at - bytes.begin());
    throw Failure{ErrorCode::kVerifyConfig, FailedStep{"verify", address, std::nullopt}};
  }
  result.verified = true;
  if (request.backups != nullptr) {
    // What the front ends report is where the backup is kept from now on.
    if (result.backup) result.backup = request.backups->MarkVerified(*result.backup);
    if (request.recoveredFrom) request.backups->MarkVerified(*request.recoveredFrom);
  }
  observer.Progress(kUpdateVerified);

  if (serialFlash) SetFlashProtection(reader, true);
  BeginStep(reader);
  if (!ForceCpuReset(reader)) throw StepFailure(ErrorCode::kCpuReset, reader, "restart");
}

// Builds the table, holds the first reader's lock from there to the restart and writes what
// `content` gives for that reader.
template <typename Content>
UpdateResult WriteFirstReader(DeviceTable& table, const UpdateRequest& request, Observer& observer,
                              Content content) {
  UpdateResult result;
  const TableScope scope(table);
  try {
    RebuildTable(table);
    observer.Progress(kUpdateTableBuilt);
    const DeviceEntry reader = table.entries[0];
    {
      const ReaderLock lock(reader);
      const std::vector<std::uint8_t> bytes = content(reader);
      WriteContent(reader, bytes, request, observer, result);
    }
    ReleaseDeviceTable(table);
    observer.Progress(kUpdateProgressHigh);
  } catch (const Failure& failure) {
    result.error = failure.code;
    result.failedStep = failure.step;
  }
  return result;
}

// What an update writes to `reader`: the carried image under the reader's own header, which is
// read again under the lock and must agree with the one the request names.
std::vector<std::uint8_t> UpdateContentFor(const DeviceEntry& reader, const CarriedView& carried,
                                           const UpdateRequest& request) {
  // A header that is not a programmed reader header (a flash left blank reads back so) is
  // never written.
  if (!IsProgrammedReaderHeader(request.readerHeader)) throw Failure{ErrorCode::kDeviceHeader};
  // The reader keeps its header for good, so one read of it is not trusted: it is read again
  // under this lock and must agree (a bit lost in the check's read, or another reader plugged
  // in since, would otherwise be written back). A header recovered for a blank reader has
  // nothing to agree with.
  if (!request.currentContent.empty()) {
    HeaderBytes again;
    if (!ReadWithRetry(reader, 0, again)) {
      throw StepFailure(ErrorCode::kEepromRead, reader, "read", 0);
    }
    if (!std::ranges::equal(again, request.readerHeader)) throw Failure{ErrorCode::kEepromRead};
  }
  FlashContentRequest contentRequest;
  contentRequest.readerHeader = request.readerHeader;
  contentRequest.fw1Version = carried.fw1Version;
  contentRequest.fw2Version = carried.fw2Version;
  contentRequest.infoWord2 = reader.infoWord2;
  std::optional<FlashContent> content = AssembleFlashContent(carried.image, contentRequest);
  if (!content) throw Failure{ErrorCode::kPrepareImage};
  return std::move(content->bytes);
}

}  // namespace

std::string FailedStep::Describe() const {
  std::string text = std::string(step) + " failed";
  if (address) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(*address));
    text += std::string(" at ") + hex;
  }
  if (cause) text += ": " + cause->Describe();
  return text;
}

bool IsProgrammedReaderHeader(std::span<const std::uint8_t, kImageHeaderSize> header) {
  return LoadLe16(header, kHeaderSignatureOffset) == kHeaderSignature &&
         NamesSupportedProduct(header);
}

ReaderIdentity IdentityOf(const DeviceEntry& entry) {
  ReaderIdentity identity;
  identity.usbInstanceId = std::u16string(FieldText(entry.usbInstanceId));
  identity.diskPath = std::u16string(FieldText(entry.diskPath));
  identity.accessMode = entry.accessMode;
  identity.flashId = entry.flashId;
  identity.infoWord2 = entry.infoWord2;
  return identity;
}

bool FindReader(DeviceTable& table) {
  const TableScope scope(table);
  try {
    RebuildTable(table);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

ReadResult ReadReader(DeviceTable& table, Observer& observer) {
  ReadResult result;
  const TableScope scope(table);
  try {
    RebuildTable(table);
    observer.Progress(kReadTableBuilt);
    const DeviceEntry reader = table.entries[0];
    result.back.reader = IdentityOf(reader);
    {
      const ReaderLock lock(reader);
      ReadSections(reader, result.back, observer);
    }
    ReleaseDeviceTable(table);
    observer.Progress(kReadProgressHigh);
  } catch (const Failure& failure) {
    result.error = failure.code;
    result.failedStep = failure.step;
    if (failure.code == ErrorCode::kNoDevice) result.skipped = table.skipped;
  }
  return result;
}

Judgement Judge(const ReadBack& back, const CarriedView& carried) {
  if (!NamesSupportedProduct(back.image.header)) return {Verdict::kNotSupported, std::nullopt};
  if (carried.fw1Version.empty() || carried.fw2Version.empty()) {
    return {Verdict::kVersionError, std::nullopt};
  }
  const std::int64_t file1 = ParseDecimal64(carried.fw1Version);
  const std::int64_t file2 = ParseDecimal64(carried.fw2Version);
  const std::int64_t device1 = ParseDecimal64(back.fw1Version);
  const std::int64_t device2 = ParseDecimal64(back.fw2Version);
  // Equal or newer counts as up to date: the tool never offers a downgrade.
  if (back.fw1Version.empty() || file1 > device1 || back.fw2Version.empty() || file2 > device2) {
    return {Verdict::kNotLatest, std::nullopt};
  }
  // The same versions say little about the rest: an interrupted update leaves both stamps in
  // place. Such a reader must hold exactly what an update writes.
  if (device1 == file1 && device2 == file2) {
    if (auto at = FindContentDifference(back.content, carried.image, carried.fw1Version,
                                        carried.fw2Version)) {
      return {Verdict::kNotLatest, at};
    }
  }
  return {Verdict::kLatest, std::nullopt};
}

UpdateResult UpdateReader(DeviceTable& table, const CarriedView& carried,
                          const UpdateRequest& request, Observer& observer) {
  return WriteFirstReader(table, request, observer, [&](const DeviceEntry& reader) {
    return UpdateContentFor(reader, carried, request);
  });
}

HeldReader::HeldReader(const DeviceEntry& reader) : entry_(reader), lock_(reader.accessMutex) {
  port_ = UsbPortPath(FieldText(reader.usbInstanceId));
  if (auto failure = TakeReaderLock(lock_)) {
    lockFailure_ = failure->step;
    return;
  }
  sync_ = &platform::Current().Sync();
}

HeldReader::~HeldReader() {
  if (sync_ != nullptr) sync_->Release(lock_);
}

bool HeldReader::FindAgain() {
  DeviceEntry found = MakeEmptyDeviceEntry();
  if (!FindReaderAtPort(port_, found)) return false;
  found.accessMutex = lock_;  // the slot mutex this thread holds, not one of a table of its own
  found.tableIndex = entry_.tableIndex;
  entry_ = found;
  return true;
}

ReadResult ReadReader(const HeldReader& held, Observer& observer) {
  ReadResult result;
  try {
    if (held.LockFailure()) throw Failure{ErrorCode::kReaderInUse, held.LockFailure()};
    observer.Progress(kReadTableBuilt);
    const DeviceEntry reader = held.Entry();
    result.back.reader = IdentityOf(reader);
    ReadSections(reader, result.back, observer);
    observer.Progress(kReadProgressHigh);
  } catch (const Failure& failure) {
    result.error = failure.code;
    result.failedStep = failure.step;
  }
  return result;
}

UpdateResult UpdateReader(const HeldReader& held, const CarriedView& carried,
                          const UpdateRequest& request, Observer& observer) {
  UpdateResult result;
  try {
    if (held.LockFailure()) throw Failure{ErrorCode::kReaderInUse, held.LockFailure()};
    observer.Progress(kUpdateTableBuilt);
    const DeviceEntry reader = held.Entry();
    const std::vector<std::uint8_t> bytes = UpdateContentFor(reader, carried, request);
    WriteContent(reader, bytes, request, observer, result);
    observer.Progress(kUpdateProgressHigh);
  } catch (const Failure& failure) {
    result.error = failure.code;
    result.failedStep = failure.step;
  }
  return result;
}

UpdateResult RestoreReader(DeviceTable& table, std::span<const std::uint8_t> content,
                           const UpdateRequest& request, Observer& observer) {
  return WriteFirstReader(table, request, observer, [&](const DeviceEntry&) {
    if (content.size() < kImageHeaderSize ||
        !IsProgrammedReaderHeader(content.first<kImageHeaderSize>())) {
      throw Failure{ErrorCode::kDeviceHeader};
    }
    return std::vector<std::uint8_t>(content.begin(), content.end());
  });
}

}  // namespace tr350::workflow

// The workflow core that every front end drives: the read-back of the first reader, the verdict on
// it, and the update with its backup, lock, write, read-back, verification and restart. It knows
// no window: progress goes to an observer, and each call returns a typed result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "discovery/device_table.h"
#include "ids/resource_ids.h"
#include "image/firmware_image.h"
#include "image/flash_content.h"

namespace tr350::workflow {

// Progress positions of the read-back (range 0..100) and of the update (range 0..80).
inline constexpr int kReadProgressHigh = 100;
inline constexpr int kUpdateProgressHigh = 80;

// Told what a workflow does while it runs; called on the workflow's thread.
class Observer {
 public:
  virtual ~Observer() = default;
  virtual void Progress(int position) = 0;
};

// The image the tool carries, with the versions derived from it.
struct CarriedView {
  const FirmwareImage& image;
  std::u16string_view fw1Version;
  std::u16string_view fw2Version;
};

// Who the reader is, as the device search found it.
struct ReaderIdentity {
  std::u16string usbInstanceId;  // the USB device; its path names the port it is plugged into
  std::u16string diskPath;
  std::int32_t accessMode = 0;
  std::uint32_t flashId = 0;  // JEDEC id; 0 for sector storage
  std::uint16_t infoWord2 = 0;
};

ReaderIdentity IdentityOf(const DeviceEntry& entry);

// Builds the table to learn whether a reader is present, and empties it again (what it learnt of
// skipped disks stays).
bool FindReader(DeviceTable& table);

// Everything a read-back learnt of the reader, also when it ended early.
struct ReadBack {
  FirmwareImage image;                // header and sections as read
  std::vector<std::uint8_t> content;  // from address 0, as far as read
  std::u16string fw1Version;
  std::u16string fw2Version;
  ReaderIdentity reader;
};

// The step a workflow failed at, with the storage address where it has one and the cause the
// transport recorded for the reader (none when no platform call or status failed: a verify).
struct FailedStep {
  std::string_view step;  // "lock", "read", "erase", "program", "read back", "verify", "restart"
  std::optional<std::uint32_t> address;
  std::optional<platform::Cause> cause;
  // "program failed at 0x3A00: SCSI status 2, sense 05/20/00".
  std::string Describe() const;
};

struct ReadResult {
  std::optional<ErrorCode> error;  // kNewChip: the header is blank
  ReadBack back;
  std::optional<FailedStep> failedStep;
  // kNoDevice: the disks the search passed over and why, so that "no reader" can be told from
  // "a reader the user may not open".
  std::vector<SkippedCandidate> skipped;
};

// Builds the table (whatever `table` held is released), holds the first reader's lock and reads
// header, FW1, FW2 and the configuration block back. The table is empty again on return.
ReadResult ReadReader(DeviceTable& table, Observer& observer);

enum class Verdict {
  kLatest,        // the reader's versions are the image's or newer, and its content is intact
  kNotLatest,     // older, or damaged
  kNotSupported,  // the header names another product
  kVersionError,  // the carried image has no versions
};

struct Judgement {
  Verdict verdict = Verdict::kNotLatest;
  // Same versions as the image but a content that differs at this address.
  std::optional<std::size_t> damagedAt;
};

Judgement Judge(const ReadBack& back, const CarriedView& carried);

// Keeps the reader's current firmware while an update replaces it.
class BackupKeeper {
 public:
  virtual ~BackupKeeper() = default;
  // The file the content was saved to (pending; empty when this content is not kept), or why it
  // could not be saved.
  virtual std::variant<std::filesystem::path, std::string> SavePending(
      const ReaderIdentity& reader, std::span<const std::uint8_t> content) = 0;
  // The content was replaced and verified: the backup is no longer needed for a recovery. Returns
  // where the backup is now (renamed as verified, or where it was when it stays pending).
  virtual std::filesystem::path MarkVerified(const std::filesystem::path& file) = 0;
};

struct UpdateRequest {
  // The header the reader keeps: its own, read by the check, or one recovered for a reader left
  // blank. Must be a programmed reader header.
  HeaderBytes readerHeader;
  // What the check read from the reader, saved before anything changes; empty: nothing to save
  // (a blank reader).
  std::span<const std::uint8_t> currentContent;
  BackupKeeper* backups = nullptr;
  // A pending backup the header came from, marked verified once the update has verified.
  std::optional<std::filesystem::path> recoveredFrom;
};

struct UpdateResult {
  std::optional<ErrorCode> error;
  bool writeStarted = false;  // the reader's storage may have changed
  bool verified = false;      // the written content read back equal
  std::optional<std::filesystem::path> backup;
  std::string backupError;
  HeaderBytes writtenHeader{};
  std::optional<FailedStep> failedStep;
};

// Builds the table, holds the first reader's lock from there to the restart, saves the backup,
// writes the carried image under the reader's header, reads it back, verifies it and restarts
// the reader. The table is empty again on return.
UpdateResult UpdateReader(DeviceTable& table, const CarriedView& carried,
                          const UpdateRequest& request, Observer& observer);

// The same path for a complete content given as it is (a backup being restored); the request's
// header is not used.
UpdateResult RestoreReader(DeviceTable& table, std::span<const std::uint8_t> content,
                           const UpdateRequest& request, Observer& observer);

// ---- Several readers at once
// ---------------------------------------------------------------------- One table build finds the
// readers; each is then worked on by a thread of its own, which holds that reader's lock (its slot
// mutex from the build) from the start to the end, the restart and the read after it included. The
// table must outlive the threads' work.

// A reader of a kept table, locked by the thread that made this object (which must also be the
// one that destroys it, as the lock belongs to a thread).
class HeldReader {
 public:
  // Waits for the reader's lock, as a workflow on the first reader does.
  explicit HeldReader(const DeviceEntry& reader);
  ~HeldReader();
  HeldReader(const HeldReader&) = delete;
  HeldReader& operator=(const HeldReader&) = delete;

  // Why the lock is not held ("lock" step, kReaderInUse); none while it is.
  const std::optional<FailedStep>& LockFailure() const { return lockFailure_; }
  const DeviceEntry& Entry() const { return entry_; }
  // The USB port the reader was found at ("1-3.2"); empty when the system does not tell.
  const std::u16string& Port() const { return port_; }
  // Searches the reader's port again (after a restart its disk comes back under a new node);
  // true when a reader answers there, which the workflows then use under the same lock.
  bool FindAgain();

 private:
  DeviceEntry entry_;
  std::u16string port_;
  platform::MutexHandle lock_;
  platform::Mutexes* sync_ = nullptr;
  std::optional<FailedStep> lockFailure_;
};

// The read-back and the update of a held reader: the same steps as on the first reader of a
// fresh table, without building one.
ReadResult ReadReader(const HeldReader& reader, Observer& observer);
UpdateResult UpdateReader(const HeldReader& reader, const CarriedView& carried,
                          const UpdateRequest& request, Observer& observer);

// A header an update may write: programmed (signature 0x2A7E) and naming the supported product.
bool IsProgrammedReaderHeader(std::span<const std::uint8_t, kImageHeaderSize> header);

}  // namespace tr350::workflow

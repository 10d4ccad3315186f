// The backups an update makes, kept in a backup store: the record of the reader and its content.
#pragma once

#include "workflow/backup_store.h"
#include "workflow/core.h"

namespace tr350::workflow {

// Saves complete firmware contents as pending backups in the store; a content that is not a
// complete firmware (a reader without sections) is not saved, and the update goes on without.
class StoreKeeper final : public BackupKeeper {
 public:
  explicit StoreKeeper(const BackupStore& store) : store_(store) {}

  std::variant<std::filesystem::path, std::string> SavePending(
      const ReaderIdentity& reader, std::span<const std::uint8_t> content) override;
  std::filesystem::path MarkVerified(const std::filesystem::path& file) override;

 private:
  const BackupStore& store_;
};

// The backup folder of the user running the tool; empty when the environment names none. Backups
// of emulated readers go to a folder of their own inside it, so that a real reader is never
// recovered from an emulated one's backup.
std::filesystem::path DefaultBackupDirectory(bool emulated);

// The backup record of a reader's content, made now.
Backup BackupOf(const ReaderIdentity& reader, std::span<const std::uint8_t> content);

// The port text a backup records for a reader: its USB port path ("1-3.2"), else, where the system
// does not tell the port, its USB instance ID. Asks the current platform's device tree.
std::string PortOf(const ReaderIdentity& reader);

}  // namespace tr350::workflow

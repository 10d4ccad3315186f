// The folder of firmware backups in the user's state directory: saving a backup before an update,
// marking it verified afterwards, and finding the pending one a later run recovers a reader from.
//
// File names: <UTC time, 20240501T123456Z>-<port, sanitised>[-N]-pending.tr350bak while pending,
// the same without "-pending" once the written content has been verified (a rename, so the state
// changes atomically). The port in the name is only a hint for people: the store matches ports by
// the text recorded inside the file. Pending backups are never deleted; of the verified ones the
// newest kVerifiedBackupsKept stay.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/backup_file.h"

namespace tr350 {

inline constexpr std::string_view kBackupFolderName = "tr350-fwupdate";
inline constexpr std::string_view kBackupExtension = ".tr350bak";
inline constexpr std::string_view kPendingBackupSuffix = "-pending.tr350bak";
inline constexpr std::size_t kVerifiedBackupsKept = 20;

struct StoredBackup {
  std::filesystem::path path;
  Backup backup;
};

struct PendingBackups {
  std::vector<StoredBackup> backups;  // newest first (by the recorded time, then by file name)
  std::vector<std::string> problems;  // one sentence per unreadable or damaged pending file
};

struct BackupChoice {
  std::optional<StoredBackup> chosen;  // none: no valid pending backup
  bool samePort = false;               // recorded for the port asked for, not merely the newest
  std::vector<std::string> problems;   // as PendingBackups::problems
};

// getenv-like: the variable's value, or null when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

class BackupStore {
 public:
  explicit BackupStore(std::filesystem::path directory) : m_directory(std::move(directory)) {}

  // $XDG_STATE_HOME/tr350-fwupdate when XDG_STATE_HOME is set and absolute, else
  // %LOCALAPPDATA%\tr350-fwupdate when that is (Windows), else $HOME/.local/state/tr350-fwupdate
  // when HOME is; otherwise an error.
  static OrError<std::filesystem::path> DefaultDirectory(const EnvironmentLookup& getenv);

  const std::filesystem::path& Directory() const { return m_directory; }

  // Writes the backup as a new pending file (a temporary file read back, then renamed) and
  // returns its path. Creates the folder, owner-only, when missing. Refuses, writing nothing, a
  // backup that ParseBackup would refuse (such as content that ValidateBackupContent refuses).
  OrError<std::filesystem::path> SavePending(const Backup& backup) const;

  // The pending file becomes a kept, verified one; returns its new path. Then removes verified
  // backups beyond the newest kVerifiedBackupsKept.
  OrError<std::filesystem::path> MarkVerified(const std::filesystem::path& pending) const;

  PendingBackups Pending() const;

  // The newest pending backup recorded for `usbPort`, else the newest pending one.
  BackupChoice ChooseFor(std::string_view usbPort) const;

  // Any backup file, checked as ParseBackup checks it; the error names the file.
  static OrError<Backup> Load(const std::filesystem::path& path);

 private:
  void PruneVerified() const;

  std::filesystem::path m_directory;
};

}  // namespace tr350

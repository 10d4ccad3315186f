// The backup folder: default location, atomic saving, the pending marker, choice and pruning.
#include "workflow/backup_store.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <system_error>

namespace tr350 {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxPortInName = 48;
constexpr int kMaxNameAttempts = 1000;

template <typename T>
OrError<T> Fail(std::string message) {
  return {std::nullopt, std::move(message)};
}

std::string Quoted(const fs::path& path) {
  return std::string("\"").append(path.string()).append("\"");
}

// Letters, digits and "-" only: safe in a file name everywhere, never a separator or a dot.
std::string PortForName(std::string_view port) {
  std::string out;
  for (char c : port.substr(0, kMaxPortInName)) {
    const bool safe =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    out += safe ? c : '_';
  }
  return out.empty() ? "unknown-port" : out;
}

// 20240501T123456Z: sorts as the time does.
std::string TimeForName(std::chrono::sys_seconds time) {
  std::string s = FormatUtc(time);
  std::erase_if(s, [](char c) { return c == '-' || c == ':'; });
  return s;
}

// A verified file named by this store: 16-character time, then '-', ending in the extension.
bool IsVerifiedName(const std::string& name) {
  if (name.size() < 17 + kBackupExtension.size() || !name.ends_with(kBackupExtension) ||
      name.ends_with(kPendingBackupSuffix) || name[8] != 'T' || name[15] != 'Z' ||
      name[16] != '-') {
    return false;
  }
  for (const std::size_t i :
       std::initializer_list<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14}) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const fs::path& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string text(size, '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(size))) return std::nullopt;
  if (in.peek() != std::ifstream::traits_type::eof()) return std::nullopt;  // grew meanwhile
  return text;
}

}  // namespace

OrError<fs::path> BackupStore::DefaultDirectory(const EnvironmentLookup& getenv) {
  auto usable = [&getenv](const char* name) -> std::optional<fs::path> {
    const char* value = getenv ? getenv(name) : nullptr;
    if (value == nullptr || *value == '\0') return std::nullopt;
    fs::path path(value);
    if (!path.is_absolute()) return std::nullopt;  // relative values are to be ignored
    return path;
  };
  if (auto state = usable("XDG_STATE_HOME")) return {*state / kBackupFolderName, {}};
  // Windows keeps a user's application state under the local application data folder.
  if (auto local = usable("LOCALAPPDATA")) return {*local / kBackupFolderName, {}};
  if (auto home = usable("HOME")) return {*home / ".local" / "state" / kBackupFolderName, {}};
  return Fail<fs::path>(
      "cannot tell where firmware backups are kept: neither XDG_STATE_HOME, LOCALAPPDATA nor "
      "HOME is set to an absolute path");
}

OrError<fs::path> BackupStore::SavePending(const Backup& backup) const {
  // Whatever is saved must load again: content that could never be restored, or a time outside
  // the years 0000-9999, is refused before anything is written.
  if (std::string reason = ValidateBackupContent(backup.content); !reason.empty()) {
    return Fail<fs::path>("the backup was not saved: " + reason);
  }
  const std::string text = FormatBackup(backup);
  if (OrError<Backup> check = ParseBackup(text); !check) {
    return Fail<fs::path>("the backup was not saved: " + check.error);
  }
  std::error_code ec;
  if (!fs::is_directory(m_directory, ec)) {
    fs::create_directories(m_directory, ec);
    if (!ec) fs::permissions(m_directory, fs::perms::owner_all, fs::perm_options::replace, ec);
    if (ec) {
      return Fail<fs::path>("cannot create the backup folder " + Quoted(m_directory) + ": " +
                            ec.message());
    }
  }

  // The content goes to a temporary file of this call's own first (other programs may save a
  // backup of the same reader in the same second), and is then linked in under the first free
  // name: a hard link never replaces an existing file, so two savers cannot overwrite each other.
  static std::atomic<unsigned> serial{0};
  const fs::path temporary = m_directory / (".saving-" + std::to_string(std::random_device{}()) +
                                            "-" + std::to_string(serial.fetch_add(1)) + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    // Read back: a short write on a full disk must not leave a backup that cannot restore.
    if (!out || ReadWholeFile(temporary, text.size()) != text) {
      fs::remove(temporary, ec);
      return Fail<fs::path>("cannot write the backup file " + Quoted(temporary));
    }
  }

  // A name free both as pending and as verified, so that no later rename replaces a backup.
  const std::string stem = TimeForName(backup.created) + "-" + PortForName(backup.usbPort);
  std::string lastError = "no free file name";
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    const std::string base = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
    const fs::path pending = m_directory / (base + std::string(kPendingBackupSuffix));
    const fs::path verified = m_directory / (base + std::string(kBackupExtension));
    if (fs::exists(verified, ec)) continue;
    fs::create_hard_link(temporary, pending, ec);
    if (!ec) {
      fs::remove(temporary, ec);
      return {pending, {}};
    }
    lastError = ec.message();
    if (ec != std::errc::file_exists) break;
  }
  fs::remove(temporary, ec);
  return Fail<fs::path>("cannot store the backup in " + Quoted(m_directory) + ": " + lastError);
}

OrError<fs::path> BackupStore::MarkVerified(const fs::path& pending) const {
  const std::string name = pending.filename().string();
  if (!name.ends_with(kPendingBackupSuffix)) {
    return Fail<fs::path>(Quoted(pending) + " is not a pending backup");
  }
  const fs::path verified =
      pending.parent_path() /
      (name.substr(0, name.size() - kPendingBackupSuffix.size()) + std::string(kBackupExtension));
  std::error_code ec;
  if (fs::exists(verified, ec) || ec) {
    return Fail<fs::path>(Quoted(verified) + " already exists; the backup stays pending");
  }
  fs::rename(pending, verified, ec);
  if (ec) return Fail<fs::path>("cannot mark " + Quoted(pending) + " verified: " + ec.message());
  PruneVerified();
  return {verified, {}};
}

void BackupStore::PruneVerified() const {
  std::error_code ec;
  std::vector<fs::path> verified;
  for (fs::directory_iterator it(m_directory, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsVerifiedName(it->path().filename().string()) && it->is_regular_file(ec)) {
      verified.push_back(it->path());
    }
  }
  if (ec || verified.size() <= kVerifiedBackupsKept) return;  // when in doubt, keep them all
  std::sort(verified.begin(), verified.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() > b.filename(); });
  for (std::size_t i = kVerifiedBackupsKept; i < verified.size(); ++i) fs::remove(verified[i], ec);
}

PendingBackups BackupStore::Pending() const {
  PendingBackups result;
  std::error_code ec;
  // No folder yet is no backup, not a problem; a folder that cannot be read is one.
  if (fs::exists(m_directory, ec)) {
    for (fs::directory_iterator it(m_directory, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->path().filename().string().ends_with(kPendingBackupSuffix)) continue;
      OrError<Backup> loaded = Load(it->path());
      if (loaded) {
        result.backups.push_back({it->path(), std::move(*loaded.value)});
      } else {
        result.problems.push_back(std::move(loaded.error));
      }
    }
  }
  if (ec) {
    result.problems.push_back("cannot read the backup folder " + Quoted(m_directory) + ": " +
                              ec.message());
  }
  std::sort(result.backups.begin(), result.backups.end(),
            [](const StoredBackup& a, const StoredBackup& b) {
              if (a.backup.created != b.backup.created) return a.backup.created > b.backup.created;
              return a.path.filename() > b.path.filename();
            });
  return result;
}

BackupChoice BackupStore::ChooseFor(std::string_view usbPort) const {
  PendingBackups pending = Pending();
  BackupChoice choice;
  choice.problems = std::move(pending.problems);
  if (pending.backups.empty()) return choice;
  // An unknown port matches nothing: two readers that both lack one are not the same reader.
  auto it =
      usbPort.empty()
          ? pending.backups.end()
          : std::find_if(pending.backups.begin(), pending.backups.end(),
                         [usbPort](const StoredBackup& s) { return s.backup.usbPort == usbPort; });
  choice.samePort = it != pending.backups.end();
  choice.chosen = std::move(choice.samePort ? *it : pending.backups.front());
  return choice;
}

OrError<Backup> BackupStore::Load(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return Fail<Backup>(Quoted(path) + ": the file does not exist");
  if (!fs::is_regular_file(status)) return Fail<Backup>(Quoted(path) + ": not a regular file");
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return Fail<Backup>(Quoted(path) + ": " + ec.message());
  if (size > kMaxBackupFileSize) {
    return Fail<Backup>(Quoted(path) + ": the file is " + std::to_string(size) +
                        " bytes, larger than any backup (" + std::to_string(kMaxBackupFileSize) +
                        ")");
  }
  const std::optional<std::string> text = ReadWholeFile(path, static_cast<std::size_t>(size));
  if (!text) return Fail<Backup>(Quoted(path) + ": cannot read the file");
  OrError<Backup> parsed = ParseBackup(*text);
  if (!parsed) parsed.error = Quoted(path) + ": " + parsed.error;
  return parsed;
}

}  // namespace tr350

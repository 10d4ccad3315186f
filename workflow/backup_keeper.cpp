// Backups of readers in the user's backup store.
#include "workflow/backup_keeper.h"

#include <chrono>
#include <cstdlib>

#include "discovery/device_table.h"
#include "platform/text.h"
#include "records/device_entry.h"

namespace tr350::workflow {
namespace {

std::string Utf8(std::u16string_view text) {
  return platform::Utf16ToUtf8(text, platform::InvalidText::kReplace).value_or("");
}

}  // namespace

std::string PortOf(const ReaderIdentity& reader) {
  // The port path stays the same while a reader is re-plugged or restarted, where the instance ID
  // need not: with several readers blank at once, each must find its own backup again.
  const std::u16string port = UsbPortPath(reader.usbInstanceId);
  return Utf8(port.empty() ? reader.usbInstanceId : port);
}

Backup BackupOf(const ReaderIdentity& reader, std::span<const std::uint8_t> content) {
  Backup backup;
  backup.created = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  backup.usbPort = PortOf(reader);
  backup.diskNode = Utf8(reader.diskPath);
  const bool sectors = reader.accessMode == kAccessModeSectors;
  backup.flashPart = sectors ? "sectors" : "serial flash";
  if (!sectors) backup.jedecId = reader.flashId;
  backup.content.assign(content.begin(), content.end());
  return backup;
}

std::variant<std::filesystem::path, std::string> StoreKeeper::SavePending(
    const ReaderIdentity& reader, std::span<const std::uint8_t> content) {
  if (!ValidateBackupContent(content).empty()) return std::filesystem::path{};
  OrError<std::filesystem::path> saved = store_.SavePending(BackupOf(reader, content));
  if (!saved) return saved.error;
  return *saved.value;
}

std::filesystem::path StoreKeeper::MarkVerified(const std::filesystem::path& file) {
  if (file.empty()) return file;
  // A backup left pending does no harm: it is only offered for a reader found blank.
  const OrError<std::filesystem::path> verified = store_.MarkVerified(file);
  return verified ? *verified.value : file;
}

std::filesystem::path DefaultBackupDirectory(bool emulated) {
  const OrError<std::filesystem::path> directory =
      BackupStore::DefaultDirectory([](const char* name) { return std::getenv(name); });
  if (!directory) return {};
  return emulated ? *directory.value / "emulated" : *directory.value;
}

}  // namespace tr350::workflow

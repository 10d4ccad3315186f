// The terminal front end's check and update commands: the window's own workflows, run on the
// headless window and reported on the terminal or as one JSON object.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "records/device_entry.h"

#include "platform/platform.h"

namespace tr350::cli {

// Exit codes of check and update.
inline constexpr int kExitUpToDate = 0;        // the reader is up to date, or has been updated
inline constexpr int kExitWorkflowFailed = 1;  // a read, the update or the embedded image failed
inline constexpr int kExitWorkflowUsage = 2;
inline constexpr int kExitNotLatest = 3;  // check: the reader's firmware is older
inline constexpr int kExitNoReader = 4;
inline constexpr int kExitNotSupported = 5;  // the reader's header names another product
inline constexpr int kExitNoPermission = 6;  // no reader, but a disk the user may not open

inline constexpr std::string_view kWorkflowCommandsUsage =
    "  check [--all | --reader ID] [--json] [--progress=bar|lines|none]\n"
    "                  read the reader's firmware back and compare its FW1 and FW2 versions\n"
    "                  with those of the carried image\n"
    "  update [--all | --reader ID] [--json] [--progress=bar|lines|none]\n"
    "                  check, and when the reader's firmware is older write the carried\n"
    "                  firmware, verify it and restart the reader. Before anything is\n"
    "                  written, the reader's firmware is saved as a pending backup in\n"
    "                  $XDG_STATE_HOME/tr350-fwupdate (else ~/.local/state/tr350-fwupdate);\n"
    "                  a reader left blank by an interrupted update is recovered from it\n"
    "  verify [FILE] [--json] [--progress=...]\n"
    "                  read the reader back and compare it with the carried image, or byte\n"
    "                  for byte with a backup FILE; prints the first difference\n"
    "  backup FILE [--json] [--progress=...]\n"
    "                  write the reader's whole firmware as read back to a new FILE\n"
    "  restore FILE [--json] [--progress=...]\n"
    "                  write a backup FILE back to the reader (erase, write, verify, restart)\n"
    "\n"
    "  --all           check or update every reader found, each in a worker of its own holding\n"
    "                  that reader's lock; one progress line per reader, then a summary table\n"
    "  --reader ID     check or update the reader of this id (as 'list' shows it: its USB port,\n"
    "                  bus and hub ports, e.g. 1-3.2; or its disk node). Without either, the\n"
    "                  first reader found\n"
    "  --json          print one JSON object: the verdict, both sides' versions, the outcome;\n"
    "                  with --all or --reader, one object per reader on a line of its own\n"
    "  --progress=...  a progress bar (default on a terminal), one line per step (default\n"
    "                  otherwise), or none\n"
    "\n"
    "Exit status of check, update, verify, backup and restore:\n"
    "  0  up to date, updated, restored, backed up, or verify found no difference\n"
    "  1  failed: the reader could not be read or written, it is in use by another program,\n"
    "     the backup file is unusable, or the carried image is unusable\n"
    "  2  usage error\n"
    "  3  check: the reader's firmware is not the latest (older or damaged);\n"
    "     verify: the reader differs\n"
    "  4  no reader found\n"
    "  5  the reader is not a supported product\n"
    "  6  no reader found, but a disk could not be opened for lack of permission: install\n"
    "     the package's udev rule (70-tr350-fwupdate.rules) and plug the reader in again,\n"
    "     or run the tool as root\n"
    "With --all (or --reader), the status is 0 only when every reader ended up to date\n"
    "(latest, or updated and verified); otherwise the most serious of the readers' own\n"
    "statuses: 1 when any reader failed (the others may have been updated: the summary and\n"
    "the JSON objects say which), else 5, else 3. 4 when no reader has the given ID.\n";

// The id a reader is listed and chosen by: its USB port, as bus and hub ports ("1-3.2").
std::string ReaderId(const DeviceEntry& reader);
// "serial flash 58 (1640EF)" (part position and identification), "sector storage".
std::string ReaderPart(const DeviceEntry& reader);

// Run one command's arguments (without the command's name) on the platform, which becomes the
// current one for the duration. Not to be run twice at once.
int RunCheck(std::span<const std::string_view> args, platform::Platform& platform,
             std::ostream& out, std::ostream& err);
int RunVerify(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err);
int RunBackup(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err);
int RunRestore(std::span<const std::string_view> args, platform::Platform& platform,
               std::ostream& out, std::ostream& err);
int RunUpdate(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err);

}  // namespace tr350::cli

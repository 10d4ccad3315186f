// The terminal front end's check and update commands: the window's own workflows, run on the
// headless window and reported on the terminal or as one JSON object.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

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
    "  check [--json] [--progress=bar|lines|none]\n"
    "                  read the reader's firmware back and compare its FW1 and FW2 versions\n"
    "                  with those of the carried image\n"
    "  update [--json] [--progress=bar|lines|none]\n"
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
    "  --json          print one JSON object: the verdict, both sides' versions, the outcome\n"
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
    "     or run the tool as root\n";

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

// check, update, verify, backup and restore: the workflow core driven directly, with the window's
// texts (status, message area, boxes) reported on the terminal or as one JSON object.
#include "app/cli/workflow_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <latch>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/skipped_text.h"
#include "app/cli/text_output.h"
#include "app/fixed_texts.h"
#include "app/printable_text.h"
#include "ids/resource_ids.h"
#include "image/backup_file.h"
#include "image/version_stamp.h"
#include "res/string_table.h"
#include "ui/headless/headless_ui.h"
#include "workflow/backup_keeper.h"
#include "workflow/core.h"

namespace tr350::cli {
namespace {

enum class ProgressStyle { kAuto, kBar, kLines, kNone };

enum class Command { kCheck, kUpdate, kVerify, kBackup, kRestore };

struct Options {
  bool json = false;
  ProgressStyle progress = ProgressStyle::kAuto;
  std::optional<std::string> file;
  bool all = false;                   // check, update: every reader found
  std::optional<std::string> reader;  // check, update: the reader of this id
};

enum class Verdict {
  kLatest,
  kNotLatest,
  kNoReader,
  kNoPermission,  // no reader, but a disk the user may not open
  kNotSupported,
  kBlankChip,
  kReadFailed,
  kInUse,
  kImageError,
  kFailed,
};

enum class Outcome { kNotRun, kNotNeeded, kUpdated, kFailed };

std::string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kLatest:
      return "latest";
    case Verdict::kNotLatest:
      return "not-latest";
    case Verdict::kNoReader:
      return "no-reader";
    case Verdict::kNoPermission:
      return "no-permission";
    case Verdict::kNotSupported:
      return "not-supported";
    case Verdict::kBlankChip:
      return "blank-chip";
    case Verdict::kReadFailed:
      return "read-failed";
    case Verdict::kInUse:
      return "in-use";
    case Verdict::kImageError:
      return "image-error";
    case Verdict::kFailed:
      return "failed";
  }
  return "failed";
}

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kNotRun:
      return "not-run";
    case Outcome::kNotNeeded:
      return "not-needed";
    case Outcome::kUpdated:
      return "updated";
    case Outcome::kFailed:
      return "failed";
  }
  return "failed";
}

std::string_view CommandName(Command command) {
  switch (command) {
    case Command::kCheck:
      return "check";
    case Command::kUpdate:
      return "update";
    case Command::kVerify:
      return "verify";
    case Command::kBackup:
      return "backup";
    case Command::kRestore:
      return "restore";
  }
  return "check";
}

// The window's line breaks (CR LF) as the terminal's.
std::string TerminalText(std::u16string_view text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

// An address as the terminal shows it: 0x3a00.
std::string Hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", value);
  return text;
}

std::string PathText(const std::filesystem::path& path) {
  return path.string();
}

std::optional<Options> ParseOptions(std::span<const std::string_view> args, Command command,
                                    std::ostream& err) {
  Options options;
  const bool takesFile =
      command == Command::kVerify || command == Command::kBackup || command == Command::kRestore;
  const bool choosesReaders = command == Command::kCheck || command == Command::kUpdate;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (choosesReaders && arg == "--all") {
      options.all = true;
    } else if (choosesReaders && (arg == "--reader" || arg.starts_with("--reader="))) {
      std::string_view id = arg.substr(std::string_view("--reader").size());
      if (id.empty()) {
        if (++i >= args.size()) {
          err << kProgramName << " " << CommandName(command) << ": '--reader' needs an ID\n";
          return std::nullopt;
        }
        id = args[i];
      } else {
        id.remove_prefix(1);  // the '='
      }
      if (id.empty() || options.reader) {
        err << kProgramName << " " << CommandName(command)
            << ": '--reader' takes one non-empty ID\n";
        return std::nullopt;
      }
      options.reader = std::string(id);
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--progress=bar") {
      options.progress = ProgressStyle::kBar;
    } else if (arg == "--progress=lines") {
      options.progress = ProgressStyle::kLines;
    } else if (arg == "--progress=none") {
      options.progress = ProgressStyle::kNone;
    } else if (takesFile && !options.file && !arg.empty() && arg.front() != '-') {
      options.file = std::string(arg);
    } else {
      err << kProgramName << " " << CommandName(command) << ": unknown option '"
          << PrintableArgument(arg) << "'\n";
      return std::nullopt;
    }
  }
  if (options.all && options.reader) {
    err << kProgramName << " " << CommandName(command)
        << ": '--all' and '--reader' cannot be used together\n";
    return std::nullopt;
  }
  if ((command == Command::kBackup || command == Command::kRestore) && !options.file) {
    err << kProgramName << " " << CommandName(command) << ": a FILE is needed\n";
    return std::nullopt;
  }
  if (options.json) options.progress = ProgressStyle::kNone;
  if (options.progress == ProgressStyle::kAuto) {
    options.progress =
        ui::headless::StandardOutputIsTerminal() ? ProgressStyle::kBar : ProgressStyle::kLines;
  }
  return options;
}

struct Box {
  std::u16string caption;
  std::u16string text;
};

// The progress of several readers at once, one line per reader: as lines ("1-3.2: progress 40%"),
// or as bars redrawn in place on a terminal. Thread-safe.
class ProgressBoard {
 public:
  ProgressBoard(std::ostream& out, ProgressStyle style, std::vector<std::string> labels)
      : out_(out), style_(style), labels_(std::move(labels)), percents_(labels_.size(), 0) {
    for (const std::string& label : labels_) width_ = std::max(width_, label.size());
  }

  void Set(std::size_t row, int percent) {
    const std::lock_guard lock(mutex_);
    percents_[row] = percent;
    if (style_ == ProgressStyle::kLines) {
      out_ << labels_[row] << ": progress " << percent << "%\n" << std::flush;
    } else if (style_ == ProgressStyle::kBar) {
      if (drawn_) out_ << "\x1b[" << labels_.size() << "A";  // back to the first bar
      for (std::size_t i = 0; i < labels_.size(); ++i) {
        const int filled = percents_[i] * 30 / 100;
        out_ << "\r\x1b[2K" << labels_[i] << std::string(width_ - labels_[i].size(), ' ') << " ["
             << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(30 - filled), '.') << "] " << percents_[i]
             << "%\n";
      }
      out_ << std::flush;
      drawn_ = true;
    }
  }

 private:
  std::mutex mutex_;
  std::ostream& out_;
  const ProgressStyle style_;
  const std::vector<std::string> labels_;
  std::size_t width_ = 0;
  std::vector<int> percents_;
  bool drawn_ = false;
};

// Progress in percent and the boxes the window would show, as they happen; for one of several
// readers, the progress goes to its line of the board and the boxes are kept for the summary.
class Reporter final : public workflow::Observer {
 public:
  Reporter(std::ostream& out, const Options& options, ProgressBoard* board = nullptr,
           std::size_t row = 0)
      : out_(out), options_(options), board_(board), row_(row) {}

  void Begin(int high) {
    high_ = high > 0 ? high : 1;
    Progress(0);
  }
  void Progress(int position) override {
    const int percent = position * 100 / high_;
    if (board_ != nullptr) {
      board_->Set(row_, percent);
    } else if (options_.progress == ProgressStyle::kLines) {
      out_ << "progress " << percent << "%\n" << std::flush;
    } else if (options_.progress == ProgressStyle::kBar) {
      const int filled = percent * 40 / 100;
      out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
           << std::string(static_cast<std::size_t>(40 - filled), '.') << "] " << percent << "%"
           << std::flush;
      barOpen_ = true;
    }
  }
  void Show(std::u16string_view caption, std::u16string_view text) {
    if (!options_.json && board_ == nullptr) {
      EndBar();
      out_ << "[" << TerminalText(caption) << "] " << TerminalText(text) << "\n";
    }
    boxes_.push_back(Box{std::u16string(caption), std::u16string(text)});
  }
  void EndBar() {
    if (barOpen_) out_ << "\n" << std::flush;
    barOpen_ = false;
  }
  const std::vector<Box>& Boxes() const { return boxes_; }

 private:
  std::ostream& out_;
  const Options& options_;
  ProgressBoard* board_;
  std::size_t row_;
  int high_ = 100;
  bool barOpen_ = false;
  std::vector<Box> boxes_;
};

// A workflow whose progress nobody sees (the read after the reader's restart).
class Silent final : public workflow::Observer {
 public:
  void Progress(int) override {}
};

// What one command found and did; printed at its end.
struct Report {
  Verdict verdict = Verdict::kFailed;
  std::u16string status;
  std::u16string message;
  std::optional<std::pair<std::u16string, std::u16string>> reader;
  std::optional<std::pair<std::u16string, std::u16string>> after;
  Outcome outcome = Outcome::kNotRun;
  std::optional<ErrorCode> error;
  std::optional<std::size_t> damagedAt;
  std::optional<std::string> backupUsed;  // the pending backup a blank reader is recovered from
  std::optional<std::string> backupSaved;
  std::optional<std::string> note;  // one more line for a person (where backups are looked for…)
  std::optional<std::size_t> firstDifference;  // verify
  bool differs = false;                        // verify
  std::optional<std::string> cause;            // the failed step and its cause
  std::vector<SkippedCandidate> skipped;       // no reader: the disks the search passed over
};

bool NoReaderFound(Verdict verdict) {
  return verdict == Verdict::kNoReader || verdict == Verdict::kNoPermission;
}

class Session {
 public:
  // With a held reader the session works on that reader alone, under its lock, and reports its
  // progress on the board's row.
  Session(platform::Platform& platform, std::ostream& out, const Options& options,
          workflow::HeldReader* held = nullptr, ProgressBoard* board = nullptr, std::size_t row = 0)
      : platform_(platform),
        held_(held),
        reporter_(out, options, board, row),
        language_(ui::LocaleLanguage()),
        backups_(workflow::DefaultBackupDirectory(platform.Emulated())) {}

  std::u16string String(int id) const {
    return std::u16string(ui::FindString(res::StringTable(), id, language_).value_or(u""));
  }

  bool LoadImage() {
    const auto resource = platform_.Resources().Find(kFirmwareResourceType, kFirmwareResourceId);
    if (!resource || !ParseImage(image_, *resource)) {
      reporter_.Show(ui::kDefaultMessageBoxCaption, text::kLoadSnfFailed);
      return false;
    }
    if (!image_.fw1Data.empty()) fw1_ = GetFirmwareVersion(1, image_);
    if (!image_.fw2Data.empty()) fw2_ = GetFirmwareVersion(2, image_);
    return true;
  }
  workflow::CarriedView Carried() const { return {image_, fw1_, fw2_}; }

  // The read-back and the verdict on it, as the window reaches them; true when a reader was read
  // whose verdict is known (latest, not latest or not supported), or a blank one can be
  // recovered.
  bool Check(Report& report) {
    reporter_.Begin(workflow::kReadProgressHigh);
    read_ = held_ != nullptr ? workflow::ReadReader(*held_, reporter_)
                             : workflow::ReadReader(table_, reporter_);
    reporter_.EndBar();
    const std::optional<ErrorCode> error = read_.error;
    if (read_.failedStep) report.cause = read_.failedStep->Describe();
    if (error == ErrorCode::kNoDevice && read_.back.reader.diskPath.empty()) {
      report.verdict = Verdict::kNoReader;
      report.status = text::kNoDevice;
      report.skipped = read_.skipped;
      if (const SkippedCandidate* denied = FirstPermissionDenied(read_.skipped)) {
        report.verdict = Verdict::kNoPermission;
        report.note = NoPermissionAdvice(*denied);
      }
      return false;
    }
    if (error == ErrorCode::kNewChip) {
      if (OfferRecovery(report)) return true;
      report.verdict = Verdict::kBlankChip;
      report.error = error;
      reporter_.Show(text::kReadDeviceNg, text::kChipIsNew);
      report.note = "No backup of this reader was found in " +
                    (backups_.Directory().empty() ? std::string("(no state directory)")
                                                  : PathText(backups_.Directory())) +
                    ".";
      return false;
    }
    if (error == ErrorCode::kReaderInUse) {
      report.verdict = Verdict::kInUse;
      report.error = error;
      reporter_.Show(text::kErrorCaption, text::kReaderInUse);
      return false;
    }
    if (error) {
      report.verdict = Verdict::kReadFailed;
      report.error = error;
      reporter_.Show(text::kDeviceNotFound, text::kPlugAgain);
      return false;
    }
    const workflow::Judgement judgement = workflow::Judge(read_.back, Carried());
    report.reader = {read_.back.fw1Version, read_.back.fw2Version};
    switch (judgement.verdict) {
      case workflow::Verdict::kNotSupported:
        report.verdict = Verdict::kNotSupported;
        report.message = String(IDS_DEVICE_NOT_SUPPORTED);
        report.reader.reset();
        return true;
      case workflow::Verdict::kVersionError:
        report.verdict = Verdict::kImageError;
        report.reader.reset();
        reporter_.Show(text::kErrorCaption, text::kFwVersionError);
        return false;
      case workflow::Verdict::kNotLatest:
        report.verdict = Verdict::kNotLatest;
        report.status = text::kFwIsNotLatest;
        report.message = String(IDS_UPDATE_NEEDED);
        report.damagedAt = judgement.damagedAt;
        return true;
      case workflow::Verdict::kLatest:
        report.verdict = Verdict::kLatest;
        report.status = text::kFwIsLatest;
        report.message = String(IDS_ALREADY_LATEST);
        return true;
    }
    return false;
  }

  // Writes the carried image (or, for restore, `content`) and reads the restarted reader back.
  void Write(Report& report, std::optional<std::span<const std::uint8_t>> content) {
    workflow::UpdateRequest request;
    request.readerHeader = read_.back.image.header;
    if (recoveryHeader_) {
      request.readerHeader = *recoveryHeader_;
      request.recoveredFrom = recoveredFrom_;
    } else {
      request.currentContent = read_.back.content;
    }
    workflow::StoreKeeper keeper(backups_);
    if (!backups_.Directory().empty()) request.backups = &keeper;

    reporter_.Begin(workflow::kUpdateProgressHigh);
    const workflow::UpdateResult result =
        content            ? workflow::RestoreReader(table_, *content, request, reporter_)
        : held_ != nullptr ? workflow::UpdateReader(*held_, Carried(), request, reporter_)
                           : workflow::UpdateReader(table_, Carried(), request, reporter_);
    reporter_.EndBar();
    if (result.backup) report.backupSaved = PathText(*result.backup);
    report.error = result.error;
    if (result.failedStep) report.cause = result.failedStep->Describe();
    if (result.error) {
      report.outcome = Outcome::kFailed;
      if (result.error == ErrorCode::kReaderInUse) {
        reporter_.Show(text::kErrorCaption, text::kReaderInUse);
      }
      if (result.error == ErrorCode::kBackup) report.note = result.backupError;
      reporter_.Show(ui::kDefaultMessageBoxCaption, text::kUpdateNg);
      return;
    }
    report.outcome = Outcome::kUpdated;
    reporter_.Show(text::kToolName, u"Update OK");
    ReadAfterRestart(report);
  }

  // The reader restarts at the end of a write: wait for it (up to 15 s) and read its versions.
  void ReadAfterRestart(Report& report) {
    constexpr std::uint32_t kPollMs = 100;
    constexpr std::uint64_t kWaitMs = 15000;
    Silent silent;
    platform::Clock& clock = platform_.Time();
    // A deadline, not a count: one search of a real machine can itself take a while.
    for (const std::uint64_t end = platform::DeadlineAfter(clock, kWaitMs); clock.NowMs() < end;) {
      clock.Sleep(kPollMs);
      // A held reader is looked for at its port only: its lock stays with this thread.
      if (held_ != nullptr && !held_->FindAgain()) continue;
      const workflow::ReadResult again = held_ != nullptr ? workflow::ReadReader(*held_, silent)
                                                          : workflow::ReadReader(table_, silent);
      if (again.error == ErrorCode::kNoDevice) continue;
      if (!again.error) report.after = {again.back.fw1Version, again.back.fw2Version};
      return;
    }
  }

  const workflow::ReadResult& Read() const { return read_; }
  Reporter& Boxes() { return reporter_; }
  const BackupStore& Backups() const { return backups_; }
  platform::Platform& Machine() { return platform_; }

 private:
  // A blank reader whose pending backup is found: its header comes back from there.
  bool OfferRecovery(Report& report) {
    if (backups_.Directory().empty()) return false;
    const BackupChoice choice = backups_.ChooseFor(workflow::PortOf(read_.back.reader));
    if (!choice.chosen || choice.chosen->backup.content.size() < kImageHeaderSize) return false;
    HeaderBytes header;
    std::copy_n(choice.chosen->backup.content.begin(), kImageHeaderSize, header.begin());
    if (!workflow::IsProgrammedReaderHeader(header)) return false;
    recoveryHeader_ = header;
    recoveredFrom_ = choice.chosen->path;
    report.verdict = Verdict::kNotLatest;
    report.status = text::kFwIsNotLatest;
    report.backupUsed = PathText(choice.chosen->path);
    report.note = std::string("The reader is blank: an earlier update was interrupted. Its ") +
                  (choice.samePort ? "backup for this USB port" : "newest pending backup") +
                  " will restore its header: " + *report.backupUsed;
    std::u16string message = String(IDS_RECOVERY_OFFERED);
    if (const std::size_t at = message.find(u"%s"); at != std::u16string::npos) {
      message.replace(at, 2, choice.chosen->path.u16string());
    }
    report.message = std::move(message);
    return true;
  }

  platform::Platform& platform_;
  workflow::HeldReader* held_;
  Reporter reporter_;
  ui::Language language_;
  BackupStore backups_;
  FirmwareImage image_;
  std::u16string fw1_;
  std::u16string fw2_;
  DeviceTable table_;
  workflow::ReadResult read_;
  std::optional<HeaderBytes> recoveryHeader_;
  std::optional<std::filesystem::path> recoveredFrom_;
};

int ExitCode(const Report& report) {
  if (report.outcome == Outcome::kUpdated) return kExitUpToDate;
  if (report.outcome == Outcome::kFailed) return kExitWorkflowFailed;
  switch (report.verdict) {
    case Verdict::kLatest:
      return kExitUpToDate;
    case Verdict::kNotLatest:
      return kExitNotLatest;
    case Verdict::kNoReader:
      return kExitNoReader;
    case Verdict::kNoPermission:
      return kExitNoPermission;
    case Verdict::kNotSupported:
      return kExitNotSupported;
    default:
      return kExitWorkflowFailed;
  }
}

std::string Versions(const std::optional<std::pair<std::u16string, std::u16string>>& versions) {
  if (!versions) return "null";
  return "{\"fw1\": " + JsonString(versions->first) + ", \"fw2\": " + JsonString(versions->second) +
         "}";
}

std::string OptionalText(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : std::string("null");
}

std::string BoxesJson(const std::vector<Box>& boxes) {
  std::string text = "[";
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::string("{\"caption\": ") + JsonString(boxes[i].caption) +
            ", \"text\": " + JsonString(boxes[i].text) + "}";
  }
  return text + "]";
}

void PrintJson(std::ostream& out, Command command, const Report& report, Session& session) {
  out << "{\"command\": \"" << CommandName(command) << "\", \"verdict\": \""
      << VerdictName(report.verdict) << "\", \"status\": " << JsonString(report.status)
      << ", \"message\": " << JsonString(report.message)
      << ", \"reader\": " << Versions(report.reader);
  out << ", \"image\": "
      << Versions(std::pair{std::u16string(session.Carried().fw1Version),
                            std::u16string(session.Carried().fw2Version)});
  out << ", \"damaged\": " << (report.damagedAt ? "true" : "false") << ", \"firstDifference\": "
      << (report.damagedAt ? std::to_string(*report.damagedAt) : std::string("null"));
  if (command == Command::kVerify) {
    out << ", \"matches\": " << (report.differs ? "false" : "true") << ", \"difference\": "
        << (report.firstDifference ? std::to_string(*report.firstDifference) : std::string("null"));
  }
  out << ", \"backupUsed\": " << OptionalText(report.backupUsed)
      << ", \"backupSaved\": " << OptionalText(report.backupSaved)
      << ", \"note\": " << OptionalText(report.note) << ", \"after\": " << Versions(report.after)
      << ", \"outcome\": \"" << OutcomeName(report.outcome) << "\", \"error\": ";
  if (report.error) {
    const int code = static_cast<int>(*report.error);
    out << "{\"code\": " << code << ", \"meaning\": " << JsonString(session.String(code)) << "}";
  } else {
    out << "null";
  }
  out << ", \"boxes\": " << BoxesJson(session.Boxes().Boxes())
      << ", \"cause\": " << OptionalText(report.cause)
      << ", \"skipped\": " << SkippedJsonArray(report.skipped) << "}\n";
}

void PrintText(std::ostream& out, const Report& report, Session& session) {
  const auto version = [](const std::u16string& v) {
    return v.empty() ? std::string("(none)") : ToUtf8(v);
  };
  if (report.reader) {
    out << "Reader: FW1 " << version(report.reader->first) << ", FW2 "
        << version(report.reader->second) << "\n";
  }
  out << "Image:  FW1 " << version(std::u16string(session.Carried().fw1Version)) << ", FW2 "
      << version(std::u16string(session.Carried().fw2Version)) << "\n";
  if (!report.status.empty()) out << TerminalText(report.status) << "\n";
  if (!report.message.empty()) out << TerminalText(report.message) << "\n";
  if (report.damagedAt) {
    out << "The reader's firmware is damaged: it differs from the image at "
        << Hex(*report.damagedAt) << ".\n";
  }
  if (report.note) out << *report.note << "\n";
  if (report.backupSaved) out << "Backup: " << *report.backupSaved << "\n";
  if (report.outcome == Outcome::kUpdated) {
    out << "Update: done\n";
    if (report.after) {
      out << "Reader after restart: FW1 " << version(report.after->first) << ", FW2 "
          << version(report.after->second) << "\n";
    }
  }
  if (report.outcome == Outcome::kFailed) {
    out << "Update: failed";
    if (report.error) {
      out << " (" << TerminalText(session.String(static_cast<int>(*report.error))) << ")";
    }
    out << "\n";
  }
  if (report.cause && (report.outcome == Outcome::kFailed || report.error)) {
    out << "Cause: " << *report.cause << "\n";
  }
}

// verify: the reader against the carried image (as the check judges it) or against a backup.
void Verify(Session& session, const Options& options, Report& report) {
  const workflow::ReadBack& back = session.Read().back;
  if (options.file) {
    const OrError<Backup> backup = BackupStore::Load(*options.file);
    if (!backup) {
      report.outcome = Outcome::kFailed;
      report.note = backup.error;
      return;
    }
    const std::vector<std::uint8_t>& want = backup.value->content;
    const std::size_t common = std::min(want.size(), back.content.size());
    const auto [a, b] = std::mismatch(
        want.begin(), want.begin() + static_cast<std::ptrdiff_t>(common), back.content.begin());
    const auto at = static_cast<std::size_t>(a - want.begin());
    if (at < common || want.size() != back.content.size()) {
      report.differs = true;
      report.firstDifference = at;
    }
  } else if (report.verdict != Verdict::kLatest || report.damagedAt) {
    report.differs = true;
    report.firstDifference =
        report.damagedAt
            ? report.damagedAt
            : FindContentDifference(back.content, session.Carried().image,
                                    session.Carried().fw1Version, session.Carried().fw2Version);
  }
  report.note = !report.differs ? std::string("The reader matches.")
                : report.firstDifference
                    ? "The reader differs at " + Hex(*report.firstDifference) + "."
                    : std::string("The reader differs.");
}

// ---- Several readers ----------------------------------------------------------------------------

// One reader's part of a check or update of several: who it is and what came of it.
struct ReaderRun {
  std::string id;
  std::string disk;
  std::string part;
  Report report;
  std::vector<Box> boxes;
};

// The check, and for an update the write, of one held reader, on the calling thread.
void RunOneReader(platform::Platform& platform, std::ostream& out, const Options& options,
                  Command command, workflow::HeldReader& held, ProgressBoard& board,
                  std::size_t row, ReaderRun& run) {
  Session session(platform, out, options, &held, &board, row);
  Report& report = run.report;
  if (!session.LoadImage()) {
    report.verdict = Verdict::kImageError;
  } else if (session.Check(report) && command == Command::kUpdate) {
    if (report.verdict == Verdict::kNotLatest) {
      session.Write(report, std::nullopt);
    } else if (report.verdict == Verdict::kLatest) {
      report.outcome = Outcome::kNotNeeded;
    }
  }
  run.boxes = session.Boxes().Boxes();
}

std::string VersionPair(const std::optional<std::pair<std::u16string, std::u16string>>& v) {
  if (!v) return "-";
  const auto one = [](const std::u16string& text) {
    return text.empty() ? std::string("(none)") : ToUtf8(text);
  };
  return one(v->first) + "/" + one(v->second);
}

std::string ResultText(const Report& report) {
  if (report.outcome == Outcome::kUpdated) return "updated";
  if (report.outcome == Outcome::kFailed) return "update failed";
  return std::string(VerdictName(report.verdict));
}

// The more serious of two exit statuses: a failure, then another product, then not latest.
int Worse(int a, int b) {
  constexpr std::array kOrder = {kExitWorkflowFailed, kExitNotSupported, kExitNotLatest};
  for (const int code : kOrder) {
    if (a == code || b == code) return code;
  }
  return a != kExitUpToDate ? a : b;
}

void PrintManyJson(std::ostream& out, Command command, const ReaderRun& run,
                   const workflow::CarriedView& carried, const Session& strings) {
  const Report& r = run.report;
  out << "{\"command\": \"" << CommandName(command) << "\", \"id\": " << JsonString(run.id)
      << ", \"disk\": " << JsonString(run.disk) << ", \"part\": " << JsonString(run.part)
      << ", \"verdict\": \"" << VerdictName(r.verdict) << "\", \"before\": " << Versions(r.reader)
      << ", \"image\": "
      << Versions(std::pair{std::u16string(carried.fw1Version), std::u16string(carried.fw2Version)})
      << ", \"damaged\": " << (r.damagedAt ? "true" : "false")
      << ", \"backupUsed\": " << OptionalText(r.backupUsed)
      << ", \"backupSaved\": " << OptionalText(r.backupSaved)
      << ", \"after\": " << Versions(r.after) << ", \"outcome\": \"" << OutcomeName(r.outcome)
      << "\", \"error\": ";
  if (r.error) {
    const int code = static_cast<int>(*r.error);
    out << "{\"code\": " << code << ", \"meaning\": " << JsonString(strings.String(code)) << "}";
  } else {
    out << "null";
  }
  out << ", \"boxes\": " << BoxesJson(run.boxes) << ", \"cause\": " << OptionalText(r.cause)
      << ", \"note\": " << OptionalText(r.note) << ", \"exit\": " << ExitCode(r) << "}\n";
}

void PrintSummary(std::ostream& out, const std::vector<ReaderRun>& runs, const Session& strings) {
  std::size_t idWidth = 6;
  for (const ReaderRun& run : runs) idWidth = std::max(idWidth, run.id.size());
  const auto cell = [](std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text + "  ";
  };
  out << cell("READER", idWidth) << cell("PART", 24) << cell("BEFORE", 25) << cell("AFTER", 25)
      << "RESULT\n";
  for (const ReaderRun& run : runs) {
    out << cell(run.id, idWidth) << cell(run.part, 24) << cell(VersionPair(run.report.reader), 25)
        << cell(VersionPair(run.report.after), 25) << ResultText(run.report) << "\n";
  }
  for (const ReaderRun& run : runs) {
    const Report& r = run.report;
    if (r.error) {
      out << run.id << ": " << TerminalText(strings.String(static_cast<int>(*r.error))) << "\n";
    }
    if (r.cause) out << run.id << ": Cause: " << *r.cause << "\n";
    if (r.note) out << run.id << ": " << *r.note << "\n";
    if (r.backupSaved) out << run.id << ": Backup: " << *r.backupSaved << "\n";
    if (r.damagedAt) {
      out << run.id << ": the firmware differs from the image at " << Hex(*r.damagedAt) << "\n";
    }
  }
}

// check and update of every reader found (--all) or of one chosen by its id (--reader): one
// table build, then one thread per reader, each holding its own reader's lock.
int RunMany(platform::Platform& platform, std::ostream& out, std::ostream& err,
            const Options& options, Command command) {
  DeviceTable table;
  BuildDeviceTable(table);
  std::vector<const DeviceEntry*> chosen;
  std::vector<std::string> found;
  for (std::int32_t i = 0; i < table.count; ++i) {
    const DeviceEntry& entry = table.entries[static_cast<std::size_t>(i)];
    found.push_back(ReaderId(entry));
    if (!options.reader || *options.reader == found.back() ||
        *options.reader == ToUtf8(FieldText(entry.diskPath))) {
      chosen.push_back(&entry);
    }
  }
  // Without a reader at all the answer is the one a single check gives (no reader, no permission).
  if (table.count == 0) return -1;
  if (chosen.empty()) {
    err << kProgramName << " " << CommandName(command) << ": no reader '"
        << PrintableArgument(*options.reader) << "'; found:";
    for (const std::string& id : found) err << " " << id;
    err << "\n";
    return kExitNoReader;
  }

  std::vector<ReaderRun> runs(chosen.size());
  std::vector<std::string> labels;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    runs[i].id = ReaderId(*chosen[i]);
    runs[i].disk = ToUtf8(FieldText(chosen[i]->diskPath));
    runs[i].part = ReaderPart(*chosen[i]);
    labels.push_back(runs[i].id);
  }
  ProgressBoard board(out, options.progress, labels);
  std::latch allDone(static_cast<std::ptrdiff_t>(chosen.size()));
  {
    std::vector<std::jthread> workers;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      const auto work = [&, i] {
        std::optional<workflow::HeldReader> held;
        // One reader's failure is its own: nothing it raises reaches the others.
        try {
          held.emplace(*chosen[i]);
          RunOneReader(platform, out, options, command, *held, board, i, runs[i]);
        } catch (const std::exception& e) {
          runs[i].report.outcome = Outcome::kFailed;
          runs[i].report.note = std::string("internal error: ") + e.what();
        }
        // The locks are given back together, when every reader is done: while one reader is away
        // (restarting, unplugged) another program's table puts the others in other slots, and
        // must find those slots' locks held too.
        allDone.arrive_and_wait();
      };
      try {
        workers.emplace_back(work);
      } catch (const std::system_error& e) {
        // No thread for this reader and the ones after it: they are not touched, and the
        // workers already started must not wait for them.
        for (std::size_t j = i; j < chosen.size(); ++j) {
          runs[j].report.outcome = Outcome::kFailed;
          runs[j].report.note = std::string("no worker could be started: ") + e.what();
        }
        allDone.count_down(static_cast<std::ptrdiff_t>(chosen.size() - i));
        break;
      }
    }
  }  // every worker has ended, and released its reader's lock
  ReleaseDeviceTable(table);

  Session strings(platform, out, options);
  strings.LoadImage();
  int code = kExitUpToDate;
  for (const ReaderRun& run : runs) {
    code = Worse(code, ExitCode(run.report));
    if (options.json) PrintManyJson(out, command, run, strings.Carried(), strings);
  }
  if (!options.json) PrintSummary(out, runs, strings);
  return code;
}

int RunCommand(std::span<const std::string_view> args, platform::Platform& platform,
               std::ostream& out, std::ostream& err, Command command) {
  const std::optional<Options> options = ParseOptions(args, command, err);
  if (!options) return kExitWorkflowUsage;
  platform::ScopedPlatform scope(platform);
  if (options->all || options->reader) {
    if (const int code = RunMany(platform, out, err, *options, command); code >= 0) return code;
  }
  Session session(platform, out, *options);
  Report report;

  // restore: the file is checked before the reader is touched.
  std::optional<Backup> restore;
  if (command == Command::kRestore) {
    OrError<Backup> loaded = BackupStore::Load(*options->file);
    if (!loaded) {
      err << kProgramName << " restore: " << loaded.error << "\n";
      return kExitWorkflowFailed;
    }
    restore = std::move(*loaded.value);
  }
  if (command == Command::kBackup && std::filesystem::exists(*options->file)) {
    err << kProgramName << " backup: " << PrintableArgument(*options->file)
        << " exists; choose a new file\n";
    return kExitWorkflowUsage;
  }

  if (!session.LoadImage()) {
    report.verdict = Verdict::kImageError;
  } else if (session.Check(report) ||
             (command == Command::kRestore && report.verdict == Verdict::kBlankChip)) {
    const bool verdictWrites = report.verdict == Verdict::kNotLatest;
    if (command == Command::kUpdate) {
      if (verdictWrites) {
        session.Write(report, std::nullopt);
      } else if (report.verdict == Verdict::kLatest) {
        report.outcome = Outcome::kNotNeeded;
      }
    } else if (command == Command::kRestore) {
      report.error.reset();  // a blank reader is what a restore is for
      session.Write(report, restore->content);
    } else if (command == Command::kVerify) {
      Verify(session, *options, report);
    } else if (command == Command::kBackup) {
      const std::vector<std::uint8_t>& content = session.Read().back.content;
      const std::string problem = ValidateBackupContent(content);
      if (!problem.empty()) {
        report.outcome = Outcome::kFailed;
        report.note = "The reader's firmware cannot be backed up: " + problem;
      } else {
        const Backup backup = workflow::BackupOf(session.Read().back.reader, content);
        std::ofstream file(*options->file, std::ios::binary | std::ios::trunc);
        file << FormatBackup(backup);
        file.close();
        if (!file) {
          report.outcome = Outcome::kFailed;
          report.note = "Could not write " + *options->file;
        } else {
          report.backupSaved = *options->file;
        }
      }
    }
  }

  session.Boxes().EndBar();
  if (options->json) {
    PrintJson(out, command, report, session);
  } else {
    PrintText(out, report, session);
  }
  if (command == Command::kVerify && report.outcome != Outcome::kFailed &&
      (report.verdict == Verdict::kLatest || report.verdict == Verdict::kNotLatest ||
       options->file)) {
    return report.differs ? kExitNotLatest : kExitUpToDate;
  }
  if (command == Command::kBackup && report.outcome != Outcome::kFailed && report.backupSaved) {
    return kExitUpToDate;
  }
  if (command == Command::kBackup && !NoReaderFound(report.verdict)) {
    return kExitWorkflowFailed;
  }
  if (command == Command::kRestore && report.outcome == Outcome::kNotRun &&
      !NoReaderFound(report.verdict)) {
    return kExitWorkflowFailed;
  }
  return ExitCode(report);
}

}  // namespace

std::string ReaderId(const DeviceEntry& reader) {
  return ToUtf8(UsbPortPath(FieldText(reader.usbInstanceId)));
}

std::string ReaderPart(const DeviceEntry& reader) {
  if (reader.accessMode == kAccessModeSectors) return "sector storage";
  if (reader.accessMode != kAccessModeSerialFlash || reader.flashPart == nullptr) {
    return "storage type " + std::to_string(int{reader.storageType});
  }
  char id[16];
  std::snprintf(id, sizeof id, "%06X", static_cast<unsigned>(reader.flashId));
  return "serial flash " + std::to_string(reader.flashPartIndex) + " (" + id + ")";
}

int RunCheck(std::span<const std::string_view> args, platform::Platform& platform,
             std::ostream& out, std::ostream& err) {
  return RunCommand(args, platform, out, err, Command::kCheck);
}

int RunUpdate(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err) {
  return RunCommand(args, platform, out, err, Command::kUpdate);
}

int RunVerify(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err) {
  return RunCommand(args, platform, out, err, Command::kVerify);
}

int RunBackup(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err) {
  return RunCommand(args, platform, out, err, Command::kBackup);
}

int RunRestore(std::span<const std::string_view> args, platform::Platform& platform,
               std::ostream& out, std::ostream& err) {
  return RunCommand(args, platform, out, err, Command::kRestore);
}

}  // namespace tr350::cli

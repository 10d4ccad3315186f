// check and update: the main dialog runs on the headless window in a thread of its own, exactly as
// the window program runs it; this side watches what the window shows, answers its boxes, presses
// Update when the verdict offers it, and closes the window at the end.
#include "app/cli/workflow_commands.h"

#include "app/cli/text_output.h"

#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/fixed_texts.h"
#include "app/main_dialog.h"
#include "platform/headless/headless_ui.h"
#include "res/dialog_templates.h"

namespace tr350::cli {
namespace {

namespace hl = ui::headless;

enum class ProgressStyle { kAuto, kBar, kLines, kNone };

struct Options {
  bool json = false;
  ProgressStyle progress = ProgressStyle::kAuto;
};

enum class Verdict {
  kLatest,
  kNotLatest,
  kNoReader,
  kNotSupported,
  kBlankChip,
  kReadFailed,
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
    case Verdict::kNotSupported:
      return "not-supported";
    case Verdict::kBlankChip:
      return "blank-chip";
    case Verdict::kReadFailed:
      return "read-failed";
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

// The window's line breaks (CR LF) as the terminal's.
std::string TerminalText(std::u16string_view text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

std::optional<Options> ParseOptions(std::span<const std::string_view> args,
                                    std::string_view command, std::ostream& err) {
  Options options;
  for (std::string_view arg : args) {
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--progress=bar") {
      options.progress = ProgressStyle::kBar;
    } else if (arg == "--progress=lines") {
      options.progress = ProgressStyle::kLines;
    } else if (arg == "--progress=none") {
      options.progress = ProgressStyle::kNone;
    } else {
      err << "tr350-fwupdate-cli " << command << ": unknown option '" << arg << "'\n";
      return std::nullopt;
    }
  }
  if (options.json) options.progress = ProgressStyle::kNone;
  if (options.progress == ProgressStyle::kAuto) {
    options.progress = hl::StandardOutputIsTerminal() ? ProgressStyle::kBar : ProgressStyle::kLines;
  }
  return options;
}

struct Box {
  std::u16string caption;
  std::u16string text;
};

// What the window showed, written on the window's thread and read by the driving thread only
// after a wait on the window (which orders the two).
class Reporter {
 public:
  Reporter(std::ostream& out, ProgressStyle style) : out_(out), style_(style) {}

  void OnChange(const hl::Change& change) {
    if (change.control != IDC_PROGRESS) return;
    if (change.kind == hl::ChangeKind::kProgressRange) {
      low_ = change.value;
      high_ = change.value2;
    } else if (change.kind == hl::ChangeKind::kProgressPos) {
      const std::int64_t span = high_ > low_ ? high_ - low_ : 1;
      const std::int64_t percent = (change.value - low_) * 100 / span;
      if (style_ == ProgressStyle::kLines) {
        out_ << "progress " << percent << "%\n" << std::flush;
      } else if (style_ == ProgressStyle::kBar) {
        const std::int64_t filled = percent * 40 / 100;
        out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(40 - filled), '.') << "] " << percent << "%"
             << std::flush;
        barOpen_ = true;
      }
    } else if (change.kind == hl::ChangeKind::kShown && change.value == 0) {
      EndBar();
    }
  }

  std::optional<int> OnModal(const hl::WindowState& window) {
    Box box;
    if (window.messageBox) {
      box = Box{window.title, window.text};
    } else {
      const hl::ControlState* message = window.Control(IDC_RESULT_TEXT);
      box = Box{window.title, message != nullptr ? message->text : u""};
      if (window.templateId == IDD_MESSAGEBOX) resultShown_ = true;
    }
    if (!json_) {
      EndBar();
      out_ << "[" << TerminalText(box.caption) << "] " << TerminalText(box.text) << "\n";
    }
    boxes_.push_back(std::move(box));
    return IDOK;
  }

  void SetJson(bool json) { json_ = json; }
  // Ends a bar left on the screen (the bar of a reader that is not supported stays shown).
  void Finish() { EndBar(); }
  const std::vector<Box>& Boxes() const { return boxes_; }
  bool ResultShown() const { return resultShown_; }
  bool Shown(std::u16string_view text) const {
    for (const Box& box : boxes_) {
      if (box.text == text) return true;
    }
    return false;
  }

 private:
  void EndBar() {
    if (barOpen_) out_ << "\n" << std::flush;
    barOpen_ = false;
  }

  std::ostream& out_;
  const ProgressStyle style_;
  bool json_ = false;
  std::int64_t low_ = 0;
  std::int64_t high_ = 100;
  bool barOpen_ = false;
  bool resultShown_ = false;
  std::vector<Box> boxes_;
};

// What the driving thread reads from the window and the dialog, on the window's thread.
struct Reading {
  std::u16string status;
  std::u16string message;
  bool updateOffered = false;
  std::u16string readerFw1;
  std::u16string readerFw2;
  std::u16string imageFw1;
  std::u16string imageFw2;
  std::optional<ErrorCode> error;
};

Reading Read(hl::HeadlessUi& ui, CRZ6104FwUpdateToolDlg& dialog) {
  Reading reading;
  ui.Send([&] {
    reading.status = dialog.ItemText(IDC_STATUS_EDIT);
    reading.message = dialog.ItemText(IDC_MESSAGE_EDIT);
    const hl::Snapshot snap = ui.Snap();
    const hl::WindowState* window = snap.Dialog(IDD_UPDATETOOL_DIALOG);
    const hl::ControlState* update = window != nullptr ? window->Control(IDC_UPDATE) : nullptr;
    reading.updateOffered = update != nullptr && update->visible && update->enabled;
    reading.readerFw1 = dialog.m_deviceFw1Version;
    reading.readerFw2 = dialog.m_deviceFw2Version;
    reading.imageFw1 = dialog.m_fileFw1Version;
    reading.imageFw2 = dialog.m_fileFw2Version;
    reading.error = dialog.m_lastError;
  });
  return reading;
}

Verdict Judge(const Reading& reading, const Reporter& reporter, const hl::HeadlessUi& ui) {
  if (reporter.Shown(text::kLoadSnfFailed) || reporter.Shown(text::kFwVersionError)) {
    return Verdict::kImageError;
  }
  if (reading.error) {
    switch (*reading.error) {
      case ErrorCode::kNoDevice:
        return reporter.Shown(text::kPlugAgain) ? Verdict::kReadFailed : Verdict::kNoReader;
      case ErrorCode::kNewChip:
        return Verdict::kBlankChip;
      case ErrorCode::kEepromRead:
      case ErrorCode::kReadFw:
        return Verdict::kReadFailed;
      default:
        return Verdict::kFailed;
    }
  }
  if (reading.status == text::kFwIsLatest) return Verdict::kLatest;
  if (reading.status == text::kFwIsNotLatest) return Verdict::kNotLatest;
  if (reading.status.empty() && reading.message == ui.LoadString(IDS_DEVICE_NOT_SUPPORTED)) {
    return Verdict::kNotSupported;
  }
  return Verdict::kFailed;
}

int ExitCode(Verdict verdict, Outcome outcome) {
  if (outcome == Outcome::kUpdated) return kExitUpToDate;
  if (outcome == Outcome::kFailed) return kExitWorkflowFailed;
  switch (verdict) {
    case Verdict::kLatest:
      return kExitUpToDate;
    case Verdict::kNotLatest:
      return kExitNotLatest;
    case Verdict::kNoReader:
      return kExitNoReader;
    case Verdict::kNotSupported:
      return kExitNotSupported;
    default:
      return kExitWorkflowFailed;
  }
}

bool HasVersions(Verdict verdict) {
  return verdict == Verdict::kLatest || verdict == Verdict::kNotLatest;
}

void PrintJson(std::ostream& out, std::string_view command, Verdict verdict, Outcome outcome,
               const Reading& check, const Reading& last, const Reporter& reporter,
               const hl::HeadlessUi& ui) {
  const auto versions = [&](const std::u16string& fw1, const std::u16string& fw2) {
    return "{\"fw1\": " + JsonString(fw1) + ", \"fw2\": " + JsonString(fw2) + "}";
  };
  out << "{\"command\": \"" << command << "\", \"verdict\": \"" << VerdictName(verdict)
      << "\", \"status\": " << JsonString(check.status)
      << ", \"message\": " << JsonString(check.message) << ", \"reader\": "
      << (HasVersions(verdict) ? versions(check.readerFw1, check.readerFw2) : "null")
      << ", \"image\": " << versions(check.imageFw1, check.imageFw2) << ", \"outcome\": \""
      << OutcomeName(outcome) << "\", \"error\": ";
  if (last.error) {
    const int code = static_cast<int>(*last.error);
    out << "{\"code\": " << code << ", \"meaning\": " << JsonString(ui.LoadString(code)) << "}";
  } else {
    out << "null";
  }
  out << ", \"boxes\": [";
  for (std::size_t i = 0; i < reporter.Boxes().size(); ++i) {
    const Box& box = reporter.Boxes()[i];
    out << (i == 0 ? "" : ", ") << "{\"caption\": " << JsonString(box.caption)
        << ", \"text\": " << JsonString(box.text) << "}";
  }
  out << "]}\n";
}

void PrintText(std::ostream& out, Verdict verdict, Outcome outcome, const Reading& check,
               const Reading& last, const hl::HeadlessUi& ui) {
  const auto version = [](const std::u16string& v) {
    return v.empty() ? std::string("(none)") : ToUtf8(v);
  };
  if (HasVersions(verdict)) {
    out << "Reader: FW1 " << version(check.readerFw1) << ", FW2 " << version(check.readerFw2)
        << "\n";
  }
  out << "Image:  FW1 " << version(check.imageFw1) << ", FW2 " << version(check.imageFw2) << "\n";
  if (!check.status.empty()) out << TerminalText(check.status) << "\n";
  if (!check.message.empty()) out << TerminalText(check.message) << "\n";
  if (outcome == Outcome::kUpdated) out << "Update: done\n";
  if (outcome == Outcome::kFailed) {
    out << "Update: failed";
    if (last.error)
      out << " (" << TerminalText(ui.LoadString(static_cast<int>(*last.error))) << ")";
    out << "\n";
  }
}

int RunWorkflow(std::span<const std::string_view> args, platform::Platform& platform,
                std::ostream& out, std::ostream& err, bool update) {
  const std::string_view command = update ? "update" : "check";
  const std::optional<Options> options = ParseOptions(args, command, err);
  if (!options) return kExitWorkflowUsage;

  platform::ScopedPlatform scope(platform);
  hl::HeadlessUi ui(hl::HeadlessOptions{&platform.Time(), &platform.Notifications(), std::nullopt,
                                        res::WindowResources()});
  Reporter reporter(out, options->progress);
  reporter.SetJson(options->json);
  ui.SetChangeListener([&reporter](const hl::Change& change) { reporter.OnChange(change); });
  ui.SetModalScript(
      [&reporter](const hl::WindowState& window) { return reporter.OnModal(window); });

  CRZ6104FwUpdateToolDlg dialog(ui);
  std::thread window([&dialog] { dialog.DoModal(); });
  // Closes the window (once no update writes) and waits for its thread, on every way out.
  struct Closer {
    hl::HeadlessUi& ui;
    std::thread& window;
    ~Closer() {
      ui.WaitUntil([](const hl::Snapshot& s) { return s.Quiet(); }, hl::HeadlessUi::kNoLimit);
      ui.Click(IDD_UPDATETOOL_DIALOG, IDCANCEL);
      window.join();
    }
  } closer{ui, window};

  // The first scan ends in a verdict (or a failure) and nothing more happens by itself.
  ui.WaitUntil(
      [](const hl::Snapshot& s) {
        return s.Dialog(IDD_UPDATETOOL_DIALOG) != nullptr && s.Settled();
      },
      hl::HeadlessUi::kNoLimit);
  const Reading check = Read(ui, dialog);
  const Verdict verdict = Judge(check, reporter, ui);

  Outcome outcome = Outcome::kNotRun;
  Reading last = check;
  if (update && verdict == Verdict::kNotLatest && check.updateOffered) {
    ui.Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
    // The update thread has ended (a rescan the reader's restart may arm is not waited for).
    ui.WaitUntil(
        [&dialog](const hl::Snapshot& s) { return s.Quiet() && !dialog.m_updateRunning.load(); },
        hl::HeadlessUi::kNoLimit);
    last = Read(ui, dialog);
    outcome = !last.error && reporter.ResultShown() ? Outcome::kUpdated : Outcome::kFailed;
  } else if (update && verdict == Verdict::kLatest) {
    outcome = Outcome::kNotNeeded;
  }

  reporter.Finish();
  if (options->json) {
    PrintJson(out, command, verdict, outcome, check, last, reporter, ui);
  } else {
    PrintText(out, verdict, outcome, check, last, ui);
  }
  return ExitCode(verdict, outcome);
}

}  // namespace

int RunCheck(std::span<const std::string_view> args, platform::Platform& platform,
             std::ostream& out, std::ostream& err) {
  return RunWorkflow(args, platform, out, err, false);
}

int RunUpdate(std::span<const std::string_view> args, platform::Platform& platform,
              std::ostream& out, std::ostream& err) {
  return RunWorkflow(args, platform, out, err, true);
}

}  // namespace tr350::cli

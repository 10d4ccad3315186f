// The terminal front end's commands: info (the tool's version and the image it carries).
#include "app/cli/cli.h"

#include "app/cli/skipped_text.h"
#include "app/cli/text_output.h"
#include "app/cli/workflow_commands.h"
#include "app/printable_text.h"

#include <cstdio>
#include <optional>
#include <string>

#include "discovery/device_table.h"
#include "emulator/scenarios.h"
#include "ids/resource_ids.h"
#include "image/firmware_image.h"
#include "image/version_stamp.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/native.h"
#include "platform/text.h"
#include "platform/trace/trace_session.h"

namespace tr350::cli {
namespace {

constexpr std::string_view kUsageHead =
    "Usage: tr350-fwupdate-cli [--help] [--version] COMMAND [OPTIONS]\n"
    "\n"
    "Checks and updates the firmware of TR350 USB SD card readers.\n"
    "\n"
    "Commands:\n"
    "  info [--json]   show the tool's version and the firmware image it carries\n"
    "  list [--json] [--verbose]\n"
    "                  list the readers attached to this machine, each with its id (its USB\n"
    "                  port: bus and hub ports) and part; --verbose adds every other\n"
    "                  disk the search reached and why it was passed over (with --json: an\n"
    "                  object {\"readers\": [...], \"skipped\": [...]})\n";

constexpr std::string_view kGlobalOptions =
    "\n"
    "Options:\n"
    "  --simulate[=SCENARIO]  run against an emulated machine instead of the real one\n"
    "                         (default scenario: flash-old; --simulate=help lists them)\n"
    "  --record FILE          write every request sent to the reader and its answer, and the\n"
    "                         device tree the search saw, to FILE (a text trace; it holds the\n"
    "                         reader's firmware as read, and no personal data)\n"
    "  --replay FILE          run the command against a trace written by --record instead of a\n"
    "                         machine; the first call that differs from the trace fails the run\n"
    "                         (exit status 1) and is shown with both sides\n"
    "  --help                 show this help and exit\n"
    "  --version              show the tool's version and exit\n"
    "\n"
    "While the reader is being written (erase, program, verify, restart), Ctrl-C, SIGTERM and\n"
    "SIGHUP do not cut the write short: the tool finishes it, prints the result and then exits\n"
    "with 128 + the signal's number. Output that cannot be written (a full disk, a closed pipe)\n"
    "never stops a write either; the command runs to its end and the exit status is then 1\n"
    "(or the command's own status when that is already non-zero).\n";

int Info(std::span<const std::string_view> args, platform::Platform& platform, std::ostream& out,
         std::ostream& err) {
  bool json = false;
  for (std::string_view arg : args) {
    if (arg == "--json") {
      json = true;
    } else {
      err << kProgramName << " info: unknown option '" << PrintableArgument(arg) << "'\n";
      return kExitUsage;
    }
  }
  const auto resource = platform.Resources().Find(kFirmwareResourceType, kFirmwareResourceId);
  FirmwareImage image;
  if (!resource) {
    err << kProgramName << ": Load SNF failed!: the program carries no firmware image\n";
    return kExitFailure;
  }
  if (!ParseImage(image, *resource)) {
    err << kProgramName << ": Load SNF failed!: the firmware image (" << resource->size()
        << " bytes) does not parse\n";
    return kExitFailure;
  }
  const std::string fw1 = ToUtf8(GetFirmwareVersion(1, image));
  const std::string fw2 = ToUtf8(GetFirmwareVersion(2, image));
  const std::string tool = front_end::ToolVersion(platform.Resources()).value_or("");

  if (json) {
    out << "{\"toolVersion\": " << JsonString(tool) << ", \"fw1\": {\"size\": " << image.fw1Size
        << ", \"version\": " << JsonString(fw1) << "}, \"fw2\": {\"size\": " << image.fw2Size
        << ", \"version\": " << JsonString(fw2) << "}}\n";
  } else {
    out << "Tool version:   " << (tool.empty() ? "(no version resource)" : tool) << "\n"
        << "Firmware image: " << resource->size() << " bytes\n"
        << "  FW1: " << image.fw1Size << " bytes, version " << (fw1.empty() ? "(none found)" : fw1)
        << "\n"
        << "  FW2: " << image.fw2Size << " bytes, version " << (fw2.empty() ? "(none found)" : fw2)
        << "\n";
  }
  // A stamp that cannot be found is what the version check reports as "FW version error".
  if (fw1.empty() || fw2.empty()) {
    err << kProgramName << ": FW version error: the image carries no version stamp in "
        << (fw1.empty() ? "FW1" : "FW2") << "\n";
    return kExitFailure;
  }
  return kExitOk;
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

int List(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  bool json = false;
  bool verbose = false;
  for (std::string_view arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else {
      err << kProgramName << " list: unknown option '" << PrintableArgument(arg) << "'\n";
      return kExitUsage;
    }
  }
  DeviceTable table;
  BuildDeviceTable(table);  // false: no reader, which the listing shows as such
  if (json && verbose) out << "{\"readers\": ";
  if (json) out << "[";
  for (std::int32_t i = 0; i < table.count; ++i) {
    const DeviceEntry& e = table.entries[static_cast<std::size_t>(i)];
    const std::string usbId = ToUtf8(FieldText(e.usbInstanceId));
    const std::string disk = ToUtf8(FieldText(e.diskPath));
    if (json) {
      out << (i == 0 ? "" : ", ") << "{\"slot\": " << e.tableIndex
          << ", \"id\": " << JsonString(ReaderId(e)) << ", \"part\": " << JsonString(ReaderPart(e))
          << ", \"instanceId\": " << JsonString(usbId) << ", \"diskPath\": " << JsonString(disk)
          << ", \"vendorId\": " << JsonString(Hex(e.vendorId, 4))
          << ", \"productId\": " << JsonString(Hex(e.productId, 4))
          << ", \"storageType\": " << int{e.storageType} << ", \"accessMode\": " << e.accessMode
          << ", \"flashPart\": " << e.flashPartIndex
          << ", \"flashId\": " << JsonString(Hex(e.flashId, 6)) << "}";
    } else {
      out << "Reader " << e.tableIndex << ": " << usbId << "\n"
          << "  reader id:     " << ReaderId(e) << "\n"
          << "  disk path:     " << disk << "\n"
          << "  part:          " << ReaderPart(e) << "\n"
          << "  identifiers:   vendor " << Hex(e.vendorId, 4) << ", product " << Hex(e.productId, 4)
          << "\n"
          << "  storage type:  " << int{e.storageType} << " (access mode " << e.accessMode << ")\n";
      if (e.flashPart != nullptr) {
        out << "  flash part:    position " << e.flashPartIndex << ", identification "
            << Hex(e.flashId, 6) << "\n";
      }
    }
  }
  if (json) {
    out << "]";
    if (verbose) out << ", \"skipped\": " << SkippedJsonArray(table.skipped) << "}";
    out << "\n";
    return kExitOk;
  }
  if (table.count == 0) out << "No reader found.\n";
  if (verbose) {
    for (const SkippedCandidate& candidate : table.skipped) {
      out << "Skipped " << SkippedLine(candidate) << "\n";
    }
  }
  if (const SkippedCandidate* denied = FirstPermissionDenied(table.skipped);
      denied != nullptr && table.count == 0) {
    out << NoPermissionAdvice(*denied) << "\n";
  }
  return kExitOk;
}

}  // namespace

int RunCli(std::span<const std::string_view> args, platform::Platform& platform, std::ostream& out,
           std::ostream& err) {
  if (args.empty()) {
    err << kUsageHead << kWorkflowCommandsUsage << kGlobalOptions;
    return kExitUsage;
  }
  const std::string_view command = args.front();
  const bool help = front_end::IsHelpOption(command) || command == "help";
  const bool standardOption = help || front_end::IsVersionOption(command);
  if (standardOption && args.size() > 1) {
    err << kProgramName << ": '" << PrintableArgument(command) << "' takes no arguments, but got '"
        << PrintableArgument(args[1]) << "'\n"
        << "Try '" << kProgramName << " --help'.\n";
    return kExitUsage;
  }
  if (help) {
    out << kUsageHead << kWorkflowCommandsUsage << kGlobalOptions;
    return kExitOk;
  }
  if (front_end::IsVersionOption(command)) {
    return front_end::PrintVersion(kProgramName, platform.Resources(), out, err);
  }
  if (command == "info") return Info(args.subspan(1), platform, out, err);
  if (command == "check") return RunCheck(args.subspan(1), platform, out, err);
  if (command == "update") return RunUpdate(args.subspan(1), platform, out, err);
  if (command == "verify") return RunVerify(args.subspan(1), platform, out, err);
  if (command == "backup") return RunBackup(args.subspan(1), platform, out, err);
  if (command == "restore") return RunRestore(args.subspan(1), platform, out, err);
  if (command == "list") {
    platform::ScopedPlatform scope(platform);
    return List(args.subspan(1), out, err);
  }
  err << kProgramName << ": unknown command '" << PrintableArgument(command) << "'\n"
      << "Try '" << kProgramName << " --help'.\n";
  return kExitUsage;
}

int RunMain(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  std::optional<std::string_view> scenario;
  platform::trace::TraceOption trace;
  std::size_t next = 0;
  while (next < args.size()) {
    const platform::trace::ParsedTraceOption traceOption =
        platform::trace::ParseTraceOption(args, next);
    if (traceOption.taken != 0) {
      if (!traceOption.error.empty()) {
        err << kProgramName << ": " << traceOption.error << "\n";
        return kExitUsage;
      }
      if (trace.mode != platform::trace::TraceMode::kNone) {
        err << kProgramName << ": give --record or --replay once\n";
        return kExitUsage;
      }
      trace = traceOption.option;
      next += traceOption.taken;
      continue;
    }
    const front_end::SimulateOption option = front_end::ParseSimulate(args[next]);
    if (option.kind == front_end::SimulateKind::kNone) break;
    if (option.kind == front_end::SimulateKind::kMissingScenario) {
      err << kProgramName << ": '" << PrintableArgument(args[next])
          << "' needs a scenario: --simulate=SCENARIO\n";
      return kExitUsage;
    }
    scenario = option.scenario;
    ++next;
  }
  const auto rest = args.subspan(next);

  // A damaged program file is said so at once, whatever was asked of it.
  const auto resources = platform::OpenProgramResources();
  if (resources->ResourceState() == platform::ProgramResources::State::kDamaged) {
    err << kProgramName << ": the program file is damaged: its resources cannot be read; "
        << "reinstall the tool\n";
    return kExitFailure;
  }

  if (scenario == "help") {
    if (!rest.empty()) {
      err << kProgramName << ": '--simulate=help' takes no command, but got '"
          << PrintableArgument(rest.front()) << "'\n";
      return kExitUsage;
    }
    front_end::PrintScenarios(out, emulator::Scenarios());
    return kExitOk;
  }
  if (trace.mode == platform::trace::TraceMode::kReplay && scenario) {
    err << kProgramName << ": --replay runs the command against the trace instead of a machine; "
        << "it does not go with --simulate\n";
    return kExitUsage;
  }
  if (trace.mode != platform::trace::TraceMode::kNone && rest.empty()) {
    err << kProgramName << ": --record and --replay need a command\n"
        << "Try '" << kProgramName << " --help'.\n";
    return kExitUsage;
  }
  // A trace names the command it was recorded for; the command's options are not kept in it, as
  // they may name the user's files.
  const std::string_view command = rest.empty() ? std::string_view() : rest.front();
  const auto run = [&](platform::Platform& machine) { return RunCli(rest, machine, out, err); };
  const platform::trace::TraceContext context{kProgramName, err, kExitFailure};
  const auto runOn = [&](platform::Platform& machine) {
    if (trace.mode == platform::trace::TraceMode::kRecord) {
      return platform::trace::RunRecorded(machine, trace.file, command, run, context);
    }
    platform::ScopedPlatform scope(machine);
    return run(machine);
  };
  if (trace.mode == platform::trace::TraceMode::kReplay) {
    // A replay waits for nothing: the mutexes are in-process and time is virtual.
    platform::VirtualClock clock;
    platform::EmulatedMutexes mutexes(clock);
    return platform::trace::RunReplayed(trace.file, command, *resources, mutexes, clock, run,
                                        context);
  }
  if (!scenario) return runOn(*platform::MakeNativePlatform());
  // The emulated machine runs on a virtual clock: its erase and program times cost no waiting.
  platform::VirtualClock clock;
  const auto emulated = platform::EmulatedPlatform::ForScenario(*scenario, clock, *resources);
  if (!emulated) {
    err << kProgramName << ": unknown scenario '" << PrintableArgument(*scenario)
        << "'; --simulate=help lists them\n";
    return kExitUsage;
  }
  return runOn(*emulated);
}

}  // namespace tr350::cli

// tr350-kernel-gadget: the reader as a real USB device inside a test guest. The bulk-only function
// answers the standard SCSI commands itself and hands the vendor opcodes to the reader emulator,
// started in a named scenario's state. The reader's restart after an accepted reset, and an
// unplug at a chosen moment of an update, detach the device from the controller.
//
// Commands arrive one per line on a FIFO: "plug", "unplug", "dump PATH BYTES" (the firmware
// storage into PATH, written whole before it appears under that name) and "quit".
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/scenarios.h"
#include "platform/linux/real_clock.h"
#include "tests/kernel/gadget/mass_storage.h"
#include "tests/kernel/gadget/usb_gadget.h"

namespace tr350::kernel_test {
namespace {

using namespace std::chrono_literals;

// A reply the host has not collected yet is lost when the device leaves at once: the controller
// holds short transfers until the host polls again.
constexpr auto kLeaveDelay = 50ms;
constexpr std::uint32_t kMediumSectors = 2048;

// Flash commands as the bridge carries them: CDB byte 0 the carrier, byte 8 the first flash byte.
constexpr std::uint8_t kFlashOut = 0xE7;
constexpr std::uint8_t kFlashIn = 0xE8;
constexpr std::uint8_t kResetOpcode = 0xE2;

enum class MomentKind { kNone, kErase, kEraseWait, kProgram, kReadBack, kReset };

// When to pull the reader out during an update: after the chip erase, during the busy polls that
// follow it, after the nth page program, after the nth data read once the chip was erased, or on
// the reset command instead of answering it.
struct Moment {
  MomentKind kind = MomentKind::kNone;
  std::uint64_t n = 1;
};

std::optional<Moment> ParseMoment(std::string_view text) {
  const auto colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  Moment m;
  if (colon != std::string_view::npos) {
    const std::string_view digits = text.substr(colon + 1);
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), m.n);
    if (ec != std::errc() || end != digits.data() + digits.size() || m.n == 0) return std::nullopt;
  }
  if (name == "erase") {
    m.kind = MomentKind::kErase;
  } else if (name == "erase-wait") {
    m.kind = MomentKind::kEraseWait;
    if (colon == std::string_view::npos) m.n = 2;
  } else if (name == "program") {
    m.kind = MomentKind::kProgram;
  } else if (name == "read-back") {
    m.kind = MomentKind::kReadBack;
  } else if (name == "reset") {
    m.kind = MomentKind::kReset;
  } else {
    return std::nullopt;
  }
  return m;
}

// Counts the flash commands of an update as they pass.
class UpdateTracker {
 public:
  explicit UpdateTracker(Moment moment) : moment_(moment) {}

  // True when the reader must leave instead of answering this command.
  bool LeaveBefore(std::span<const std::uint8_t> cdb) const {
    return !fired_ && moment_.kind == MomentKind::kReset && cdb[0] == kResetOpcode;
  }

  // Counts a command the reader answered; true when the reader must now leave.
  bool LeaveAfter(std::span<const std::uint8_t> cdb) {
    if (cdb.size() < 9 || (cdb[0] != kFlashOut && cdb[0] != kFlashIn) || cdb[1] == 0) return false;
    const std::uint8_t flash = cdb[8];
    bool hit = false;
    if (cdb[0] == kFlashOut && (flash == 0xC7 || flash == 0x60 || flash == 0x62)) {
      ++erases_;
      statusAfterErase_ = 0;
      hit = moment_.kind == MomentKind::kErase;
    } else if (cdb[0] == kFlashOut && flash == 0x02) {
      ++programs_;
      hit = moment_.kind == MomentKind::kProgram && programs_ == moment_.n;
    } else if (cdb[0] == kFlashIn && flash == 0x05 && erases_ > 0 && programs_ == 0) {
      ++statusAfterErase_;
      hit = moment_.kind == MomentKind::kEraseWait && statusAfterErase_ == moment_.n;
    } else if (cdb[0] == kFlashIn && (flash == 0x03 || flash == 0x0B) && erases_ > 0) {
      ++readsAfterErase_;
      hit = moment_.kind == MomentKind::kReadBack && readsAfterErase_ == moment_.n;
    }
    if (hit && !fired_) {
      fired_ = true;
      return true;
    }
    return false;
  }

  void MarkFired() { fired_ = true; }

  std::string Summary() const {
    std::ostringstream s;
    s << "erases " << erases_ << ", page programs " << programs_ << ", reads after the erase "
      << readsAfterErase_;
    return s.str();
  }

 private:
  const Moment moment_;
  bool fired_ = false;
  std::uint64_t erases_ = 0;
  std::uint64_t programs_ = 0;
  std::uint64_t statusAfterErase_ = 0;
  std::uint64_t readsAfterErase_ = 0;
};

void Log(const std::string& line) {
  std::fprintf(stderr, "gadget: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string Describe(std::span<const std::uint8_t> cdb) {
  char text[64];
  std::snprintf(text, sizeof text, "opcode 0x%02X", cdb[0]);
  std::string s = text;
  if (cdb.size() >= 9 && (cdb[0] == kFlashOut || cdb[0] == kFlashIn)) {
    std::snprintf(text, sizeof text, " (flash 0x%02X)", cdb[8]);
    s += text;
  }
  return s;
}

class Device {
 public:
  Device(std::shared_ptr<emulator::Reader> reader, Moment moment)
      : reader_(reader), storage_(reader, kMediumSectors), tracker_(moment) {}

  void Run(const std::string& controlPath) {
    gadget_.Bind();
    Log("bound");
    std::thread control([this] { gadget_.ServeControl(stop_); });
    dataThread_ = std::thread([this] { ServeData(); });
    Control(controlPath);
    stop_ = true;
    gadget_.Unbind();
    // A read waiting for the function to come back ends on a signal.
    pthread_kill(dataThread_.native_handle(), SIGUSR1);
    dataThread_.join();
    control.join();
    Log("stopped; " + tracker_.Summary());
  }

 private:
  void Leave(const std::string& why) {
    reader_->Unplug();
    gadget_.Unbind();
    Log("unplugged " + why);
  }

  void ServeData() {
    std::vector<std::uint8_t> wrapper(512);
    while (!stop_) {
      std::size_t got = 0;
      if (!gadget_.ReadOut(wrapper, got)) {
        std::this_thread::sleep_for(10ms);  // the host went away: no busy loop until it is back
        continue;
      }
      const std::optional<CommandBlock> block = ParseCommandBlock(std::span(wrapper).first(got));
      if (!block) continue;  // not a command wrapper: wait for the next one
      std::vector<std::uint8_t> data(block->transferLength);
      if (!block->dataIn && !data.empty() && !ReceiveData(data)) continue;
      if (tracker_.LeaveBefore(block->cdb)) {
        tracker_.MarkFired();
        Leave("on the reset command");
        continue;
      }
      const MassStorage::Result result = storage_.Execute(*block, data);
      if (block->dataIn && !data.empty() && !gadget_.WriteIn(data)) continue;
      if (!gadget_.WriteIn(StatusWrapper(block->tag, result.residue, result.status))) continue;
      if (tracker_.LeaveAfter(block->cdb)) {
        std::this_thread::sleep_for(kLeaveDelay);
        Leave("after " + Describe(block->cdb) + "; " + tracker_.Summary());
      } else if (block->cdb[0] == kResetOpcode && result.status == CommandStatus::kPassed) {
        Restart();
      }
    }
  }

  // The data phase of a command to the device: whole packets until the announced length or a
  // short packet.
  bool ReceiveData(std::span<std::uint8_t> data) {
    std::size_t total = 0;
    while (total < data.size()) {
      std::size_t got = 0;
      if (!gadget_.ReadOut(data.subspan(total), got)) return false;
      total += got;
      if (got == 0 || got % 512 != 0) break;
    }
    return true;
  }

  // The controller restarts once its reply is out: off the bus until the emulated restart time
  // has passed, then back under a new address.
  void Restart() {
    std::this_thread::sleep_for(kLeaveDelay);
    gadget_.Unbind();
    Log("restarting");
    while (!stop_ && reader_->State() != emulator::BusState::kAttached) {
      std::this_thread::sleep_for(20ms);
    }
    if (stop_) return;
    gadget_.Bind();
    Log("restarted");
  }

  void Dump(const std::string& path, std::uint32_t bytes) {
    std::vector<std::uint8_t> content;
    if (reader_->HasFlash()) {
      content = reader_->PeekFlash(0, bytes);
    } else {
      content = reader_->PeekSectors(0, (bytes + 511) / 512);
      content.resize(bytes);
    }
    const std::string temporary = path + ".part";
    {
      std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(content.data()),
                 static_cast<std::streamsize>(content.size()));
      if (!file) {
        Log("cannot write " + temporary);
        return;
      }
    }
    std::rename(temporary.c_str(), path.c_str());
  }

  void Control(const std::string& path) {
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0600) != 0) {
      Log("cannot make the control FIFO " + path);
      return;
    }
    for (;;) {
      // Reopened after each writer: every "echo ... > FIFO" is one session.
      std::ifstream fifo(path);
      std::string line;
      while (std::getline(fifo, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "quit") return;
        if (command == "plug") {
          reader_->Plug();
          gadget_.Bind();
          Log("plugged in");
        } else if (command == "unplug") {
          Leave("on request");
        } else if (command == "dump") {
          std::string target;
          std::uint32_t bytes = 0;
          if (words >> target >> bytes) Dump(target, bytes);
        } else if (!command.empty()) {
          Log("unknown control command '" + command + "'");
        }
      }
    }
  }

  std::shared_ptr<emulator::Reader> reader_;
  MassStorage storage_;
  UpdateTracker tracker_;
  UsbGadget gadget_{GadgetIdentity{}};
  std::atomic<bool> stop_{false};
  std::thread dataThread_;
};

int Main(int argc, char** argv) {
  std::string scenario = "flash-old";
  std::string control = "/run/tr350-gadget.ctl";
  Moment moment;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--scenario=")) {
      scenario = arg.substr(11);
    } else if (arg.starts_with("--control=")) {
      control = arg.substr(10);
    } else if (arg.starts_with("--unplug-at=")) {
      const auto parsed = ParseMoment(arg.substr(12));
      if (!parsed) {
        std::cerr << "tr350-kernel-gadget: unknown moment '" << arg.substr(12) << "'\n";
        return 2;
      }
      moment = *parsed;
    } else {
      std::cerr << "usage: tr350-kernel-gadget [--scenario=NAME] [--control=FIFO]\n"
                   "       [--unplug-at=erase|erase-wait[:N]|program:N|read-back:N|reset]\n";
      return 2;
    }
  }

  // SIGUSR1 only interrupts a blocked endpoint read (no SA_RESTART).
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);

  platform::RealClock clock;
  std::shared_ptr<emulator::Reader> reader;
  emulator::DiskHost host{[&reader](std::u16string_view, std::shared_ptr<emulator::Reader> r) {
                            if (!reader) reader = std::move(r);
                          },
                          [](std::u16string_view) {}};
  const std::unique_ptr<emulator::Machine> machine =
      emulator::BuildScenario(scenario, clock, std::move(host));
  if (!machine || !reader) {
    std::cerr << "tr350-kernel-gadget: scenario '" << scenario << "' has no reader\n";
    return 2;
  }
  try {
    Device device(reader, moment);
    device.Run(control);
  } catch (const std::exception& e) {
    std::cerr << "tr350-kernel-gadget: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace tr350::kernel_test

int main(int argc, char** argv) {
  return tr350::kernel_test::Main(argc, argv);
}

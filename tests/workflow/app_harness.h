// Test support for the window and its workflows: the program's resources with overrides, and a
// harness that runs the main dialog on the headless window, on a thread of its own, over an
// emulated machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/main_dialog.h"
#include "emulator/firmware_content.h"
#include "emulator/machine.h"
#include "emulator/reader.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/native.h"
#include "ui/headless/headless_ui.h"

namespace tr350::test {

namespace hl = ui::headless;

// The stand-in image the build embeds: its page counts and version stamps.
inline constexpr std::uint16_t kImageFw1Pages = 100;
inline constexpr std::uint16_t kImageFw2Pages = 142;
inline constexpr std::string_view kImageFw1Version = "201703240218";
inline constexpr std::string_view kImageFw2Version = "201705170241";

// The resources embedded in the test program, with the firmware image and the version resource
// replaceable. Thread-safe; spans handed out stay valid for the object's lifetime.
class TestResources final : public platform::ModuleResources {
 public:
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t type, std::uint16_t id) override;
  std::optional<platform::FileVersion> ProgramFileVersion() override;

  std::vector<std::uint8_t> EmbeddedImage();
  // nullopt: the program carries no image.
  void SetImage(std::optional<std::vector<std::uint8_t>> image);
  void SetVersion(std::optional<platform::FileVersion> version);

 private:
  std::mutex mutex_;
  const std::unique_ptr<platform::ProgramResources> program_ = platform::OpenProgramResources();
  bool imageReplaced_ = false;
  std::vector<std::unique_ptr<std::vector<std::uint8_t>>> images_;  // the last one is current
  bool versionReplaced_ = false;
  std::optional<platform::FileVersion> version_;
};

// A new empty directory under the system's temporary folder.
std::filesystem::path UniqueTemporaryDirectory(std::string_view prefix);

// A serial-flash chip the tool recognises, and sector storage.
emulator::Backing FlashBacking();
emulator::Backing SectorBacking();

// Reader content of the given versions, with the emulator's defaults otherwise.
emulator::FirmwareContentSpec ReaderContent(std::string_view fw1, std::string_view fw2);

struct Harness {
  // An emulated machine from a scenario (empty: no devices), the headless window in `locale`.
  explicit Harness(std::string_view scenario = {}, std::string locale = "C");
  ~Harness();

  // A reader's content as a factory programs the embedded image under the default header.
  emulator::FirmwareContentSpec CurrentContent();

  // Connects a TR350 with this backing and content to the machine's first bus.
  std::shared_ptr<emulator::Reader> AddReader(emulator::Backing backing,
                                              const emulator::FirmwareContentSpec& layout,
                                              emulator::ReaderConfig config = {});
  std::shared_ptr<emulator::Reader> AddReader(emulator::Backing backing,
                                              std::span<const std::uint8_t> content,
                                              emulator::ReaderConfig config = {});
  emulator::DeviceId LastDevice() const { return devices.back(); }
  emulator::Machine& Machine() { return simulated->GetMachine(); }
  // The reader of the machine's first disk.
  std::shared_ptr<emulator::Reader> FirstReader() {
    return Machine().ReaderOf(Machine().DiskDevices().front());
  }

  // Starts the window (and with it the first scan) and waits until it has settled.
  void Start();
  bool Settle() { return ui->WaitSettled(); }
  // Closes the window with Exit and waits for its thread.
  void Close();
  // Runs on the window's thread.
  template <typename F>
  void OnWindow(F f) {
    ui->Send(f);
  }

  // The main dialog as the window shows it now.
  hl::WindowState Main() const;
  std::u16string Text(int control) const;
  bool Visible(int control) const;
  bool Enabled(int control) const;
  std::vector<std::int64_t> ProgressFrom(std::size_t logIndex) const;
  std::size_t LogSize() const { return ui->Snap().logSize; }
  // Changes of this kind and value logged from `logIndex` on.
  std::size_t CountChanges(std::size_t logIndex, hl::ChangeKind kind, std::int64_t value) const;
  // Every box and dialog the script answered, in order.
  std::vector<hl::WindowState> Modals() const;
  std::vector<std::u16string> BoxTexts() const;
  // The newest of them; empty when there is none.
  hl::WindowState LastModal() const;
  std::u16string LastBoxText() const;
  // Holds boxes and dialogs whose text (a dialog: its result text) is `text` open until Press.
  void HoldOpen(std::u16string text);
  std::optional<ErrorCode> LastError();
  std::int32_t Busy() { return dialog->m_busy.load(); }

  // Restarts after a reset have run their time; the machine reports the reader's return.
  void FinishRestarts();

  // What an update from the embedded image writes over a reader whose header was `readerHeader`.
  std::vector<std::uint8_t> Updated(std::span<const std::uint8_t> readerHeader);

  TestResources resources;
  // This harness's own backup folder, removed with it.
  std::filesystem::path backups;
  std::unique_ptr<platform::EmulatedPlatform> simulated;
  std::unique_ptr<platform::ScopedPlatform> scope;
  std::unique_ptr<hl::HeadlessUi> ui;
  std::unique_ptr<CRZ6104FwUpdateToolDlg> dialog;
  std::thread window;
  std::vector<emulator::DeviceId> devices;
  std::optional<emulator::DeviceId> bus;

 private:
  mutable std::mutex mutex_;
  std::vector<hl::WindowState> modals_;
  std::vector<std::u16string> held_;
};

// One emulated machine of a scenario for runs of the terminal front end, with its own state folder
// (XDG_STATE_HOME: the backups); each run keeps nothing in memory from the last, as a new process.
class TerminalMachine {
 public:
  using Command = int (*)(std::span<const std::string_view>, platform::Platform&, std::ostream&,
                          std::ostream&);
  struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
    bool Shows(std::string_view part) const { return out.find(part) != std::string::npos; }
  };

  explicit TerminalMachine(std::string_view scenario);
  ~TerminalMachine();
  TerminalMachine(const TerminalMachine&) = delete;
  TerminalMachine& operator=(const TerminalMachine&) = delete;

  Outcome Run(Command command, std::vector<std::string_view> args);
  emulator::DeviceId Device() { return platform->GetMachine().DiskDevices().front(); }
  std::shared_ptr<emulator::Reader> Reader() { return platform->GetMachine().ReaderOf(Device()); }
  // Virtual time spent inside runs.
  std::uint64_t RunningMs() const { return runningMs_; }

  TestResources resources;
  std::unique_ptr<platform::EmulatedPlatform> platform;
  std::filesystem::path state;

 private:
  std::uint64_t runningMs_ = 0;
};

// ---- Expected contents, computed from the layout
// -------------------------------------------------

// What an update writes to a reader whose flash starts with `readerHeader`, from `image` (header,
// FW1, FW2 and no configuration block) whose versions are fw1 and fw2.
std::vector<std::uint8_t> ExpectedFlash(std::span<const std::uint8_t> readerHeader,
                                        std::span<const std::uint8_t> image, std::string_view fw1,
                                        std::string_view fw2, std::uint16_t infoWord2 = 0);

// The firmware storage of a reader, `length` bytes from 0.
std::vector<std::uint8_t> StorageOf(emulator::Reader& reader, std::size_t length);

// The commands a reader received with this opcode (or carrying this flash opcode).
std::size_t CountOpcode(const emulator::Reader& reader, std::uint8_t opcode);
std::size_t CountFlashOpcode(const emulator::Reader& reader, std::uint8_t flashOpcode);

}  // namespace tr350::test

// Test support for the window and its workflows.
#include "tests/workflow/app_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>

#include "app/resource.h"
#include "emulator/chip_catalogue.h"
#include "ids/resource_ids.h"
#include "platform/native.h"
#include "res/dialog_templates.h"

namespace tr350::test {

std::optional<std::span<const std::uint8_t>> TestResources::Find(std::uint16_t type,
                                                                 std::uint16_t id) {
  std::lock_guard lock(mutex_);
  if (type == kFirmwareResourceType && id == kFirmwareResourceId && imageReplaced_) {
    if (images_.back() == nullptr) return std::nullopt;
    return std::span<const std::uint8_t>(*images_.back());
  }
  return program_->Find(type, id);
}

std::optional<platform::FileVersion> TestResources::ProgramFileVersion() {
  std::lock_guard lock(mutex_);
  return versionReplaced_ ? version_ : program_->ProgramFileVersion();
}

std::vector<std::uint8_t> TestResources::EmbeddedImage() {
  const auto image = program_->Find(kFirmwareResourceType, kFirmwareResourceId);
  return image ? std::vector<std::uint8_t>(image->begin(), image->end())
               : std::vector<std::uint8_t>{};
}

void TestResources::SetImage(std::optional<std::vector<std::uint8_t>> image) {
  std::lock_guard lock(mutex_);
  imageReplaced_ = true;
  images_.push_back(image ? std::make_unique<std::vector<std::uint8_t>>(std::move(*image))
                          : nullptr);
}

void TestResources::SetVersion(std::optional<platform::FileVersion> version) {
  std::lock_guard lock(mutex_);
  versionReplaced_ = true;
  version_ = version;
}

emulator::Backing FlashBacking() {
  return emulator::FindCatalogueChip("c2-2016")->traits;
}

emulator::Backing SectorBacking() {
  return emulator::SectorStorage{};
}

emulator::FirmwareContentSpec ReaderContent(std::string_view fw1, std::string_view fw2) {
  emulator::FirmwareContentSpec layout;
  layout.fw1Stamp = emulator::Fw1Stamp(fw1);
  layout.fw2Stamp = emulator::Fw2Stamp(fw2);
  return layout;
}

// ---- Harness ------------------------------------------------------------------------------------

std::filesystem::path UniqueTemporaryDirectory(std::string_view prefix) {
  static std::atomic<unsigned> serial{0};
  for (;;) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        (std::string(prefix) + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    if (std::filesystem::create_directory(path)) return path;
  }
}

Harness::Harness(std::string_view scenario, std::string locale) {
  simulated = scenario.empty() ? std::make_unique<platform::EmulatedPlatform>(resources)
                               : platform::EmulatedPlatform::ForScenario(scenario, resources);
  scope = std::make_unique<platform::ScopedPlatform>(*simulated);
  ui = std::make_unique<hl::HeadlessUi>(hl::HeadlessOptions{
      &simulated->Time(), &simulated->Notifications(), std::move(locale), res::WindowResources()});
  ui->SetModalScript([this](const hl::WindowState& modal) -> std::optional<int> {
    std::lock_guard lock(mutex_);
    modals_.push_back(modal);
    const hl::ControlState* result = modal.Control(IDC_RESULT_TEXT);
    const std::u16string text =
        modal.messageBox ? modal.text : (result != nullptr ? result->text : modal.title);
    if (std::ranges::find(held_, text) != held_.end()) return std::nullopt;
    return IDOK;
  });
  dialog = std::make_unique<CRZ6104FwUpdateToolDlg>(*ui);
  backups = UniqueTemporaryDirectory("tr350-backups");
  dialog->m_backupDirectory = backups;
}

Harness::~Harness() {
  if (window.joinable()) Close();
  std::error_code ignored;
  std::filesystem::remove_all(backups, ignored);
}

emulator::FirmwareContentSpec Harness::CurrentContent() {
  emulator::FirmwareContentSpec layout = ReaderContent(kImageFw1Version, kImageFw2Version);
  layout.release = resources.EmbeddedImage();
  return layout;
}

std::shared_ptr<emulator::Reader> Harness::AddReader(emulator::Backing backing,
                                                     const emulator::FirmwareContentSpec& layout,
                                                     emulator::ReaderConfig config) {
  return AddReader(std::move(backing), emulator::BuildFirmwareContent(layout), config);
}

std::shared_ptr<emulator::Reader> Harness::AddReader(emulator::Backing backing,
                                                     std::span<const std::uint8_t> content,
                                                     emulator::ReaderConfig config) {
  auto reader = std::make_shared<emulator::Reader>((*simulated->GetVirtualClock()),
                                                   std::move(backing), config);
  emulator::InstallFirmwareContent(*reader, content);
  if (!bus) bus = simulated->GetMachine().AddBus(8);
  devices.push_back(simulated->GetMachine().Connect(
      *bus, static_cast<std::uint8_t>(devices.size() + 1), emulator::ReaderDevice(reader)));
  return reader;
}

void Harness::Start() {
  window = std::thread([this] { dialog->DoModal(); });
  ASSERT_TRUE(ui->WaitUntil([](const hl::Snapshot& s) {
    return s.Dialog(IDD_UPDATETOOL_DIALOG) != nullptr && s.Settled();
  }));
}

void Harness::Close() {
  ASSERT_TRUE(ui->WaitQuiet());
  ui->Click(IDD_UPDATETOOL_DIALOG, IDCANCEL);
  window.join();
}

hl::WindowState Harness::Main() const {
  const hl::Snapshot snap = ui->Snap();
  const hl::WindowState* main = snap.Dialog(IDD_UPDATETOOL_DIALOG);
  return main != nullptr ? *main : hl::WindowState{};
}

std::u16string Harness::Text(int control) const {
  const hl::WindowState main = Main();
  const hl::ControlState* state = main.Control(control);
  return state != nullptr ? state->text : u"";
}

bool Harness::Visible(int control) const {
  const hl::WindowState main = Main();
  const hl::ControlState* state = main.Control(control);
  return state != nullptr && state->visible;
}

bool Harness::Enabled(int control) const {
  const hl::WindowState main = Main();
  const hl::ControlState* state = main.Control(control);
  return state != nullptr && state->enabled;
}

std::vector<std::int64_t> Harness::ProgressFrom(std::size_t logIndex) const {
  const std::vector<hl::Change> log = ui->Log();
  return hl::ProgressPositions(std::span(log).subspan(std::min(logIndex, log.size())),
                               IDC_PROGRESS);
}

std::vector<hl::WindowState> Harness::Modals() const {
  std::lock_guard lock(mutex_);
  return modals_;
}

std::vector<std::u16string> Harness::BoxTexts() const {
  std::vector<std::u16string> texts;
  for (const hl::WindowState& modal : Modals()) {
    if (modal.messageBox) texts.push_back(modal.text);
  }
  return texts;
}

hl::WindowState Harness::LastModal() const {
  std::lock_guard lock(mutex_);
  return modals_.empty() ? hl::WindowState{} : modals_.back();
}

std::u16string Harness::LastBoxText() const {
  const std::vector<std::u16string> texts = BoxTexts();
  return texts.empty() ? u"" : texts.back();
}

void Harness::HoldOpen(std::u16string text) {
  std::lock_guard lock(mutex_);
  held_.push_back(std::move(text));
}

std::optional<ErrorCode> Harness::LastError() {
  std::optional<ErrorCode> error;
  OnWindow([&] { error = dialog->m_lastError; });
  return error;
}

void Harness::FinishRestarts() {
  (*simulated->GetVirtualClock()).Advance(5000);
  simulated->GetMachine().Poll();
}

std::size_t Harness::CountChanges(std::size_t logIndex, hl::ChangeKind kind,
                                  std::int64_t value) const {
  const std::vector<hl::Change> log = ui->Log();
  return static_cast<std::size_t>(std::count_if(
      log.begin() + static_cast<std::ptrdiff_t>(std::min(logIndex, log.size())), log.end(),
      [&](const hl::Change& c) { return c.kind == kind && c.value == value; }));
}

std::vector<std::uint8_t> Harness::Updated(std::span<const std::uint8_t> readerHeader) {
  return ExpectedFlash(readerHeader, resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);
}

// ---- Terminal runs -----------------------------------------------------------------------------

TerminalMachine::TerminalMachine(std::string_view scenario)
    : platform(platform::EmulatedPlatform::ForScenario(scenario, resources)),
      state(UniqueTemporaryDirectory("tr350-state")) {
  platform::SetProcessEnvironment("XDG_STATE_HOME", state.string());
}

TerminalMachine::~TerminalMachine() {
  platform::SetProcessEnvironment("XDG_STATE_HOME", std::nullopt);
  std::error_code ignored;
  std::filesystem::remove_all(state, ignored);
}

TerminalMachine::Outcome TerminalMachine::Run(Command command, std::vector<std::string_view> args) {
  std::ostringstream out;
  std::ostringstream err;
  const std::uint64_t start = platform->GetVirtualClock()->NowMs();
  const int code = command(args, *platform, out, err);
  runningMs_ += platform->GetVirtualClock()->NowMs() - start;
  return {code, out.str(), err.str()};
}

// ---- Expected contents
// ---------------------------------------------------------------------------

// Two decimal digits per byte: "201703240218" -> 20 17 03 24 02 18.
static std::vector<std::uint8_t> PackedDigits(std::string_view digits) {
  std::vector<std::uint8_t> packed;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    packed.push_back(static_cast<std::uint8_t>(((digits[i] - '0') << 4) | (digits[i + 1] - '0')));
  }
  return packed;
}

std::vector<std::uint8_t> ExpectedFlash(std::span<const std::uint8_t> readerHeader,
                                        std::span<const std::uint8_t> image, std::string_view fw1,
                                        std::string_view fw2, std::uint16_t infoWord2) {
  std::vector<std::uint8_t> header(readerHeader.begin(), readerHeader.begin() + 512);
  // The update counter (little-endian at 14) goes up by one, stepping over 0 and 0x00FF.
  std::uint16_t counter = static_cast<std::uint16_t>(header[14] | header[15] << 8);
  do {
    ++counter;
  } while (counter == 0 || counter == 0x00FF);
  header[14] = static_cast<std::uint8_t>(counter);
  header[15] = static_cast<std::uint8_t>(counter >> 8);
  // Page counts (big-endian at 10 and 12) from the image, raised to even numbers.
  const std::size_t pages1 = static_cast<std::size_t>(image[10] << 8 | image[11]);
  const std::size_t pages2 = static_cast<std::size_t>(image[12] << 8 | image[13]);
  const std::size_t even1 = pages1 + pages1 % 2;
  const std::size_t even2 = pages2 + pages2 % 2;
  header[10] = static_cast<std::uint8_t>(even1 >> 8);
  header[11] = static_cast<std::uint8_t>(even1);
  header[12] = static_cast<std::uint8_t>(even2 >> 8);
  header[13] = static_cast<std::uint8_t>(even2);

  std::vector<std::uint8_t> flash(512 + (even1 + even2) * 256 + 512, 0xFF);
  std::ranges::copy(header, flash.begin());
  const auto fw1Image = image.subspan(512, pages1 * 256);
  const auto fw2Image = image.subspan(512 + pages1 * 256, pages2 * 256);
  std::ranges::copy(fw1Image, flash.begin() + 512);
  std::ranges::copy(fw2Image, flash.begin() + static_cast<std::ptrdiff_t>(512 + even1 * 256));

  const auto config = flash.begin() + static_cast<std::ptrdiff_t>(512 + (even1 + even2) * 256);
  config[0] = header[14];
  config[1] = header[15];
  std::uint16_t sum = 0;
  for (std::uint8_t byte : header) sum = static_cast<std::uint16_t>(sum + byte);
  config[2] = static_cast<std::uint8_t>(sum >> 8);
  config[3] = static_cast<std::uint8_t>(sum);
  config[8] = static_cast<std::uint8_t>(infoWord2 >> 8);
  config[9] = static_cast<std::uint8_t>(infoWord2);
  const std::vector<std::uint8_t> v1 = PackedDigits(fw1);
  const std::vector<std::uint8_t> v2 = PackedDigits(fw2);
  config[6] = static_cast<std::uint8_t>(v1.size() + 1);
  std::ranges::copy(v1, config + 7);
  config[static_cast<std::ptrdiff_t>(7 + v1.size())] = static_cast<std::uint8_t>(v2.size() + 1);
  std::ranges::copy(v2, config + static_cast<std::ptrdiff_t>(8 + v1.size()));
  return flash;
}

std::vector<std::uint8_t> StorageOf(emulator::Reader& reader, std::size_t length) {
  if (reader.HasFlash()) return reader.PeekFlash(0, static_cast<std::uint32_t>(length));
  std::vector<std::uint8_t> bytes =
      reader.PeekSectors(0, static_cast<std::uint32_t>((length + 511) / 512));
  bytes.resize(length);
  return bytes;
}

std::size_t CountOpcode(const emulator::Reader& reader, std::uint8_t opcode) {
  const auto commands = reader.Commands();
  return static_cast<std::size_t>(
      std::ranges::count(commands, opcode, &emulator::CommandRecord::opcode));
}

std::size_t CountFlashOpcode(const emulator::Reader& reader, std::uint8_t flashOpcode) {
  const auto log = reader.FlashLog();
  return static_cast<std::size_t>(
      std::ranges::count_if(log, [&](const emulator::FlashTransaction& t) {
        return !t.bridgeIssued && t.opcode == flashOpcode;
      }));
}

}  // namespace tr350::test

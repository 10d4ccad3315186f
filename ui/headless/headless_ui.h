// The headless backend of the dialog framework layer: a real event loop on the window's thread
// with no display. Tests and the terminal front end read what the windows show, follow a log of
// every change, answer message boxes and dialogs by script and give input by posting it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "ui/ui.h"

namespace tr350::ui::headless {

// ---- What the windows show
// -------------------------------------------------------------------------

struct ControlState {
  int id = 0;
  ControlKind kind = ControlKind::kStaticText;
  DialogRect rect;
  ControlStyle style = ControlStyle::kNone;
  std::u16string text;
  bool visible = false;
  bool enabled = true;
  int rangeLow = 0;  // progress controls
  int rangeHigh = 100;
  int position = 0;
};

struct MenuItem {
  std::uint32_t id = 0;  // 0: a separator
  std::u16string text;
};

// An open window: a dialog or a message box.
struct WindowState {
  std::uint64_t serial = 0;  // counts from 1 in the order windows were opened; never reused
  bool messageBox = false;
  int templateId = 0;  // dialogs
  Language language = Language::kNeutral;
  std::u16string title;  // a message box: its caption
  std::u16string text;   // a message box: its text
  MessageBoxIcon icon = MessageBoxIcon::kNone;
  std::uint64_t owner = 0;  // a message box: the window that owns it
  bool fromWorker = false;  // shown on behalf of a worker that waits for it
  DialogRect size;          // dialogs: width and height in dialog units
  std::vector<ControlState> controls;
  int focus = 0;
  std::vector<MenuItem> systemMenu;
  bool hasSystemMenu = false;
  int bigIcon = 0;
  int smallIcon = 0;
  bool minimized = false;
  bool ended = false;  // EndModal was called; the window goes when its loop returns

  const ControlState* Control(int id) const;
};

enum class ChangeKind : std::uint8_t {
  kOpened,  // text: title or box text; value: template id (0 for a box)
  kClosed,  // value: the result
  kText,
  kShown,  // value: 1 shown, 0 hidden
  kEnabled,
  kProgressRange,  // value: low, value2: high
  kProgressPos,
  kFocus,
  kTitle,
  kIcon,      // value: resource id, value2: 1 big, 0 small
  kMenuItem,  // value: command id (0: separator)
  kTimerSet,  // value: timer id, value2: period
  kTimerKilled,
  kTimerFired,
  kDeviceChange,  // value: 0 arrival, 1 removal complete
  kIconPainted,   // value: x, value2: y
  kInputDropped,  // input for a window that could not take it; value: control or command id
};

struct Change {
  std::uint64_t window = 0;
  int templateId = 0;
  int control = 0;
  ChangeKind kind = ChangeKind::kText;
  std::int64_t value = 0;
  std::int64_t value2 = 0;
  std::u16string text;
};

// The progress positions set on a control, in order, from a stretch of the log.
std::vector<std::int64_t> ProgressPositions(std::span<const Change> log, int controlId);

struct Snapshot {
  std::vector<WindowState> windows;  // open windows in the order opened
  std::size_t queuedEvents = 0;
  std::size_t armedTimers = 0;
  std::size_t liveThreads = 0;
  bool loopWaiting = false;  // the window's thread waits for input in a modal loop
  std::size_t logSize = 0;

  // Nothing to do until new input arrives or a timer fires.
  bool Quiet() const { return loopWaiting && queuedEvents == 0 && liveThreads == 0; }
  // Quiet, and no timer armed either: nothing happens any more without new input.
  bool Settled() const { return Quiet() && armedTimers == 0; }
  // The newest open dialog of this template; null when none is open.
  const WindowState* Dialog(int templateId) const;
  // The newest open message box; null when none is open.
  const WindowState* MessageBox() const;
};

// Sees each message box and each dialog opened while another window is open, after its
// initialisation, on the window's thread. Returns the button to press (the box or dialog then gets
// it at once), or nullopt to leave it open until Press. Must not wait for the window's thread.
using ModalScript = std::function<std::optional<int>(const WindowState&)>;
// Called on the window's thread after each change, in order. Must not wait for the window's thread.
using ChangeListener = std::function<void(const Change&)>;

struct HeadlessOptions {
  // Timers run on this clock; default: the current platform's.
  platform::Clock* clock = nullptr;
  // Where device changes come from; default: the current platform's.
  platform::DeviceNotifications* notifications = nullptr;
  // The user's locale name; default: from LC_ALL, LC_MESSAGES and LANG.
  std::optional<std::string> locale;
  UiResources resources;
};

// The loop and its timers. The loop serves, in order of precedence: queued events (input, device
// changes, sent operations of workers), then due timers. With nothing queued it waits:
// - no timer armed: until an event is queued;
// - timers armed, no worker alive: it sleeps on the clock towards the earliest due time, in slices
//   of at most kIdleSliceMs, looking at the queue between slices. On a real clock that is waiting;
//   on a virtual clock each slice moves time forward at once, so a 500 ms timer costs no wall time.
//   Time is only ever moved up to the next due timer, never past it;
// - timers armed and a worker alive: it does not move the clock (the worker's own sleeps do, and
//   moving it under a worker would make its waits time out early); it waits for an event, looking
//   at the clock every kPollSlice of real time.
// A thread blocked on something only another thread can release while the loop idles with a timer
// armed (say a mutex wait on a virtual clock with no one else sleeping) must be moved on by its
// test.
//
// Thread-safe.
class HeadlessUi final : public Backend {
 public:
  static constexpr std::uint32_t kIdleSliceMs = 10;
  static constexpr std::chrono::milliseconds kPollSlice{2};
  // How long WaitUntil waits by default before it gives up: a guard against hangs in tests, not a
  // timing. kNoLimit waits for as long as it takes.
  static constexpr std::chrono::milliseconds kWaitLimit{120000};
  static constexpr std::chrono::milliseconds kNoLimit = std::chrono::milliseconds::max();

  explicit HeadlessUi(HeadlessOptions options);
  ~HeadlessUi() override;
  HeadlessUi(const HeadlessUi&) = delete;
  HeadlessUi& operator=(const HeadlessUi&) = delete;

  // ---- Backend ----------------------------------------------------------------------------------
  Language UserLanguage() const override;
  const UiResources& Resources() const override;
  bool InitCommonControls() override { return true; }
  std::unique_ptr<Window> CreateDialogWindow(const DialogTemplate& dialog,
                                             WindowEvents& events) override;
  bool OnWindowThread() const override;
  void Send(const std::function<void()>& task) override;
  Icon LoadIcon(int resourceId) override { return Icon{resourceId}; }

  // ---- Input, queued for the window's thread and carried out in order -------------------------
  // Input reaches only the newest open window (a modal one disables the others), and a click only
  // a visible, enabled control; anything else is dropped and logged as kInputDropped.

  // A click on a control of the newest open dialog of the template.
  void Click(int templateId, int controlId);
  // A keyboard command (IDOK: Enter, IDCANCEL: Escape) to the newest dialog of the template.
  void Command(int templateId, int commandId);
  void SystemCommand(int templateId, std::uint32_t commandId);
  // Presses a button of the window with this serial: for a message box, closes it.
  void Press(std::uint64_t serial, int button);
  // Delivered to every open dialog, one after another, as one queued event.
  void DeliverDeviceChanges(std::vector<platform::DeviceChange> changes);
  void SetMinimized(int templateId, bool minimized);
  void Paint(int templateId);

  // The next `count` thread starts fail.
  void FailThreadStarts(std::uint32_t count);

  // ---- Observation
  // --------------------------------------------------------------------------------
  void SetModalScript(ModalScript script);
  void SetChangeListener(ChangeListener listener);
  Snapshot Snap() const;
  std::vector<Change> Log() const;
  // Waits until the predicate holds for a snapshot; false when the limit passed first. The
  // predicate runs under the backend's lock: it must not call the backend.
  bool WaitUntil(const std::function<bool(const Snapshot&)>& predicate,
                 std::chrono::milliseconds limit = kWaitLimit) const;
  bool WaitQuiet() const {
    return WaitUntil([](const Snapshot& s) { return s.Quiet(); });
  }
  bool WaitSettled() const {
    return WaitUntil([](const Snapshot& s) { return s.Settled(); });
  }

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<platform::DeviceNotifications::Subscription> subscription_;
};

// Whether the standard output is an interactive terminal (the front end draws a progress bar
// there).
bool StandardOutputIsTerminal();

}  // namespace tr350::ui::headless

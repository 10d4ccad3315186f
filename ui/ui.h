// The dialog framework layer: modal dialogs made from templates, their controls, data exchange,
// timers, message boxes, device-change events, the system menu and worker threads, over one
// backend chosen at start-up (headless, or a Qt window).
//
// Threading model. One thread, the window's thread, runs every dialog's handlers: the thread that
// created the first open window. Workers are started with Window::BeginThread (the run-time
// library's thread start of the original). Every Window operation may be called from a worker: it
// is then carried out synchronously on the window's thread while the worker waits, as a sent
// window message is; a message box or modal dialog shown from a worker is shown by the window's
// thread while the worker waits for it to close. A window's modal loop does not return before the
// workers that window started have ended, so no dialog object is destroyed under its workers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

namespace tr350::ui {

// ---- Framework identifiers ---------------------------------------------------------------------

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
// The system's own system-menu commands have their low four bits free, as the application's must.
inline constexpr std::uint32_t SC_CLOSE = 0xF060;
inline constexpr std::uint32_t kSystemCommandMask = 0xFFF0;

// ---- Languages ---------------------------------------------------------------------------------

// The language variants the program's resources come in. kNeutral is also the variant that every
// language without one of its own gets.
// kEnglish has only a string-table variant; its dialogs are the neutral (English) ones.
enum class Language : std::uint8_t { kNeutral, kChineseTraditional, kJapanese, kEnglish };

// A POSIX or BCP 47 locale name ("zh_TW.UTF-8", "zh-Hant", "ja_JP", "C"): Chinese (Traditional)
// for Taiwan, Hong Kong, Macau or the Traditional script; Japanese for "ja"; English for "en";
// neutral otherwise.
Language LanguageFromLocale(std::string_view locale);
// The locale that names the language of messages: LC_ALL, then LC_MESSAGES, then LANG, the first
// that is not empty.
Language LanguageFromEnvironment(std::string_view lcAll, std::string_view lcMessages,
                                 std::string_view lang);
// The language of the named locale; with none, of the user's (the process environment's).
Language LocaleLanguage(const std::optional<std::string>& locale = std::nullopt);

// ---- Templates and strings (data the program defines as tables) ---------------------------------

template <typename E>
struct IsFlagSet : std::false_type {};
template <typename E>
requires IsFlagSet<E>::value constexpr E operator|(E a, E b) {
  using U = std::underlying_type_t<E>;
  return static_cast<E>(static_cast<U>(static_cast<U>(a) | static_cast<U>(b)));
}
template <typename E>
requires IsFlagSet<E>::value constexpr bool HasFlag(E set, E flag) {
  using U = std::underlying_type_t<E>;
  return (static_cast<U>(set) & static_cast<U>(flag)) == static_cast<U>(flag);
}

enum class ControlKind : std::uint8_t { kStaticText, kStaticIcon, kEdit, kPushButton, kProgress };

enum class ControlStyle : std::uint16_t {
  kNone = 0,
  kBorder = 1 << 0,
  kReadOnly = 1 << 1,
  kAutoHScroll = 1 << 2,
  kTabStop = 1 << 3,
  kMultiLine = 1 << 4,
  kDefaultButton = 1 << 5,
  kNoPrefix = 1 << 6,
};
template <>
struct IsFlagSet<ControlStyle> : std::true_type {};

enum class WindowStyle : std::uint16_t {
  kNone = 0,
  kPopup = 1 << 0,
  kCaption = 1 << 1,
  kSystemMenu = 1 << 2,
  kModalFrame = 1 << 3,
  kVisible = 1 << 4,
  kAppWindow = 1 << 5,  // a taskbar button of its own
};
template <>
struct IsFlagSet<WindowStyle> : std::true_type {};

// Positions and sizes in dialog units.
struct DialogRect {
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::int16_t width = 0;
  std::int16_t height = 0;
};

struct ControlTemplate {
  int id = 0;
  ControlKind kind = ControlKind::kStaticText;
  std::u16string_view caption;
  DialogRect rect;
  bool visible = true;
  ControlStyle style = ControlStyle::kNone;
  int iconResource = 0;  // kStaticIcon: the icon it shows
};

struct DialogTemplate {
  int id = 0;
  Language language = Language::kNeutral;
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::u16string_view title;
  std::u16string_view font;
  std::int16_t fontPoints = 8;
  std::int16_t fontWeight = 400;
  WindowStyle style = WindowStyle::kNone;
  std::span<const ControlTemplate> controls;
};

struct StringEntry {
  int id = 0;
  Language language = Language::kNeutral;
  std::u16string_view text;
};

// The program's window resources, as a backend is given them.
struct UiResources {
  std::span<const DialogTemplate> dialogs;
  std::span<const StringEntry> strings;
};

// The variant of `language`, else the neutral one; null (nullopt) when the id has neither.
const DialogTemplate* FindDialogTemplate(std::span<const DialogTemplate> dialogs, int id,
                                         Language language);
std::optional<std::u16string_view> FindString(std::span<const StringEntry> strings, int id,
                                              Language language);

// ---- Windows
// -------------------------------------------------------------------------------------

enum class MessageBoxIcon : std::uint8_t { kNone, kError, kWarning, kInformation };
// What a message box without a caption of its own shows as its caption.
inline constexpr std::u16string_view kDefaultMessageBoxCaption = u"Error";

// An icon loaded from the program's resources; 0 = none.
struct Icon {
  int resourceId = 0;
  explicit operator bool() const { return resourceId != 0; }
};

struct Size {
  int width = 0;
  int height = 0;
};

// What a window calls on its owner, always on the window's thread.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  // A button click, or a keyboard command (IDOK for Enter, IDCANCEL for Escape or closing).
  virtual void OnCommand(int id) = 0;
  virtual void OnSysCommand(std::uint32_t id, std::intptr_t parameter) = 0;
  virtual void OnTimer(std::uintptr_t id) = 0;
  // Returns TRUE-like: the event was handled.
  virtual bool OnDeviceChange(platform::DeviceChange change) = 0;
  virtual void OnPaint() = 0;
};

// One open window of a backend. Thread-safe in the sense of the model above: callable from the
// window's thread and from the window's workers.
class Window {
 public:
  virtual ~Window() = default;

  // Controls by id; an id the window does not have is ignored (and reads as empty / false).
  virtual void ShowControl(int id, bool show) = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual void SetControlText(int id, std::u16string_view text) = 0;
  virtual std::u16string ControlText(int id) = 0;
  virtual bool IsControlVisible(int id) = 0;
  virtual bool IsControlEnabled(int id) = 0;
  virtual void SetProgressRange(int id, int low, int high) = 0;
  virtual void SetProgressPos(int id, int position) = 0;
  // Moves the keyboard focus to the control, visible or not.
  virtual void FocusControl(int id) = 0;

  virtual void SetTitle(std::u16string_view title) = 0;
  virtual std::u16string Title() = 0;
  virtual void SetIcon(Icon icon, bool big) = 0;
  virtual bool HasSystemMenu() = 0;
  virtual void AppendSystemMenuSeparator() = 0;
  virtual void AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) = 0;

  // A timer that calls OnTimer every periodMs on the window's thread until killed; arming an armed
  // id restarts it. False when the window cannot have timers (it is closing).
  virtual bool SetTimer(std::uintptr_t id, std::uint32_t periodMs) = 0;
  virtual void KillTimer(std::uintptr_t id) = 0;

  // A modal message box with one OK button, owned by this window; returns the button that closed
  // it (IDOK).
  virtual int MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                         MessageBoxIcon icon) = 0;

  // Starts a worker thread owned by this window; false when no thread could be started.
  virtual bool BeginThread(std::function<void()> body) = 0;

  // Window's thread only. Runs the modal loop until EndModal, then keeps serving the window's
  // workers until they have ended; returns EndModal's result.
  virtual int RunModal() = 0;
  virtual void EndModal(int result) = 0;

  // Painting while minimised. A backend without a display is never minimised.
  virtual bool IsIconic() = 0;
  virtual Size ClientSize() = 0;
  virtual Size IconSize() = 0;
  // Erases the icon background and draws the icon with its top left corner at (x, y).
  virtual void PaintIcon(Icon icon, int x, int y) = 0;
};

// A backend: the display (or its absence) and the window's thread. Thread-safe.
class Backend {
 public:
  virtual ~Backend() = default;

  virtual Language UserLanguage() const = 0;
  virtual const UiResources& Resources() const = 0;
  virtual bool InitCommonControls() = 0;
  // Window's thread (the calling thread becomes it when no window is open). Null on failure.
  virtual std::unique_ptr<Window> CreateDialogWindow(const DialogTemplate& dialog,
                                                     WindowEvents& events) = 0;
  virtual bool OnWindowThread() const = 0;
  // Runs the task on the window's thread and waits for it; runs it at once when called on that
  // thread or while no window is open. An exception the task throws reaches the caller.
  virtual void Send(const std::function<void()>& task) = 0;
  virtual Icon LoadIcon(int resourceId) = 0;

  // The string of the user's language variant, else of the neutral one; empty when neither has it.
  std::u16string LoadString(int id) const;
  const DialogTemplate* FindDialog(int id) const;
};

// ---- Dialogs
// ---------------------------------------------------------------------------------------

class Dialog;

// A control bound to a dialog by data exchange, for code that talks to it directly (workers do).
// Bound while the dialog's window is open; unbound calls do nothing.
class BoundControl {
 public:
  int Id() const { return id_; }
  bool Bound() const { return window_ != nullptr; }

 protected:
  Window* window_ = nullptr;
  int id_ = 0;

 private:
  friend class DataExchange;
  friend class Dialog;
};

class ProgressCtrl : public BoundControl {
 public:
  void SetRange(int low, int high) {
    if (window_ != nullptr) window_->SetProgressRange(id_, low, high);
  }
  void SetPos(int position) {
    if (window_ != nullptr) window_->SetProgressPos(id_, position);
  }
};

class Edit : public BoundControl {};

// One exchange between a dialog's members and its controls; window's thread only.
class DataExchange {
 public:
  DataExchange(Dialog& dialog, Window& window, bool saveAndValidate)
      : dialog_(dialog), window_(window), save_(saveAndValidate) {}
  // Saving: member := the control's text. Loading: the control's text := member.
  void Text(int id, std::u16string& member);
  void Control(int id, BoundControl& control);

 private:
  Dialog& dialog_;
  Window& window_;
  bool save_;
};

// A modal dialog made from a template: the stand-in for the framework's dialog class. Derived
// classes override the handlers; the defaults end the dialog on IDOK and IDCANCEL.
//
// Thread safety: DoModal may be called from any thread (see the model at the top). The helpers
// below act on the open window and may be called from the window's thread or from a worker the
// window started; without an open window they do nothing.
class Dialog : public WindowEvents {
 public:
  Dialog(Backend& ui, int templateId) : ui_(ui), templateId_(templateId) {}
  ~Dialog() override;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Creates the window from the template of the user's language, runs OnInitDialog and the modal
  // loop, and returns EndDialog's result; -1 when there is no such template.
  int DoModal();
  void EndDialog(int result);
  // Window's thread. Saving: members from the controls; otherwise controls from the members.
  bool UpdateData(bool saveAndValidate = true);

  Backend& Ui() const { return ui_; }
  int TemplateId() const { return templateId_; }

  void ShowItem(int id, bool show);
  void EnableItem(int id, bool enable);
  void SetItemText(int id, std::u16string_view text);
  std::u16string ItemText(int id) const;
  // The focus move of the dialog manager (WM_NEXTDLGCTL with a control).
  void NextDlgCtl(int id);
  void SetWindowText(std::u16string_view text);
  void SetIcon(Icon icon, bool big);
  bool HasSystemMenu() const;
  void AppendSystemMenuSeparator();
  void AppendSystemMenuItem(std::uint32_t id, std::u16string_view text);
  bool SetTimer(std::uintptr_t id, std::uint32_t periodMs);
  void KillTimer(std::uintptr_t id);
  int MessageBox(std::u16string_view text,
                 std::optional<std::u16string_view> caption = std::nullopt,
                 MessageBoxIcon icon = MessageBoxIcon::kNone);
  bool BeginThread(std::function<void()> body);
  bool IsIconic() const;

 protected:
  virtual void DoDataExchange(DataExchange&) {}
  // Runs the first data exchange (controls from members). True: the caller may place the focus.
  virtual bool OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();

  void OnCommand(int id) override;
  void OnSysCommand(std::uint32_t id, std::intptr_t parameter) override;
  void OnTimer(std::uintptr_t) override {}
  bool OnDeviceChange(platform::DeviceChange) override { return true; }
  void OnPaint() override {}

  Window* GetWindow() const { return window_.get(); }

 private:
  friend class DataExchange;
  int DoModalHere();

  Backend& ui_;
  const int templateId_;
  std::unique_ptr<Window> window_;
  std::vector<BoundControl*> bound_;
};

}  // namespace tr350::ui

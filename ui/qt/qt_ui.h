// The Qt 6 Widgets backend of the dialog framework layer: the program's dialogs as real desktop
// windows, built from the same templates as the headless backend, on the thread that runs the
// QApplication.
//
// Threads. The window's thread is the QApplication's thread, fixed for the backend's life. A call
// from any other thread (a worker, a device monitor, a test's driver) is queued for it and, where
// it must wait, waits on a condition variable; the window's thread is woken through an eventfd.
// Neither side touches a Qt object or Qt's own cross-thread queue, so every hand-over is visible
// to ThreadSanitizer. The window's thread must be serving events (a modal loop, a message box,
// QCoreApplication::exec) for such calls to complete; the modal loops of this backend always are.
#pragma once

#include <QtCore/QRect>
#include <QtGui/QFont>
#include <QtGui/QIcon>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "ui/ui.h"

class QDialog;
class QMessageBox;
class QWidget;

namespace tr350::ui::qt {

// ---- Dialog units -------------------------------------------------------------------------------

// The pixels of four horizontal and eight vertical dialog units: the average width of the
// letters A-Z and a-z, and the character height, of a dialog's font. Window's thread.
struct BaseUnits {
  int x = 0;
  int y = 0;
};
BaseUnits DialogBaseUnits(const QFont& font);
// Position and size mapped separately, as the dialog manager places a template's controls. Pure.
QRect DialogToPixels(DialogRect rect, BaseUnits units);

// The font a dialog gets: "MS Shell Dlg" (and any font this machine lacks) as the desktop's
// sans-serif face, followed by the CJK face for the language so that Han and kana glyphs never
// show as empty boxes (the neutral strings are Traditional Chinese). Window's thread.
QFont DialogFont(const DialogTemplate& dialog, Language language);

// ---- The backend --------------------------------------------------------------------------------

struct QtOptions {
  // Where device changes come from; default: the current platform's.
  platform::DeviceNotifications* notifications = nullptr;
  // The user's locale name; default: from LC_ALL, LC_MESSAGES and LANG.
  std::optional<std::string> locale;
  UiResources resources;
  // The program's icons by resource id; LoadIcon knows only these.
  std::map<int, QIcon> icons;
};

// Input reaches a dialog as the desktop delivers it: clicks, Enter (the default button, else IDOK),
// Escape (IDCANCEL), closing the window (SC_CLOSE). The window menu of the Windows kind is the
// dialog's context menu (right click, or the menu key) holding the items the program appended;
// F1 chooses the first of them (the about box).
//
// Thread-safe as the model in platform/ui.h says, with one difference: a call from a thread other
// than the window's thread always goes to the window's thread, open window or not.
class QtUi final : public Backend {
 public:
  // Needs the QApplication; made and destroyed on its thread, destroyed after every window closed.
  explicit QtUi(QtOptions options);
  ~QtUi() override;
  QtUi(const QtUi&) = delete;
  QtUi& operator=(const QtUi&) = delete;

  // ---- Backend ----------------------------------------------------------------------------------
  Language UserLanguage() const override;
  const UiResources& Resources() const override;
  bool InitCommonControls() override { return true; }
  // Window's thread only; null elsewhere.
  std::unique_ptr<Window> CreateDialogWindow(const DialogTemplate& dialog,
                                             WindowEvents& events) override;
  bool OnWindowThread() const override;
  void Send(const std::function<void()>& task) override;
  Icon LoadIcon(int resourceId) override;

  // Queues the task for the window's thread and returns at once. Thread-safe.
  void Post(std::function<void()> task);

  // ---- What the windows show (window's thread; for tests, screenshots and the program's main) ---
  // The newest open dialog of the template; null when none is open.
  QDialog* NewestDialog(int templateId) const;
  // A control of the newest open dialog of the template; null when there is none.
  QWidget* Control(int templateId, int controlId) const;
  // The newest open message box; null when none is open.
  QMessageBox* NewestMessageBox() const;
  // The icon of a resource id given in the options; a null icon for others.
  QIcon IconOf(int resourceId) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Whether a window can be shown at all: a display to connect to (X11 or Wayland), or a Qt
// platform chosen explicitly (offscreen, for example). Without one, Qt would abort the program.
bool CanShowWindows();

}  // namespace tr350::ui::qt

// Test support for windows of the Qt backend: the window's thread (the test's main thread) runs
// the program while a driver thread looks at the windows and gives input, as a user would.
#pragma once

#include <QtCore/QString>
#include <QtCore/Qt>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <type_traits>

#include "ui/qt/qt_ui.h"

class QWidget;

namespace tr350::test {

// A guard against hangs, not a timing: the driver gives up waiting after this long.
inline constexpr std::chrono::seconds kWaitLimit{60};

// Used on the driver thread only. Looks and input reach the window's thread through the backend.
class GuiDriver {
 public:
  using Find = std::function<QWidget*()>;

  explicit GuiDriver(ui::qt::QtUi& ui) : ui_(ui) {}

  // Runs `look` on the window's thread and returns what it returns.
  template <typename F>
  auto Read(F look) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      ui_.Send(look);
    } else {
      std::optional<R> result;
      ui_.Send([&] { result.emplace(look()); });
      return std::move(*result);
    }
  }
  // Looks again until the condition (run on the window's thread) holds; false when it never did.
  bool WaitFor(const std::function<bool()>& condition);

  // Input, queued for the window's thread like the desktop's; returns at once. The widget is
  // looked up when the input arrives; none found: the input is dropped.
  void Click(Find widget);
  void ClickAt(Find widget, std::function<QPoint(QWidget*)> where, Qt::MouseButton button);
  void Key(Find widget, Qt::Key key);
  // Closes a window from its frame.
  void Close(Find widget);
  // Saves what the widget shows (its window's client area) as a PNG; false when that failed.
  bool Screenshot(Find widget, const QString& path);

  ui::qt::QtUi& Ui() { return ui_; }

 private:
  ui::qt::QtUi& ui_;
};

// Runs `program` on the calling thread, the window's thread, and `script` on a driver thread, and
// returns when both have ended. Once the script has returned, passed or failed, whatever it left
// open is closed: message boxes with OK, windows with Escape, so that a failed test cannot hang.
void RunWithDriver(ui::qt::QtUi& ui, const std::function<void()>& program,
                   const std::function<void(GuiDriver&)>& script);

// A message box's text, as the window shows it.
QString BoxText(QWidget* box);

}  // namespace tr350::test

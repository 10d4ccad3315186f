// Test support for windows of the Qt backend.
#include "tests/ui/qt/gui_driver.h"

#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtGui/QContextMenuEvent>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QWidget>

#include <thread>

namespace tr350::test {

bool GuiDriver::WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!Read(condition)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void GuiDriver::Click(Find widget) {
  ui_.Post([widget = std::move(widget)] {
    QWidget* target = widget();
    // The desktop gives no clicks to hidden or disabled widgets, nor behind a modal window.
    if (target == nullptr || !target->isVisible() || !target->isEnabled()) return;
    if (QWidget* modal = QApplication::activeModalWidget();
        modal != nullptr && modal != target->window()) {
      return;
    }
    QTest::mouseClick(target, Qt::LeftButton);
  });
}

void GuiDriver::ClickAt(Find widget, std::function<QPoint(QWidget*)> where,
                        Qt::MouseButton button) {
  ui_.Post([widget = std::move(widget), where = std::move(where), button] {
    QWidget* target = widget();
    if (target == nullptr || !target->isVisible()) return;
    const QPoint pos = where(target);
    if (button == Qt::RightButton) {
      // The desktop turns a right click into a context menu request.
      QContextMenuEvent event(QContextMenuEvent::Mouse, pos, target->mapToGlobal(pos));
      QApplication::sendEvent(target, &event);
    } else {
      QTest::mouseClick(target, button, Qt::NoModifier, pos);
    }
  });
}

void GuiDriver::Key(Find widget, Qt::Key key) {
  ui_.Post([widget = std::move(widget), key] {
    QWidget* target = widget();
    if (target == nullptr) return;
    // Keys go to the focused control first, as the desktop sends them.
    QWidget* focus = target->focusWidget();
    QTest::keyClick(focus != nullptr && focus->isVisible() ? focus : target, key);
  });
}

void GuiDriver::Close(Find widget) {
  ui_.Post([widget = std::move(widget)] {
    if (QWidget* target = widget()) target->close();
  });
}

bool GuiDriver::Screenshot(Find widget, const QString& path) {
  return Read([&] {
    QWidget* target = widget();
    return target != nullptr && target->grab().save(path, "PNG");
  });
}

void RunWithDriver(ui::qt::QtUi& ui, const std::function<void()>& program,
                   const std::function<void(GuiDriver&)>& script) {
  std::atomic<bool> scriptDone{false};
  QTimer sweeper;
  QObject::connect(&sweeper, &QTimer::timeout, [&scriptDone] {
    if (!scriptDone.load()) return;
    if (QWidget* popup = QApplication::activePopupWidget()) {
      popup->close();
    } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      box->done(QMessageBox::Ok);
    } else if (QWidget* modal = QApplication::activeModalWidget()) {
      QTest::keyClick(modal, Qt::Key_Escape);
    }
  });
  sweeper.start(50);
  std::thread driver([&] {
    GuiDriver d(ui);
    script(d);
    scriptDone.store(true);
  });
  program();
  sweeper.stop();
  // The driver may still want the window's thread: serve it until it has finished.
  QEventLoop wait;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (scriptDone.load()) wait.quit();
  });
  check.start(5);
  if (!scriptDone.load()) wait.exec();
  driver.join();
}

QString BoxText(QWidget* box) {
  auto* messageBox = qobject_cast<QMessageBox*>(box);
  return messageBox != nullptr ? messageBox->text() : QString();
}

}  // namespace tr350::test

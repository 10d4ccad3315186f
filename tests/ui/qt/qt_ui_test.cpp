// The Qt backend: the program's templates as windows in each language variant, and workers with
// the window's thread. Input, timers and device changes are used by the desktop tool's tests.
#include "ui/qt/qt_ui.h"

#include <gtest/gtest.h>

#include <QtGui/QRawFont>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <atomic>
#include <future>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/resource.h"
#include "res/dialog_templates.h"
#include "tests/ui/qt/gui_driver.h"

namespace tr350::ui::qt {
namespace {

using test::GuiDriver;
using test::RunWithDriver;

QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Whether one of the font's faces has a glyph for every character of the text.
bool FontShows(const QFont& font, const QString& text) {
  std::vector<QRawFont> faces;
  for (const QString& family : font.families()) faces.push_back(QRawFont::fromFont(QFont(family)));
  for (const char32_t c : text.toUcs4()) {
    if (c == U'\r' || c == U'\n') continue;
    const bool shown = std::ranges::any_of(
        faces, [c](const QRawFont& face) { return face.isValid() && face.supportsCharacter(c); });
    if (!shown) return false;
  }
  return true;
}

// What a control shows, by kind.
QString Caption(QWidget* widget) {
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) return edit->toPlainText();
  return {};
}

// A dialog whose initialisation the test gives, with the progress bar bound for workers.
class TestDialog final : public Dialog {
 public:
  TestDialog(Backend& ui, int templateId) : Dialog(ui, templateId) {}
  std::function<void(TestDialog&)> onInit;
  ProgressCtrl progress;

 protected:
  void DoDataExchange(DataExchange& dx) override { dx.Control(IDC_PROGRESS, progress); }
  bool OnInitDialog() override {
    Dialog::OnInitDialog();
    if (onInit) onInit(*this);
    return true;
  }
};

class QtUiTest : public ::testing::Test {
 protected:
  QtUi& Ui(std::string locale = "C") {
    QtOptions options;
    options.notifications = &noDevices;
    options.locale = std::move(locale);
    options.resources = res::WindowResources();
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::darkBlue);
    options.icons.emplace(IDR_MAINFRAME, QIcon(pixmap));
    ui = std::make_unique<QtUi>(std::move(options));
    return *ui;
  }

  platform::NoDevices noDevices;
  std::unique_ptr<QtUi> ui;
};

// ---- The templates as windows -------------------------------------------------------------------

class TemplateTest : public QtUiTest, public ::testing::WithParamInterface<const char*> {};

// Every dialog of the language variant: its size and controls in pixels from its dialog units and
// font, captions, initial visibility and styles; nothing overlaps, nothing is cut off, and every
// glyph its texts (and the string table's, for the message area) need is in its fonts.
TEST_P(TemplateTest, DialogsFollowTheirTemplates) {
  QtUi& qt = Ui(GetParam());
  const int ids[] = {IDD_UPDATETOOL_DIALOG, IDD_ABOUTBOX, IDD_MESSAGEBOX};
  RunWithDriver(
      qt,
      [&] {
        for (const int id : ids) {
          TestDialog dialog(qt, id);
          dialog.DoModal();
        }
      },
      [&](GuiDriver& d) {
        for (const int id : ids) {
          SCOPED_TRACE(id);
          const DialogTemplate* t = qt.FindDialog(id);
          ASSERT_TRUE(d.WaitFor([&] { return qt.NewestDialog(id) != nullptr; }));
          d.Read([&] {
            QDialog* dialog = qt.NewestDialog(id);
            EXPECT_EQ(dialog->font().pointSize(), t->fontPoints);
            const BaseUnits units = DialogBaseUnits(dialog->font());
            EXPECT_EQ(dialog->size(), DialogToPixels({0, 0, t->width, t->height}, units).size());
            EXPECT_EQ(dialog->windowTitle(), Q(t->title));
            std::vector<QRect> shown;
            for (const ControlTemplate& c : t->controls) {
              SCOPED_TRACE(c.id);
              QWidget* w = qt.Control(id, c.id);
              ASSERT_NE(w, nullptr);
              const QRect expected = DialogToPixels(c.rect, units);
              if (c.kind == ControlKind::kStaticText) {
                EXPECT_EQ(w->pos(), expected.topLeft());  // may grow to fit its text
                EXPECT_GE(w->width(), expected.width());
              } else {
                EXPECT_EQ(w->geometry(), expected);
              }
              EXPECT_EQ(!w->isHidden(), c.visible);
              EXPECT_EQ(Caption(w), Q(c.caption));
              EXPECT_TRUE(FontShows(w->font(), Caption(w)));
              if (auto* b = qobject_cast<QPushButton*>(w)) {
                // A focused button is the default meanwhile, as with the system's dialog manager.
                EXPECT_EQ(b->isDefault(), HasFlag(c.style, ControlStyle::kDefaultButton) ||
                                              b == dialog->focusWidget());
                EXPECT_LT(b->fontMetrics().horizontalAdvance(b->text()), b->width());
              }
              if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
                EXPECT_TRUE(HasFlag(c.style, ControlStyle::kMultiLine));
                EXPECT_EQ(e->isReadOnly(), HasFlag(c.style, ControlStyle::kReadOnly));
                EXPECT_EQ(e->frameShape() != QFrame::NoFrame,
                          HasFlag(c.style, ControlStyle::kBorder));
              }
              if (auto* e = qobject_cast<QLineEdit*>(w)) {
                EXPECT_EQ(e->isReadOnly(), HasFlag(c.style, ControlStyle::kReadOnly));
                EXPECT_EQ(e->hasFrame(), HasFlag(c.style, ControlStyle::kBorder));
              }
              EXPECT_TRUE(dialog->rect().contains(w->geometry())) << "outside the dialog";
              if (!w->isHidden()) {
                for (const QRect& other : shown) EXPECT_FALSE(other.intersects(w->geometry()));
                shown.push_back(w->geometry());
              }
            }
            for (const int text :
                 {IDS_FW_LATEST, IDS_UPDATE_NEEDED, IDS_ALREADY_LATEST, IDS_DEVICE_NOT_SUPPORTED}) {
              EXPECT_TRUE(FontShows(dialog->font(), Q(qt.LoadString(text)))) << text;
            }
          });
          d.Key([&]() -> QWidget* { return qt.NewestDialog(id); }, Qt::Key_Escape);
          ASSERT_TRUE(d.WaitFor([&] { return qt.NewestDialog(id) == nullptr; }));
        }
      });
}

INSTANTIATE_TEST_SUITE_P(Languages, TemplateTest,
                         ::testing::Values("C", "zh_TW.UTF-8", "ja_JP.UTF-8"));

// ---- Workers ------------------------------------------------------------------------------------

// A worker's control changes, message box and sent tasks are carried out on the window's thread
// while it waits; a modal loop that has ended keeps serving the worker until it is done.
TEST_F(QtUiTest, WorkersWaitForTheWindowsThread) {
  QtUi& qt = Ui();
  TestDialog dialog(qt, IDD_UPDATETOOL_DIALOG);
  std::atomic<bool> textKept{false}, rethrown{false}, boxReturned{false}, workerDone{false};
  std::atomic<bool> modalReturned{false}, workerDoneAtReturn{false};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  dialog.onInit = [&](TestDialog& self) {
    self.BeginThread([&self, &textKept, &rethrown, &boxReturned, &workerDone, released] {
      self.SetItemText(IDC_MESSAGE_EDIT, u"line 1\r\nline 2");
      self.ShowItem(IDC_MESSAGE_EDIT, true);
      textKept = self.ItemText(IDC_MESSAGE_EDIT) == u"line 1\r\nline 2";
      self.progress.SetRange(0, 80);
      self.progress.SetPos(120);  // the system's bar stops at its end; Qt's would ignore it
      self.ShowItem(IDC_PROGRESS, true);
      try {
        self.Ui().Send([] { throw std::runtime_error("from the window's thread"); });
      } catch (const std::runtime_error&) {
        rethrown = true;
      }
      self.MessageBox(u"From the worker", u"Caption", MessageBoxIcon::kWarning);
      boxReturned = true;
      released.wait();  // the dialog ends meanwhile
      self.SetItemText(IDC_MESSAGE_EDIT, u"after the end");
      workerDone = true;
    });
  };
  RunWithDriver(
      qt,
      [&] {
        dialog.DoModal();
        workerDoneAtReturn = workerDone.load();
        modalReturned = true;
      },
      [&](GuiDriver& d) {
        // Lets the worker go however the script ends, so that a failure cannot hang the test.
        struct Releaser {
          std::promise<void>& promise;
          bool done = false;
          void Release() {
            if (!std::exchange(done, true)) promise.set_value();
          }
          ~Releaser() { Release(); }
        } releaser{release};
        ASSERT_TRUE(d.WaitFor([&] { return qt.NewestMessageBox() != nullptr; }));
        d.Read([&] {
          EXPECT_EQ(test::BoxText(qt.NewestMessageBox()), "From the worker");
          EXPECT_EQ(qt.NewestMessageBox()->windowTitle(), "Caption");
          auto* bar = qobject_cast<QProgressBar*>(qt.Control(IDD_UPDATETOOL_DIALOG, IDC_PROGRESS));
          EXPECT_FALSE(bar->isHidden());
          EXPECT_EQ(bar->value(), 80);
          auto* edit =
              qobject_cast<QPlainTextEdit*>(qt.Control(IDD_UPDATETOOL_DIALOG, IDC_MESSAGE_EDIT));
          EXPECT_EQ(edit->document()->blockCount(), 2);
        });
        EXPECT_FALSE(boxReturned);
        d.Key([&]() -> QWidget* { return qt.NewestMessageBox(); }, Qt::Key_Return);
        ASSERT_TRUE(d.WaitFor([&] { return boxReturned.load(); }));
        d.Key([&]() -> QWidget* { return qt.NewestDialog(IDD_UPDATETOOL_DIALOG); }, Qt::Key_Escape);
        ASSERT_TRUE(d.WaitFor([&] { return qt.NewestDialog(IDD_UPDATETOOL_DIALOG) == nullptr; }));
        EXPECT_FALSE(modalReturned);
        releaser.Release();
        ASSERT_TRUE(d.WaitFor([&] { return modalReturned.load(); }));
      });
  EXPECT_TRUE(textKept);
  EXPECT_TRUE(rethrown);
  EXPECT_TRUE(workerDoneAtReturn);
}

}  // namespace
}  // namespace tr350::ui::qt

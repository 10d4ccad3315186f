// The desktop tool on a real X server (Xvfb): the window comes up through the xcb platform, shows
// the verdict and is captured from the server's screen.
#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <set>

#include "app/resource.h"
#include "tests/app/gui/desktop_harness.h"

namespace tr350::test {
namespace {

TEST(X11Smoke, WindowComesUpOnTheXServer) {
  if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server (xvfb-run)";
  DesktopHarness h("flash-old");
  h.Run([&](GuiDriver& d) {
    ASSERT_TRUE(d.WaitFor([&] {
      return h.ShowsVerdict(IDS_UPDATE_NEEDED) && h.Main()->isVisible() &&
             h.Main()->windowHandle() != nullptr && h.Main()->windowHandle()->isExposed();
    }));
    // What the X server shows, not what the widget would paint.
    const QImage shot = d.Read([&] {
      QScreen* screen = h.Main()->screen();
      return screen->grabWindow(h.Main()->winId()).toImage();
    });
    QDir().mkpath(QStringLiteral(TR350_SCREENSHOT_DIR));
    EXPECT_TRUE(shot.save(QDir(QStringLiteral(TR350_SCREENSHOT_DIR)).filePath("x11-main.png")));
    const QSize expected = d.Read([&] { return h.Main()->size(); });
    EXPECT_EQ(shot.size(), expected);
    std::set<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 2) {
      for (int x = 0; x < shot.width(); x += 2) colours.insert(shot.pixel(x, y));
    }
    EXPECT_GT(colours.size(), 20u) << "the window's contents did not reach the screen";
    d.Click([&] { return h.Button(IDCANCEL); });
  });
}

}  // namespace
}  // namespace tr350::test

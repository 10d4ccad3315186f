// Build tool: renders the tool's icon into the PNG files of the desktop's icon theme.
#include <QtCore/QDir>
#include <QtCore/QString>

#include <cstdio>

#include "res/icon/icon.h"

// make_icons OUTPUT_DIR: writes OUTPUT_DIR/<size>x<size>/apps/tr350-fwupdate.png for each size.
int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons OUTPUT_DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const int size : tr350::res::kIconSizes) {
    const QString dir = QStringLiteral("%1x%1/apps").arg(size);
    const QString file = out.filePath(dir + QStringLiteral("/tr350-fwupdate.png"));
    if (!out.mkpath(dir) || !tr350::res::RenderAppIcon(size).save(file, "PNG")) {
      std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}

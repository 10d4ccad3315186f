// Build tool: renders the tool's icon into the PNG files of the desktop's icon theme, or into a
// Windows .ico file for the Windows program's resources.
#include <QtCore/QDir>
#include <QtCore/QString>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "res/icon/icon.h"

namespace {

// The sizes a Windows program's icon carries: the small and large icons at the usual DPIs.
constexpr int kWindowsIconSizes[] = {16, 24, 32, 48, 64, 256};

void Le16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void Le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Le16(out, v & 0xFFFF);
  Le16(out, v >> 16);
}

// One icon image in the classic form every Windows (and Wine) reads: a BITMAPINFOHEADER with the
// doubled height, 32-bit BGRA rows bottom-up, then the 1-bit AND mask (rows padded to 32 bits).
std::vector<std::uint8_t> IconImage(int size) {
  const QImage image =
      tr350::res::RenderAppIcon(size).convertToFormat(QImage::Format_ARGB32);  // BGRA in memory
  const auto n = static_cast<std::uint32_t>(size);
  const std::uint32_t maskStride = ((n + 31) / 32) * 4;
  std::vector<std::uint8_t> out;
  Le32(out, 40);
  Le32(out, n);
  Le32(out, n * 2);
  Le16(out, 1);
  Le16(out, 32);
  Le32(out, 0);  // BI_RGB
  Le32(out, n * n * 4 + maskStride * n);
  for (int i = 0; i < 4; ++i) Le32(out, 0);
  for (int y = size - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < size; ++x) {
      const QRgb p = row[x];
      out.push_back(static_cast<std::uint8_t>(qBlue(p)));
      out.push_back(static_cast<std::uint8_t>(qGreen(p)));
      out.push_back(static_cast<std::uint8_t>(qRed(p)));
      out.push_back(static_cast<std::uint8_t>(qAlpha(p)));
    }
  }
  // The alpha channel decides; a clear AND mask shows the colour bits everywhere.
  out.insert(out.end(), static_cast<std::size_t>(maskStride) * n, 0);
  return out;
}

bool WriteIco(const char* path) {
  std::vector<std::vector<std::uint8_t>> images;
  for (const int size : kWindowsIconSizes) images.push_back(IconImage(size));
  std::vector<std::uint8_t> out;
  Le16(out, 0);
  Le16(out, 1);  // icon
  Le16(out, static_cast<std::uint32_t>(images.size()));
  auto offset = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const int size = kWindowsIconSizes[i];
    out.push_back(static_cast<std::uint8_t>(size >= 256 ? 0 : size));  // 0 means 256
    out.push_back(static_cast<std::uint8_t>(size >= 256 ? 0 : size));
    out.push_back(0);  // no palette
    out.push_back(0);
    Le16(out, 1);   // planes
    Le16(out, 32);  // bits per pixel
    Le32(out, static_cast<std::uint32_t>(images[i].size()));
    Le32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file.flush());
}

}  // namespace

// make_icons OUTPUT_DIR: writes OUTPUT_DIR/<size>x<size>/apps/tr350-fwupdate.png for each size.
// make_icons --ico FILE: writes the Windows icon file.
int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--ico") == 0) {
    if (WriteIco(argv[2])) return 0;
    std::fprintf(stderr, "make_icons: cannot write %s\n", argv[2]);
    return 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons OUTPUT_DIR | make_icons --ico FILE\n");
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

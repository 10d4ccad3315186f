// Drawing the tool's icon: in a 256-unit square, scaled to the size asked for.
#include "res/icon/icon.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QPixmap>

namespace tr350::res {
namespace {

constexpr qreal kUnits = 256;

QPainterPath CardOutline() {
  // A card with its top right corner cut off, as SD cards have.
  QPainterPath path;
  path.moveTo(58, 14);
  path.lineTo(150, 14);
  path.lineTo(198, 62);
  path.lineTo(198, 222);
  path.quadTo(198, 238, 182, 238);
  path.lineTo(58, 238);
  path.quadTo(42, 238, 42, 222);
  path.lineTo(42, 30);
  path.quadTo(42, 14, 58, 14);
  path.closeSubpath();
  return path;
}

void DrawCard(QPainter& p) {
  QLinearGradient body(0, 14, 0, 238);
  body.setColorAt(0, QColor(0x3C, 0x5E, 0x8C));
  body.setColorAt(1, QColor(0x22, 0x3A, 0x5E));
  p.setPen(QPen(QColor(0x16, 0x27, 0x40), 6));
  p.setBrush(body);
  p.drawPath(CardOutline());

  // The contacts.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xF2, 0xC1, 0x4E));
  for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(64 + i * 24, 28, 15, 44), 3, 3);

  // The label.
  p.setBrush(QColor(0xE8, 0xEE, 0xF6));
  p.drawRoundedRect(QRectF(62, 100, 116, 58), 8, 8);
  p.setBrush(QColor(0x9F, 0xB3, 0xCC));
  p.drawRect(QRectF(76, 116, 88, 9));
  p.drawRect(QRectF(76, 134, 60, 9));
}

void DrawUpdateBadge(QPainter& p) {
  const QPointF centre(184, 186);
  p.setPen(QPen(Qt::white, 10));
  p.setBrush(QColor(0x2E, 0x9E, 0x4F));
  p.drawEllipse(centre, 60, 60);

  // A circular arrow: most of a ring, and a head at its open end.
  const qreal radius = 30;
  const QRectF ring(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(Qt::white, 13, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(ring, 100 * 16, 280 * 16);
  QPainterPath head;
  head.moveTo(centre.x() - 5, centre.y() - radius - 19);
  head.lineTo(centre.x() + 21, centre.y() - radius);
  head.lineTo(centre.x() - 5, centre.y() - radius + 19);
  head.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPath(head);
}

}  // namespace

QImage RenderAppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / kUnits, size / kUnits);
  DrawCard(p);
  DrawUpdateBadge(p);
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (const int size : kIconSizes) icon.addPixmap(QPixmap::fromImage(RenderAppIcon(size)));
  return icon;
}

}  // namespace tr350::res

// SPDX-License-Identifier: MIT
#include "controlmark.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <algorithm>

QChar LogCharOfByte(uint8_t b) {
  if (b < 0x20) return QChar(char16_t(0x2400 + b));
  if (b == 0x7F) return QChar(char16_t(0x2421));
  return QChar(char16_t(b));  // Latin-1
}

int ControlByteOfLogChar(QChar c) {
  const char16_t u = c.unicode();
  if (u >= 0x2400 && u < 0x2420) return u - 0x2400;
  if (u == 0x2421) return 0x7F;
  if (u >= 0x80 && u <= 0x9F) return u;
  return -1;
}

void PaintControlMark(QPainter& painter, const QRectF& cell, uint8_t b, const QFont& font, const QColor& ink,
                      const QColor& paper) {
  // The box leaves a pixel free on each side, so that marks side by side
  // (CR LF) stay two marks.
  const QRectF box = cell.adjusted(1, 1, -1, -1);
  QFont small = font;
  const qreal size = font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * 4 / 3;
  small.setPixelSize(std::max(6, int(size * 0.8 + 0.5)));
  small.setBold(true);
  small.setLetterSpacing(QFont::AbsoluteSpacing, 0);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.fillRect(box, ink);
  painter.setPen(paper);
  painter.setFont(small);
  painter.drawText(box, Qt::AlignCenter, QString::fromLatin1(ControlMarkName(b)));
  painter.restore();
}

#include "controlmark.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr const char* kC0[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF",
                                 "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
                                 "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
constexpr const char* kC1[32] = {"PAD", "HOP", "BPH", "NBH", "IND", "NEL", "SSA", "ESA", "HTS", "HTJ", "VTS",
                                 "PLD", "PLU", "RI",  "SS2", "SS3", "DCS", "PU1", "PU2", "STS", "CCH", "MW",
                                 "SPA", "EPA", "SOS", "SGC", "SCI", "CSI", "ST",  "OSC", "PM",  "APC"};

}  // namespace

const char* ControlMarkName(uint8_t b) {
  if (b < 0x20) return kC0[b];
  if (b == 0x7F) return "DEL";
  if (b >= 0x80 && b <= 0x9F) return kC1[b - 0x80];
  return "";
}

int CellsOfByte(uint8_t b) {
  static const std::array<uint8_t, 256> cells = [] {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i)
      table[size_t(i)] = IsControlByte(uint8_t(i)) ? uint8_t(std::strlen(ControlMarkName(uint8_t(i)))) : 1;
    return table;
  }();
  return cells[b];
}

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

// Control bytes drawn as small inverted abbreviations ("CR", "LF", "ESC",
// "NEL" ...), painted by the panes themselves so that they read the same in
// both panes whatever fonts are installed.
#pragma once

#include <QChar>
#include <cstdint>

class QColor;
class QFont;
class QPainter;
class QRectF;

// Whether b is drawn as a mark: 0x00-0x1F, 0x7F and 0x80-0x9F.
inline bool IsControlByte(uint8_t b) { return b < 0x20 || (b >= 0x7F && b <= 0x9F); }

// The abbreviation of a control byte ("CR", "ESC"); empty for any other byte.
const char* ControlMarkName(uint8_t b);

// Character cells byte b takes in a pane: one for an ordinary byte, one per
// letter of its abbreviation for a control byte.
int CellsOfByte(uint8_t b);

// The character a log line holds for a byte: its Latin-1 character, with the
// C0 controls and DEL as their Unicode control pictures (a raw CR or LF would
// break the line). C1 controls stay themselves.
QChar LogCharOfByte(uint8_t b);
// The control byte a log line's character stands for, or -1.
int ControlByteOfLogChar(QChar c);

// Paints the mark of control byte b into `cell`: a box in `ink` with the
// abbreviation in `paper`, in a smaller face of `font`.
void PaintControlMark(QPainter& painter, const QRectF& cell, uint8_t b, const QFont& font, const QColor& ink,
                      const QColor& paper);

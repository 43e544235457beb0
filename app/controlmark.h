// SPDX-License-Identifier: MIT
// Control bytes drawn as small inverted abbreviations ("CR", "LF", "ESC",
// "NEL" ...), painted by the panes themselves so that they read the same in
// both panes whatever fonts are installed.
#pragma once

#include <QChar>
#include <array>
#include <cstdint>

class QColor;
class QFont;
class QPainter;
class QRectF;

// Whether b is drawn as a mark: 0x00-0x1F, 0x7F and 0x80-0x9F.
inline bool IsControlByte(uint8_t b) { return b < 0x20 || (b >= 0x7F && b <= 0x9F); }

namespace controlmark_detail {

inline constexpr const char* kC0[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF",
                                        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
                                        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
inline constexpr const char* kC1[32] = {"PAD", "HOP", "BPH", "NBH", "IND", "NEL", "SSA", "ESA", "HTS", "HTJ", "VTS",
                                        "PLD", "PLU", "RI",  "SS2", "SS3", "DCS", "PU1", "PU2", "STS", "CCH", "MW",
                                        "SPA", "EPA", "SOS", "SGC", "SCI", "CSI", "ST",  "OSC", "PM",  "APC"};

constexpr const char* Name(uint8_t b) {
  if (b < 0x20) return kC0[b];
  if (b == 0x7F) return "DEL";
  if (b >= 0x80 && b <= 0x9F) return kC1[b - 0x80];
  return "";
}

// The cells of every byte, looked up once per byte of every received line.
inline constexpr std::array<uint8_t, 256> kCells = [] {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    const char* name = Name(uint8_t(i));
    uint8_t n = 0;
    while (name[n] != 0) ++n;
    table[size_t(i)] = n == 0 ? 1 : n;
  }
  return table;
}();

}  // namespace controlmark_detail

// The abbreviation of a control byte ("CR", "ESC"); empty for any other byte.
inline const char* ControlMarkName(uint8_t b) { return controlmark_detail::Name(b); }

// Character cells byte b takes in a pane: one for an ordinary byte, one per
// letter of its abbreviation for a control byte.
inline int CellsOfByte(uint8_t b) { return controlmark_detail::kCells[b]; }

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

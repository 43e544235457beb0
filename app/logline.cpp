// SPDX-License-Identifier: MIT
#include "logline.h"

#include "controlmark.h"

QString ByteLogLine(const QString& prefix, uint8_t b) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  QString line = prefix;
  line += QLatin1Char(kHexDigits[b >> 4]);
  line += QLatin1Char(kHexDigits[b & 0x0F]);
  line += QLatin1String("  ");
  line += LogCharOfByte(b);
  return line;
}

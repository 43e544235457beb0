#include "logline.h"

QString ByteLogLine(const QString& prefix, uint8_t b) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  QString line = prefix;
  line += QLatin1Char(kHexDigits[b >> 4]);
  line += QLatin1Char(kHexDigits[b & 0x0F]);
  line += QLatin1String("  ");
  if (b < 32)
    line += QChar(char16_t(0x2400 + b));
  else if (b == 127)
    line += QChar(char16_t(0x2421));
  else
    line += QChar(char16_t(b));  // Latin-1
  return line;
}

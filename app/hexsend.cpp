// SPDX-License-Identifier: MIT
// Sending bytes typed as hexadecimal; each sent byte is logged in Memo2 as the
// macros log theirs.
#include "hexsend.h"

#include <QInputDialog>
#include <QPlainTextEdit>
#include <stdexcept>

#include "logline.h"
#include "serivox.h"
#include "ui_serivox.h"

bool ParseHexBytes(const QString& text, std::string& bytes, QString& error) {
  bytes.clear();
  int high = -1;      // the first digit of a byte, while its second is awaited
  qsizetype at = 0;   // where that first digit stands
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c.isSpace()) {
      if (high >= 0) {
        error = QStringLiteral("Incomplete byte at position %1: two hex digits make a byte").arg(at + 1);
        return false;
      }
      continue;
    }
    const int digit = c.isDigit() && c.unicode() < 128 ? c.unicode() - '0'
                      : (c.toLower() >= u'a' && c.toLower() <= u'f') ? c.toLower().unicode() - 'a' + 10
                                                                     : -1;
    if (digit < 0) {
      error = QStringLiteral("\"%1\" at position %2 is not a hex digit").arg(c).arg(i + 1);
      return false;
    }
    if (high < 0) {
      high = digit;
      at = i;
    } else {
      bytes += char(high * 16 + digit);
      high = -1;
    }
  }
  if (high >= 0) {
    error = QStringLiteral("Incomplete byte at position %1: two hex digits make a byte").arg(at + 1);
    return false;
  }
  return true;
}

void TSerivox::SendHexTriggered() {
  bool ok = false;
  const QString text = ChooseHexText ? ChooseHexText(&ok)
                                     : QInputDialog::getText(this, QStringLiteral("Send hex"),
                                                             QStringLiteral("Bytes in hexadecimal (01 03 0A ...):"),
                                                             QLineEdit::Normal, QString(), &ok);
  if (!ok) return;
  SendHex(text);
}

void TSerivox::SendHex(const QString& text) {
  std::string bytes;
  QString error;
  // Nothing is sent, nor the port opened, for a malformed entry.
  if (!ParseHexBytes(text, bytes, error)) throw std::runtime_error(error.toStdString());
  if (bytes.empty()) return;
  if (!ComPort->Connected()) ComPort->SetConnected(true);
  if (!ComPort->Connected()) return;
  ComPort->SendText(bytes);
  for (unsigned char b : bytes) ui->Memo2->appendPlainText(ByteLogLine(QStringLiteral("Hex:  #"), b));
}

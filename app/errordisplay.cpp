#include "errordisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>

namespace {

std::function<void(const QString&)>& Sink() {
  static std::function<void(const QString&)> sink;
  return sink;
}

// While a box is open its nested event loop keeps timers running; an error
// that recurs on every tick would otherwise stack one modal box on another.
// Errors raised meanwhile wait their turn, each distinct message once.
bool showing = false;
QString current;
QStringList pending;

void ShowBox(const QString& text) {
  if (showing) {
    if (text != current && !pending.contains(text)) pending.append(text);
    return;
  }
  showing = true;
  current = text;
  for (;;) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Serivox"), current, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
    if (pending.isEmpty()) break;
    current = pending.takeFirst();
  }
  current.clear();
  showing = false;
}

}  // namespace

QString ErrorMessageText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

void ShowError(const std::exception& error) { ShowErrorText(QString::fromUtf8(error.what())); }

void ShowErrorText(const QString& message) {
  const QString text = ErrorMessageText(message);
  if (Sink()) {
    Sink()(text);
    return;
  }
  ShowBox(text);
}

void SetErrorSink(std::function<void(const QString&)> sink) { Sink() = std::move(sink); }

// SPDX-License-Identifier: MIT
#include "errordisplay.h"

#include <grp.h>
#include <sys/stat.h>

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPair>
#include <cerrno>

#include "portname.h"
#include "error.h"
#include "opencause.h"

namespace {

using Sink = std::function<void(const QString&, const QString&)>;

Sink& CurrentSink() {
  static Sink sink;
  return sink;
}

// While a box is open its nested event loop keeps timers running; an error
// that recurs on every tick would otherwise stack one modal box on another.
// Errors raised meanwhile wait their turn, each distinct message once.
using Message = QPair<QString, QString>;
bool showing = false;
Message current;
QList<Message> pending;

void ShowBox(const Message& message) {
  if (showing) {
    if (message != current && !pending.contains(message)) pending.append(message);
    return;
  }
  showing = true;
  current = message;
  for (;;) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Serivox"), current.first, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setInformativeText(current.second);
    box.exec();
    if (pending.isEmpty()) break;
    current = pending.takeFirst();
  }
  current = {};
  showing = false;
}

}  // namespace

QString ErrorMessageText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

QString ErrorDetail(const std::exception& error) {
  const auto* port = dynamic_cast<const EComPort*>(&error);
  if (port == nullptr || port->Code() != CError_OpenFailed) return {};
  if (port->WinCode() != EACCES) return OpenErrorCause(port->PortName(), port->WinCode());
  const std::string path = serivox::PortDevicePath(port->PortName());
  struct stat st {};
  if (port->PortName().empty() || ::stat(path.c_str(), &st) != 0) return {};
  const QString device = QString::fromStdString(path);
  const group* owner = ::getgrgid(st.st_gid);
  // Joining the group helps only where the group may read and write.
  if (owner == nullptr || st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
    return QStringLiteral("Your user may not open %1.").arg(device);
  const QString name = QString::fromLocal8Bit(owner->gr_name);
  return QStringLiteral("%1 belongs to the group \"%2\". To use it, join the group with "
                        "\"sudo usermod -aG %2 $USER\", then log out and log in again.")
      .arg(device, name);
}

void ShowError(const std::exception& error) { ShowErrorText(QString::fromUtf8(error.what()), ErrorDetail(error)); }

void ShowErrorText(const QString& message, const QString& detail) {
  const QString text = ErrorMessageText(message);
  if (CurrentSink()) {
    CurrentSink()(text, detail);
    return;
  }
  ShowBox({text, detail});
}

void SetErrorSink(std::function<void(const QString&)> sink) {
  if (!sink) {
    CurrentSink() = {};
    return;
  }
  CurrentSink() = [sink = std::move(sink)](const QString& message, const QString&) { sink(message); };
}

void SetErrorDetailSink(std::function<void(const QString&, const QString&)> sink) { CurrentSink() = std::move(sink); }

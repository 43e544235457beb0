// SPDX-License-Identifier: MIT
// Remote ports in the window. See remoteport.h.
#include "remoteport.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include "errordisplay.h"
#include "inifile.h"
#include "portname.h"
#include "reconnect.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {

constexpr char kSection[] = "Serivox";
constexpr char kRecentKey[] = "RemotePorts";
const QColor kConnectingColor{255, 255, 0};

}  // namespace

// --- The dialog -------------------------------------------------------------------

int RemotePortName(bool rfc2217, const QString& host, int port, QString& name) {
  QString h = host.trimmed();
  // An IPv6 address goes in brackets.
  if (h.contains(QLatin1Char(':')) && !h.startsWith(QLatin1Char('['))) h = QLatin1Char('[') + h + QLatin1Char(']');
  const QString candidate =
      QString::fromLatin1(rfc2217 ? "rfc2217://" : "tcp://") + h + QLatin1Char(':') + QString::number(port);
  if (const int err = serivox::CheckNetworkPortName(candidate.toStdString())) return err;
  name = candidate;
  return 0;
}

QString RemotePorts::Ask() {
  if (AskName) return AskName();
  QDialog dialog(w_);
  dialog.setWindowTitle(QStringLiteral("Remote port"));
  auto* kind = new QComboBox(&dialog);
  kind->addItems({QStringLiteral("RFC 2217"), QStringLiteral("Raw TCP")});
  auto* host = new QLineEdit(&dialog);
  auto* port = new QSpinBox(&dialog);
  port->setRange(1, 65535);
  port->setValue(2000);
  auto* problem = new QLabel(&dialog);
  problem->setVisible(false);
  // The last remote port fills the fields.
  if (!recent_.isEmpty()) {
    serivox::NetworkPortParts last;
    if (serivox::CheckNetworkPortName(recent_.first().toStdString(), &last) == 0) {
      kind->setCurrentIndex(last.rfc2217 ? 0 : 1);
      host->setText(QString::fromStdString(last.host));
      port->setValue(last.port);
    }
  }
  auto* form = new QFormLayout(&dialog);
  form->addRow(QStringLiteral("&Kind:"), kind);
  form->addRow(QStringLiteral("&Host:"), host);
  form->addRow(QStringLiteral("&Port:"), port);
  form->addRow(problem);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  form->addRow(buttons);
  QString name;
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
    if (RemotePortName(kind->currentIndex() == 0, host->text(), port->value(), name) == 0) {
      dialog.accept();
      return;
    }
    problem->setText(QStringLiteral("The host must be a name of letters, digits, '-', '_' and '.', or an IP address."));
    problem->setVisible(true);
    host->setFocus();
  });
  host->setFocus();
  return dialog.exec() == QDialog::Accepted ? name : QString();
}

// --- The window's side ------------------------------------------------------------

RemotePorts::RemotePorts(TSerivox* window) : QObject(window), w_(window) {
  connect(&connect_, &TBackgroundOpen::Finished, this, [this](int error) { Guarded([&] { Finished(error); }); });
  w_->ui->ComComboBox1->OnCommand = [this](QObject*) { Guarded([&] { Pick(); }); };
  Refresh();
}

void RemotePorts::Refresh() {
  w_->ui->ComComboBox1->SetExtraItems(recent_, QStringLiteral("Remote port..."));
}

void RemotePorts::Use(const QString& name) {
  recent_.removeAll(name);
  recent_.prepend(name);
  while (recent_.size() > kRecent) recent_.removeLast();
  changed_ = true;
  Cancel();
  w_->ReturnWatch->Cancel();
  w_->ComPort->SetConnected(false);
  w_->ComPort->SetPort(name.toStdString());
  Refresh();
}

void RemotePorts::Pick() {
  const QString name = Ask();
  if (!name.isEmpty()) Use(name);
}

bool RemotePorts::ButtonClicked() {
  if (Connecting() && !reconnect_) {
    Cancel();
    return true;
  }
  Cancel();  // an automatic attempt gives way to the operator's
  if (w_->ComPort->Connected() || !serivox::IsNetworkPortName(w_->ComPort->Port())) return false;
  w_->ReturnWatch->Cancel();
  ConnectInBackground(false);
  return true;
}

void RemotePorts::ConnectInBackground(bool reconnect) {
  reconnect_ = reconnect;
  connect_.Start(*w_->ComPort);
  if (!reconnect) ShowConnecting(true);
}

void RemotePorts::Cancel() {
  if (!connect_.Busy()) return;
  connect_.Cancel();
  if (!reconnect_) ShowConnecting(false);
}

void RemotePorts::ShowConnecting(bool on) {
  w_->ui->Shape1->SetBrushColor(on ? kConnectingColor : clRed);
  w_->ui->Button1->setText(on ? QStringLiteral("Ca&ncel") : QStringLiteral("Co&nnect"));
}

void RemotePorts::Finished(int error) {
  const bool reconnect = reconnect_;
  if (!reconnect) ShowConnecting(false);
  if (reconnect && (!w_->ReconnectAction->isChecked() || !w_->ReturnWatch->Watching())) return;  // given up meanwhile
  if (error != 0) {
    if (reconnect) {
      w_->ReturnWatch->RetryLater();
      return;
    }
    EComPort failure(CError_OpenFailed, error);
    failure.SetPortName(w_->ComPort->Port());
    throw failure;
  }
  if (reconnect) w_->ReturnWatch->Cancel();
  connect_.OpenPort(*w_->ComPort);
  if (reconnect) w_->MarkReconnected(QString::fromStdString(w_->ComPort->Port()));
}

void RemotePorts::Load(const TIniFile& ini) {
  recent_.clear();
  const QString stored = QString::fromStdString(ini.ReadString(kSection, kRecentKey, ""));
  for (const QString& name : stored.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    // A name from the file is kept only when the port would take it.
    if (serivox::CheckNetworkPortName(name.toStdString()) == 0 && !recent_.contains(name) &&
        recent_.size() < kRecent)
      recent_.append(name);
  }
  changed_ = false;
  Refresh();
}

void RemotePorts::Save(TIniFile& ini) const {
  if (changed_) ini.WriteString(kSection, kRecentKey, recent_.join(QLatin1Char(',')).toStdString());
}

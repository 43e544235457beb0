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
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "device/netdevice.h"
#include "errordisplay.h"
#include "inifile.h"
#include "reconnect.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

using serivox::device::Device;

namespace {

constexpr char kSection[] = "Serivox";
constexpr char kRecentKey[] = "RemotePorts";
const QColor kConnectingColor{255, 255, 0};

// The threads of the attempts, joined at the end of the program. A thread
// hands its result to the application's thread only while the registry is
// open, under its lock, so nothing is posted to an application going away.
struct Workers {
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  std::mutex mu;
  bool closed = false;
  std::vector<Worker> threads;
  // Also when the application object outlives this (a static one).
  ~Workers() { BackgroundConnect::JoinAll(); }
};
Workers& TheWorkers() {
  static Workers workers;
  return workers;
}

}  // namespace

// --- The port ------------------------------------------------------------------

void TWindowComPort::OpenWith(std::unique_ptr<Device> device) {
  prepared_ = std::move(device);
  try {
    Open();
  } catch (...) {
    prepared_.reset();
    throw;
  }
  prepared_.reset();  // not used when the port was open already
}

void TWindowComPort::OpenDevice() {
  if (!prepared_) return TComPort::OpenDevice();
  SetHandle(std::move(prepared_));
}

// --- The attempt ----------------------------------------------------------------

struct BackgroundConnect::Job {
  BackgroundConnect* owner;              // the application's thread only; null once cancelled
  std::atomic<bool> cancelled{false};   // read by the worker: a cancelled device closes there
};

BackgroundConnect::BackgroundConnect(QObject* parent) : QObject(parent) {}

BackgroundConnect::~BackgroundConnect() { Cancel(); }

void BackgroundConnect::Start(const std::string& name, const serivox::device::CommTimeouts& timeouts) {
  Cancel();
  device_.reset();
  auto job = std::make_shared<Job>();
  job->owner = this;
  job_ = job;
  Workers& workers = TheWorkers();
  std::lock_guard lk(workers.mu);
  static const bool registered = [] {
    qAddPostRoutine(&BackgroundConnect::JoinAll);
    return true;
  }();
  (void)registered;
  // Threads that have ended are joined now: each holds its stack until then.
  for (auto it = workers.threads.begin(); it != workers.threads.end();) {
    if (!it->ended->load()) {
      ++it;
      continue;
    }
    it->thread.join();
    it = workers.threads.erase(it);
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  workers.threads.push_back({std::thread([job, name, timeouts, ended] {
    // Set last of all, once the device of a cancelled attempt is closed too.
    struct Mark {
      std::shared_ptr<std::atomic<bool>> flag;
      ~Mark() { flag->store(true); }
    } mark{ended};
    auto device = std::make_shared<std::unique_ptr<Device>>();
    const int error = serivox::device::openDevice(name, *device, timeouts);
    Workers& w = TheWorkers();
    std::lock_guard lk(w.mu);
    if (w.closed || job->cancelled || !QCoreApplication::instance()) return;  // the device closes here
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [job, device, error] {
          BackgroundConnect* owner = job->owner;
          if (!owner || owner->job_ != job) return;  // cancelled: the device closes here
          owner->job_.reset();
          owner->device_ = std::move(*device);
          emit owner->Finished(error);
        },
        Qt::QueuedConnection);
  }), ended});
}

void BackgroundConnect::Cancel() {
  if (job_) {
    job_->owner = nullptr;
    job_->cancelled = true;
  }
  job_.reset();
}

void BackgroundConnect::JoinAll() {
  std::vector<Workers::Worker> threads;
  {
    Workers& w = TheWorkers();
    std::lock_guard lk(w.mu);
    w.closed = true;
    threads.swap(w.threads);
  }
  for (Workers::Worker& t : threads) t.thread.join();
}

// --- The dialog -------------------------------------------------------------------

int RemotePortName(bool rfc2217, const QString& host, int port, QString& name) {
  QString h = host.trimmed();
  // An IPv6 address goes in brackets.
  if (h.contains(QLatin1Char(':')) && !h.startsWith(QLatin1Char('['))) h = QLatin1Char('[') + h + QLatin1Char(']');
  const QString candidate =
      QString::fromLatin1(rfc2217 ? "rfc2217://" : "tcp://") + h + QLatin1Char(':') + QString::number(port);
  serivox::device::NetPortName parsed;
  if (const int err = serivox::device::ParseNetPortName(candidate.toStdString(), parsed)) return err;
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
    serivox::device::NetPortName last;
    if (serivox::device::ParseNetPortName(recent_.first().toStdString(), last) == 0) {
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
  connect(&connect_, &BackgroundConnect::Finished, this, [this](int error) { Guarded([&] { Finished(error); }); });
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
  if (w_->ComPort->Connected() || !serivox::device::IsNetPortName(w_->ComPort->Port())) return false;
  w_->ReturnWatch->Cancel();
  ConnectInBackground(false);
  return true;
}

void RemotePorts::ConnectInBackground(bool reconnect) {
  reconnect_ = reconnect;
  connect_.Start(w_->ComPort->Port(), DeviceTimeouts(w_->ComPort->Timeouts()));
  if (!reconnect) ShowConnecting(true);
}

void RemotePorts::Cancel() {
  if (!connect_.Busy()) return;
  connect_.Cancel();
  if (!reconnect_) ShowConnecting(false);
}

void RemotePorts::ShowConnecting(bool on) {
  w_->ui->Shape1->SetBrushColor(on ? kConnectingColor : clRed);
  w_->ui->Button1->setText(on ? QStringLiteral("Cancel") : QStringLiteral("Connect"));
}

void RemotePorts::Finished(int error) {
  const bool reconnect = reconnect_;
  std::unique_ptr<Device> device = connect_.TakeDevice();
  if (!reconnect) ShowConnecting(false);
  if (reconnect && (!w_->ReconnectAction->isChecked() || !w_->ReturnWatch->Watching())) return;  // given up meanwhile
  if (error != 0 || !device) {
    if (reconnect) {
      w_->ReturnWatch->RetryLater();
      return;
    }
    EComPort failure(CError_OpenFailed, error != 0 ? error : ENODEV);
    failure.SetPortName(w_->ComPort->Port());
    throw failure;
  }
  auto* port = static_cast<TWindowComPort*>(w_->ComPort);
  if (!reconnect) {
    port->OpenWith(std::move(device));
    return;
  }
  w_->ReturnWatch->Cancel();
  port->OpenWith(std::move(device));
  w_->MarkReconnected(QString::fromStdString(port->Port()));
}

void RemotePorts::Load(const TIniFile& ini) {
  recent_.clear();
  const QString stored = QString::fromStdString(ini.ReadString(kSection, kRecentKey, ""));
  for (const QString& name : stored.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    serivox::device::NetPortName parsed;
    // A name from the file is kept only when the port would take it.
    if (serivox::device::ParseNetPortName(name.toStdString(), parsed) == 0 && !recent_.contains(name) &&
        recent_.size() < kRecent)
      recent_.append(name);
  }
  changed_ = false;
  Refresh();
}

void RemotePorts::Save(TIniFile& ini) const {
  if (changed_) ini.WriteString(kSection, kRecentKey, recent_.join(QLatin1Char(',')).toStdString());
}

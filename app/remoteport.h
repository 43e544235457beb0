// SPDX-License-Identifier: MIT
// Remote ports in the window: the "Remote port..." entry of the port selector
// and its dialog, the remote ports used lately, and connecting to a remote
// port without holding up the window.
//
// While a remote port connects, the port itself stays closed: every setter
// only stores (and is applied when it opens), Connected() is false, transfers
// fail as on a closed port. The connection is made by openDevice on a thread
// of its own; the port then opens on the window's thread with that device
// (TWindowComPort::OpenWith), which runs the usual open steps and handlers.
// Pressing the button again, choosing another port or closing the window
// cancels the attempt at once: its device, if it still comes, is dropped.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "comport.h"
#include "device/device.h"

class TSerivox;
class TIniFile;
class QWidget;

// The window's port: it can open with a device connected beforehand.
class TWindowComPort : public TComPort {
  Q_OBJECT
 public:
  using TComPort::TComPort;
  // Opens the port as Open does, with `device` (connected to the port's name)
  // in place of opening the name again. Errors as Open's.
  void OpenWith(std::unique_ptr<serivox::device::Device> device);

 protected:
  void OpenDevice() override;

 private:
  std::unique_ptr<serivox::device::Device> prepared_;
};

// One connection to a network port, made on a thread of its own.
class BackgroundConnect : public QObject {
  Q_OBJECT
 public:
  explicit BackgroundConnect(QObject* parent = nullptr);
  ~BackgroundConnect() override;

  // Starts connecting to `name`; cancels an attempt under way.
  void Start(const std::string& name, const serivox::device::CommTimeouts& timeouts);
  // Forgets the attempt under way: Finished does not come for it.
  void Cancel();
  bool Busy() const { return static_cast<bool>(job_); }
  // The device of the last attempt that succeeded (once).
  std::unique_ptr<serivox::device::Device> TakeDevice() { return std::move(device_); }
  // Waits for the threads of all attempts, cancelled ones too (at the end of
  // the program; each ends within its connection bound).
  static void JoinAll();

 signals:
  // On the thread that started it; error 0: TakeDevice holds the device.
  void Finished(int error);

 private:
  struct Job;
  std::shared_ptr<Job> job_;
  std::unique_ptr<serivox::device::Device> device_;
};

// The name of a remote port from the dialog's fields, checked as the port
// checks names: 0, or the error ParseNetPortName gives (EINVAL).
int RemotePortName(bool rfc2217, const QString& host, int port, QString& name);

class RemotePorts : public QObject {
  Q_OBJECT
 public:
  static constexpr int kRecent = 5;  // remote ports kept in the selector

  explicit RemotePorts(TSerivox* window);

  const QStringList& Recent() const { return recent_; }
  // `name` becomes the first of the recent ports and the window's port
  // (closed; the operator connects with "Connect").
  void Use(const QString& name);
  // The "Remote port..." entry: asks for a remote port and uses it.
  void Pick();
  // Hook for tests: the dialog's answer ("" = cancelled).
  std::function<QString()> AskName;

  // "Connect"/"Disconnect" pressed: true when handled here (a remote port
  // connects in the background, or the attempt under way is cancelled).
  bool ButtonClicked();
  // Connects the window's remote port in the background; `reconnect` marks
  // an automatic reconnection (the button is left alone, failure is silent).
  void ConnectInBackground(bool reconnect);
  void Cancel();
  bool Connecting() const { return connect_.Busy(); }

  void Load(const TIniFile& ini);
  void Save(TIniFile& ini) const;

 private:
  void Finished(int error);
  void ShowConnecting(bool on);
  void Refresh();
  QString Ask();

  TSerivox* w_;
  BackgroundConnect connect_;
  bool reconnect_ = false;
  QStringList recent_;
  bool changed_ = false;  // the list was changed: only then is it written
};

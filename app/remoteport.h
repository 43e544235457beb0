// SPDX-License-Identifier: MIT
// Remote ports in the window: the "Remote port..." entry of the port selector
// and its dialog, the remote ports used lately, and connecting to a remote
// port without holding up the window.
//
// Connecting runs beside the window (TBackgroundOpen, remoteopen.h); pressing
// the button again, choosing another port or closing the window cancels the
// attempt at once.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "remoteopen.h"

class TSerivox;
class TIniFile;
class QWidget;

// The name of a remote port from the dialog's fields, checked as the port
// checks names: 0, or the error it gives (EINVAL).
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
  TBackgroundOpen connect_;
  bool reconnect_ = false;
  QStringList recent_;
  bool changed_ = false;  // the list was changed: only then is it written
};

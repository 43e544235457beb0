// SPDX-License-Identifier: MIT
// Network ports for the window: an Open whose slow part (finding the host, connecting, the server's
// agreement to RFC 2217) runs on a thread of its own.
//
// While TBackgroundOpen connects, the port itself stays Closed: every setter
// only stores (and is applied when it opens), Connected() is false, transfers
// fail as on a closed port, and Open or Close by others act as on a closed
// port. Once connected, OpenPort opens the port on the owner's thread with
// that device: the usual open steps and handlers run, the settings are
// applied. Cancel forgets the attempt at once; its device, if it still
// comes, is closed on the attempt's thread.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "portname.h"

class TCustomComPort;

class TBackgroundOpen : public QObject {
  Q_OBJECT
 public:
  explicit TBackgroundOpen(QObject* parent = nullptr);
  ~TBackgroundOpen() override;

  // Starts connecting to the port's name with its time-outs; cancels an
  // attempt under way.
  void Start(const TCustomComPort& port);
  void Cancel();
  bool Busy() const { return static_cast<bool>(job_); }
  // After Finished(0): opens `port` as Open does, with the connected device.
  // Errors as Open's. Without a connected device, a plain Open.
  void OpenPort(TCustomComPort& port);
  // Waits for the threads of all attempts (each ends within its connection
  // bound); at the end of the program.
  static void JoinAll();

 signals:
  // On the thread that started it. `error` 0: OpenPort may follow.
  void Finished(int error);

 private:
  struct Job;
  struct Connected;
  std::shared_ptr<Job> job_;
  std::shared_ptr<Connected> device_;
};

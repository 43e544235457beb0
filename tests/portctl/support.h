// SPDX-License-Identifier: MIT
// Shared helpers of the port-bound control tests: the application object and a
// port on the scripted device, with settable modem lines and failures.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cerrno>
#include <functional>
#include <memory>

#include "comport.h"
#include "fake_device.h"
#include "portctl.h"

inline QApplication* EnsureApp() {
  static int argc = 1;
  static char arg0[] = "portctl_tests";
  static char* argv[] = {arg0, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

// Processes events until `done` holds or `limitMs` passes; returns `done()`.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < limitMs) QTest::qWait(10);
  return done();
}

// The port's scripted device (tests/port/fake_device.h), opened without an
// event thread: the lamp tests drive the link callbacks themselves.
class QuietPort : public FakePort {
 public:
  explicit QuietPort(QObject* owner = nullptr) : FakePort(owner) { SetEvents({}); }
};

// A lamp for the open port and one for each line it shows (CTS, DSR, RLSD),
// bound to `port`.
struct LineLamps {
  explicit LineLamps(TCustomComPort& port) {
    cts.SetLedSignal(lsCTS);
    dsr.SetLedSignal(lsDSR);
    rlsd.SetLedSignal(lsRLSD);
    for (TComLed* led : {&conn, &cts, &dsr, &rlsd}) led->SetComPort(&port);
  }
  TComLed conn, cts, dsr, rlsd;
};

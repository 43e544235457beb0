// The Qt application object the port's tests need for event delivery.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

#include "comport.h"

inline QCoreApplication* EnsureApp() {
  if (QCoreApplication::instance()) return QCoreApplication::instance();
  static int argc = 1;
  static char name[] = "port_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return &app;
}

// Processes events until `done` holds or `ms` pass; returns whether it held.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  EnsureApp();
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Opens `port`, expecting code 1: returns the system error it carries and
// checks that the port stayed closed.
inline int ExpectOpenError(TComPort& port) {
  try {
    port.Open();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_FALSE(port.Connected());
    return e.WinCode();
  }
  ADD_FAILURE() << "the open of " << port.Port() << " succeeded";
  return 0;
}

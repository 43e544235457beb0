// The Qt application object the port's tests need for event delivery.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

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

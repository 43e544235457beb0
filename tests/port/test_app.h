// SPDX-License-Identifier: MIT
// The Qt application object the port's tests need for event delivery.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

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

// Aborts the process when the scope is not left within `limit`, so that a
// deadlock fails the run instead of stalling it.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::string what) : what_(std::move(what)) {
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, limit, [this] { return done_; })) {
        std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", what_.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::string what_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;
};

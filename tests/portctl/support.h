// Shared helpers of the port-bound control tests: the application object and a
// port whose device is a fake with settable modem lines and failures.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cerrno>
#include <functional>
#include <memory>

#include "comport.h"
#include "device/device.h"

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

struct FakeLines {
  uint32_t modemStatus = 0;  // MS_ bits reported to the port
  int setStateError = 0;     // errno returned by setCommState, 0 = success
};

class FakeDevice : public serivox::device::Device {
 public:
  explicit FakeDevice(FakeLines* lines) : lines_(lines) {}
  int setupComm(int, int) override { return 0; }
  int setCommState(const serivox::device::Dcb&) override { return lines_->setStateError; }
  int setCommTimeouts(const serivox::device::CommTimeouts&) override { return 0; }
  int write(const uint8_t*, int count, int& done) override {
    done = count;
    return 0;
  }
  int read(uint8_t*, int, int& done) override {
    done = 0;
    return 0;
  }
  int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) override {
    errors = 0;
    inQueue = 0;
    if (outQueue) *outQueue = 0;
    return 0;
  }
  int getModemStatus(uint32_t& status) override {
    status = lines_->modemStatus;
    return 0;
  }
  int escapeFunction(int) override { return 0; }
  int purge(uint32_t) override { return 0; }
  int setCommMask(uint32_t) override { return 0; }
  int waitCommEvent(uint32_t&, int) override { return ECANCELED; }

 private:
  FakeLines* lines_;
};

// A port that opens the fake device and runs no event thread.
class FakePort : public TComPort {
 public:
  explicit FakePort(QObject* owner = nullptr) : TComPort(owner) { SetEvents({}); }
  FakeLines lines;

 protected:
  void OpenDevice() override { SetHandle(std::make_unique<FakeDevice>(&lines)); }
};

// SPDX-License-Identifier: MIT
// A pseudo-terminal pair for tests: the master stays with the test, the slave
// is reached by its path like any serial device.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "device/device.h"

using namespace serivox::device;  // the device constants in tests (EV_, CE_, MS_, PURGE_)

struct TestPty {
  int master = -1;
  std::string slavePath;

  TestPty() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      slavePath = name;
      close(slave);  // the code under test opens the slave by its path
    }
  }
  ~TestPty() { closeMaster(); }
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  bool ok() const { return master >= 0; }
  // Closing the master hangs up the slave, like pulling a USB adapter.
  void closeMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  bool send(const std::string& bytes) const {
    return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
};

// One waitCommEvent on `device`, stopped through its stop descriptor when no
// event came within `limit`: rc is ECANCELED then.
struct WaitOutcome {
  int rc = -1;
  uint32_t events = 0;
};
inline WaitOutcome WaitEvents(serivox::device::Device& device, std::chrono::milliseconds limit) {
  const int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread stopper([&] {
    std::unique_lock lk(m);
    if (!cv.wait_for(lk, limit, [&] { return done; })) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(stop, &one, sizeof one);
    }
  });
  WaitOutcome out;
  out.rc = device.waitCommEvent(out.events, stop);
  {
    std::lock_guard lk(m);
    done = true;
  }
  cv.notify_all();
  stopper.join();
  close(stop);
  return out;
}

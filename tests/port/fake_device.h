// SPDX-License-Identifier: MIT
// A scripted device for the port's tests: records every call, serves input
// from a queue and delivers event batches that the test pushes.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comport.h"
#include "device/device.h"

using namespace serivox::device;  // the device constants in tests (EV_, CE_, MS_, PURGE_)

class FakeDevice : public serivox::device::Device {
 public:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;  // "setupComm", "setCommState", "write:AB" ...
    serivox::device::Dcb lastDcb;
    serivox::device::CommTimeouts lastTimeouts;
    std::deque<uint8_t> input;
    std::deque<uint32_t> batches;  // event masks waitCommEvent hands out
    uint32_t modemStatus = 0;
    uint32_t lineErrors = 0;
    uint32_t mask = 0;
    int failSetCommState = 0;
    int failPurge = 0;
    int failClearCommError = 0;
    // The device went away: the wait reports EV_ERR (with CE_IOE) once, then fails with EIO.
    bool lost = false;
    bool lossReported = false;
    bool destroyed = false;

    int Count(const std::string& call) {
      std::lock_guard lock(mutex);
      return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    void PushBatch(uint32_t events) {
      std::lock_guard lock(mutex);
      batches.push_back(events);
      changed.notify_all();
    }
    size_t PendingBatches() {
      std::lock_guard lock(mutex);
      return batches.size();
    }
    void PushInput(const std::string& bytes) {
      std::lock_guard lock(mutex);
      input.insert(input.end(), bytes.begin(), bytes.end());
    }
  };

  explicit FakeDevice(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}
  ~FakeDevice() override {
    std::lock_guard lock(s_->mutex);
    s_->destroyed = true;
    s_->calls.push_back("close");
  }

  int setupComm(int, int) override { return Record("setupComm"); }
  int setCommState(const serivox::device::Dcb& dcb) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("setCommState");
    s_->lastDcb = dcb;
    return s_->failSetCommState;
  }
  int setCommTimeouts(const serivox::device::CommTimeouts& t) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("setCommTimeouts");
    s_->lastTimeouts = t;
    return 0;
  }
  int write(const uint8_t* data, int count, int& done) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("write:" + std::string(reinterpret_cast<const char*>(data), count));
    done = count;
    return 0;
  }
  int read(uint8_t* data, int count, int& done) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("read");
    done = 0;
    while (done < count && !s_->input.empty()) {
      data[done++] = s_->input.front();
      s_->input.pop_front();
    }
    return 0;
  }
  int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) override {
    std::lock_guard lock(s_->mutex);
    errors = s_->lineErrors;
    s_->lineErrors = 0;
    inQueue = static_cast<int>(s_->input.size());
    if (outQueue) *outQueue = 0;
    return s_->failClearCommError;
  }
  int getModemStatus(uint32_t& status) override {
    std::lock_guard lock(s_->mutex);
    status = s_->modemStatus;
    return 0;
  }
  int escapeFunction(int function) override { return Record("escape:" + std::to_string(function)); }
  int purge(uint32_t flags) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("purge:" + std::to_string(flags));
    return (flags & PURGE_TXABORT) ? s_->failPurge : 0;
  }
  int setCommMask(uint32_t mask) override {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back("setCommMask:" + std::to_string(mask));
    s_->mask = mask;
    s_->changed.notify_all();
    return 0;
  }
  int waitCommEvent(uint32_t& events, int stopFd) override {
    for (;;) {
      {
        std::unique_lock lock(s_->mutex);
        if (s_->lost) {
          if (s_->lossReported) return EIO;
          s_->lossReported = true;
          s_->lineErrors |= CE_IOE;
          events = s_->mask & EV_ERR;
          return events != 0 ? 0 : EIO;
        }
        if (!s_->batches.empty()) {
          events = s_->batches.front() & s_->mask;
          s_->batches.pop_front();
          return 0;
        }
      }
      pollfd p{stopFd, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) return ECANCELED;
    }
  }

 private:
  int Record(const std::string& call) {
    std::lock_guard lock(s_->mutex);
    s_->calls.push_back(call);
    return 0;
  }
  std::shared_ptr<Shared> s_;
};

// A port whose OpenDevice installs a FakeDevice sharing `shared`.
class FakePort : public TComPort {
 public:
  explicit FakePort(QObject* owner = nullptr) : TComPort(owner), shared(std::make_shared<FakeDevice::Shared>()) {}
  std::shared_ptr<FakeDevice::Shared> shared;
  int openFailure = 0;

 protected:
  void OpenDevice() override {
    if (openFailure) throw EComPort(CError_OpenFailed, openFailure);
    SetHandle(std::make_unique<FakeDevice>(shared));
  }
};

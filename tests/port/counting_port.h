// SPDX-License-Identifier: MIT
// A port whose device counts the DTR and RTS requests that reach it and
// charges each a fixed time, as a USB adapter's control transfer costs; the
// rest goes to the device the port's name opens (a built-in virtual port).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "comport.h"
#include "device/device.h"
#include "error.h"

using namespace serivox::device;  // the device constants (SETDTR, CLRRTS ...)

struct LineRequests {
  std::atomic<int> dtr{0};
  std::atomic<int> rts{0};
  std::atomic<long long> bytesRead{0};
  std::chrono::microseconds charge{0};
};

class CountingDevice : public serivox::device::Device {
 public:
  CountingDevice(std::unique_ptr<Device> inner, std::shared_ptr<LineRequests> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {}
  int setupComm(int in, int out) override { return inner_->setupComm(in, out); }
  int setCommState(const serivox::device::Dcb& dcb) override { return inner_->setCommState(dcb); }
  int setCommTimeouts(const serivox::device::CommTimeouts& t) override { return inner_->setCommTimeouts(t); }
  int write(const uint8_t* data, int count, int& done) override { return inner_->write(data, count, done); }
  int read(uint8_t* data, int count, int& done) override {
    const int err = inner_->read(data, count, done);
    counts_->bytesRead += done;
    return err;
  }
  int clearCommError(uint32_t& errors, int& in, int* out) override { return inner_->clearCommError(errors, in, out); }
  int getModemStatus(uint32_t& status) override { return inner_->getModemStatus(status); }
  int escapeFunction(int function) override {
    if (function == SETDTR || function == CLRDTR) ++counts_->dtr;
    if (function == SETRTS || function == CLRRTS) ++counts_->rts;
    if (counts_->charge.count() > 0) std::this_thread::sleep_for(counts_->charge);
    return inner_->escapeFunction(function);
  }
  int purge(uint32_t flags) override { return inner_->purge(flags); }
  int drain() override { return inner_->drain(); }
  int setCommMask(uint32_t mask) override { return inner_->setCommMask(mask); }
  int waitCommEvent(uint32_t& events, int stopFd) override { return inner_->waitCommEvent(events, stopFd); }

 private:
  std::unique_ptr<Device> inner_;
  std::shared_ptr<LineRequests> counts_;
};

class CountingPort : public TComPort {
 public:
  CountingPort(QObject* owner, std::shared_ptr<LineRequests> counts) : TComPort(owner), counts_(std::move(counts)) {}

 protected:
  void OpenDevice() override {
    std::unique_ptr<serivox::device::Device> device;
    if (const int error = serivox::device::openDevice(Port(), device)) throw EComPort(CError_OpenFailed, error);
    SetHandle(std::make_unique<CountingDevice>(std::move(device), counts_));
  }

 private:
  std::shared_ptr<LineRequests> counts_;
};

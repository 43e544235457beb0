// SPDX-License-Identifier: MIT
// Network ports for the window. See remoteopen.h.
#include "remoteopen.h"

#include <QCoreApplication>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "comport.h"
#include "device/netdevice.h"

using serivox::device::CommTimeouts;
using serivox::device::Device;

// The time-outs as the device takes them (comport.cpp).
CommTimeouts DeviceTimeouts(const TComTimeouts& timeouts);

namespace serivox {


}  // namespace serivox

namespace {

// The threads of the attempts, joined at the end of the program. A thread
// hands its result to the application's thread only while the registry is
// open, under its lock, so nothing is posted to an application going away.
struct Workers {
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  std::mutex mu;
  bool closed = false;
  std::vector<Worker> threads;
  // Also when the application object outlives this (a static one).
  ~Workers() { TBackgroundOpen::JoinAll(); }
};
Workers& TheWorkers() {
  static Workers workers;
  return workers;
}

}  // namespace

struct TBackgroundOpen::Job {
  TBackgroundOpen* owner = nullptr;     // the application's thread only; null once cancelled
  std::atomic<bool> cancelled{false};  // read by the worker: a cancelled device closes there
};

struct TBackgroundOpen::Connected {
  std::unique_ptr<Device> device;
};

TBackgroundOpen::TBackgroundOpen(QObject* parent) : QObject(parent) {}

TBackgroundOpen::~TBackgroundOpen() { Cancel(); }

void TBackgroundOpen::Start(const TCustomComPort& port) {
  Cancel();
  device_.reset();
  auto job = std::make_shared<Job>();
  job->owner = this;
  job_ = job;
  const std::string name = port.Port();
  const CommTimeouts timeouts = DeviceTimeouts(port.Timeouts());
  Workers& workers = TheWorkers();
  std::lock_guard lk(workers.mu);
  static const bool registered = [] {
    qAddPostRoutine(&TBackgroundOpen::JoinAll);
    return true;
  }();
  (void)registered;
  // Threads that have ended are joined now: each holds its stack until then.
  for (auto it = workers.threads.begin(); it != workers.threads.end();) {
    if (!it->ended->load()) {
      ++it;
      continue;
    }
    it->thread.join();
    it = workers.threads.erase(it);
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  workers.threads.push_back({std::thread([job, name, timeouts, ended] {
    // Set last of all, once the device of a cancelled attempt is closed too.
    struct Mark {
      std::shared_ptr<std::atomic<bool>> flag;
      ~Mark() { flag->store(true); }
    } mark{ended};
    auto result = std::make_shared<Connected>();
    const int error = serivox::device::openDevice(name, result->device, timeouts);
    Workers& w = TheWorkers();
    std::lock_guard lk(w.mu);
    if (w.closed || job->cancelled || !QCoreApplication::instance()) return;  // the device closes here
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [job, result, error] {
          TBackgroundOpen* owner = job->owner;
          if (!owner || owner->job_ != job) return;  // cancelled meanwhile
          owner->job_.reset();
          owner->device_ = result;
          emit owner->Finished(error);
        },
        Qt::QueuedConnection);
  }), ended});
}

void TBackgroundOpen::Cancel() {
  if (job_) {
    job_->owner = nullptr;
    job_->cancelled = true;
  }
  job_.reset();
}

void TBackgroundOpen::OpenPort(TCustomComPort& port) {
  std::shared_ptr<Connected> result = std::move(device_);
  if (result) port.prepared_ = std::move(result->device);
  try {
    port.Open();
  } catch (...) {
    port.prepared_.reset();
    throw;
  }
  port.prepared_.reset();  // not taken when the port was open already
}

void TBackgroundOpen::JoinAll() {
  std::vector<Workers::Worker> threads;
  {
    Workers& w = TheWorkers();
    std::lock_guard lk(w.mu);
    w.closed = true;
    threads.swap(w.threads);
  }
  for (Workers::Worker& t : threads) t.thread.join();
}

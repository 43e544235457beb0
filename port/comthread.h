// SPDX-License-Identifier: MIT
// The event thread of an open port and the hidden message window that
// carries its events to the owner's thread.
#pragma once

#include <QEvent>
#include <QObject>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "types.h"

class TCustomComPort;
namespace serivox::device {
class Device;
}

// Whether a port object still exists: shared by the port and every delivery
// running for it, cleared by the port's destructor. A handler may delete its
// own port; the delivery that called it checks this before going on.
using PortLife = std::shared_ptr<std::atomic<bool>>;

// State shared between the event thread and the owner's thread. It outlives
// both sides (held by shared pointers), so a late message never touches
// freed memory.
struct DeliveryChannel {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;      // the stop event is signalled
  bool launched = false;  // the owner has finished starting the thread
  bool finished = false;  // the thread body has returned
  uint64_t posted = 0;    // window messages sent
  uint64_t taken = 0;     // window messages accepted by the owner's thread
  // A thread-sync delivery handed to the owner's thread.
  enum class Sync { Idle, Pending, Running, Done } sync = Sync::Idle;
  TCustomComPort* port = nullptr;
  PortLife life;
  TComEvents syncEvents;

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stop;
  }
};

// Runs the delivery pending in the channel, if any, on the owner's thread.
void RunPendingSync(const std::shared_ptr<DeliveryChannel>& channel);

// The message number of a port event (WM_USER + 1).
constexpr int PortEventMessage = 0x0401;

// The hidden message window of smWindowSync: lives on the owner's thread and
// runs the port's window procedure for each port event message.
class PortWindow : public QObject {
 public:
  explicit PortWindow(TCustomComPort* port);
  void SetChannel(std::shared_ptr<DeliveryChannel> channel) { channel_ = std::move(channel); }
  // Cuts the window from its port; later messages are dropped.
  void Detach() { port_ = nullptr; }
  bool event(QEvent* e) override;

 private:
  TCustomComPort* port_;
  std::shared_ptr<DeliveryChannel> channel_;
};

// Threading: created, stopped and destroyed by the port on the owner's
// thread, except that a smNone handler may close its port on the event
// thread itself; then the thread cannot wait for itself, so it is told to
// stop and deletes its own object when its body returns (ReleaseToThread).
class TComThread {
 public:
  // Sets the device's event mask from the port's Events and starts the
  // thread. The thread shares the device, so the device outlives it even
  // when the port lets go of it first. Throws EComPort code 1 with the
  // system's error when the stop event or the thread cannot be created.
  TComThread(TCustomComPort* port, std::shared_ptr<serivox::device::Device> device);
  // Stops the thread and waits for its end. Thread-sync deliveries that the
  // thread has already handed over are run meanwhile, so the wait cannot lock.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Signals the stop event.
  void Stop();
  // Whether the caller runs on this event thread (a smNone handler).
  bool IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // Called on the event thread itself: stops it and hands the object to it;
  // it is deleted when the thread body returns.
  static void ReleaseToThread(std::unique_ptr<TComThread> self);

 private:
  void Execute();
  void DispatchEvents();
  void DeliverEvents();
  void PostEvents();
  void ReportDeviceLost();

  TCustomComPort* ComPort;
  int StopEvent = -1;  // eventfd, readable once signalled
  TComEvents Events;
  TSyncMethod syncMethod_;
  std::shared_ptr<serivox::device::Device> device_;
  std::shared_ptr<DeliveryChannel> channel_;
  QObject* syncTarget_ = nullptr;  // lives on the owner's thread: thread-sync wake-ups, loss reports
  bool selfOwned_ = false;         // set and read on the event thread only
  std::thread thread_;
};

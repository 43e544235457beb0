// The event thread of an open port and the hidden message window that
// carries its events to the owner's thread.
#pragma once

#include <QEvent>
#include <QObject>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "types.h"

class TCustomComPort;

// State shared between the event thread and the owner's thread. It outlives
// both sides (held by shared pointers), so a late message never touches
// freed memory.
struct DeliveryChannel {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;      // the stop event is signalled
  bool finished = false;  // the thread body has returned
  uint64_t posted = 0;    // window messages sent
  uint64_t taken = 0;     // window messages accepted by the owner's thread
  // A thread-sync delivery handed to the owner's thread.
  enum class Sync { Idle, Pending, Running, Done } sync = Sync::Idle;
  TCustomComPort* port = nullptr;
  TComEvents syncEvents;
  std::exception_ptr syncError;
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

class TComThread {
 public:
  // Sets the device's event mask from the port's Events and starts the thread.
  explicit TComThread(TCustomComPort* port);
  // Stops the thread and waits for its end. Thread-sync deliveries that the
  // thread has already handed over are run meanwhile, so the wait cannot lock.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Signals the stop event.
  void Stop();

 private:
  void Execute();
  void DispatchEvents();
  void DeliverEvents();
  void PostEvents();

  TCustomComPort* ComPort;
  int StopEvent = -1;  // eventfd, readable once signalled
  TComEvents Events;
  std::shared_ptr<DeliveryChannel> channel_;
  QObject* syncTarget_ = nullptr;  // receives the owner-thread wake-ups of smThreadSync
  std::thread thread_;
};

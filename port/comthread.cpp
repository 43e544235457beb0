// SPDX-License-Identifier: MIT
// The event thread: waits on the device and hands each batch of events to
// the port by its SyncMethod, in the fixed order of delivery.
#include "comthread.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "comport.h"
#include "device/device.h"

using namespace serivox::device;  // the device constants (EV_, CE_, MS_, PURGE_)

namespace {

// Fixed order of delivery: the event and its message parameter.
struct OrderEntry {
  TComEvent event;
  uint32_t wParam;
};
constexpr std::array<OrderEntry, 10> kDeliveryOrder = {{
    {evError, EV_ERR},
    {evRxChar, EV_RXCHAR},
    {evTxEmpty, EV_TXEMPTY},
    {evBreak, EV_BREAK},
    {evRing, EV_RING},
    {evCTS, EV_CTS},
    {evDSR, EV_DSR},
    {evRxFlag, EV_RXFLAG},
    {evRLSD, EV_RLSD},
    {evRx80Full, EV_RX80FULL},
}};

class PortEvent : public QEvent {
 public:
  explicit PortEvent(uint32_t wParam)
      : QEvent(static_cast<QEvent::Type>(QEvent::User + PortEventMessage)), wParam(wParam) {}
  const uint32_t wParam;
};

// A wake-up of the owner's thread for a thread-sync delivery.
constexpr QEvent::Type kSyncEvent = static_cast<QEvent::Type>(QEvent::User + PortEventMessage + 1);

// Lives on the owner's thread; holds only the channel, so a wake-up that
// arrives after the thread has gone finds nothing pending and does nothing.
class SyncTarget : public QObject {
 public:
  explicit SyncTarget(std::shared_ptr<DeliveryChannel> channel) : channel_(std::move(channel)) {}
  bool event(QEvent* e) override {
    if (e->type() != kSyncEvent) return QObject::event(e);
    RunPendingSync(channel_);
    return true;
  }

 private:
  std::shared_ptr<DeliveryChannel> channel_;
};

// Runs one per-event step; its error goes to the exception reporter and the
// delivery goes on with the next event.
void RunStep(TCustomComPort* port, const PortLife& life, uint32_t wParam) {
  try {
    port->WindowProc(wParam);
  } catch (const std::exception& error) {
    ReportException(life->load() ? port : nullptr, error);
  } catch (...) {
    ReportException(life->load() ? port : nullptr, std::runtime_error("Unknown error"));
  }
}

// The per-event steps for a batch, in the fixed order. A step's handler may
// close or delete the port: on the owner's thread the batch ends when the
// port is gone or closed, on the event thread when the thread was told to stop.
void DeliverBatch(DeliveryChannel& channel, TComEvents events, bool onOwnerThread) {
  TCustomComPort* port = channel.port;
  const PortLife life = channel.life;
  for (const OrderEntry& entry : kDeliveryOrder) {
    if (!events.Contains(entry.event)) continue;
    if (!life->load()) return;
    if (onOwnerThread ? !port->Connected() : channel.Stopping()) return;
    RunStep(port, life, entry.wParam);
  }
}

}  // namespace

// --- PortWindow -------------------------------------------------------------

PortWindow::PortWindow(TCustomComPort* port) : port_(port) { setObjectName("PortWindow"); }

bool PortWindow::event(QEvent* e) {
  if (e->type() != static_cast<QEvent::Type>(QEvent::User + PortEventMessage)) return QObject::event(e);
  // Accept the message first: this releases the event thread at once.
  if (channel_) {
    std::lock_guard lock(channel_->mutex);
    ++channel_->taken;
    channel_->changed.notify_all();
  }
  if (!port_ || !port_->Connected() || !channel_) return true;
  RunStep(port_, channel_->life, static_cast<PortEvent*>(e)->wParam);
  return true;
}

// --- TComThread -------------------------------------------------------------

TComThread::TComThread(TCustomComPort* port, std::shared_ptr<serivox::device::Device> device)
    : ComPort(port),
      syncMethod_(port->SyncMethod()),
      device_(std::move(device)),
      channel_(std::make_shared<DeliveryChannel>()) {
  StopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (StopEvent < 0) throw EComPort(CError_OpenFailed, errno);
  channel_->port = ComPort;
  channel_->life = ComPort->Life();
  // The device reports exactly the chosen events; the result is not examined.
  device_->setCommMask(EventSetToMask(ComPort->Events()));
  try {
    thread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "serivox-events");  // for top -H and perf
      {
        // thread_ is complete only once the owner has stored it.
        std::unique_lock lock(channel_->mutex);
        channel_->changed.wait(lock, [this] { return channel_->launched; });
      }
      Execute();
      if (selfOwned_) {
        thread_.detach();
        delete this;
      }
    });
  } catch (const std::system_error& error) {
    device_->setCommMask(0);
    close(StopEvent);
    throw EComPort(CError_OpenFailed, error.code().value() ? error.code().value() : EAGAIN);
  }
  syncTarget_ = new SyncTarget(channel_);
  if (auto* window = dynamic_cast<PortWindow*>(ComPort->Window())) window->SetChannel(channel_);
  std::lock_guard lock(channel_->mutex);
  channel_->launched = true;
  channel_->changed.notify_all();
}

TComThread::~TComThread() {
  Stop();
  std::unique_lock lock(channel_->mutex);
  while (!channel_->finished) {
    if (channel_->sync == DeliveryChannel::Sync::Pending) {
      lock.unlock();
      RunPendingSync(channel_);
      lock.lock();
      continue;
    }
    channel_->changed.wait(lock);
  }
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  close(StopEvent);
  // Deleted later: this destructor may run inside a delivery of that object.
  syncTarget_->deleteLater();
}

void TComThread::Stop() {
  {
    std::lock_guard lock(channel_->mutex);
    channel_->stop = true;
    channel_->changed.notify_all();
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(StopEvent, &one, sizeof one);
}

void TComThread::ReleaseToThread(std::unique_ptr<TComThread> self) {
  self->Stop();
  self->selfOwned_ = true;
  self.release();
}

void TComThread::Execute() {
  bool lost = false;
  for (;;) {
    uint32_t mask = 0;
    const int r = device_->waitCommEvent(mask, StopEvent);
    if (r != 0) {
      // EIO: the device went away. Any other failure ends the loop as the
      // stop event does.
      lost = r == EIO && !channel_->Stopping();
      if (lost) ReportDeviceLost();
      break;
    }
    Events = MaskToEventSet(mask);
    if (!Events.Empty()) DispatchEvents();
    if (channel_->Stopping()) break;
  }
  device_->setCommMask(0);
  // Stopped: received bytes nobody will read are dropped; bytes already
  // written are left to leave the port (Close drains them). Lost: what
  // arrived before the loss stays readable until the port is closed.
  if (!lost) device_->purge(PURGE_RXCLEAR);
  std::lock_guard lock(channel_->mutex);
  channel_->finished = true;
  channel_->changed.notify_all();
}

void TComThread::DispatchEvents() {
  switch (syncMethod_) {
    case smThreadSync: {
      std::unique_lock lock(channel_->mutex);
      if (channel_->stop) return;
      channel_->sync = DeliveryChannel::Sync::Pending;
      channel_->syncEvents = Events;
      // The owner may already be waiting in Close: it runs the delivery there.
      channel_->changed.notify_all();
      QCoreApplication::postEvent(syncTarget_, new QEvent(kSyncEvent));
      // Wait until the owner has run the delivery. While it is running the
      // owner may itself be closing the port from a handler, so a stopping
      // thread does not wait for it.
      channel_->changed.wait(lock, [this] {
        return channel_->sync == DeliveryChannel::Sync::Done ||
               (channel_->stop && channel_->sync == DeliveryChannel::Sync::Running);
      });
      if (channel_->sync == DeliveryChannel::Sync::Done) channel_->sync = DeliveryChannel::Sync::Idle;
      break;
    }
    case smWindowSync:
      PostEvents();
      break;
    case smNone:
      DeliverEvents();
      break;
  }
}

void TComThread::DeliverEvents() { DeliverBatch(*channel_, Events, false); }

void TComThread::PostEvents() {
  for (const OrderEntry& entry : kDeliveryOrder) {
    if (!Events.Contains(entry.event)) continue;
    std::unique_lock lock(channel_->mutex);
    if (channel_->stop) return;
    const uint64_t ticket = ++channel_->posted;
    QCoreApplication::postEvent(ComPort->Window(), new PortEvent(entry.wParam));
    // Released when the owner's thread has taken the message, or by the stop event.
    channel_->changed.wait(lock, [&] { return channel_->taken >= ticket || channel_->stop; });
  }
}

// The loss goes to the owner's thread, whatever the SyncMethod: its handler
// usually closes the port, which the event thread cannot do for itself.
void TComThread::ReportDeviceLost() {
  std::shared_ptr<DeliveryChannel> channel = channel_;
  QMetaObject::invokeMethod(
      syncTarget_,
      [channel] {
        {
          std::lock_guard lock(channel->mutex);
          if (channel->stop) return;  // closed meanwhile
        }
        if (channel->life->load()) channel->port->ProcessDeviceLost();
      },
      Qt::QueuedConnection);
}

void RunPendingSync(const std::shared_ptr<DeliveryChannel>& channel) {
  TComEvents events;
  {
    std::lock_guard lock(channel->mutex);
    if (channel->sync != DeliveryChannel::Sync::Pending) return;
    channel->sync = DeliveryChannel::Sync::Running;
    events = channel->syncEvents;
  }
  // Keeps the channel alive even if a handler closes the port meanwhile.
  std::shared_ptr<DeliveryChannel> keep = channel;
  DeliverBatch(*keep, events, true);
  std::lock_guard lock(keep->mutex);
  keep->sync = DeliveryChannel::Sync::Done;
  keep->changed.notify_all();
}

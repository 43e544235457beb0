// The event thread: waits on the device and hands each batch of events to
// the port by its SyncMethod, in the fixed order of delivery.
#include "comthread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <array>
#include <cerrno>
#include <cstdint>

#include "comport.h"
#include "device/device.h"

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

// The per-event steps for a batch, in the fixed order.
void DeliverBatch(TCustomComPort* port, TComEvents events, bool onOwnerThread) {
  for (const OrderEntry& entry : kDeliveryOrder) {
    if (!events.Contains(entry.event)) continue;
    // A handler run on the owner's thread may have closed the port.
    if (onOwnerThread && !port->Connected()) return;
    port->WindowProc(entry.wParam);
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
  if (!port_ || !port_->Connected()) return true;
  try {
    port_->WindowProc(static_cast<PortEvent*>(e)->wParam);
  } catch (const std::exception& error) {
    ReportException(port_, error);
  } catch (...) {
    ReportException(port_, std::runtime_error("Unknown error"));
  }
  return true;
}

// --- TComThread -------------------------------------------------------------

TComThread::TComThread(TCustomComPort* port)
    : ComPort(port), channel_(std::make_shared<DeliveryChannel>()) {
  StopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (auto* window = dynamic_cast<PortWindow*>(ComPort->Window())) window->SetChannel(channel_);
  channel_->port = ComPort;
  syncTarget_ = new SyncTarget(channel_);
  // The device reports exactly the chosen events; the result is not examined.
  ComPort->Handle()->setCommMask(EventSetToMask(ComPort->Events()));
  thread_ = std::thread([this] { Execute(); });
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
  thread_.join();
  if (StopEvent >= 0) close(StopEvent);
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
  if (StopEvent >= 0) [[maybe_unused]] ssize_t n = write(StopEvent, &one, sizeof one);
}

void TComThread::Execute() {
  serivox::device::Device* device = ComPort->Handle();
  for (;;) {
    uint32_t mask = 0;
    const int r = device->waitCommEvent(mask, StopEvent);
    // The stop event or a failed wait ends the loop.
    if (r != 0) break;
    Events = MaskToEventSet(mask);
    if (Events.Empty()) continue;
    try {
      DispatchEvents();
    } catch (...) {
      // Under smThreadSync and smNone an error of a step ends the thread
      // without a message; the port can still be closed.
      break;
    }
    std::lock_guard lock(channel_->mutex);
    if (channel_->stop) break;
  }
  device->setCommMask(0);
  device->purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
  std::lock_guard lock(channel_->mutex);
  channel_->finished = true;
  channel_->changed.notify_all();
}

void TComThread::DispatchEvents() {
  switch (ComPort->SyncMethod()) {
    case smThreadSync: {
      std::unique_lock lock(channel_->mutex);
      channel_->sync = DeliveryChannel::Sync::Pending;
      channel_->syncEvents = Events;
      channel_->syncError = nullptr;
      QCoreApplication::postEvent(syncTarget_, new QEvent(kSyncEvent));
      // Wait until the owner has run the delivery. When stopping while it is
      // still pending, the owner runs it inside Close; while it is running it
      // may itself be closing the port, so the thread does not wait for it.
      channel_->changed.wait(lock, [this] {
        return channel_->sync == DeliveryChannel::Sync::Done ||
               (channel_->stop && channel_->sync == DeliveryChannel::Sync::Running);
      });
      const bool done = channel_->sync == DeliveryChannel::Sync::Done;
      std::exception_ptr error = channel_->syncError;
      if (done) channel_->sync = DeliveryChannel::Sync::Idle;
      lock.unlock();
      if (error) std::rethrow_exception(error);
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

void TComThread::DeliverEvents() { DeliverBatch(ComPort, Events, false); }

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

void RunPendingSync(const std::shared_ptr<DeliveryChannel>& channel) {
  TCustomComPort* port;
  TComEvents events;
  {
    std::lock_guard lock(channel->mutex);
    if (channel->sync != DeliveryChannel::Sync::Pending) return;
    channel->sync = DeliveryChannel::Sync::Running;
    port = channel->port;
    events = channel->syncEvents;
  }
  // Keeps the channel alive even if a handler closes the port meanwhile.
  std::shared_ptr<DeliveryChannel> keep = channel;
  std::exception_ptr error;
  try {
    DeliverBatch(port, events, true);
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard lock(keep->mutex);
  keep->syncError = error;
  keep->sync = DeliveryChannel::Sync::Done;
  keep->changed.notify_all();
}

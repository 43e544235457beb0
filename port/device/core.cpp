// SPDX-License-Identifier: MIT
// The device core: queue, events, reads, purge and the event wait. See core.h.
#include "core.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "waits.h"

namespace serivox::device {

namespace {

using Clock = DeviceCore::Clock;
constexpr size_t kMinQueue = 64 * 1024;
constexpr auto kGather = std::chrono::milliseconds(1);
constexpr size_t kGatherBytes = 32 * 1024;
constexpr uint32_t kArrivalEvents = EV_RXCHAR | EV_RXFLAG | EV_RX80FULL;
constexpr int kTxPollMs = 10;  // output check period while waiting for EV_TXEMPTY
constexpr auto kOutputPoll = std::chrono::milliseconds(2);  // output check period of a drain

// What the time-outs make of a read of `count` bytes (see CommTimeouts).
struct ReadBounds {
  bool immediate = false;    // return at once with what waits
  bool firstByte = false;    // return as soon as anything has come
  uint64_t totalMs = 0;      // bound of the whole read; 0: none
  bool useInterval = false;  // a gap of ReadIntervalTimeout between bytes ends the read
};
ReadBounds ReadBoundsFor(const CommTimeouts& t, int count) {
  constexpr uint32_t kMax = 0xFFFFFFFF;
  ReadBounds r;
  r.immediate = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  r.firstByte = t.ReadIntervalTimeout == kMax && t.ReadTotalTimeoutMultiplier == kMax &&
                t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMax;
  const uint64_t n = count > 0 ? static_cast<uint64_t>(count) : 0;
  const uint64_t total =
      r.firstByte ? t.ReadTotalTimeoutConstant : uint64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
  r.totalMs = r.immediate ? 0 : total;
  r.useInterval = !r.immediate && !r.firstByte && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMax;
  return r;
}


// The events a wait reports on a device that went away: those still pending
// (taken), with EV_ERR the first time (`reported` notes it). None left means
// the wait ends with EIO.
uint32_t EventsAfterLoss(uint32_t& pending, uint32_t mask, bool& reported) {
  uint32_t ev = pending & mask;
  pending = 0;
  if (!reported) {
    reported = true;
    ev |= mask & EV_ERR;
  }
  return ev;
}

int minTimeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace

uint64_t DrainLimitMs(const CommTimeouts& t, uint32_t baud, int queued) {
  const uint64_t n = queued > 0 ? static_cast<uint64_t>(queued) : 0;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
    return uint64_t{t.WriteTotalTimeoutMultiplier} * n + t.WriteTotalTimeoutConstant;
  const uint64_t lineMs = n * 12 * 1000 / (baud ? baud : 9600);  // up to 12 bits a byte
  return std::min<uint64_t>(2 * lineMs + 1000, 10000);
}

bool LineSettingsValid(const Dcb& dcb) {
  return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
         dcb.StopBits <= TWOSTOPBITS && !((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
}

DeviceCore::DeviceCore(std::mutex& mu, int kick) : mu_(mu), kick_(kick) {}

DeviceCore::~DeviceCore() { close(kick_); }

size_t DeviceCore::capacity() const { return std::max(static_cast<size_t>(inputSize_), kMinQueue); }

size_t DeviceCore::room() const { return capacity() - std::min(capacity(), queue_.size()); }

void DeviceCore::waitLocked(Lock& lk, Deadline until) {
  if (until)
    changed_.wait_until(lk, *until);
  else
    changed_.wait(lk);
}

void DeviceCore::receiveEnded() {
  receiving_ = false;
  changed_.notify_all();
}

bool DeviceCore::gathering(Clock::time_point now) const {
  return !lost_ && now - rxReported_ < kGather && queue_.size() < kGatherBytes;
}

// Wakes the event wait for new events it watches, unless they are arrivals
// it gathers and it wakes by itself when the gathering time ends.
void DeviceCore::kickWaiterFor(uint32_t events) {
  if (!waiting_ || !(events & mask_)) return;
  if (!(events & mask_ & ~kArrivalEvents) && gathering(Clock::now()) && waiterWakes_ <= rxReported_ + kGather) return;
  Kick(kick_);
}

void DeviceCore::receivedLocked(const uint8_t* data, size_t n) {
  bool flag = false;
  uint32_t ev = 0;
  if (queue_.appendReceived(data, n, dcb_.fNull, dcb_.EvtChar, flag) > 0) ev |= EV_RXCHAR;
  if (flag) ev |= EV_RXFLAG;
  const size_t mark = static_cast<size_t>(inputSize_) * 8 / 10;
  if (inputSize_ > 0 && !above80_ && queue_.size() >= mark) {
    above80_ = true;
    ev |= EV_RX80FULL;
  }
  if (!ev) return;
  pendingEvents_ |= ev;
  if (ev & EV_RXCHAR) changed_.notify_all();
  kickWaiterFor(ev);
}

void DeviceCore::raiseLocked(uint32_t events, uint32_t errors) {
  pendingEvents_ |= events;
  pendingErrors_ |= errors;
  kickWaiterFor(events);
}

void DeviceCore::lookAgainLocked() {
  if (waiting_) Kick(kick_);
}

void DeviceCore::lostLocked() {
  if (lost_) return;
  lost_ = true;
  pendingErrors_ |= CE_IOE;
  if (waiting_) Kick(kick_);
  changed_.notify_all();
}

void DeviceCore::takeLocked(uint8_t* data, int count, int& done) {
  const bool full = room() == 0;
  done = static_cast<int>(queue_.take(data, static_cast<size_t>(count)));
  if (above80_ && queue_.size() < static_cast<size_t>(inputSize_) * 8 / 10) above80_ = false;
  if (full && done > 0) roomAgain();
}

// --- Settings ----------------------------------------------------------------------

int DeviceCore::setupComm(int inputSize, int outputSize) {
  if (inputSize < 0 || outputSize < 0) return EINVAL;
  Lock lk(mu_);
  const bool full = room() == 0;
  inputSize_ = inputSize;
  outputSize_ = outputSize;
  // A larger queue takes more: reception held for a full queue goes on.
  if (full && room() > 0) roomAgain();
  return 0;
}

int DeviceCore::setCommState(const Dcb& dcb) {
  if (!LineSettingsValid(dcb)) return EINVAL;
  Lock lk(mu_);
  if (int err = applyLine(dcb, lk)) return err;
  dcb_ = dcb;
  if (int err = lineFunction(dcb.fDtrControl != DTR_CONTROL_DISABLE ? SETDTR : CLRDTR, lk)) return err;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return 0;
  return lineFunction(dcb.fRtsControl == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS, lk);
}

int DeviceCore::setCommTimeouts(const CommTimeouts& timeouts) {
  Lock lk(mu_);
  timeouts_ = timeouts;
  return 0;
}

// --- Transfers -----------------------------------------------------------------------

// RTS toggle: RTS rises before the bytes and drops once they have left,
// within the write's time-out.
int DeviceCore::write(const uint8_t* data, int count, int& done) {
  done = 0;
  if (count <= 0) return 0;
  Lock lk(mu_);
  if (lost_) return EIO;
  const uint64_t total = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * static_cast<uint64_t>(count) +
                         timeouts_.WriteTotalTimeoutConstant;
  const Deadline deadline = total ? Deadline(Clock::now() + std::chrono::milliseconds(total)) : std::nullopt;
  const bool toggle = dcb_.fRtsControl == RTS_CONTROL_TOGGLE;
  if (toggle) lineFunction(SETRTS, lk);
  const int err = transmit(data, count, done, deadline, lk);
  if (err == EIO) lostLocked();
  if (toggle && !lost_) {
    if (err == 0) awaitOutput(deadline.value_or(Clock::now() + std::chrono::seconds(10)), std::chrono::seconds(1), lk);
    lineFunction(CLRRTS, lk);
  }
  if (done > 0) {
    txPending_ = true;
    lookAgainLocked();  // for EV_TXEMPTY
  }
  return err;
}

int DeviceCore::awaitOutput(Clock::time_point deadline, std::chrono::milliseconds stall, Lock& lk) {
  int queued = outputQueued();
  auto moved = Clock::now();
  while (queued > 0 && !lost_) {
    const auto now = Clock::now();
    if (now >= deadline || now - moved >= stall) break;
    waitLocked(lk, std::min(deadline, now + kOutputPoll));
    const int left = outputQueued();
    if (left < queued) moved = Clock::now();
    queued = left;
  }
  return lost_ ? 0 : queued;
}

int DeviceCore::read(uint8_t* data, int count, int& done) {
  done = 0;
  if (count <= 0) return 0;
  Lock lk(mu_);
  const CommTimeouts to = timeouts_;
  const ReadBounds rb = ReadBoundsFor(to, count);
  const auto start = Clock::now();
  const Deadline deadline = rb.totalMs ? Deadline(start + std::chrono::milliseconds(rb.totalMs)) : std::nullopt;
  auto lastByte = start;
  int err = 0;
  for (;;) {
    const auto now = Clock::now();
    const Deadline due = settle(now);
    int n = 0;
    takeLocked(data + done, count - done, n);
    done += n;
    if (n > 0) lastByte = now;
    if (done == count) break;
    if (lost_ && queue_.empty()) {
      if (done == 0) err = EIO;
      break;
    }
    if (rb.immediate || (rb.firstByte && done > 0)) break;
    Deadline until = deadline;
    if (rb.useInterval && done > 0)
      until = earlier(until, lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
    if (until && *until <= now) break;
    waitLocked(lk, earlier(until, due));
  }
  return err;
}

// --- Queries and line control --------------------------------------------------------

int DeviceCore::clearCommError(uint32_t& errors, int& inQueue, int* outQueue) {
  Lock lk(mu_);
  settle(Clock::now());
  errors = pendingErrors_;
  // The loss's error belongs to the report of the loss: kept until the wait made it.
  if (lost_ && !lossReported_ && (mask_ & EV_ERR)) errors &= ~CE_IOE;
  pendingErrors_ &= ~errors;
  inQueue = static_cast<int>(queue_.size());
  if (lost_) {
    if (outQueue) *outQueue = 0;
    return 0;
  }
  lineState(errors, inQueue);
  if (outQueue) *outQueue = std::max(0, outputQueued());
  return 0;
}

// A device that went away has no lines any more: they read off and requests
// are accepted without effect. Reporting the loss on every DTR/RTS refresh
// would put an error box up ten times a second; it is reported once by the
// event wait and by every transfer.
int DeviceCore::getModemStatus(uint32_t& status) {
  status = 0;
  if (!hasLines()) return 0;
  Lock lk(mu_);
  if (lost_) return 0;
  const int err = modemStatus(status, lk);
  if (lost_) status = 0;
  return lost_ ? 0 : err;
}

int DeviceCore::escapeFunction(int function) {
  if (function != SETDTR && function != CLRDTR && function != SETRTS && function != CLRRTS &&
      function != SETBREAK && function != CLRBREAK)
    return EINVAL;
  if (!hasLines()) return 0;
  Lock lk(mu_);
  if (lost_) return 0;
  const int err = lineFunction(function, lk);
  return lost_ ? 0 : err;
}

int DeviceCore::purge(uint32_t flags) {
  Lock lk(mu_);
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    // A receive under way ends first: its bytes came before the purge.
    changed_.wait(lk, [&] { return !receiving_; });
    settle(Clock::now());
    const bool full = room() == 0;
    queue_.clear();
    above80_ = false;
    if (int err = flushInput()) return err;
    if (full) roomAgain();
  }
  // Writes complete inside write(), so an abort finds none waiting; only a
  // clear discards what they handed over.
  if (flags & PURGE_TXCLEAR)
    if (int err = flushOutput(lk)) return err;
  changed_.notify_all();
  return 0;
}

// What is still queued when the line makes no progress or the bound runs
// out is discarded, so that closing never blocks.
int DeviceCore::drain() {
  Lock lk(mu_);
  const int queued = lost_ ? 0 : outputQueued();
  if (queued <= 0) return 0;
  const uint32_t baud = dcb_.BaudRate ? dcb_.BaudRate : 9600;
  const auto deadline = Clock::now() + std::chrono::milliseconds(DrainLimitMs(timeouts_, baud, queued));
  // A line held by flow control gives up after a second without progress.
  const auto stall = std::chrono::milliseconds(1000 + 2 * 12 * 1000 / baud);
  if (awaitOutput(deadline, stall, lk) > 0) flushOutput(lk);
  return 0;
}

// --- Events ---------------------------------------------------------------------------

int DeviceCore::setCommMask(uint32_t mask) {
  Lock lk(mu_);
  mask_ = mask;
  maskChanged();
  if (waiting_) {
    maskChanged_ = true;
    Kick(kick_);
  }
  return 0;
}

int DeviceCore::waitCommEvent(uint32_t& events, int stopFd) {
  events = 0;
  Lock lk(mu_);
  if (lost_ && lossReported_) return EIO;
  waiting_ = true;
  maskChanged_ = false;
  auto finish = [&](uint32_t ev, int result) {
    waiting_ = false;
    waiterWakes_ = Clock::time_point::max();
    events = ev;
    return result;
  };
  for (;;) {
    const auto now = Clock::now();
    const Deadline due = settle(now);
    if (lost_) {
      const uint32_t ev = EventsAfterLoss(pendingEvents_, mask_, lossReported_);
      return ev ? finish(ev, 0) : finish(0, EIO);
    }
    if (maskChanged_) {
      maskChanged_ = false;
      return finish(0, 0);
    }
    int timeout = -1;
    uint32_t ev = look(timeout) & mask_;
    if (txPending_ && !(mask_ & EV_TXEMPTY)) txPending_ = false;
    if (txPending_) {
      if (outputQueued() <= 0) {
        txPending_ = false;
        ev |= EV_TXEMPTY;
      } else {
        timeout = minTimeout(timeout, kTxPollMs);
      }
    }
    const uint32_t pending = pendingEvents_ & mask_;
    const bool gather = !ev && pending && !(pending & ~kArrivalEvents) && gathering(now);
    if (!gather) {
      ev |= pending;
      pendingEvents_ = 0;
    }
    if (ev) {
      if (ev & EV_RXCHAR) rxReported_ = now;
      return finish(ev, 0);
    }
    // Soon after a report more arrivals are likely: the wait looks again when
    // the gathering time ends, so that they need not wake it.
    if (gather || now - rxReported_ < kGather) timeout = minTimeout(timeout, MsUntil(rxReported_ + kGather));
    if (due) timeout = minTimeout(timeout, MsUntil(*due));
    waiterWakes_ = timeout < 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeout);
    lk.unlock();
    pollfd p[2] = {{stopFd, POLLIN, 0}, {kick_, POLLIN, 0}};
    const int r = poll(p, 2, timeout);
    const int pollErr = errno;
    lk.lock();
    if (r < 0) {
      if (pollErr == EINTR) continue;
      return finish(0, pollErr);
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return finish(0, ECANCELED);
    if (p[1].revents & POLLIN) ClearKick(kick_);
  }
}

}  // namespace serivox::device

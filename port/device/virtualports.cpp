// The built-in virtual ports. All their state lives in one process-wide hub
// under one mutex; each open end is a VirtualDevice. Bytes carry the time at
// which they reach the receiver, so no thread of their own is needed: readers
// and the event wait sleep until the next arrival.
#include "virtualports.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <strings.h>

#include "waits.h"

namespace serivox::device {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMinQueue = 64 * 1024;

class VirtualDevice;

struct Flight {
  Clock::time_point at;
  uint8_t byte;
};

struct End {
  explicit End(const char* n) : name(n) {}
  const char* name;
  End* peer = nullptr;
  VirtualDevice* dev = nullptr;       // the open device, if any
  Clock::time_point lineFreeAt{};     // when the transmitter has sent all it was given
  bool dtr = false;
  bool rts = false;
  bool breakOn = false;
  std::deque<Flight> inflight;        // bytes on their way to this end
};

struct Hub {
  std::mutex mu;
  std::condition_variable cv;  // arrivals, purges and closes wake readers and writers
  End ends[3] = {End("LOOPBACK"), End("NULLMODEM-A"), End("NULLMODEM-B")};
  Hub() {
    ends[0].peer = &ends[0];
    ends[1].peer = &ends[2];
    ends[2].peer = &ends[1];
  }
};

Hub& hub() {
  static Hub h;
  return h;
}

End* findEnd(const std::string& name) {
  for (End& e : hub().ends)
    if (strcasecmp(e.name, name.c_str()) == 0) return &e;
  return nullptr;
}

// Modem input lines of `e`, driven by its peer.
uint32_t statusOf(const End& e) {
  const End& p = *e.peer;
  if (!p.dev) return 0;
  uint32_t s = 0;
  if (p.rts) s |= MS_CTS_ON;
  if (p.dtr) s |= MS_DSR_ON | MS_RLSD_ON;
  return s;
}

class VirtualDevice : public Device {
 public:
  explicit VirtualDevice(End& end, int kick) : end_(end), kick_(kick) {
    dcb_.BaudRate = 9600;
    dcb_.ByteSize = 8;
  }
  ~VirtualDevice() override {
    {
      std::lock_guard lk(hub().mu);
      const uint32_t before = statusOf(*end_.peer);
      end_.dev = nullptr;
      end_.dtr = end_.rts = end_.breakOn = false;
      end_.inflight.clear();
      if (end_.peer != &end_) lineChangeLocked(*end_.peer, before);
      hub().cv.notify_all();
    }
    close(kick_);
  }

  // Raises the line-change events on `e` for the difference from `before`.
  static void lineChangeLocked(End& e, uint32_t before) {
    if (!e.dev) return;
    const uint32_t changed = before ^ statusOf(e);
    uint32_t ev = 0;
    if (changed & MS_CTS_ON) ev |= EV_CTS;
    if (changed & MS_DSR_ON) ev |= EV_DSR;
    if (changed & MS_RLSD_ON) ev |= EV_RLSD;
    if (ev) e.dev->raiseLocked(ev, 0);
  }

  void raiseLocked(uint32_t events, uint32_t errors) {
    pendingEvents_ |= events;
    pendingErrors_ |= errors;
    Kick(kick_);
  }

  int setupComm(int inputSize, int outputSize) override {
    if (inputSize < 0 || outputSize < 0) return EINVAL;
    std::lock_guard lk(hub().mu);
    inputSize_ = inputSize;
    outputSize_ = outputSize;
    return 0;
  }

  int setCommState(const Dcb& dcb) override {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar))
      return EINVAL;
    std::lock_guard lk(hub().mu);
    dcb_ = dcb;
    // The control modes set the lines. Handshake has no flow to follow here:
    // the line stays up, ready. Toggle raises RTS only while a write goes out.
    const uint32_t before = statusOf(*end_.peer);
    end_.dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    end_.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    lineChangeLocked(*end_.peer, before);
    return 0;
  }

  int drain() override {
    std::unique_lock lk(hub().mu);
    const auto now = Clock::now();
    if (end_.lineFreeAt <= now) return 0;
    const int queued = static_cast<int>((end_.lineFreeAt - now) / byteTimeLocked()) + 1;
    const auto deadline = now + std::chrono::milliseconds(DrainLimitMs(timeouts_, dcb_.BaudRate, queued));
    while (end_.lineFreeAt > Clock::now() && Clock::now() < deadline)
      hub().cv.wait_until(lk, std::min(end_.lineFreeAt, deadline));
    if (end_.lineFreeAt > Clock::now()) dropUnsentLocked();
    return 0;
  }

  int setCommTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard lk(hub().mu);
    timeouts_ = timeouts;
    return 0;
  }

  int write(const uint8_t* data, int count, int& done) override {
    done = 0;
    if (count <= 0) return 0;
    std::unique_lock lk(hub().mu);
    const uint64_t total = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * static_cast<uint64_t>(count) +
                           timeouts_.WriteTotalTimeoutConstant;
    const auto deadline = total ? std::optional(Clock::now() + std::chrono::milliseconds(total)) : std::nullopt;
    const auto byte = byteTimeLocked();
    // The transmitter takes bytes while its output queue has room.
    const auto backlog = byte * static_cast<int64_t>(std::max(outputSize_, 1024));
    End& peer = *end_.peer;
    const bool toggle = dcb_.fRtsControl == RTS_CONTROL_TOGGLE;
    if (toggle) setRtsLocked(true);
    while (done < count) {
      auto now = Clock::now();
      if (end_.lineFreeAt < now) end_.lineFreeAt = now;
      if (end_.lineFreeAt - now >= backlog) {
        auto until = end_.lineFreeAt - backlog + byte;
        if (deadline && *deadline <= now) break;  // time-out: complete with what was taken
        if (deadline) until = std::min(until, *deadline);
        if (peer.dev) Kick(peer.dev->kick_);
        hub().cv.notify_all();
        hub().cv.wait_until(lk, until);
        continue;
      }
      end_.lineFreeAt += byte;
      if (peer.dev) peer.inflight.push_back({end_.lineFreeAt, data[done]});
      ++done;
    }
    if (toggle) {
      // RTS stays up until the last byte has left, within the time-out.
      if (peer.dev) Kick(peer.dev->kick_);
      while (end_.lineFreeAt > Clock::now() && (!deadline || Clock::now() < *deadline))
        hub().cv.wait_until(lk, deadline ? std::min(end_.lineFreeAt, *deadline) : end_.lineFreeAt);
      setRtsLocked(false);
    }
    txPending_ = true;
    Kick(kick_);
    if (peer.dev) Kick(peer.dev->kick_);
    hub().cv.notify_all();
    return 0;
  }

  int read(uint8_t* data, int count, int& done) override {
    done = 0;
    if (count <= 0) return 0;
    std::unique_lock lk(hub().mu);
    const CommTimeouts to = timeouts_;
    const ReadBounds rb = ReadBoundsFor(to, count);
    const bool immediate = rb.immediate, firstByte = rb.firstByte, useInterval = rb.useInterval;
    const auto start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (rb.totalMs) deadline = start + std::chrono::milliseconds(rb.totalMs);
    auto lastByte = start;
    for (;;) {
      auto now = Clock::now();
      settleLocked(now);
      const int n = static_cast<int>(std::min(queue_.size(), static_cast<size_t>(count - done)));
      std::copy_n(queue_.begin(), n, data + done);
      queue_.erase(queue_.begin(), queue_.begin() + n);
      if (above80_ && queue_.size() < mark80Locked()) above80_ = false;
      done += n;
      if (n > 0) lastByte = now;
      if (done == count || immediate || (firstByte && done > 0)) break;
      std::optional<Clock::time_point> until = deadline;
      if (useInterval && done > 0) {
        const auto gapEnd = lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout);
        until = until ? std::min(*until, gapEnd) : gapEnd;
      }
      if (until && *until <= now) break;
      if (!end_.inflight.empty()) {
        const auto next = end_.inflight.front().at;
        until = until ? std::min(*until, next) : next;
      }
      if (until)
        hub().cv.wait_until(lk, *until);
      else
        hub().cv.wait(lk);
    }
    if (pendingEvents_ & mask_) Kick(kick_);
    return 0;
  }

  int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) override {
    std::lock_guard lk(hub().mu);
    const auto now = Clock::now();
    settleLocked(now);
    errors = pendingErrors_;
    pendingErrors_ = 0;
    inQueue = static_cast<int>(queue_.size());
    if (outQueue)
      *outQueue = end_.lineFreeAt > now ? static_cast<int>((end_.lineFreeAt - now + byteTimeLocked() -
                                                            std::chrono::nanoseconds(1)) / byteTimeLocked())
                                        : 0;
    return 0;
  }

  int getModemStatus(uint32_t& status) override {
    std::lock_guard lk(hub().mu);
    status = statusOf(end_);
    return 0;
  }

  int escapeFunction(int function) override {
    std::lock_guard lk(hub().mu);
    End& peer = *end_.peer;
    const uint32_t before = statusOf(peer);
    switch (function) {
      case SETDTR: end_.dtr = true; break;
      case CLRDTR: end_.dtr = false; break;
      case SETRTS: end_.rts = true; break;
      case CLRRTS: end_.rts = false; break;
      case SETBREAK:
        if (!end_.breakOn && peer.dev) peer.dev->raiseLocked(EV_BREAK, CE_BREAK);
        end_.breakOn = true;
        break;
      case CLRBREAK: end_.breakOn = false; break;
      default: return EINVAL;
    }
    lineChangeLocked(peer, before);
    return 0;
  }

  int purge(uint32_t flags) override {
    std::lock_guard lk(hub().mu);
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
      settleLocked(Clock::now());
      queue_.clear();
      above80_ = false;
    }
    // Writes complete inside write(), so an abort finds none waiting; only a
    // clear drops what they handed to the transmitter.
    if (flags & PURGE_TXCLEAR) dropUnsentLocked();
    hub().cv.notify_all();
    return 0;
  }

  int setCommMask(uint32_t mask) override {
    std::lock_guard lk(hub().mu);
    mask_ = mask;
    if (waiting_) {
      maskChanged_ = true;
      Kick(kick_);
    }
    return 0;
  }

  int waitCommEvent(uint32_t& events, int stopFd) override {
    events = 0;
    std::unique_lock lk(hub().mu);
    waiting_ = true;
    maskChanged_ = false;
    for (;;) {
      if (maskChanged_) {
        maskChanged_ = false;
        waiting_ = false;
        return 0;
      }
      const auto now = Clock::now();
      settleLocked(now);
      uint32_t ev = 0;
      if (txPending_ && !(mask_ & EV_TXEMPTY)) txPending_ = false;
      if (txPending_ && end_.lineFreeAt <= now) {
        txPending_ = false;
        ev |= EV_TXEMPTY;
      }
      ev |= pendingEvents_ & mask_;
      pendingEvents_ = 0;
      if (ev) {
        waiting_ = false;
        events = ev;
        return 0;
      }
      int timeout = -1;
      if (!end_.inflight.empty()) timeout = MsUntil(end_.inflight.front().at);
      if (txPending_) {
        const int t = MsUntil(end_.lineFreeAt);
        timeout = timeout < 0 ? t : std::min(timeout, t);
      }
      lk.unlock();
      pollfd p[2] = {{stopFd, POLLIN, 0}, {kick_, POLLIN, 0}};
      const int r = poll(p, 2, timeout);
      const int pollErr = errno;
      lk.lock();
      if (r < 0 && pollErr != EINTR) {
        waiting_ = false;
        return pollErr;
      }
      if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
        waiting_ = false;
        return ECANCELED;
      }
      if (r > 0 && (p[1].revents & POLLIN)) ClearKick(kick_);
    }
  }

  End& end_;
  const int kick_;

 private:
  std::chrono::nanoseconds byteTimeLocked() const {
    const uint32_t baud = dcb_.BaudRate ? dcb_.BaudRate : 9600;
    // Half bits: start, data, parity, stop (1, 1.5 or 2).
    int64_t halfBits = 2 + 2 * dcb_.ByteSize + (dcb_.Parity != NOPARITY ? 2 : 0);
    halfBits += dcb_.StopBits == ONESTOPBIT ? 2 : dcb_.StopBits == ONE5STOPBITS ? 3 : 4;
    return std::chrono::nanoseconds(std::max<int64_t>(1, halfBits * 500'000'000LL / baud));
  }

  // Bytes not yet on their way are dropped from the transmitter.
  void dropUnsentLocked() {
    const auto now = Clock::now();
    auto& q = end_.peer->inflight;
    while (!q.empty() && q.back().at > now + byteTimeLocked()) q.pop_back();
    end_.lineFreeAt = std::min(end_.lineFreeAt, now + byteTimeLocked());
  }

  void setRtsLocked(bool on) {
    const uint32_t before = statusOf(*end_.peer);
    end_.rts = on;
    lineChangeLocked(*end_.peer, before);
  }

  size_t mark80Locked() const { return static_cast<size_t>(inputSize_) * 8 / 10; }

  // Moves the bytes that have arrived by `now` into the input queue.
  void settleLocked(Clock::time_point now) {
    bool any = false, flag = false, lost = false;
    const size_t cap = std::max(static_cast<size_t>(inputSize_), kMinQueue);
    while (!end_.inflight.empty() && end_.inflight.front().at <= now) {
      const uint8_t b = end_.inflight.front().byte;
      end_.inflight.pop_front();
      if (dcb_.fNull && b == 0) continue;
      if (queue_.size() >= cap) {
        lost = true;
        continue;
      }
      queue_.push_back(b);
      any = true;
      if (b == dcb_.EvtChar) flag = true;
    }
    if (any) pendingEvents_ |= EV_RXCHAR;
    if (flag) pendingEvents_ |= EV_RXFLAG;
    if (lost) {
      pendingEvents_ |= EV_ERR;
      pendingErrors_ |= CE_RXOVER;
    }
    if (inputSize_ > 0 && !above80_ && queue_.size() >= mark80Locked()) {
      above80_ = true;
      pendingEvents_ |= EV_RX80FULL;
    }
  }

  Dcb dcb_;
  CommTimeouts timeouts_;
  int inputSize_ = 4096;
  int outputSize_ = 4096;
  std::deque<uint8_t> queue_;
  uint32_t pendingEvents_ = 0;
  uint32_t pendingErrors_ = 0;
  uint32_t mask_ = 0;
  bool waiting_ = false;
  bool maskChanged_ = false;
  bool above80_ = false;
  bool txPending_ = false;
};

int raise(const std::string& name, uint32_t events, uint32_t errors) {
  End* e = findEnd(name);
  if (!e) return ENOENT;
  std::lock_guard lk(hub().mu);
  if (e->dev) e->dev->raiseLocked(events, errors);
  return 0;
}

}  // namespace

std::vector<std::string> VirtualPortNames() {
  std::vector<std::string> names;
  for (const End& e : hub().ends) names.emplace_back(e.name);
  return names;
}

bool IsVirtualPortName(const std::string& name) { return findEnd(name) != nullptr; }

int OpenVirtualPort(const std::string& name, std::unique_ptr<Device>& device) {
  End* e = findEnd(name);
  if (!e) return ENOENT;
  const int kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (kick < 0) return errno;
  std::lock_guard lk(hub().mu);
  if (e->dev) {
    close(kick);
    return EBUSY;
  }
  auto* dev = new VirtualDevice(*e, kick);
  const uint32_t before = statusOf(*e->peer);
  e->dev = dev;
  e->inflight.clear();
  e->lineFreeAt = Clock::now();
  // Opening raises DTR and RTS, as a serial driver does.
  e->dtr = e->rts = true;
  if (e->peer != e) VirtualDevice::lineChangeLocked(*e->peer, before);
  device.reset(dev);
  return 0;
}

int RaiseVirtualRing(const std::string& name) { return raise(name, EV_RING, 0); }
int RaiseVirtualBreak(const std::string& name) { return raise(name, EV_BREAK, CE_BREAK); }
int RaiseVirtualLineErrors(const std::string& name, uint32_t ceFlags) {
  return raise(name, EV_ERR | ((ceFlags & CE_BREAK) ? EV_BREAK : 0), ceFlags);
}

}  // namespace serivox::device

// SPDX-License-Identifier: MIT
// The built-in virtual ports. All their state lives in one process-wide hub
// under one mutex, which is also the lock of every end's device core; each
// open end is a VirtualDevice. Bytes carry the time at which they reach the
// receiver, so no thread of their own is needed: readers and the event wait
// settle what has arrived and sleep until the next arrival.
#include "virtualports.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <strings.h>

#include "core.h"
#include "waits.h"

namespace serivox::device {

namespace {

using Clock = std::chrono::steady_clock;

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

class VirtualDevice : public DeviceCore {
 public:
  VirtualDevice(End& end, int kick) : DeviceCore(hub().mu, kick), end_(end) {}
  ~VirtualDevice() override {
    std::lock_guard lk(hub().mu);
    const uint32_t before = statusOf(*end_.peer);
    end_.dev = nullptr;
    end_.dtr = end_.rts = end_.breakOn = false;
    end_.inflight.clear();
    if (end_.peer != &end_) lineChangeLocked(*end_.peer, before);
  }

  // Raises the line-change events on `e` for the difference from `before`.
  static void lineChangeLocked(End& e, uint32_t before) {
    if (!e.dev) return;
    const uint32_t changed = before ^ statusOf(e);
    uint32_t ev = 0;
    if (changed & MS_CTS_ON) ev |= EV_CTS;
    if (changed & MS_DSR_ON) ev |= EV_DSR;
    if (changed & MS_RLSD_ON) ev |= EV_RLSD;
    if (ev) e.dev->raiseLocked(ev);
  }

  // The test-only controls.
  void raiseForTest(uint32_t events, uint32_t errors) { raiseLocked(events, errors); }

 private:
  // RTS handshake has no flow to follow here: the line stays up, ready.
  int applyLine(const Dcb& dcb, Lock& lk) override {
    return dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? lineFunction(SETRTS, lk) : 0;
  }

  int transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) override {
    const auto byte = byteTime();
    // The transmitter takes bytes while its output queue has room.
    const auto backlog = byte * static_cast<int64_t>(std::max(outputSize(), 1024));
    End& peer = *end_.peer;
    while (done < count) {
      const auto now = Clock::now();
      if (end_.lineFreeAt < now) end_.lineFreeAt = now;
      if (end_.lineFreeAt - now >= backlog) {
        if (deadline && *deadline <= now) break;  // time-out: complete with what was taken
        notifyPeer();
        waitLocked(lk, earlier(end_.lineFreeAt - backlog + byte, deadline));
        continue;
      }
      end_.lineFreeAt += byte;
      if (peer.dev) peer.inflight.push_back({end_.lineFreeAt, data[done]});
      ++done;
    }
    notifyPeer();
    return 0;
  }

  int outputQueued() override {
    const auto now = Clock::now();
    if (end_.lineFreeAt <= now) return 0;
    return static_cast<int>((end_.lineFreeAt - now + byteTime() - std::chrono::nanoseconds(1)) / byteTime());
  }

  int modemStatus(uint32_t& status, Lock&) override {
    status = statusOf(end_);
    return 0;
  }

  int lineFunction(int function, Lock&) override {
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
      default: end_.breakOn = false; break;
    }
    lineChangeLocked(peer, before);
    return 0;
  }

  int flushOutput(Lock&) override {
    dropUnsent();
    return 0;
  }

  // Moves the bytes that have arrived by `now` into the input queue; those
  // that find it full are lost, as on a line without flow control.
  Deadline settle(Clock::time_point now) override {
    uint8_t buf[256];
    size_t k = 0;
    bool lost = false;
    auto flush = [&] {
      const size_t take = std::min(k, room());
      if (take > 0) receivedLocked(buf, take);
      if (take < k) lost = true;
      k = 0;
    };
    while (!end_.inflight.empty() && end_.inflight.front().at <= now) {
      buf[k++] = end_.inflight.front().byte;
      end_.inflight.pop_front();
      if (k == sizeof buf) flush();
    }
    flush();
    if (lost) raiseLocked(EV_ERR, CE_RXOVER);
    if (end_.inflight.empty()) return std::nullopt;
    return end_.inflight.front().at;
  }

  // Wakes the far end's readers and event wait: bytes are on their way.
  void notifyPeer() {
    if (VirtualDevice* p = end_.peer->dev) {
      p->wakeLocked();
      p->lookAgainLocked();
    }
  }

  std::chrono::nanoseconds byteTime() const {
    const uint32_t baud = dcb().BaudRate ? dcb().BaudRate : 9600;
    // Half bits: start, data, parity, stop (1, 1.5 or 2).
    int64_t halfBits = 2 + 2 * dcb().ByteSize + (dcb().Parity != NOPARITY ? 2 : 0);
    halfBits += dcb().StopBits == ONESTOPBIT ? 2 : dcb().StopBits == ONE5STOPBITS ? 3 : 4;
    return std::chrono::nanoseconds(std::max<int64_t>(1, halfBits * 500'000'000LL / baud));
  }

  // Bytes not yet on their way are dropped from the transmitter.
  void dropUnsent() {
    const auto now = Clock::now();
    auto& q = end_.peer->inflight;
    while (!q.empty() && q.back().at > now + byteTime()) q.pop_back();
    end_.lineFreeAt = std::min(end_.lineFreeAt, now + byteTime());
  }

  End& end_;
};

int raise(const std::string& name, uint32_t events, uint32_t errors) {
  End* e = findEnd(name);
  if (!e) return ENOENT;
  std::lock_guard lk(hub().mu);
  if (e->dev) e->dev->raiseForTest(events, errors);
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

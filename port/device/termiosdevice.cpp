// SPDX-License-Identifier: MIT
// The device on a POSIX terminal: its receiver, writes, line control and the
// line's own events. See termiosdevice.h for the design in brief.
#include "termiosdevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "txdrain.h"
#include "uartrate.h"
#include "waits.h"

namespace serivox::device {

namespace {

constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr int kLinePollMs = 20;  // line check period while line events are asked for

uint32_t lineErrorFlags(const kernel::LineCounters& now, const kernel::LineCounters& base) {
  uint32_t e = 0;
  if (now.frame != base.frame) e |= CE_FRAME;
  if (now.parity != base.parity) e |= CE_RXPARITY;
  if (now.overrun != base.overrun) e |= CE_OVERRUN;
  if (now.brk != base.brk) e |= CE_BREAK;
  if (now.buf_overrun != base.buf_overrun) e |= CE_RXOVER;
  return e;
}

}  // namespace

int TermiosDevice::Create(int fd, std::unique_ptr<Device>& device) {
  const int kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int recvKick = kick < 0 ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (recvKick < 0) {
    const int err = errno;
    if (kick >= 0) close(kick);
    ioctl(fd, TIOCNXCL);
    close(fd);
    return err;
  }
  std::unique_ptr<TermiosDevice> dev(new TermiosDevice(fd, kick, recvKick, HasLines(fd)));
  try {
    dev->receiver_ = std::thread([d = dev.get()] {
      pthread_setname_np(pthread_self(), "serivox-rx");
      d->receive();
    });
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;  // the device closes the descriptor
  }
  device = std::move(dev);
  return 0;
}

bool TermiosDevice::HasLines(int fd) {
  int modem = 0;
  return ioctl(fd, TIOCMGET, &modem) == 0 || (errno != ENOTTY && errno != EINVAL);
}

TermiosDevice::TermiosDevice(int fd, int kick, int recvKick, bool hasLines)
    : DeviceCore(mu_, kick), fd_(fd), recvKick_(recvKick), hasLines_(hasLines) {
  if (hasLines_) {
    readCounters(errorBase_, waitModem_);
    waitBase_ = errorBase_;
  }
}

TermiosDevice::~TermiosDevice() {
  if (receiver_.joinable()) {
    {
      std::lock_guard lk(mu_);
      receiverStop_ = true;
    }
    Kick(recvKick_);
    receiver_.join();
  }
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also releases the flock
  close(recvKick_);
}

void TermiosDevice::readCounters(kernel::LineCounters& c, int& modem) {
  c = kernel::LineCounters{};
  ioctl(fd_, kernel::kGetCounters, &c);
  modem = 0;
  ioctl(fd_, TIOCMGET, &modem);
}

// --- Receiving ---------------------------------------------------------------------------

// Moves arriving bytes into the queue as they come, as far as it has room.
// The descriptor is read without the lock, so the owner's thread never waits
// for the tty; a purge waits for a read under way (receiveStarted). Ends when
// stopped or when the device hangs up.
void TermiosDevice::receive() {
  uint8_t buf[16 * 1024];
  Lock lk(mu_);
  while (!receiverStop_ && !isLost()) {
    const bool roomy = room() > 0;
    lk.unlock();
    pollfd p[2] = {{fd_, static_cast<short>(roomy ? POLLIN : 0), 0}, {recvKick_, POLLIN, 0}};
    const int r = poll(p, 2, -1);
    const int pollErr = errno;
    if (r > 0 && (p[1].revents & POLLIN)) ClearKick(recvKick_);
    lk.lock();
    if (r < 0 && pollErr != EINTR) break;
    if (r <= 0 || receiverStop_) continue;
    bool gone = (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLIN);
    const size_t want = std::min(room(), sizeof buf);
    if ((p[0].revents & POLLIN) && want > 0) {
      // One read per wake-up: a tty hands over all its line discipline holds
      // (at most 4 KiB), and the next arrival is awaited in poll rather than
      // found by a read that fails.
      receiveStarted();
      lk.unlock();
      ssize_t n;
      do n = ::read(fd_, buf, want);
      while (n < 0 && errno == EINTR);
      const int readErr = errno;
      lk.lock();
      if (n > 0) appendMarked(buf, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && readErr != EAGAIN && readErr != EWOULDBLOCK)) gone = true;  // read() == 0 or EIO
      receiveEnded();
    }
    if (gone) lostLocked();
  }
}

// Removes the PARMRK marks: \377\377 is a data byte 0xFF, \377\0 c is c
// received with a parity or framing error, \377\0\0 a break. Without a line
// nothing is marked.
void TermiosDevice::appendMarked(const uint8_t* raw, size_t n) {
  // Most chunks carry no mark: taken whole.
  if (escape_ == 0 && (!hasLines_ || !std::memchr(raw, 0xFF, n))) {
    receivedLocked(raw, n);
    return;
  }
  uint8_t out[sizeof(uint8_t) * 16 * 1024];
  size_t k = 0;
  auto emit = [&](uint8_t b) {
    if (k == sizeof out) {
      receivedLocked(out, k);
      k = 0;
    }
    out[k++] = b;
  };
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = raw[i];
    switch (escape_) {
      case 0:
        if (c == 0xFF)
          escape_ = 1;
        else
          emit(c);
        break;
      case 1:
        escape_ = 0;
        if (c == 0xFF) {
          emit(0xFF);
        } else if (c == 0) {
          escape_ = 2;
        } else {  // not a mark after all
          emit(0xFF);
          emit(c);
        }
        break;
      default:
        escape_ = 0;
        if (c != 0) emit(dcb().fErrorChar ? dcb().ErrorChar : c);
        break;
    }
  }
  if (k > 0) receivedLocked(out, k);
}

void TermiosDevice::roomAgain() { Kick(recvKick_); }

// A request that fails with EIO found the device gone: the loss is noted,
// and reported once by the event wait rather than by every request.
int TermiosDevice::goneOr(int err) {
  if (err != EIO) return err;
  lostLocked();
  return 0;
}

int TermiosDevice::flushInput() {
  escape_ = 0;
  return isLost() || tcflush(fd_, TCIFLUSH) == 0 ? 0 : goneOr(errno);
}

// --- Line settings and lines ----------------------------------------------------------------

int TermiosDevice::applyLine(const Dcb& dcb, Lock&) {
  kernel::Termios2 want;
  if (int err = TermiosFromDcb(dcb, want)) return err;
  // Without a line there are no errors to mark (see appendMarked).
  if (!hasLines_) want.c_iflag &= ~PARMRK;
  kernel::Termios2 old;
  if (ioctl(fd_, kernel::kTcGets2, &old) != 0) return errno;
  want.c_line = old.c_line;
  if (ioctl(fd_, kernel::kTcSets2, &want) != 0) return errno;
  // The kernel accepts a record when any part of it applies: read it back.
  kernel::Termios2 got;
  if (ioctl(fd_, kernel::kTcGets2, &got) != 0) return errno;
  tcflag_t cflags = CSTOPB | CRTSCTS | PARODD | CMSPAR;
  if (hasLines_) cflags |= CSIZE | PARENB;  // a pseudo-terminal forces 8 data bits, no parity
  const tcflag_t iflags = IXON | IXOFF | INPCK | PARMRK;
  // Drivers round the rate to what their clock divides to; allow 3 %. A PC
  // UART reports the rate asked for: take the one its divisor gives.
  const double rate = RateOnLine(fd_, got.c_ospeed);
  const bool rateOk = std::abs(rate - dcb.BaudRate) <= dcb.BaudRate * 0.03;
  if ((got.c_cflag & cflags) != (want.c_cflag & cflags) || (got.c_iflag & iflags) != (want.c_iflag & iflags) ||
      got.c_cc[VSTART] != want.c_cc[VSTART] || got.c_cc[VSTOP] != want.c_cc[VSTOP] || !rateOk) {
    ioctl(fd_, kernel::kTcSets2, &old);
    return EINVAL;
  }
  return 0;
}

int TermiosDevice::setLine(int bit, bool on) {
  if (!hasLines_ || isLost()) return 0;
  return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : goneOr(errno);
}

int TermiosDevice::modemStatus(uint32_t& status, Lock&) {
  int m = 0;
  if (ioctl(fd_, TIOCMGET, &m) != 0) return goneOr(errno);
  if (m & TIOCM_CTS) status |= MS_CTS_ON;
  if (m & TIOCM_DSR) status |= MS_DSR_ON;
  if (m & TIOCM_RNG) status |= MS_RING_ON;
  if (m & TIOCM_CAR) status |= MS_RLSD_ON;
  return 0;
}

int TermiosDevice::lineFunction(int function, Lock&) {
  switch (function) {
    case SETDTR: return setLine(TIOCM_DTR, true);
    case CLRDTR: return setLine(TIOCM_DTR, false);
    case SETRTS: return setLine(TIOCM_RTS, true);
    case CLRRTS: return setLine(TIOCM_RTS, false);
    default: return ioctl(fd_, function == SETBREAK ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno;
  }
}

void TermiosDevice::lineState(uint32_t& errors, int& inQueue) {
  if (hasLines_) {
    kernel::LineCounters c{};
    if (ioctl(fd_, kernel::kGetCounters, &c) == 0) {
      errors |= lineErrorFlags(c, errorBase_);
      errorBase_ = c;
    }
  }
  int n = 0;
  // A full queue leaves bytes in the kernel that no one will move: count them.
  if (room() == 0 && ioctl(fd_, FIONREAD, &n) == 0) inQueue += n;
}

// The kernel's queue, and a FIFO load while a UART's transmitter is busy. A
// pseudo-terminal reports 0: its bytes already wait at the far end.
int TermiosDevice::outputQueued() {
  FdTxLine line(fd_);
  return BytesUnsent(line);
}

// The transmitter's own rule (txdrain.h): the FIFO's time at the line's rate
// counts as progress. The descriptor is watched without the lock.
int TermiosDevice::awaitOutput(Clock::time_point deadline, std::chrono::milliseconds stall, Lock& lk) {
  const uint32_t baud = dcb().BaudRate;
  lk.unlock();
  FdTxLine line(fd_);
  const int left = WaitSent(line, deadline, static_cast<int>(stall.count()), baud);
  lk.lock();
  return left;
}

// --- Events of the line itself ------------------------------------------------------------

void TermiosDevice::maskChanged() {
  if (hasLines_ && !isLost()) readCounters(waitBase_, waitModem_);
}

uint32_t TermiosDevice::look(int& timeoutMs) {
  uint32_t ev = 0;
  if (hasLines_ && (mask() & kLineEvents)) {
    kernel::LineCounters c;
    int m = 0;
    readCounters(c, m);
    const int changed = m ^ waitModem_;
    if ((changed & TIOCM_CTS) || c.cts != waitBase_.cts) ev |= EV_CTS;
    if ((changed & TIOCM_DSR) || c.dsr != waitBase_.dsr) ev |= EV_DSR;
    if ((changed & TIOCM_CAR) || c.dcd != waitBase_.dcd) ev |= EV_RLSD;
    if ((changed & m & TIOCM_RNG) || c.rng != waitBase_.rng) ev |= EV_RING;
    if (c.brk != waitBase_.brk) ev |= EV_BREAK;
    if (lineErrorFlags(c, waitBase_) & ~CE_BREAK) ev |= EV_ERR;
    waitModem_ = m;
    waitBase_ = c;
    timeoutMs = timeoutMs < 0 ? kLinePollMs : std::min(timeoutMs, kLinePollMs);
  }
  return ev;
}

// --- Writing ----------------------------------------------------------------------------------

int TermiosDevice::transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) {
  lk.unlock();
  int err = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, data + done, static_cast<size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      err = errno;
      break;
    }
    const int timeout = deadline ? MsUntil(*deadline) : -1;
    if (timeout == 0) break;  // time-out: complete with what was written
    pollfd p{fd_, POLLOUT, 0};
    const int r = poll(&p, 1, timeout);
    if (r < 0 && errno != EINTR) {
      err = errno;
      break;
    }
    if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      err = EIO;
      break;
    }
  }
  lk.lock();
  return err;
}

int TermiosDevice::flushOutput(Lock&) { return isLost() || tcflush(fd_, TCOFLUSH) == 0 ? 0 : goneOr(errno); }

}  // namespace serivox::device

// The device on a POSIX terminal: transfers, time-outs, line control and the
// event wait. See termiosdevice.h for the design in brief.
#include "termiosdevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "txdrain.h"
#include "uartrate.h"
#include "waits.h"

namespace serivox::device {

namespace {

using Clock = TermiosDevice::Clock;
constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr int kLinePollMs = 20;  // line check period while line events are asked for
constexpr int kTxPollMs = 10;    // output-queue check period while waiting for EV_TXEMPTY
constexpr size_t kMinQueue = 64 * 1024;
// Under a fast stream the event wait reports arrivals at most once per
// kGather, unless kGatherBytes are waiting: the owner then takes the stream in
// large chunks a millisecond apart instead of thousands of small ones. The
// first arrival after a quiet spell is reported at once.
constexpr auto kGather = std::chrono::milliseconds(1);
constexpr size_t kGatherBytes = 32 * 1024;
constexpr uint32_t kArrivalEvents = EV_RXCHAR | EV_RXFLAG | EV_RX80FULL;

int minTimeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

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
  if (kick < 0) return errno;
  const int rxKick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int recvKick = rxKick < 0 ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (recvKick < 0) {
    const int err = errno;
    close(kick);
    if (rxKick >= 0) close(rxKick);
    return err;
  }
  device.reset(new TermiosDevice(fd, kick, rxKick, recvKick, HasLines(fd)));
  return 0;
}

bool TermiosDevice::HasLines(int fd) {
  int modem = 0;
  return ioctl(fd, TIOCMGET, &modem) == 0 || (errno != ENOTTY && errno != EINVAL);
}

TermiosDevice::TermiosDevice(int fd, int kick, int rxKick, int recvKick, bool hasLines)
    : fd_(fd), kick_(kick), rxKick_(rxKick), recvKick_(recvKick), hasLines_(hasLines) {
  if (hasLines_) {
    readCountersLocked(errorBase_, waitModem_);
    waitBase_ = errorBase_;
  }
}

TermiosDevice::~TermiosDevice() {
  {
    std::unique_lock lk(mu_);
    stopReceiver(lk);
  }
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also releases the flock
  close(kick_);
  close(rxKick_);
  close(recvKick_);
}

size_t TermiosDevice::capacityLocked() const {
  return std::max(static_cast<size_t>(inputSize_), kMinQueue);
}

void TermiosDevice::readCountersLocked(kernel::LineCounters& c, int& modem) {
  c = kernel::LineCounters{};
  ioctl(fd_, kernel::kGetCounters, &c);
  modem = 0;
  ioctl(fd_, TIOCMGET, &modem);
}

void TermiosDevice::noteHangupLocked() {
  if (hungUp_) return;
  hungUp_ = true;
  pendingErrors_ |= CE_IOE;
  if (waiting_) Kick(kick_);
}

// Removes the PARMRK marks: \377\377 is a data byte 0xFF, \377\0 c is c
// received with a parity or framing error, \377\0\0 a break. Without a line
// nothing is marked.
void TermiosDevice::appendLocked(const uint8_t* raw, int n) {
  bool any = false;
  bool flag = false;
  // Most chunks carry no mark: taken whole.
  if (escape_ == 0 && n > 0 && (!hasLines_ || !std::memchr(raw, 0xFF, static_cast<size_t>(n)))) {
    any = queue_.appendReceived(raw, static_cast<size_t>(n), dcb_.fNull, dcb_.EvtChar, flag) > 0;
    n = 0;
  }
  auto emit = [&](uint8_t b) {
    if (queue_.appendReceived(&b, 1, dcb_.fNull, dcb_.EvtChar, flag) > 0) any = true;
  };
  for (int i = 0; i < n; ++i) {
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
        if (c != 0) emit(dcb_.fErrorChar ? dcb_.ErrorChar : c);
        break;
    }
  }
  if (any) pendingEvents_ |= EV_RXCHAR;
  if (flag) pendingEvents_ |= EV_RXFLAG;
  const size_t mark = static_cast<size_t>(inputSize_) * 8 / 10;
  if (inputSize_ > 0 && !above80_ && queue_.size() >= mark) {
    above80_ = true;
    pendingEvents_ |= EV_RX80FULL;
  }
}

bool TermiosDevice::drainLocked() {
  if (hungUp_) return false;
  const size_t cap = capacityLocked();
  uint8_t buf[4096];
  while (queue_.size() < cap) {
    const size_t room = std::min(cap - queue_.size(), sizeof buf);
    const ssize_t n = ::read(fd_, buf, room);
    if (n > 0) {
      appendLocked(buf, static_cast<int>(n));
      if (static_cast<size_t>(n) < room) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    noteHangupLocked();  // read() == 0 or EIO: the device went away
    return false;
  }
  return true;
}

void TermiosDevice::takeLocked(uint8_t* data, int count, int& done) {
  if (receiving_ && count > 0 && queue_.size() >= capacityLocked()) Kick(recvKick_);  // room again
  const size_t n = std::min(static_cast<size_t>(count), queue_.size());
  queue_.take(data, n);
  done = static_cast<int>(n);
  if (above80_ && queue_.size() < static_cast<size_t>(inputSize_) * 8 / 10) above80_ = false;
}

int TermiosDevice::setupComm(int inputSize, int outputSize) {
  if (inputSize < 0 || outputSize < 0) return EINVAL;
  std::lock_guard lk(mu_);
  inputSize_ = inputSize;
  return 0;
}

int TermiosDevice::setCommState(const Dcb& dcb) {
  kernel::Termios2 want;
  if (int err = TermiosFromDcb(dcb, want)) return err;
  // Without a line there are no errors to mark (see appendLocked).
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
  if ((got.c_cflag & cflags) != (want.c_cflag & cflags) ||
      (got.c_iflag & iflags) != (want.c_iflag & iflags) || got.c_cc[VSTART] != want.c_cc[VSTART] ||
      got.c_cc[VSTOP] != want.c_cc[VSTOP] || !rateOk) {
    ioctl(fd_, kernel::kTcSets2, &old);
    return EINVAL;
  }
  {
    std::lock_guard lk(mu_);
    dcb_ = dcb;
  }
  // The control modes set the lines; RTS handshake leaves RTS to the kernel.
  if (int err = setLine(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE)) return err;
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
    if (int err = setLine(TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE)) return err;
  return 0;
}

int TermiosDevice::setCommTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard lk(mu_);
  timeouts_ = timeouts;
  return 0;
}

int TermiosDevice::write(const uint8_t* data, int count, int& done) {
  done = 0;
  if (count <= 0) return 0;
  CommTimeouts to;
  bool toggle;
  uint32_t baud;
  {
    std::lock_guard lk(mu_);
    if (hungUp_) return EIO;
    to = timeouts_;
    toggle = dcb_.fRtsControl == RTS_CONTROL_TOGGLE;
    baud = dcb_.BaudRate;
  }
  if (toggle) setLine(TIOCM_RTS, true);
  const uint64_t total =
      uint64_t{to.WriteTotalTimeoutMultiplier} * static_cast<uint64_t>(count) + to.WriteTotalTimeoutConstant;
  const bool bounded = total != 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? total : 0);
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
      if (err == EIO) {
        std::lock_guard lk(mu_);
        noteHangupLocked();
      }
      break;
    }
    const int timeout = bounded ? MsUntil(deadline) : -1;
    if (timeout == 0) break;  // time-out: complete with what was written
    pollfd p{fd_, POLLOUT, 0};
    const int r = poll(&p, 1, timeout);
    if (r < 0 && errno != EINTR) {
      err = errno;
      break;
    }
    if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      err = EIO;
      std::lock_guard lk(mu_);
      noteHangupLocked();
      break;
    }
  }
  if (toggle) {
    // RTS stays up until the bytes have left the UART, within the write's time-out.
    FdTxLine line(fd_);
    if (err == 0) WaitSent(line, bounded ? deadline : Clock::now() + std::chrono::seconds(10), 1000, baud);
    setLine(TIOCM_RTS, false);
  }
  if (done > 0) {
    std::lock_guard lk(mu_);
    txPending_ = true;
    if (waiting_) Kick(kick_);
  }
  return err;
}

int TermiosDevice::drain() {
  CommTimeouts to;
  uint32_t baud;
  {
    std::lock_guard lk(mu_);
    if (hungUp_) return 0;
    to = timeouts_;
    baud = dcb_.BaudRate;
  }
  // A pseudo-terminal reports 0: its bytes already wait at the far end.
  FdTxLine line(fd_);
  const int queued = BytesUnsent(line);
  if (queued <= 0) return 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(DrainLimitMs(to, baud, queued));
  // A line held by flow control gives up after a second without progress.
  if (WaitSent(line, deadline, 1000 + 2 * LineMs(baud, 1), baud) > 0) tcflush(fd_, TCOFLUSH);
  return 0;
}

int TermiosDevice::read(uint8_t* data, int count, int& done) {
  done = 0;
  if (count <= 0) return 0;
  std::unique_lock lk(mu_);
  const CommTimeouts to = timeouts_;
  const ReadBounds rb = ReadBoundsFor(to, count);
  const bool immediate = rb.immediate, firstByte = rb.firstByte, useInterval = rb.useInterval;
  const bool bounded = rb.totalMs != 0;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(rb.totalMs);
  auto lastByte = start;
  int err = 0;
  for (;;) {
    const bool wasFull = queue_.size() >= capacityLocked();
    int n = 0;
    takeLocked(data + done, count - done, n);
    if (done + n < count && !receiving_) {
      // The queue ran short: take what the kernel holds, after it in order.
      drainLocked();
      int more = 0;
      takeLocked(data + done + n, count - done - n, more);
      n += more;
    }
    done += n;
    if (n > 0) lastByte = Clock::now();
    if ((wasFull && n > 0) || ((pendingEvents_ & mask_) && waiting_)) Kick(kick_);
    if (done == count) break;
    if (hungUp_ && queue_.empty()) {
      if (done == 0) err = EIO;
      break;
    }
    if (immediate || (firstByte && done > 0)) break;
    int timeout = -1;
    if (bounded) {
      timeout = MsUntil(deadline);
      if (timeout == 0) break;
    }
    if (useInterval && done > 0) {
      const int t = MsUntil(lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
      if (t == 0) break;
      timeout = minTimeout(timeout, t);
    }
    readerWaiting_ = true;
    // While the receiver thread runs, it alone reads the descriptor and wakes this wait.
    pollfd p[2] = {{fd_, static_cast<short>(receiving_ ? 0 : POLLIN), 0}, {rxKick_, POLLIN, 0}};
    lk.unlock();
    const int r = poll(p, 2, timeout);
    const int pollErr = errno;
    lk.lock();
    readerWaiting_ = false;
    if (r < 0 && pollErr != EINTR) {
      err = pollErr;
      break;
    }
    if (r > 0 && (p[1].revents & POLLIN)) ClearKick(rxKick_);
    if (r > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLIN)) noteHangupLocked();
  }
  return err;
}

int TermiosDevice::clearCommError(uint32_t& errors, int& inQueue, int* outQueue) {
  std::lock_guard lk(mu_);
  // The count is of the bytes in the queue, as data bytes (the kernel's marks
  // removed). Without an event thread the kernel's bytes are moved there first;
  // with one, it moves them itself and reports them. A read, not FIONREAD: on
  // a tty FIONREAD takes the termios lock for writing and stalls the writer.
  if (!(mask_ & EV_RXCHAR)) drainLocked();
  errors = pendingErrors_;
  pendingErrors_ = 0;
  inQueue = static_cast<int>(queue_.size());
  if (outQueue) *outQueue = 0;
  if (hungUp_) return 0;
  if (hasLines_) {
    kernel::LineCounters c{};
    if (ioctl(fd_, kernel::kGetCounters, &c) == 0) {
      errors |= lineErrorFlags(c, errorBase_);
      errorBase_ = c;
    }
  }
  int n = 0;
  // A full queue leaves bytes in the kernel that no one will move: count them.
  if (queue_.size() >= capacityLocked() && ioctl(fd_, FIONREAD, &n) == 0) inQueue += n;
  if (outQueue && ioctl(fd_, TIOCOUTQ, &n) == 0) *outQueue = n;
  return 0;
}

// A device that went away has no lines any more: they read off and changes
// are accepted without effect. Reporting its loss on every DTR/RTS refresh
// would put an error box up ten times a second; the loss is reported once by
// the event wait and by every transfer.
bool TermiosDevice::linesGone(int error) {
  std::lock_guard lk(mu_);
  if (error == EIO) noteHangupLocked();
  return hungUp_;
}

int TermiosDevice::getModemStatus(uint32_t& status) {
  status = 0;
  if (!hasLines_ || linesGone(0)) return 0;
  int m = 0;
  if (ioctl(fd_, TIOCMGET, &m) != 0) return linesGone(errno) ? 0 : errno;
  if (m & TIOCM_CTS) status |= MS_CTS_ON;
  if (m & TIOCM_DSR) status |= MS_DSR_ON;
  if (m & TIOCM_RNG) status |= MS_RING_ON;
  if (m & TIOCM_CAR) status |= MS_RLSD_ON;
  return 0;
}

int TermiosDevice::setLine(int bit, bool on) {
  if (!hasLines_ || linesGone(0)) return 0;
  if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return linesGone(errno) ? 0 : errno;
  return 0;
}

int TermiosDevice::escapeFunction(int function) {
  switch (function) {
    case SETDTR: return setLine(TIOCM_DTR, true);
    case CLRDTR: return setLine(TIOCM_DTR, false);
    case SETRTS: return setLine(TIOCM_RTS, true);
    case CLRRTS: return setLine(TIOCM_RTS, false);
    case SETBREAK:
    case CLRBREAK:
      if (!hasLines_) return 0;
      if (ioctl(fd_, function == SETBREAK ? TIOCSBRK : TIOCCBRK) != 0) return errno;
      return 0;
    default: return EINVAL;
  }
}

int TermiosDevice::purge(uint32_t flags) {
  std::lock_guard lk(mu_);
  auto flush = [&](int which) -> int {
    if (hungUp_) return 0;  // nothing left to abort on a device that went away
    if (tcflush(fd_, which) == 0) return 0;
    if (errno == EIO) {
      noteHangupLocked();
      return 0;
    }
    return errno;
  };
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    queue_.clear();
    ++purges_;
    escape_ = 0;
    above80_ = false;
    if (int err = flush(TCIFLUSH)) return err;
    if (waiting_) Kick(kick_);  // room again: the wait may read the descriptor
    if (receiving_) Kick(recvKick_);
  }
  // Writes complete inside write(), so an abort finds none waiting; only a
  // clear discards what they handed to the kernel.
  if (flags & PURGE_TXCLEAR) {
    if (int err = flush(TCOFLUSH)) return err;
  }
  return 0;
}

int TermiosDevice::setCommMask(uint32_t mask) {
  std::unique_lock lk(mu_);
  mask_ = mask;
  if (mask & EV_RXCHAR)
    startReceiverLocked();
  else
    stopReceiver(lk);
  if (hasLines_ && !hungUp_) readCountersLocked(waitBase_, waitModem_);
  if (waiting_) {
    maskChanged_ = true;
    Kick(kick_);
  }
  return 0;
}

int TermiosDevice::waitCommEvent(uint32_t& events, int stopFd) {
  events = 0;
  std::unique_lock lk(mu_);
  if (hungUp_ && hangupReported_) return EIO;
  waiting_ = true;
  maskChanged_ = false;
  auto finish = [&](uint32_t ev, int result) {
    waiting_ = false;
    events = ev;
    return result;
  };
  for (;;) {
    if (hungUp_) {
      const uint32_t ev = EventsAfterLoss(pendingEvents_, mask_, hangupReported_);
      return ev ? finish(ev, 0) : finish(0, EIO);
    }
    if (maskChanged_) {
      maskChanged_ = false;
      return finish(0, 0);
    }
    uint32_t ev = 0;
    bool txWatch = false;
    if (txPending_) {
      int out = 0;
      if (!(mask_ & EV_TXEMPTY)) {
        txPending_ = false;
      } else if (ioctl(fd_, TIOCOUTQ, &out) != 0 || out == 0) {
        txPending_ = false;
        ev |= EV_TXEMPTY;
      } else {
        txWatch = true;
      }
    }
    const bool lineWatch = hasLines_ && (mask_ & kLineEvents);
    if (lineWatch) {
      kernel::LineCounters c;
      int m = 0;
      readCountersLocked(c, m);
      const int changed = m ^ waitModem_;
      uint32_t line = 0;
      if ((changed & TIOCM_CTS) || c.cts != waitBase_.cts) line |= EV_CTS;
      if ((changed & TIOCM_DSR) || c.dsr != waitBase_.dsr) line |= EV_DSR;
      if ((changed & TIOCM_CAR) || c.dcd != waitBase_.dcd) line |= EV_RLSD;
      if ((changed & m & TIOCM_RNG) || c.rng != waitBase_.rng) line |= EV_RING;
      if (c.brk != waitBase_.brk) line |= EV_BREAK;
      if (lineErrorFlags(c, waitBase_) & ~CE_BREAK) line |= EV_ERR;
      waitModem_ = m;
      waitBase_ = c;
      ev |= line & mask_;
    }
    const uint32_t pending = pendingEvents_ & mask_;
    const bool gather = !ev && pending && !(pending & ~kArrivalEvents) && gatheringLocked();
    if (!gather) {
      ev |= pending;
      pendingEvents_ = 0;
    }
    if (ev) {
      if (ev & EV_RXCHAR) rxReported_ = Clock::now();
      return finish(ev, 0);
    }

    // The receiver thread, when it runs, reads the descriptor; the wait then
    // watches it only for a hang-up.
    const bool roomy = queue_.size() < capacityLocked() && !receiving_;
    int timeout = -1;
    if (lineWatch) timeout = kLinePollMs;
    if (txWatch) timeout = minTimeout(timeout, kTxPollMs);
    if (gather) timeout = minTimeout(timeout, MsUntil(rxReported_ + kGather));
    lk.unlock();
    pollfd p[3] = {{fd_, static_cast<short>(roomy ? POLLIN : 0), 0}, {stopFd, POLLIN, 0}, {kick_, POLLIN, 0}};
    const int r = poll(p, 3, timeout);
    const int pollErr = errno;
    lk.lock();
    if (r < 0) {
      if (pollErr == EINTR) continue;
      return finish(0, pollErr);
    }
    if (p[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return finish(0, ECANCELED);
    if (p[2].revents & POLLIN) ClearKick(kick_);
    if (p[0].revents) {
      const size_t before = queue_.size();
      if (roomy) drainLocked();
      if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) noteHangupLocked();
      if (queue_.size() != before && readerWaiting_) Kick(rxKick_);
    }
  }
}

bool TermiosDevice::gatheringLocked() const {
  return receiving_ && !hungUp_ && Clock::now() - rxReported_ < kGather && queue_.size() < kGatherBytes;
}

void TermiosDevice::startReceiverLocked() {
  if (receiving_ || hungUp_) return;
  receiving_ = true;
  receiverStop_ = false;
  receiver_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "serivox-rx");
    receive();
  });
}

void TermiosDevice::stopReceiver(std::unique_lock<std::mutex>& lk) {
  if (!receiver_.joinable()) return;
  receiverStop_ = true;
  Kick(recvKick_);
  std::thread receiver = std::move(receiver_);
  lk.unlock();
  receiver.join();
  lk.lock();
  ClearKick(recvKick_);
}

// Moves arriving bytes into the queue as they come, as far as it has room,
// and wakes the event wait and a waiting reader. The descriptor is read
// without the lock, so the owner's thread never waits for a read; bytes read
// across a purge are dropped with it. Ends when stopped or when the device
// hangs up.
void TermiosDevice::receive() {
  uint8_t buf[16 * 1024];
  bool held = false;  // the event wait is to be woken when the gathering time ends
  std::unique_lock lk(mu_);
  while (!receiverStop_ && !hungUp_) {
    const size_t room = std::min(capacityLocked() - std::min(capacityLocked(), queue_.size()), sizeof buf);
    const uint64_t purges = purges_;
    const int timeout = held ? MsUntil(rxReported_ + kGather) : -1;
    lk.unlock();
    pollfd p[2] = {{fd_, static_cast<short>(room > 0 ? POLLIN : 0), 0}, {recvKick_, POLLIN, 0}};
    const int r = poll(p, 2, timeout);
    const int pollErr = errno;
    if (r > 0 && (p[1].revents & POLLIN)) ClearKick(recvKick_);
    size_t got = 0;
    bool gone = r > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLIN);
    if (r > 0 && room > 0 && (p[0].revents & POLLIN)) {
      // One read per wake-up: a tty hands over all its line discipline holds
      // (at most 4 KiB), and the next arrival is awaited in poll rather than
      // found by a read that fails.
      for (;;) {
        const ssize_t n = ::read(fd_, buf, room);
        if (n > 0) got = size_t(n);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) gone = true;  // read() == 0 or EIO
        break;
      }
    }
    lk.lock();
    if (r < 0 && pollErr != EINTR) break;
    if (got > 0 && purges == purges_) {
      appendLocked(buf, int(got));
      if (readerWaiting_) Kick(rxKick_);
    }
    if (gone) noteHangupLocked();
    held = false;
    if ((pendingEvents_ & mask_) && waiting_) {
      if (gatheringLocked())
        held = true;
      else
        Kick(kick_);
    }
  }
  receiving_ = false;
}

}  // namespace serivox::device

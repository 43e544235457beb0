// SPDX-License-Identifier: MIT
// The device on a network port: the gensio thread, transfers, time-outs,
// RFC 2217 line control and the event wait. See netdevice.h for the design.
#include "netdevice.h"

#include <gensio/gensio.h>
#include <gensio/gensio_unix.h>
#include <gensio/selector.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "waits.h"

namespace serivox::device {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kOutQueue = 64 * 1024;     // bytes a write queues ahead of gensio
constexpr size_t kSendChunk = 16 * 1024;
// The longest wait for the answers to line settings, for a server that
// leaves them unanswered (ser2net serving a pseudo-terminal answers at once).
constexpr int kAnswerCapMs = 500;
// Close: the far line is given this much more than its own time.
constexpr auto kLineMargin = std::chrono::milliseconds(100);
// The far line's time is waited for at most this long: the connection's
// buffers can hold far more than a serial line sends in the time a close may
// take, and how fast the far line really is cannot be seen from here.
constexpr auto kLongestLineWait = std::chrono::seconds(10);
constexpr auto kCloseBound = std::chrono::seconds(2);
constexpr auto kServicePeriod = std::chrono::milliseconds(100);  // while closing only

// errno for a gensio error.
int FromGensio(int ge) {
  switch (ge) {
    case GE_NOERR: return 0;
    case GE_NOMEM: return ENOMEM;
    case GE_CONNREFUSE: return ECONNREFUSED;
    case GE_TIMEDOUT: return ETIMEDOUT;
    case GE_HOSTDOWN: return EHOSTUNREACH;
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_INVALID: return ENXIO;
    case GE_NAME_SERVER_FAILURE: return EAGAIN;
    case GE_NAME_NET_NOT_UP: return ENETUNREACH;
    case GE_INVAL: return EINVAL;
    case GE_PERM: return EACCES;
    case GE_ADDRINUSE: return EADDRINUSE;
    case GE_NOTSUP: return EOPNOTSUPP;
    case GE_REMCLOSE: return ECONNRESET;
    default: return EIO;
  }
}

// The program writes no log: gensio's own reports are dropped.
void NoLog(gensio_os_funcs*, gensio_log_levels, const char*, va_list) {}

int NoEvents(gensio*, void*, int, int, unsigned char*, gensiods*, const char* const*) { return GE_NOTSUP; }

// libgensio keeps process-wide state (its count of gensios, the registered
// kinds and defaults, and their locks) and binds it to the first os funcs it
// is handed, without holding a reference. Each device frees its own os funcs
// when it closes, so a later open or close would call through freed memory.
// The library is therefore first handed os funcs that live as long as the
// program: a gensio of the same kind as the devices use is made with them
// and freed unopened, which sets that state up. Nothing is ever opened on
// them, so their selector is serviced only here, once.
bool BindLibraryState() {
  static const bool bound = [] {
    selector_s* sel = nullptr;
    gensio_os_funcs* os = nullptr;
    if (sel_alloc_selector_nothread(&sel) != 0) return false;
    if (gensio_unix_funcs_alloc(sel, 0, &os) != 0) {
      sel_free_selector(sel);
      return false;
    }
    gensio_os_funcs_set_vlog(os, NoLog);
    // Should this fail, the device's own open reports why.
    gensio* io = nullptr;
    NetTarget target{false, {NetAddress{false, {127, 0, 0, 1}}}, 1};
    if (AllocNetStack(os, target, NoEvents, nullptr, &io) == 0) {
      gensio_free(io);
      // Runs whatever part of the free the library defers.
      gensio_time now{0, 0};
      gensio_os_funcs_service(os, &now);
    }
    return true;  // `sel` and `os` stay allocated until the program ends
  }();
  return bound;
}

}  // namespace

NetDevice::NetDevice(bool serial, int kick) : DeviceCore(mu_, kick), serial_(serial) {}

int NetDevice::start() {
  commandFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (commandFd_ < 0) return errno;
  if (!BindLibraryState()) return ENOMEM;
  if (sel_alloc_selector_nothread(&sel_) != 0) return ENOMEM;
  // One thread makes all gensio calls: no wake-up signal is needed.
  if (gensio_unix_funcs_alloc(sel_, 0, &os_) != 0) return ENOMEM;
  gensio_os_funcs_set_vlog(os_, NoLog);
  if (sel_set_fd_handlers(sel_, commandFd_, this, CommandThunk, nullptr, nullptr, nullptr) != 0) return ENOMEM;
  sel_set_fd_read_handler(sel_, commandFd_, SEL_FD_HANDLER_ENABLED);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  return 0;
}

NetDevice::~NetDevice() {
  if (thread_.joinable()) awaitFarLine();
  if (thread_.joinable()) {
    {
      std::lock_guard lk(mu_);
      postLocked([this] { closeOnThread(); });
    }
    thread_.join();
  }
  if (sel_ && commandFd_ >= 0) {
    sel_clear_fd_handlers(sel_, commandFd_);
    // The selector frees a cleared handler's record on its next pass.
    timeval now{0, 0};
    sel_select(sel_, nullptr, 0, nullptr, &now);
  }
  if (os_) gensio_os_funcs_free(os_);
  if (sel_) sel_free_selector(sel_);
  if (commandFd_ >= 0) close(commandFd_);
}

int NetDevice::connect(const NetTarget& target, Clock::time_point deadline) {
  Lock lk(mu_);
  postLocked([this, target] { openOnThread(target); });
  while (link_ == Link::Opening) {
    // Connected, but the server never agreed to the COM port option.
    if (Clock::now() >= deadline) return connected_ ? EPROTO : ETIMEDOUT;
    waitLocked(lk, deadline);
  }
  return link_ == Link::Open ? 0 : openError_;
}

void NetDevice::postLocked(std::function<void()> call) {
  commands_.push_back(std::move(call));
  Kick(commandFd_);
}

// --- The gensio thread -------------------------------------------------------

void NetDevice::run() {
  // A peer that went away must give EPIPE here, never end the program.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  Clock::time_point closeDeadline{};
  for (;;) {
    bool quit;
    {
      std::lock_guard lk(mu_);
      quit = quit_;
    }
    if (quit) {
      if (!io_) break;
      if (closeDeadline == Clock::time_point{}) closeDeadline = Clock::now() + kCloseBound;
      if (Clock::now() >= closeDeadline) {
        // The close did not complete (a peer that takes nothing): free it as it is.
        gensio_free(io_);
        io_ = nullptr;
        break;
      }
      gensio_time period{0, static_cast<int32_t>(std::chrono::nanoseconds(kServicePeriod).count())};
      gensio_os_funcs_service(os_, &period);
    } else {
      gensio_os_funcs_service(os_, nullptr);
    }
  }
}

void NetDevice::CommandThunk(int fd, void* user) {
  ClearKick(fd);
  static_cast<NetDevice*>(user)->runCommands();
}

void NetDevice::runCommands() {
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard lk(mu_);
    calls.swap(commands_);
  }
  for (auto& call : calls) call();
}

void NetDevice::openOnThread(const NetTarget& target) {
  int rc = AllocNetStack(os_, target, EventThunk, this, &io_);
  if (rc == 0) {
    rc = gensio_open(io_, OpenedThunk, this);
    if (rc != 0) gensio_free(io_);
  }
  if (rc != 0) {
    io_ = nullptr;
    std::lock_guard lk(mu_);
    link_ = Link::Failed;
    openError_ = FromGensio(rc);
    wakeLocked();
  }
}

void NetDevice::OpenedThunk(gensio*, int err, void* user) {
  auto* self = static_cast<NetDevice*>(user);
  if (err != 0) {
    std::lock_guard lk(self->mu_);
    // Freed from the command queue, outside gensio's own call.
    self->postLocked([self] {
      {
        std::lock_guard lk(self->mu_);
        if (self->quit_) return;  // the close under way frees it
      }
      if (!self->io_) return;
      gensio_free(self->io_);
      self->io_ = nullptr;
    });
    if (self->link_ == Link::Opening) {
      self->link_ = Link::Failed;
      self->openError_ = FromGensio(err);
    }
    self->wakeLocked();
    return;
  }
  gensio_set_read_callback_enable(self->io_, true);
  self->readEnabled_ = true;
  std::lock_guard lk(self->mu_);
  self->connected_ = true;
  if (self->serial_) {
    // Open once the server agreed to the option (telnetLocked).
    self->sendWireLocked(Rfc2217::Greeting());
    return;
  }
  if (self->link_ == Link::Opening) self->link_ = Link::Open;
  self->wakeLocked();
}

void NetDevice::closeOnThread() {
  {
    std::lock_guard lk(mu_);
    quit_ = true;
  }
  if (!io_) return;
  if (gensio_close(io_, ClosedThunk, this) != 0) {
    gensio_free(io_);
    io_ = nullptr;
  }
}

void NetDevice::ClosedThunk(gensio*, void* user) {
  auto* self = static_cast<NetDevice*>(user);
  if (!self->io_) return;
  gensio_free(self->io_);
  self->io_ = nullptr;
}

int NetDevice::EventThunk(gensio*, void* user, int event, int err, unsigned char* buf, unsigned long* buflen,
                          const char* const*) {
  return static_cast<NetDevice*>(user)->onEvent(event, err, buf, buflen);
}

int NetDevice::onEvent(int event, int err, unsigned char* buf, unsigned long* buflen) {
  switch (event) {
    case GENSIO_EVENT_READ: {
      if (err != 0) {
        lostOnThread();
        if (buflen) *buflen = 0;
        return 0;
      }
      bool full;
      {
        std::lock_guard lk(mu_);
        const size_t n = std::min<size_t>(*buflen, room());
        if (serial_)
          telnetLocked(buf, n);  // never more data than bytes
        else
          receivedLocked(buf, n);
        *buflen = n;
        full = room() == 0;
        if (full) readPaused_ = true;
      }
      // A full queue stops reading; TCP holds the far end until there is room.
      if (full) {
        gensio_set_read_callback_enable(io_, false);
        readEnabled_ = false;
      }
      return 0;
    }
    case GENSIO_EVENT_WRITE_READY:
      sendOnThread();
      return 0;
    default:
      return GE_NOTSUP;
  }
}

void NetDevice::telnetLocked(const uint8_t* in, size_t n) {
  std::string data, reply;
  const bool wasSuspended = telnet_.suspended();
  telnet_.Receive(in, n, data, reply);
  if (!data.empty()) receivedLocked(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  uint8_t state = 0;
  if (telnet_.takeModemState(state)) modemLocked(state);
  if (telnet_.takeLineState(state)) lineErrorsLocked(state);
  if (!reply.empty()) sendWireLocked(reply);
  if (link_ == Link::Opening && telnet_.option() == Rfc2217::Option::Agreed) {
    // Ask the server to report every modem line and the line errors.
    sendWireLocked(Rfc2217::Request(Rfc2217::kSetModemstateMask, 0xFF) +
                   Rfc2217::Request(Rfc2217::kSetLinestateMask, 0x1E));
    link_ = Link::Open;
  } else if (link_ == Link::Opening && telnet_.option() == Rfc2217::Option::Refused) {
    link_ = Link::Failed;
    openError_ = EPROTO;
  }
  if (wasSuspended && !telnet_.suspended() && !out_.empty()) sendWireLocked({});
  wakeLocked();  // answers may have come
}

// RFC 2217's modem state has the MS_ bits and their change bits.
void NetDevice::modemLocked(unsigned state) {
  const uint32_t lines = state & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  const uint32_t changed = lines ^ modem_;
  uint32_t ev = 0;
  if ((changed & MS_CTS_ON) || (state & 0x01)) ev |= EV_CTS;
  if ((changed & MS_DSR_ON) || (state & 0x02)) ev |= EV_DSR;
  if ((changed & MS_RLSD_ON) || (state & 0x08)) ev |= EV_RLSD;
  if ((changed & lines & MS_RING_ON) || (state & 0x04)) ev |= EV_RING;
  modem_ = lines;
  raiseLocked(ev);
}

// RFC 2217's line state: overrun 0x02, parity 0x04, framing 0x08, break 0x10.
void NetDevice::lineErrorsLocked(unsigned state) {
  uint32_t errors = 0;
  if (state & 0x02) errors |= CE_OVERRUN;
  if (state & 0x04) errors |= CE_RXPARITY;
  if (state & 0x08) errors |= CE_FRAME;
  uint32_t ev = errors ? EV_ERR : 0;
  if (state & 0x10) {
    errors |= CE_BREAK;
    ev |= EV_BREAK;
  }
  raiseLocked(ev, errors);
}

void NetDevice::lostOnThread() {
  if (io_ && readEnabled_) {
    gensio_set_read_callback_enable(io_, false);
    readEnabled_ = false;
  }
  std::lock_guard lk(mu_);
  noteLostLocked();
}

// Hands queued output to gensio until it takes no more, then waits for its
// write-ready report. With Telnet, data go out escaped behind the requests
// queued before them; they count as taken once escaped.
void NetDevice::sendOnThread() {
  if (!io_) return;
  uint8_t chunk[kSendChunk];
  bool wireData = false;  // the wire holds data (EV_TXEMPTY once it is out)
  for (;;) {
    size_t n;
    {
      std::lock_guard lk(mu_);
      sendQueued_ = false;
      if (isLost()) break;
      if (serial_ && wire_.empty() && !out_.empty() && !telnet_.suspended()) {
        const size_t take = std::min(out_.size(), kSendChunk / 2);
        std::copy_n(out_.begin(), take, chunk);
        Rfc2217::Escape(chunk, take, wire_);
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(take));
        sent_ += take;
        handedOverLocked(take);
        wireData = true;
      }
      const size_t queued = serial_ ? wire_.size() : out_.size();
      if (queued == 0) break;
      n = std::min(queued, sizeof chunk);
      if (serial_)
        std::copy_n(wire_.begin(), n, chunk);
      else
        std::copy_n(out_.begin(), n, chunk);
      sending_ = true;
    }
    gensiods taken = 0;
    const int rc = gensio_write(io_, &taken, chunk, n, nullptr);
    {
      std::lock_guard lk(mu_);
      sending_ = false;
      if (rc != 0) {
        noteLostLocked();
        break;
      }
      taken = std::min<gensiods>(taken, n);
      if (serial_) {
        wire_.erase(0, taken);
      } else {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(taken));
        sent_ += taken;
        handedOverLocked(taken);
        wireData = taken > 0;
      }
      if (out_.empty() && wire_.empty() && wireData) {
        lookAgainLocked();  // for EV_TXEMPTY
        wireData = false;
      }
      wakeLocked();
    }
    if (taken < n) {
      gensio_set_write_callback_enable(io_, true);
      return;
    }
  }
  gensio_set_write_callback_enable(io_, false);
}

void NetDevice::sendWireLocked(const std::string& bytes) {
  wire_ += bytes;
  if (!sendQueued_) {
    sendQueued_ = true;
    postLocked([this] { sendOnThread(); });
  }
}

void NetDevice::handedOverLocked(size_t n) {
  const Dcb& d = dcb();
  const double stop = d.StopBits == ONESTOPBIT ? 1 : d.StopBits == ONE5STOPBITS ? 1.5 : 2;
  const double bits = 1 + d.ByteSize + (d.Parity != NOPARITY ? 1 : 0) + stop;
  const auto time = std::chrono::duration<double>(static_cast<double>(n) * bits / (d.BaudRate ? d.BaudRate : 9600));
  lineBusyUntil_ = std::max(lineBusyUntil_, Clock::now()) + std::chrono::duration_cast<Clock::duration>(time);
}

// --- Shared state --------------------------------------------------------------

void NetDevice::noteLostLocked() {
  out_.clear();
  lostLocked();
}

void NetDevice::roomAgain() {
  if (!readPaused_ || room() == 0) return;
  readPaused_ = false;
  postLocked([this] {
    if (io_ && !readEnabled_) {
      gensio_set_read_callback_enable(io_, true);
      readEnabled_ = true;
    }
  });
}

void NetDevice::waitNotSending(Lock& lk) {
  while (sending_) waitLocked(lk, std::nullopt);
}

// --- The transport ----------------------------------------------------------------

int NetDevice::applyLine(const Dcb& dcb, Lock& lk) {
  if (!serial_ || isLost()) return 0;  // raw TCP carries no line settings; a loss is reported by the wait

  uint32_t want[Rfc2217::kTopics] = {};
  want[Rfc2217::kBaud] = dcb.BaudRate;
  want[Rfc2217::kDataSize] = dcb.ByteSize;
  want[Rfc2217::kParity] = 1u + dcb.Parity;  // none, odd, even, mark, space
  want[Rfc2217::kStopSize] = dcb.StopBits == ONESTOPBIT ? 1 : dcb.StopBits == TWOSTOPBITS ? 2 : 3;  // 3: 1.5
  want[Rfc2217::kFlow] = (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) ? Rfc2217::kFlowHardware
                         : (dcb.fOutX || dcb.fInX)                                      ? Rfc2217::kFlowXonXoff
                                                                                        : Rfc2217::kFlowNone;
  uint64_t before[Rfc2217::kTopics] = {};
  for (Rfc2217::Topic t : kAwaited) before[t] = telnet_.answer(t).count;
  sendWireLocked(Rfc2217::Request(Rfc2217::kSetBaud, want[Rfc2217::kBaud]) +
                 Rfc2217::Request(Rfc2217::kSetDataSize, want[Rfc2217::kDataSize]) +
                 Rfc2217::Request(Rfc2217::kSetParity, want[Rfc2217::kParity]) +
                 Rfc2217::Request(Rfc2217::kSetStopSize, want[Rfc2217::kStopSize]) +
                 Rfc2217::Request(Rfc2217::kSetControl, want[Rfc2217::kFlow]));
  const uint64_t bound = uint64_t{timeouts().WriteTotalTimeoutMultiplier} + timeouts().WriteTotalTimeoutConstant;
  const int boundMs = bound == 0 ? kAnswerCapMs : static_cast<int>(std::min<uint64_t>(bound, kAnswerCapMs));
  const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
  auto settled = [&] {
    if (isLost()) return true;
    for (Rfc2217::Topic t : kAwaited)
      if (!silent_[t] && telnet_.answer(t).count == before[t]) return false;
    return true;
  };
  while (!settled() && Clock::now() < deadline) waitLocked(lk, deadline);
  if (isLost()) return 0;
  for (Rfc2217::Topic t : kAwaited) {
    if (silent_[t]) continue;
    if (telnet_.answer(t).count == before[t]) {
      silent_[t] = true;  // this server leaves it unanswered: no waiting for it again
      continue;
    }
    const double got = telnet_.answer(t).value;
    // Servers round the rate to what their clock divides to; allow 3 %.
    const bool ok = t == Rfc2217::kBaud ? std::abs(got - want[t]) <= want[t] * 0.03 : got == want[t];
    if (!ok) return EINVAL;
  }
  return 0;
}

int NetDevice::transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) {
  const uint64_t base = sent_ + out_.size();  // bytes queued before this write
  size_t queued = 0;
  int err = 0;
  auto taken = [&] { return static_cast<int>(std::min<uint64_t>(sent_ > base ? sent_ - base : 0, queued)); };
  for (;;) {
    if (queued < static_cast<size_t>(count) && out_.size() < kOutQueue) {
      const size_t n = std::min(static_cast<size_t>(count) - queued, kOutQueue - out_.size());
      out_.insert(out_.end(), data + queued, data + queued + n);
      queued += n;
      if (!sendQueued_) {
        sendQueued_ = true;
        postLocked([this] { sendOnThread(); });
      }
    }
    done = taken();
    if (done == count) break;
    if (isLost()) {
      err = EIO;
      break;
    }
    if (deadline && Clock::now() >= *deadline) {
      // Time-out: complete with what gensio took; the rest is not sent.
      waitNotSending(lk);
      out_.clear();
      done = taken();
      break;
    }
    waitLocked(lk, deadline);
  }
  return err;
}

int NetDevice::modemStatus(uint32_t& status, Lock&) {
  status = modem_;
  return 0;
}

int NetDevice::lineFunction(int function, Lock&) {
  if (serial_) sendLineLocked(function);  // raw TCP has no lines: accepted without effect
  return 0;
}

void NetDevice::sendLineLocked(int function) {
  // Sent without waiting for an answer: some servers never give one.
  Rfc2217::Control value = Rfc2217::kBreakOff;
  switch (function) {
    case SETDTR: value = Rfc2217::kDtrOn; break;
    case CLRDTR: value = Rfc2217::kDtrOff; break;
    case SETRTS: value = Rfc2217::kRtsOn; break;
    case CLRRTS: value = Rfc2217::kRtsOff; break;
    case SETBREAK: value = Rfc2217::kBreakOn; break;
    default: break;
  }
  sendWireLocked(Rfc2217::Request(Rfc2217::kSetControl, value));
}

int NetDevice::flushOutput(Lock& lk) {
  waitNotSending(lk);
  out_.clear();
  return 0;
}

// A server drops what it has not yet sent on its line when the connection
// ends: before it is closed, the far line is given its time for what was
// handed over (after the port's own drain), within the drain's bound and at
// most kLongestLineWait.
void NetDevice::awaitFarLine() {
  Lock lk(mu_);
  const auto now = Clock::now();
  if (isLost() || !connected_ || lineBusyUntil_ <= now) return;
  const auto backlog = lineBusyUntil_ - now;
  // The drain's bound for those bytes: their write time-out, when there is one.
  const CommTimeouts& t = timeouts();
  const uint32_t baud = dcb().BaudRate ? dcb().BaudRate : 9600;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(backlog).count();
  const uint64_t bytes = static_cast<uint64_t>(ms) * baud / 10000;
  auto until = std::min(now + backlog + backlog / 20 + kLineMargin, now + kLongestLineWait);
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
    until = std::min(until, now + std::chrono::milliseconds(std::min<uint64_t>(
                                      uint64_t{t.WriteTotalTimeoutMultiplier} * bytes + t.WriteTotalTimeoutConstant,
                                      INT32_MAX)));
  while (!isLost() && Clock::now() < until) waitLocked(lk, until);
}

}  // namespace serivox::device

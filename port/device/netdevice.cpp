// The device on a network port: the gensio thread, transfers, time-outs,
// RFC 2217 line control and the event wait. See netdevice.h for the design.
#include "netdevice.h"

#include <gensio/gensio.h>
#include <gensio/gensio_unix.h>
#include <gensio/selector.h>
#include <gensio/sergensio.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "waits.h"

namespace serivox::device {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMinQueue = 64 * 1024;
constexpr size_t kOutQueue = 64 * 1024;     // bytes a write queues ahead of gensio
constexpr size_t kSendChunk = 16 * 1024;
// The longest wait for the answers to line settings. ser2net serving a
// pseudo-terminal answers them at once, but only seconds later while a DTR
// or RTS request of its own is left unanswered.
constexpr int kAnswerCapMs = 500;
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
// program: a gensio of the same stack as the devices use is made with them
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
    if (str_to_gensio("telnet(rfc2217),tcp(nodelay),ipv4,127.0.0.1,1", os, NoEvents, nullptr, &io) == 0) {
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

NetDevice::NetDevice(bool serial) : serial_(serial) {
  for (int k = 0; k < kSettings; ++k) answerTags_[k] = {this, static_cast<Setting>(k)};
}

int NetDevice::start() {
  commandFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (commandFd_ < 0) return errno;
  kick_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (kick_ < 0) return errno;
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
  if (thread_.joinable()) {
    post([this] { closeOnThread(); });
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
  if (kick_ >= 0) close(kick_);
}

int NetDevice::connect(const std::string& target, Clock::time_point deadline) {
  post([this, target] { openOnThread(target); });
  std::unique_lock lk(mu_);
  if (!changed_.wait_until(lk, deadline, [&] { return link_ != Link::Opening; })) return ETIMEDOUT;
  return link_ == Link::Open ? 0 : openError_;
}

void NetDevice::post(std::function<void()> call) {
  {
    std::lock_guard lk(mu_);
    commands_.push_back(std::move(call));
  }
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

void NetDevice::openOnThread(const std::string& target) {
  int rc = str_to_gensio(target.c_str(), os_, EventThunk, this, &io_);
  if (rc == 0) {
    rc = gensio_open(io_, OpenedThunk, this);
    if (rc != 0) gensio_free(io_);
  }
  if (rc != 0) {
    io_ = nullptr;
    std::lock_guard lk(mu_);
    link_ = Link::Failed;
    openError_ = FromGensio(rc);
    changed_.notify_all();
  }
}

void NetDevice::OpenedThunk(gensio*, int err, void* user) {
  auto* self = static_cast<NetDevice*>(user);
  if (err != 0) {
    // Freed from the command queue, outside gensio's own call.
    self->post([self] {
      {
        std::lock_guard lk(self->mu_);
        if (self->quit_) return;  // the close under way frees it
      }
      if (!self->io_) return;
      gensio_free(self->io_);
      self->io_ = nullptr;
    });
    std::lock_guard lk(self->mu_);
    if (self->link_ == Link::Opening) {
      self->link_ = Link::Failed;
      self->openError_ = FromGensio(err);
    }
    self->changed_.notify_all();
    return;
  }
  if (self->serial_) self->sio_ = gensio_to_sergensio(self->io_);
  if (self->sio_) {
    // Ask the server to report every modem line and the line errors.
    sergensio_modemstate(self->sio_, 0xFF);
    sergensio_linestate(self->sio_, SERGENSIO_LINESTATE_OVERRUN_ERR | SERGENSIO_LINESTATE_PARITY_ERR |
                                        SERGENSIO_LINESTATE_FRAMING_ERR | SERGENSIO_LINESTATE_BREAK);
  }
  gensio_set_read_callback_enable(self->io_, true);
  self->readEnabled_ = true;
  std::lock_guard lk(self->mu_);
  if (self->link_ == Link::Opening) self->link_ = Link::Open;
  self->changed_.notify_all();
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
        const size_t cap = capacityLocked();
        const size_t n = std::min(*buflen, cap - std::min(cap, queue_.size()));
        appendLocked(buf, n);
        *buflen = n;
        full = queue_.size() >= cap;
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
    case GENSIO_EVENT_SER_MODEMSTATE: {
      const unsigned state = *reinterpret_cast<unsigned*>(buf);
      const uint32_t lines = state & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
      std::lock_guard lk(mu_);
      const uint32_t changed = lines ^ modem_;
      uint32_t ev = 0;
      if ((changed & MS_CTS_ON) || (state & SERGENSIO_MODEMSTATE_CTS_CHANGED)) ev |= EV_CTS;
      if ((changed & MS_DSR_ON) || (state & SERGENSIO_MODEMSTATE_DSR_CHANGED)) ev |= EV_DSR;
      if ((changed & MS_RLSD_ON) || (state & SERGENSIO_MODEMSTATE_CD_CHANGED)) ev |= EV_RLSD;
      if ((changed & lines & MS_RING_ON) || (state & SERGENSIO_MODEMSTATE_RI_CHANGED)) ev |= EV_RING;
      modem_ = lines;
      pendingEvents_ |= ev;
      if (waiting_ && (ev & mask_)) Kick(kick_);
      return 0;
    }
    case GENSIO_EVENT_SER_LINESTATE: {
      const unsigned state = *reinterpret_cast<unsigned*>(buf);
      std::lock_guard lk(mu_);
      uint32_t errors = 0;
      if (state & SERGENSIO_LINESTATE_OVERRUN_ERR) errors |= CE_OVERRUN;
      if (state & SERGENSIO_LINESTATE_PARITY_ERR) errors |= CE_RXPARITY;
      if (state & SERGENSIO_LINESTATE_FRAMING_ERR) errors |= CE_FRAME;
      uint32_t ev = errors ? EV_ERR : 0;
      if (state & SERGENSIO_LINESTATE_BREAK) {
        errors |= CE_BREAK;
        ev |= EV_BREAK;
      }
      pendingErrors_ |= errors;
      pendingEvents_ |= ev;
      if (waiting_ && (ev & mask_)) Kick(kick_);
      return 0;
    }
    default:
      return GE_NOTSUP;
  }
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
// write-ready report.
void NetDevice::sendOnThread() {
  if (!io_) return;
  uint8_t chunk[kSendChunk];
  for (;;) {
    size_t n;
    {
      std::lock_guard lk(mu_);
      sendQueued_ = false;
      if (lost_ || out_.empty()) break;
      n = std::min(out_.size(), sizeof chunk);
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
        changed_.notify_all();
        break;
      }
      taken = std::min<gensiods>(taken, n);
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(taken));
      sent_ += taken;
      if (out_.empty() && taken > 0) {
        pendingEvents_ |= EV_TXEMPTY;
        if (waiting_ && (mask_ & EV_TXEMPTY)) Kick(kick_);
      }
      changed_.notify_all();
    }
    if (taken < n) {
      gensio_set_write_callback_enable(io_, true);
      return;
    }
  }
  gensio_set_write_callback_enable(io_, false);
}

void NetDevice::AnswerThunk(sergensio*, int err, unsigned int value, void* user) {
  const auto* tag = static_cast<Answer*>(user);
  NetDevice* self = tag->device;
  std::lock_guard lk(self->mu_);
  ++self->answered_[tag->setting];
  self->answer_[tag->setting] = value;
  self->answerOk_[tag->setting] = err == 0;
  self->changed_.notify_all();
}

// --- Shared state --------------------------------------------------------------

size_t NetDevice::capacityLocked() const { return std::max(static_cast<size_t>(inputSize_), kMinQueue); }

void NetDevice::noteLostLocked() {
  if (lost_) return;
  lost_ = true;
  pendingErrors_ |= CE_IOE;
  out_.clear();
  if (waiting_) Kick(kick_);
  changed_.notify_all();
}

void NetDevice::appendLocked(const uint8_t* data, size_t n) {
  bool flag = false;
  const bool any = queue_.appendReceived(data, n, dcb_.fNull, dcb_.EvtChar, flag) > 0;
  uint32_t ev = 0;
  if (any) ev |= EV_RXCHAR;
  if (flag) ev |= EV_RXFLAG;
  const size_t mark = static_cast<size_t>(inputSize_) * 8 / 10;
  if (inputSize_ > 0 && !above80_ && queue_.size() >= mark) {
    above80_ = true;
    ev |= EV_RX80FULL;
  }
  pendingEvents_ |= ev;
  if (waiting_ && (ev & mask_)) Kick(kick_);
  if (any) changed_.notify_all();
}

void NetDevice::takeLocked(uint8_t* data, int count, int& done) {
  const size_t n = std::min(static_cast<size_t>(count), queue_.size());
  queue_.take(data, n);
  done = static_cast<int>(n);
  if (above80_ && queue_.size() < static_cast<size_t>(inputSize_) * 8 / 10) above80_ = false;
  resumeReadLocked();
}

void NetDevice::resumeReadLocked() {
  if (readPaused_ && queue_.size() < capacityLocked()) {
    readPaused_ = false;
    commands_.push_back([this] {
      if (io_ && !readEnabled_) {
        gensio_set_read_callback_enable(io_, true);
        readEnabled_ = true;
      }
    });
    Kick(commandFd_);
  }
}

// --- The device interface -------------------------------------------------------

int NetDevice::setupComm(int inputSize, int outputSize) {
  if (inputSize < 0 || outputSize < 0) return EINVAL;
  std::lock_guard lk(mu_);
  inputSize_ = inputSize;
  return 0;
}

int NetDevice::setCommState(const Dcb& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar))
    return EINVAL;
  {
    std::lock_guard lk(mu_);
    dcb_ = dcb;
  }
  if (!serial_) return 0;  // raw TCP carries no line settings

  unsigned want[kSettings];
  want[kBaud] = dcb.BaudRate;
  want[kDataSize] = dcb.ByteSize;
  want[kParity] = SERGENSIO_PARITY_NONE + dcb.Parity;  // none, odd, even, mark, space in both
  want[kStopBits] = dcb.StopBits == ONESTOPBIT ? 1 : dcb.StopBits == TWOSTOPBITS ? 2 : 3;  // 3: 1.5
  const unsigned flow = (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) ? SERGENSIO_FLOWCONTROL_RTS_CTS
                        : (dcb.fOutX || dcb.fInX) ? SERGENSIO_FLOWCONTROL_XON_XOFF
                                                  : SERGENSIO_FLOWCONTROL_NONE;
  unsigned target[kSettings];
  int boundMs;
  {
    std::lock_guard lk(mu_);
    if (lost_) return 0;  // nowhere to send them; the loss is reported by the event wait
    for (int k = 0; k < kSettings; ++k) target[k] = ++asked_[k];
    const uint64_t bound = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} + timeouts_.WriteTotalTimeoutConstant;
    boundMs = bound == 0 ? kAnswerCapMs : static_cast<int>(std::min<uint64_t>(bound, kAnswerCapMs));
  }
  post([this, want = std::to_array(want), flow] {
    if (!sio_) return;
    sergensio_baud(sio_, want[kBaud], AnswerThunk, &answerTags_[kBaud]);
    sergensio_datasize(sio_, want[kDataSize], AnswerThunk, &answerTags_[kDataSize]);
    sergensio_parity(sio_, want[kParity], AnswerThunk, &answerTags_[kParity]);
    sergensio_stopbits(sio_, want[kStopBits], AnswerThunk, &answerTags_[kStopBits]);
    sergensio_flowcontrol(sio_, flow, nullptr, nullptr);
  });
  // The control modes set the lines; RTS handshake leaves RTS to the server.
  sendLine(dcb.fDtrControl != DTR_CONTROL_DISABLE ? SETDTR : CLRDTR);
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) sendLine(dcb.fRtsControl == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS);

  const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
  std::unique_lock lk(mu_);
  auto settled = [&] {
    if (lost_) return true;
    for (int k = 0; k < kSettings; ++k)
      if (!silent_[k] && answered_[k] < target[k]) return false;
    return true;
  };
  changed_.wait_until(lk, deadline, settled);
  if (lost_) return 0;
  for (int k = 0; k < kSettings; ++k) {
    if (silent_[k]) continue;
    if (answered_[k] < target[k]) {
      silent_[k] = true;  // this server leaves it unanswered: no waiting for it again
      continue;
    }
    if (!answerOk_[k]) continue;
    const unsigned got = answer_[k];
    // Servers round the rate to what their clock divides to; allow 3 %.
    const bool ok = k == kBaud ? std::abs(static_cast<double>(got) - want[k]) <= want[k] * 0.03 : got == want[k];
    if (!ok) return EINVAL;
  }
  return 0;
}

int NetDevice::setCommTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard lk(mu_);
  timeouts_ = timeouts;
  return 0;
}

int NetDevice::write(const uint8_t* data, int count, int& done) {
  done = 0;
  if (count <= 0) return 0;
  std::unique_lock lk(mu_);
  if (lost_) return EIO;
  const CommTimeouts to = timeouts_;
  // RTS toggle: the requests go in the same stream as the bytes, around them.
  const bool toggle = serial_ && dcb_.fRtsControl == RTS_CONTROL_TOGGLE;
  if (toggle) {
    lk.unlock();
    sendLine(SETRTS);
    lk.lock();
  }
  const uint64_t total =
      uint64_t{to.WriteTotalTimeoutMultiplier} * static_cast<uint64_t>(count) + to.WriteTotalTimeoutConstant;
  const bool bounded = total != 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? total : 0);
  const uint64_t base = sent_ + out_.size();  // bytes queued before this write
  size_t queued = 0;
  int err = 0;
  for (;;) {
    if (queued < static_cast<size_t>(count) && out_.size() < kOutQueue) {
      const size_t n = std::min(static_cast<size_t>(count) - queued, kOutQueue - out_.size());
      out_.insert(out_.end(), data + queued, data + queued + n);
      queued += n;
      if (!sendQueued_) {
        sendQueued_ = true;
        commands_.push_back([this] { sendOnThread(); });
        Kick(commandFd_);
      }
    }
    done = static_cast<int>(std::min<uint64_t>(sent_ > base ? sent_ - base : 0, queued));
    if (done == count) break;
    if (lost_) {
      err = EIO;
      break;
    }
    bool expired = false;
    if (bounded)
      expired = changed_.wait_until(lk, deadline) == std::cv_status::timeout;
    else
      changed_.wait(lk);
    if (expired) {
      // Time-out: complete with what gensio took; the rest is not sent.
      changed_.wait(lk, [&] { return !sending_; });
      out_.clear();
      done = static_cast<int>(std::min<uint64_t>(sent_ > base ? sent_ - base : 0, queued));
      break;
    }
  }
  if (toggle) {
    lk.unlock();
    sendLine(CLRRTS);
  }
  return err;
}

int NetDevice::read(uint8_t* data, int count, int& done) {
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
    int n = 0;
    takeLocked(data + done, count - done, n);
    done += n;
    if (n > 0) lastByte = Clock::now();
    if (done == count) break;
    if (lost_ && queue_.empty()) {
      if (done == 0) err = EIO;
      break;
    }
    if (immediate || (firstByte && done > 0)) break;
    std::optional<Clock::time_point> until;
    if (bounded) {
      if (MsUntil(deadline) == 0) break;
      until = deadline;
    }
    if (useInterval && done > 0) {
      const auto gapEnd = lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout);
      if (MsUntil(gapEnd) == 0) break;
      until = until ? std::min(*until, gapEnd) : gapEnd;
    }
    if (until)
      changed_.wait_until(lk, *until);
    else
      changed_.wait(lk);
  }
  return err;
}

int NetDevice::clearCommError(uint32_t& errors, int& inQueue, int* outQueue) {
  std::lock_guard lk(mu_);
  errors = pendingErrors_;
  pendingErrors_ = 0;
  inQueue = static_cast<int>(queue_.size());
  if (outQueue) *outQueue = static_cast<int>(out_.size());
  return 0;
}

int NetDevice::getModemStatus(uint32_t& status) {
  std::lock_guard lk(mu_);
  status = lost_ ? 0 : modem_;
  return 0;
}

int NetDevice::escapeFunction(int function) {
  if (function != SETDTR && function != CLRDTR && function != SETRTS && function != CLRRTS &&
      function != SETBREAK && function != CLRBREAK)
    return EINVAL;
  if (!serial_) return 0;  // raw TCP has no lines: accepted without effect
  {
    std::lock_guard lk(mu_);
    if (lost_) return 0;  // the loss is reported once, by the event wait and the transfers
  }
  sendLine(function);
  return 0;
}

void NetDevice::sendLine(int function) {
  // Sent without waiting for an answer: some servers never give one.
  post([this, function] {
    if (!sio_) return;
    switch (function) {
      case SETDTR: sergensio_dtr(sio_, SERGENSIO_DTR_ON, nullptr, nullptr); break;
      case CLRDTR: sergensio_dtr(sio_, SERGENSIO_DTR_OFF, nullptr, nullptr); break;
      case SETRTS: sergensio_rts(sio_, SERGENSIO_RTS_ON, nullptr, nullptr); break;
      case CLRRTS: sergensio_rts(sio_, SERGENSIO_RTS_OFF, nullptr, nullptr); break;
      case SETBREAK: sergensio_sbreak(sio_, SERGENSIO_BREAK_ON, nullptr, nullptr); break;
      default: sergensio_sbreak(sio_, SERGENSIO_BREAK_OFF, nullptr, nullptr); break;
    }
  });
}

int NetDevice::purge(uint32_t flags) {
  std::unique_lock lk(mu_);
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    above80_ = false;
    queue_.clear();
    resumeReadLocked();
  }
  // Writes complete inside write(), so an abort finds none waiting; only a
  // clear discards what they queued.
  if (flags & PURGE_TXCLEAR) {
    changed_.wait(lk, [&] { return !sending_; });
    out_.clear();
  }
  return 0;
}

int NetDevice::drain() {
  std::unique_lock lk(mu_);
  if (lost_ || out_.empty()) return 0;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(DrainLimitMs(timeouts_, dcb_.BaudRate, static_cast<int>(out_.size())));
  changed_.wait_until(lk, deadline, [&] { return lost_ || out_.empty(); });
  changed_.wait(lk, [&] { return !sending_; });
  out_.clear();
  return 0;
}

int NetDevice::setCommMask(uint32_t mask) {
  std::lock_guard lk(mu_);
  mask_ = mask;
  if (waiting_) {
    maskChanged_ = true;
    Kick(kick_);
  }
  return 0;
}

int NetDevice::waitCommEvent(uint32_t& events, int stopFd) {
  events = 0;
  std::unique_lock lk(mu_);
  if (lost_ && lossReported_) return EIO;
  waiting_ = true;
  maskChanged_ = false;
  auto finish = [&](uint32_t ev, int result) {
    waiting_ = false;
    events = ev;
    return result;
  };
  for (;;) {
    if (lost_) {
      const uint32_t ev = EventsAfterLoss(pendingEvents_, mask_, lossReported_);
      return ev ? finish(ev, 0) : finish(0, EIO);
    }
    if (maskChanged_) {
      maskChanged_ = false;
      return finish(0, 0);
    }
    const uint32_t ev = pendingEvents_ & mask_;
    pendingEvents_ = 0;
    if (ev) return finish(ev, 0);
    lk.unlock();
    pollfd p[2] = {{stopFd, POLLIN, 0}, {kick_, POLLIN, 0}};
    const int r = poll(p, 2, -1);
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

// SPDX-License-Identifier: MIT
// The serial-port rules that every device shares, written once: the input
// queue and its 80 % mark, the event mask and the events it raises, the read
// time-outs and the read loop, the order of a purge against the bytes being
// received, and the event wait with its loss rule. A transport below it (a
// tty, a network connection, the built-in virtual wire) only moves bytes and
// lines; it is a subclass that fills in the hooks.
//
// Locking: one mutex guards the core and its transport's state. The transport
// chooses it (the virtual ports share one for all their ends, as their wires
// join them). Every hook runs with it held; a hook that has to wait gets the
// lock to release meanwhile. A transport hands received bytes in with
// receivedLocked() from a thread of its own, holding the lock.
//
// The rules:
//  - EV_RXCHAR is raised once per arrival of new bytes, never again for bytes
//    that already wait. Under a fast stream the wait reports arrivals at most
//    once per millisecond unless 32 KiB wait, so the owner takes the stream in
//    large chunks; the first arrival after a quiet spell is reported at once.
//  - A purge drops only bytes received before it: a receive that is under way
//    when the purge comes finishes first and its bytes go with the purge;
//    bytes that arrive after the purge returned are kept.
//  - A loss (hang-up, dropped connection) is reported once, by the wait with
//    EV_ERR; from then on the wait returns EIO at once. Its CE_IOE goes to the
//    first clearCommError after that report (at once when EV_ERR is not
//    watched), so a read that asks for the queue meanwhile cannot swallow it.
//    What arrived before the loss stays readable until the device is closed;
//    readers waiting for more are woken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "bytequeue.h"
#include "device.h"

namespace serivox::device {

// Whether a line setting can exist on any line: a rate, 5 to 8 data bits, a
// known parity and stop bits, distinct XON and XOFF with software flow control.
bool LineSettingsValid(const Dcb& dcb);

// The longest wait of a drain for `queued` bytes: the write time-out for
// them, or when the time-outs are 0 twice their time on the line plus a
// second, at most ten seconds.
uint64_t DrainLimitMs(const CommTimeouts& t, uint32_t baud, int queued);

class DeviceCore : public Device {
 public:
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;
  using Deadline = std::optional<Clock::time_point>;

  ~DeviceCore() override;

  int setupComm(int inputSize, int outputSize) final;
  int setCommState(const Dcb& dcb) final;
  int setCommTimeouts(const CommTimeouts& timeouts) final;
  int write(const uint8_t* data, int count, int& done) final;
  int read(uint8_t* data, int count, int& done) final;
  int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) final;
  int getModemStatus(uint32_t& status) final;
  int escapeFunction(int function) final;
  int purge(uint32_t flags) final;
  int drain() final;
  int setCommMask(uint32_t mask) final;
  int waitCommEvent(uint32_t& events, int stopFd) final;

 protected:
  // `mu` guards the core and the transport; `kick` is an eventfd that the
  // core owns (and closes) from here on.
  DeviceCore(std::mutex& mu, int kick);

  // --- The transport's hooks, all called with the lock held ---------------

  // Puts checked line settings on the line. The core keeps `dcb` once this
  // succeeds, and then sets DTR and RTS as the control modes say (RTS
  // handshake leaves RTS to the transport).
  virtual int applyLine(const Dcb& dcb, Lock& lk) = 0;
  // Sends `count` > 0 bytes, blocking until they are taken or `deadline`
  // passes (none: no bound); `done` is what was taken, also on error.
  virtual int transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) = 0;
  // Bytes that completed writes handed over and that have not left yet.
  virtual int outputQueued() = 0;
  // Waits until the output has left, the line takes nothing for `stall`, or
  // `deadline` passes; returns the bytes still queued. By default it looks at
  // outputQueued() every 2 ms.
  virtual int awaitOutput(Clock::time_point deadline, std::chrono::milliseconds stall, Lock& lk);
  // Whether the device has modem lines at all; without, line requests are
  // accepted and inputs read off without taking the lock (the window
  // refreshes DTR and RTS often). Fixed for the device's life.
  virtual bool hasLines() const { return true; }
  // MS_ bits of the input lines.
  virtual int modemStatus(uint32_t& status, Lock& lk) = 0;
  // SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK or CLRBREAK.
  virtual int lineFunction(int function, Lock& lk) = 0;
  // Adds the line errors (CE_) since the last call and bytes the transport
  // holds beyond the queue.
  virtual void lineState(uint32_t& /*errors*/, int& /*inQueue*/) {}
  // Drops what the transport itself holds of the input (a tty's buffer).
  virtual int flushInput() { return 0; }
  // Discards what completed writes handed over and is not yet sent.
  virtual int flushOutput(Lock& /*lk*/) { return 0; }
  // The queue has room again after it had none: reception may go on.
  virtual void roomAgain() {}
  // The event mask changed (mask() gives it).
  virtual void maskChanged() {}
  // Called by the wait at each pass: events found by looking (the modem
  // lines), and the longest sleep before the next look (ms, -1: no need to
  // look again).
  virtual uint32_t look(int& /*timeoutMs*/) { return 0; }
  // Moves bytes due by `now` into the queue (a wire that carries bytes with
  // their arrival time); returns when the next are due.
  virtual Deadline settle(Clock::time_point /*now*/) { return std::nullopt; }

  // --- For the transport, with the lock held ---------------------------------

  std::mutex& mutex() const { return mu_; }
  // Appends received data bytes (without NULs when the settings drop them)
  // and raises their events; the caller keeps within room().
  void receivedLocked(const uint8_t* data, size_t n);
  // Raises events and line errors.
  void raiseLocked(uint32_t events, uint32_t errors = 0);
  // Wakes the event wait so that it looks again (see look()), e.g. when the
  // output has gone.
  void lookAgainLocked();
  // The device went away.
  void lostLocked();
  bool isLost() const { return lost_; }
  // Bytes the queue can still take (at least 64 KiB in all).
  size_t room() const;
  // Wakes readers and the waits of the transport's own.
  void wakeLocked() { changed_.notify_all(); }
  // Waits of the transport: woken by wakeLocked and by everything the core does.
  void waitLocked(Lock& lk, Deadline until);
  static Deadline earlier(Deadline a, Deadline b) { return !a ? b : !b ? a : std::min(*a, *b); }
  const Dcb& dcb() const { return dcb_; }
  const CommTimeouts& timeouts() const { return timeouts_; }
  uint32_t mask() const { return mask_; }
  int outputSize() const { return outputSize_; }
  // A receive runs outside the lock: a purge waits until it has appended.
  void receiveStarted() { receiving_ = true; }
  void receiveEnded();

 private:
  size_t capacity() const;
  void takeLocked(uint8_t* data, int count, int& done);
  bool gathering(Clock::time_point now) const;
  void kickWaiterFor(uint32_t events);

  std::mutex& mu_;
  const int kick_;  // wakes the event wait
  std::condition_variable changed_;
  Dcb dcb_;
  CommTimeouts timeouts_;
  int inputSize_ = 4096;
  int outputSize_ = 4096;
  ByteQueue queue_;
  uint32_t pendingEvents_ = 0;
  uint32_t pendingErrors_ = 0;
  uint32_t mask_ = 0;
  bool waiting_ = false;      // a waitCommEvent is in progress
  bool maskChanged_ = false;  // complete the pending wait with no events
  bool above80_ = false;
  bool receiving_ = false;    // the transport is in a receive outside the lock
  bool lost_ = false;
  bool lossReported_ = false;
  bool txPending_ = false;    // written since the output was last seen gone
  Clock::time_point rxReported_{};               // when the wait last reported arrivals
  Clock::time_point waiterWakes_ = Clock::time_point::max();  // when a sleeping wait looks again
};

}  // namespace serivox::device

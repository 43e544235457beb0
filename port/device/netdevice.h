// SPDX-License-Identifier: MIT
// Ports on other machines: "rfc2217://HOST:PORT" (Telnet with the COM port
// control option, as ser2net and terminal servers speak it) and
// "tcp://HOST:PORT" (raw bytes), through libgensio.
//
// Design notes for the port above:
//  - Each device has one thread of its own that makes every gensio call and
//    receives every gensio callback (its own selector, woken by an eventfd),
//    so gensio needs no wake-up signal and no lock is held across its calls.
//    The owner's thread and the event thread talk to it through a command
//    queue and wait on a condition variable, bounded by the time-outs.
//  - libgensio binds process-wide state to the first os funcs it is handed;
//    so that a device's own may be freed, os funcs kept until the program
//    ends are handed to it before any device's.
//  - Received bytes go into the core's queue (at least 64 KiB), as with a
//    tty; while it is full the connection is not read and TCP's flow control
//    holds the far end.
//  - A write blocks until gensio has taken the bytes, bounded by the write
//    time-outs; on time-out the bytes not yet taken are dropped.
//  - RFC 2217: Telnet and the COM port option are spoken here (rfc2217.h),
//    over a plain TCP gensio: libgensio 2.6's client pairs an answer with the
//    first pending request whose value range holds it, whatever its command,
//    and cannot say whether the server agreed to the option. Open succeeds
//    only once the server agreed to COM-PORT-OPTION within the connection
//    bound; otherwise it fails with EPROTO, having sent only the Telnet
//    negotiation. Line settings are sent and each awaited under its own
//    command, at most the write time-out for one byte and never more than
//    half a second; an answer that differs gives EINVAL; a missing one is
//    not an error, and a setting the server once left unanswered is not
//    waited for again. DTR, RTS and break requests go in the same stream as
//    the data, without waiting (ser2net serving a pseudo-terminal never
//    answers them).
//    Modem lines and line errors come from the server's notifications.
//  - Closing (the device's destruction, after the core's drain) first waits
//    for the time the far line needs for the bytes handed over (at the
//    port's rate and frame, 5 % and 100 ms more), within their write
//    time-out and at most 10 s: a server drops what it has not yet put on
//    its line when the connection ends.
//  - tcp://: settings are accepted and do nothing; the lines read off.
//  - A dropped connection is a hang-up: EV_ERR once, then EIO, CE_IOE in the
//    line errors, transfers fail with EIO.
//  - Only the two schemes are known. The name never reaches a shell, a file,
//    a proxy or a gensio string of its own: the host is resolved here and
//    only numeric addresses and the port number are handed to gensio.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "rfc2217.h"

struct gensio;
struct gensio_os_funcs;
struct selector_s;

namespace serivox::device {

// A network port name taken apart.
struct NetPortName {
  bool rfc2217 = false;
  std::string host;  // a host name or a numeric address (IPv6 without brackets)
  uint16_t port = 0;
};

// Where a network port connects: numeric addresses only, found before the
// connection is made, and the port number.
struct NetAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // in network order; 4 used for IPv4
};
struct NetTarget {
  bool rfc2217 = false;
  std::vector<NetAddress> addresses;
  uint16_t port = 0;
};

// Makes the gensio stack for `target`, unopened: TCP (no Nagle delay) to the
// addresses in turn (Telnet is spoken by the device itself).
// The addresses are handed over as binary addresses, so gensio makes no
// name lookup of its own (its lookup asks for AI_ADDRCONFIG, under which
// glibc finds no address at all on a machine whose only network is
// loopback). Returns a gensio error code.
using NetEventFn = int (*)(gensio*, void*, int, int, unsigned char*, unsigned long*, const char* const*);
int AllocNetStack(gensio_os_funcs* os, const NetTarget& target, NetEventFn cb, void* user, gensio** io);

// Whether a port name has a scheme ("xxx://"). Such a name is a network
// address and never a device path.
bool IsNetPortName(const std::string& name);

// "rfc2217://HOST:PORT" or "tcp://HOST:PORT", the scheme in any letter case;
// HOST a name of letters, digits, '-', '_' and '.', or an IPv6 address in
// brackets; PORT 1 to 65535. EPROTONOSUPPORT for another scheme, EINVAL for
// anything else that is not plainly such a name.
int ParseNetPortName(const std::string& name, NetPortName& out);

// Connects to a network port. Name lookup and connection together take at
// most the write time-out for one byte of `timeouts` (multiplier + constant),
// or 10 s when that is 0 (no bound). Failures: EPROTONOSUPPORT, EINVAL (the
// name), ENXIO (no such host), EAGAIN (the name service failed for now),
// ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH, EPROTO (rfc2217: the
// server did not agree to the COM port option).
int OpenNetPort(const std::string& name, const CommTimeouts& timeouts, std::unique_ptr<Device>& device);

class NetDevice : public DeviceCore {
 public:
  ~NetDevice() override;

 private:
  friend int OpenNetPort(const std::string&, const CommTimeouts&, std::unique_ptr<Device>&);

  // The line settings whose answers are awaited.
  static constexpr Rfc2217::Topic kAwaited[] = {Rfc2217::kBaud, Rfc2217::kDataSize, Rfc2217::kParity,
                                                Rfc2217::kStopSize, Rfc2217::kFlow};

  NetDevice(bool serial, int kick);
  int start();
  int connect(const NetTarget& target, Clock::time_point deadline);

  int applyLine(const Dcb& dcb, Lock& lk) override;
  int transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) override;
  int modemStatus(uint32_t& status, Lock& lk) override;
  int lineFunction(int function, Lock& lk) override;
  int outputQueued() override { return static_cast<int>(out_.size() + wire_.size()); }
  int flushOutput(Lock& lk) override;
  void roomAgain() override;

  // With the lock held: queue a call for the gensio thread and wake it.
  void postLocked(std::function<void()> call);
  // The gensio thread.
  void run();
  void runCommands();
  void openOnThread(const NetTarget& target);
  void closeOnThread();
  void sendOnThread();
  void lostOnThread();
  int onEvent(int event, int err, unsigned char* buf, unsigned long* buflen);
  static int EventThunk(gensio* io, void* user, int event, int err, unsigned char* buf, unsigned long* buflen,
                        const char* const* aux);
  static void OpenedThunk(gensio* io, int err, void* user);
  static void ClosedThunk(gensio* io, void* user);
  static void CommandThunk(int fd, void* user);

  // All below that ends in Locked needs the lock held.
  void noteLostLocked();
  // Queues an RFC 2217 DTR, RTS or break request (escapeFunction's codes).
  void sendLineLocked(int function);
  // Queues Telnet bytes (requests, replies) behind what was queued before.
  void sendWireLocked(const std::string& bytes);
  // What the Telnet stream brought: data, answers, notifications, the option.
  void telnetLocked(const uint8_t* data, size_t n);
  void modemLocked(unsigned state);
  void lineErrorsLocked(unsigned state);
  // Bytes were handed to the connection: the far line is busy that much longer.
  void handedOverLocked(size_t n);
  // Before closing: waits for the far line to send what was handed over.
  void awaitFarLine();
  // Waits until no gensio call holds bytes of out_.
  void waitNotSending(Lock& lk);

  const bool serial_;  // rfc2217: the connection carries serial control
  std::mutex mu_;
  selector_s* sel_ = nullptr;
  gensio_os_funcs* os_ = nullptr;
  int commandFd_ = -1;  // wakes the gensio thread
  std::thread thread_;

  // The gensio thread only.
  gensio* io_ = nullptr;
  bool readEnabled_ = false;

  // Guarded by the lock.
  std::deque<std::function<void()>> commands_;
  bool quit_ = false;
  enum class Link { Opening, Open, Failed, Closed } link_ = Link::Opening;
  int openError_ = 0;
  std::deque<uint8_t> out_;  // bytes a write has queued and gensio not yet taken
  bool sending_ = false;     // the gensio thread holds bytes of out_ in a gensio call
  bool sendQueued_ = false;  // a send is waiting in the command queue
  bool readPaused_ = false;  // the queue was full and reading stopped
  uint64_t sent_ = 0;        // bytes gensio has taken, ever
  uint32_t modem_ = 0;       // MS_ bits as last reported by the server
  Rfc2217 telnet_;
  std::string wire_;         // Telnet bytes (escaped data, requests) gensio has not yet taken
  bool connected_ = false;   // the TCP connection is up (rfc2217: the option may still be pending)
  bool silent_[Rfc2217::kTopics] = {};  // left unanswered once: not waited for again
  Clock::time_point lineBusyUntil_{};   // when the far line has sent what was handed over
};

}  // namespace serivox::device

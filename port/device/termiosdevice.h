// The device on a POSIX terminal (serial port or pseudo-terminal), and the
// mapping of the line settings onto the kernel's termios2 record.
//
// Design notes for the port above:
//  - HUPCL is set: closing the port drops DTR and RTS, so a modem hangs up and
//    the far end sees this side leave, as with the built-in virtual ports.
//  - CLOCAL is set: the carrier line never blocks an open or hangs up the tty.
//  - Input passes through a queue of the device's own (at least 64 KiB), the
//    driver's input queue. While EV_RXCHAR is in the event mask a receiver
//    thread of the device moves arriving bytes there, also while the event
//    thread is busy handing an earlier event to its owner, so a fast stream
//    is taken in large chunks; EV_RXCHAR is raised once per arrival and a
//    readable descriptor never makes a wait spin. Without it the event wait
//    and the reads move them. While the queue is full the descriptor is not
//    read and the kernel's flow control holds the far end.
//  - PARMRK marks line errors in the stream; the input path removes the marks,
//    drops breaks, and with fErrorChar replaces a byte received with a parity
//    or framing error by ErrorChar. Only a terminal with a line is marked: a
//    pseudo-terminal carries no line errors, and the marking would send every
//    byte through the kernel's slow path (half the rate of the plain one).
//  - Applying line settings sets DTR and RTS by their control modes; in RTS
//    toggle mode a write raises RTS and drops it once the output has left.
//  - Close drains the output queue: a completed write means bytes that leave.
//  - A pseudo-terminal has no modem lines: inputs read off, DTR/RTS/break
//    requests are accepted without a system call, no line errors are counted.
//    A pseudo-terminal also ignores data bits and parity; those two settings
//    are not checked when read back there.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bytequeue.h"
#include "device.h"
#include "kernel.h"

namespace serivox::device {

// Builds the raw-mode record for `dcb`: any baud rate (BOTHER), data bits,
// parity (mark/space through CMSPAR), stop bits (CSTOPB also for 1.5, which the
// UART gives only with 5 data bits), CRTSCTS for RTS handshake or CTS output
// flow, IXON/IXOFF with the XON/XOFF characters, INPCK for parity checking.
// Returns EINVAL for a setting no line can have (no rate, data bits outside
// 5..8, unknown parity or stop bits, equal XON and XOFF characters with
// software flow control).
int TermiosFromDcb(const Dcb& dcb, kernel::Termios2& out);

// Reads the line settings back from a record: BaudRate, ByteSize, Parity,
// StopBits (ONESTOPBIT or TWOSTOPBITS), fParity, fOutxCtsFlow, fRtsControl
// (handshake or enable), fOutX, fInX, XonChar, XoffChar. Other fields stay 0.
Dcb DcbFromTermios(const kernel::Termios2& t);

class TermiosDevice : public Device {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes over `fd`, an open terminal already locked for exclusive use.
  // Returns an errno when the descriptor cannot be prepared (device stays null).
  static int Create(int fd, std::unique_ptr<Device>& device);
  // Whether the terminal has a line with modem lines and line errors; a
  // pseudo-terminal answers the modem-line requests with ENOTTY or EINVAL.
  static bool HasLines(int fd);
  ~TermiosDevice() override;

  int setupComm(int inputSize, int outputSize) override;
  int setCommState(const Dcb& dcb) override;
  int setCommTimeouts(const CommTimeouts& timeouts) override;
  int write(const uint8_t* data, int count, int& done) override;
  int read(uint8_t* data, int count, int& done) override;
  int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) override;
  int getModemStatus(uint32_t& status) override;
  int escapeFunction(int function) override;
  int purge(uint32_t flags) override;
  int drain() override;
  int setCommMask(uint32_t mask) override;
  int waitCommEvent(uint32_t& events, int stopFd) override;

  bool hasLines() const { return hasLines_; }

 private:
  TermiosDevice(int fd, int kick, int rxKick, int recvKick, bool hasLines);

  // All below that ends in Locked needs mu_ held.
  // Reads what the descriptor holds into the queue (as far as it has room).
  // Returns false when the device hung up.
  bool drainLocked();
  void appendLocked(const uint8_t* raw, int n);
  void takeLocked(uint8_t* data, int count, int& done);
  void noteHangupLocked();
  // Whether the device went away; an EIO passed in marks it so.
  bool linesGone(int error);
  // Raises or drops one output line (TIOCM_DTR, TIOCM_RTS).
  int setLine(int bit, bool on);
  void readCountersLocked(kernel::LineCounters& c, int& modem);
  size_t capacityLocked() const;
  // The receiver thread: started while EV_RXCHAR is in the mask.
  void startReceiverLocked();
  void stopReceiver(std::unique_lock<std::mutex>& lk);
  void receive();
  // Whether arrivals wait a little longer to be reported together.
  bool gatheringLocked() const;

  const int fd_;
  const int kick_;    // wakes the event thread: mask change, new pending events, room in the queue
  const int rxKick_;  // wakes a reader: the event thread moved bytes into the queue
  const int recvKick_;  // wakes the receiver thread: stop, or room in the queue
  const bool hasLines_;

  std::mutex mu_;
  Dcb dcb_;
  CommTimeouts timeouts_;
  int inputSize_ = 4096;
  ByteQueue queue_;
  int escape_ = 0;            // PARMRK marks seen so far of a sequence split between reads
  uint32_t pendingEvents_ = 0;
  uint32_t pendingErrors_ = 0;
  uint32_t mask_ = 0;
  bool waiting_ = false;      // a waitCommEvent is in progress
  bool maskChanged_ = false;  // complete the pending wait with no events
  bool above80_ = false;
  bool readerWaiting_ = false;
  bool receiving_ = false;    // the receiver thread runs
  bool receiverStop_ = false;
  uint64_t purges_ = 0;       // input purges so far
  std::chrono::steady_clock::time_point rxReported_;  // when the event wait last reported arrivals
  std::thread receiver_;
  bool txPending_ = false;    // written since the output queue was last seen empty
  bool hungUp_ = false;
  bool hangupReported_ = false;
  kernel::LineCounters errorBase_{};  // baseline of clearCommError
  kernel::LineCounters waitBase_{};   // baseline of the event thread
  int waitModem_ = 0;
};

}  // namespace serivox::device

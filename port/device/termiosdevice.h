// SPDX-License-Identifier: MIT
// The device on a POSIX terminal (serial port or pseudo-terminal), and the
// mapping of the line settings onto the kernel's termios2 record.
//
// Design notes for the port above:
//  - HUPCL is set: closing the port drops DTR and RTS, so a modem hangs up and
//    the far end sees this side leave, as with the built-in virtual ports.
//  - CLOCAL is set: the carrier line never blocks an open or hangs up the tty.
//  - A receiver thread of the device is the only reader of the tty while it
//    is open: it moves arriving bytes into the core's queue (at least 64 KiB),
//    also while the event thread is busy handing an earlier event to its
//    owner, so a fast stream is taken in large chunks and bytes never change
//    order. While the queue is full the descriptor is not read and the
//    kernel's flow control holds the far end. It notices a hang-up.
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

#include <mutex>
#include <thread>

#include "core.h"
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

class TermiosDevice : public DeviceCore {
 public:
  // Takes over `fd`, an open terminal already locked for exclusive use, and
  // starts its receiver. Returns an errno when the device cannot be set up;
  // the descriptor is closed then and `device` stays null.
  static int Create(int fd, std::unique_ptr<Device>& device);
  // Whether the terminal has a line with modem lines and line errors; a
  // pseudo-terminal answers the modem-line requests with ENOTTY or EINVAL.
  static bool HasLines(int fd);
  ~TermiosDevice() override;

  bool hasLines() const override { return hasLines_; }

 private:
  TermiosDevice(int fd, int kick, int recvKick, bool hasLines);

  int applyLine(const Dcb& dcb, Lock& lk) override;
  int transmit(const uint8_t* data, int count, int& done, Deadline deadline, Lock& lk) override;
  int modemStatus(uint32_t& status, Lock& lk) override;
  int lineFunction(int function, Lock& lk) override;
  int outputQueued() override;
  int awaitOutput(Clock::time_point deadline, std::chrono::milliseconds stall, Lock& lk) override;
  void lineState(uint32_t& errors, int& inQueue) override;
  int flushInput() override;
  int flushOutput(Lock& lk) override;
  void roomAgain() override;
  void maskChanged() override;
  uint32_t look(int& timeoutMs) override;

  // Removes the kernel's PARMRK marks from `n` bytes read and hands the data on.
  void appendMarked(const uint8_t* raw, size_t n);
  int goneOr(int err);
  // Raises or drops one output line (TIOCM_DTR, TIOCM_RTS).
  int setLine(int bit, bool on);
  void readCounters(kernel::LineCounters& c, int& modem);
  // The receiver thread's body.
  void receive();

  const int fd_;
  const int recvKick_;  // wakes the receiver thread: stop, or room in the queue
  const bool hasLines_;
  std::mutex mu_;
  std::thread receiver_;
  bool receiverStop_ = false;
  int escape_ = 0;            // PARMRK marks seen so far of a sequence split between reads
  kernel::LineCounters errorBase_{};  // baseline of clearCommError
  kernel::LineCounters waitBase_{};   // baseline of the event wait
  int waitModem_ = 0;
};

}  // namespace serivox::device

// SPDX-License-Identifier: MIT
// When output has left a terminal: the kernel's output queue is empty and,
// where the driver tells (a UART under the serial core answers
// TIOCSERGETLSR), the transmitter's FIFO and shift register are empty too.
//
// TIOCOUTQ alone counts the kernel's buffer, not the UART's FIFO: a 16550A
// still holds up to 16 bytes when it reads 0, about 1.45 s of sending at 110
// baud. Close's drain and the RTS toggle therefore also wait for TEMT, and
// the no-progress rule allows a full FIFO's time at the line's rate, since the
// kernel's count moves in steps of a FIFO load.
#pragma once

#include <chrono>
#include <cstdint>

namespace serivox::device {

// The transmit side of a terminal as the wait sees it; tests replace it.
class TxLine {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~TxLine() = default;
  // Bytes in the kernel's output queue; returns 0 or an errno.
  virtual int outQueue(int& bytes) = 0;
  // Whether the transmitter (FIFO and shift register) is empty; returns 0, or
  // ENOTTY/EINVAL where the driver does not tell, or another errno.
  virtual int transmitterEmpty(bool& empty) = 0;
  virtual Clock::time_point now() { return Clock::now(); }
  virtual void pause(int ms);
};

// The line of an open terminal descriptor.
class FdTxLine : public TxLine {
 public:
  explicit FdTxLine(int fd) : fd_(fd) {}
  int outQueue(int& bytes) override;
  int transmitterEmpty(bool& empty) override;

 private:
  int fd_;
};

// The transmit FIFO of a 16550A.
constexpr int kTxFifoBytes = 16;

// Milliseconds that `bytes` take at `baud` (12 bits a byte at most: start,
// 8 data, parity, 2 stop), rounded up; 9600 baud when the rate is 0.
int LineMs(uint32_t baud, int bytes);

// Bytes not yet sent: the kernel's queue, plus a FIFO load while the
// transmitter reports itself busy. 0 when that cannot be read.
int BytesUnsent(TxLine& line);

// Waits until everything has left (BytesUnsent is 0), `deadline` passes, or
// nothing moves for `stallMs` plus a full FIFO's time at `baud` (only where the
// driver reports the transmitter), or, once the kernel's queue is empty, for
// twice a FIFO's time and 20 ms. Returns the bytes still unsent.
int WaitSent(TxLine& line, TxLine::Clock::time_point deadline, int stallMs, uint32_t baud);

}  // namespace serivox::device

// SPDX-License-Identifier: MIT
// When output has left a terminal; see txdrain.h.
#include "txdrain.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace serivox::device {

void TxLine::pause(int ms) { poll(nullptr, 0, ms); }

int FdTxLine::outQueue(int& bytes) {
  bytes = 0;
  return ioctl(fd_, TIOCOUTQ, &bytes) == 0 ? 0 : errno;
}

int FdTxLine::transmitterEmpty(bool& empty) {
  empty = true;
  unsigned int lsr = 0;
  if (ioctl(fd_, TIOCSERGETLSR, &lsr) != 0) return errno;
  empty = (lsr & TIOCSER_TEMT) != 0;
  return 0;
}

int LineMs(uint32_t baud, int bytes) {
  const uint64_t bits = uint64_t(bytes > 0 ? bytes : 0) * 12 * 1000;
  const uint64_t rate = baud ? baud : 9600;
  return static_cast<int>((bits + rate - 1) / rate);
}

namespace {

// Bytes unsent as BytesUnsent counts them, and those in the kernel's queue;
// false when the queue cannot be read. `known` tells whether the driver
// reported its transmitter.
bool Unsent(TxLine& line, int& bytes, int& queued, bool& known) {
  queued = 0;
  if (line.outQueue(queued) != 0) return false;
  bool empty = true;
  known = line.transmitterEmpty(empty) == 0;
  bytes = queued + (known && !empty ? kTxFifoBytes : 0);
  return true;
}

}  // namespace

int BytesUnsent(TxLine& line) {
  int bytes = 0, queued = 0;
  bool known = false;
  return Unsent(line, bytes, queued, known) ? bytes : 0;
}

int WaitSent(TxLine& line, TxLine::Clock::time_point deadline, int stallMs, uint32_t baud) {
  int unsent = 0, queued = 0;
  bool known = false;
  if (!Unsent(line, unsent, queued, known)) return 0;
  // The kernel's count moves a FIFO load at a time, and the FIFO's last load
  // shows no progress until it is out: allow its time on the line. Once the
  // kernel's queue is empty only that load is left, and nothing holds a
  // 16550's FIFO: twice its time, so that a transmitter that never reports
  // itself empty (QEMU's FTDI adapter) costs no second.
  const int fifoMs = known ? LineMs(baud, kTxFifoBytes) : 0;
  const auto stall = std::chrono::milliseconds(stallMs + fifoMs);
  const auto lastLoad = std::chrono::milliseconds(2 * fifoMs + 20);
  int last = unsent;
  auto moved = line.now();
  while (unsent > 0) {
    const auto now = line.now();
    if (now >= deadline || now - moved >= (queued > 0 ? stall : lastLoad)) break;
    line.pause(2);
    if (!Unsent(line, unsent, queued, known)) return 0;
    if (unsent < last) {
      last = unsent;
      moved = line.now();
    }
  }
  return unsent;
}

}  // namespace serivox::device

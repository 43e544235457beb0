// SPDX-License-Identifier: MIT
// When output has left: a 16550A's kernel queue empties a FIFO load at a
// time and its transmitter reports TEMT only once the last load is out. The
// line here is a double on a virtual clock that sends at the line's rate.
#include <gtest/gtest.h>

#include <cerrno>

#include "device/core.h"
#include "device/txdrain.h"
#include "device/uartrate.h"

using namespace serivox::device;
using namespace std::chrono_literals;

namespace {

// A UART behind the kernel's queue: every `loadMs` the FIFO has emptied and
// takes the next 16 bytes from the queue; TEMT once queue and FIFO are empty.
// `heldAfter` bytes sent stops the line (flow control holds it).
class FifoLine : public TxLine {
 public:
  FifoLine(int queued, int loadMs, bool reportsLsr) : queued_(queued), loadMs_(loadMs), reportsLsr_(reportsLsr) {

    Load();
  }
  int outQueue(int& bytes) override {
    Advance();
    bytes = queued_;
    return 0;
  }
  int transmitterEmpty(bool& empty) override {
    if (!reportsLsr_) return ENOTTY;
    Advance();
    empty = fifo_ == 0 && !neverEmpty;
    return 0;
  }
  Clock::time_point now() override { return t_; }
  void pause(int ms) override { t_ += std::chrono::milliseconds(ms); }

  int heldAfter = -1;  // bytes after which the line stops, -1: never
  bool neverEmpty = false;  // the transmitter never reports TEMT
  int sent = 0;
  Clock::time_point t_{};

 private:
  void Load() {
    fifo_ = std::min(queued_, kTxFifoBytes);
    queued_ -= fifo_;
    loaded_ = t_;
  }
  void Advance() {
    while (fifo_ > 0 && t_ - loaded_ >= std::chrono::milliseconds(loadMs_) && heldAfter != sent) {
      sent += fifo_;
      fifo_ = 0;
      loaded_ += std::chrono::milliseconds(loadMs_);
      if (queued_ > 0) {
        const auto at = loaded_;
        Load();
        loaded_ = at;
      }
    }
  }
  int queued_;
  int fifo_ = 0;
  int loadMs_;
  bool reportsLsr_;
  Clock::time_point loaded_{};
};

}  // namespace

// 110 baud, 8N1: a FIFO load of 16 bytes takes 16 * 10 / 110 s, about 1.45 s.
TEST(TxDrain, SlowLineIsWaitedForUntilTheFifoIsEmptyWithinTheCloseBound) {
  const int loadMs = 16 * 10 * 1000 / 110;
  const uint32_t baud = 110;
  FifoLine line(40, loadMs, true);
  EXPECT_EQ(BytesUnsent(line), 24 + kTxFifoBytes);  // queue plus a busy FIFO
  const auto deadline = line.now() + std::chrono::milliseconds(DrainLimitMs({}, baud, BytesUnsent(line)));
  // The stall limit Close uses: a second plus two byte times.
  EXPECT_EQ(WaitSent(line, deadline, 1000 + 2 * LineMs(baud, 1), baud), 0);
  EXPECT_EQ(line.sent, 40);
  EXPECT_GE(line.now() - FifoLine::Clock::time_point{}, std::chrono::milliseconds(3 * loadMs));

  // The RTS toggle's wait: RTS may drop only after TEMT, not when the queue
  // reads 0 with a FIFO load still on the wire.
  FifoLine toggle(10, loadMs, true);
  int queued = -1;
  ASSERT_EQ(toggle.outQueue(queued), 0);
  EXPECT_EQ(queued, 0);
  EXPECT_EQ(WaitSent(toggle, toggle.now() + 10s, 1000, baud), 0);
  EXPECT_EQ(toggle.sent, 10);
}

TEST(TxDrain, HeldLineGivesUpAfterTheStallPlusAFifoTimeNotAtTheDeadline) {
  const uint32_t baud = 110;
  FifoLine line(64, 16 * 10 * 1000 / 110, true);
  line.heldAfter = 16;
  const int stallMs = 1000 + 2 * LineMs(baud, 1);
  EXPECT_GT(WaitSent(line, line.now() + 60s, stallMs, baud), 0);
  EXPECT_EQ(line.sent, 16);
  const auto waited = line.now() - FifoLine::Clock::time_point{};
  // Progress came when the first load left; then stall + a FIFO's time.
  EXPECT_LT(waited, std::chrono::milliseconds(1500 + stallMs + LineMs(baud, kTxFifoBytes) + 10));
  EXPECT_GE(waited, std::chrono::milliseconds(stallMs + LineMs(baud, kTxFifoBytes)));
}

TEST(TxDrain, TransmitterThatNeverReportsEmptyCostsTwoFifoTimesNotTheStall) {
  // QEMU's FTDI adapter sends 0 in its line-status byte: TEMT never comes.
  FifoLine line(0, 1, true);
  line.neverEmpty = true;
  EXPECT_EQ(BytesUnsent(line), kTxFifoBytes);
  EXPECT_EQ(WaitSent(line, line.now() + 60s, 1000 + 2 * LineMs(115200, 1), 115200), kTxFifoBytes);
  EXPECT_LE(line.now() - FifoLine::Clock::time_point{}, std::chrono::milliseconds(2 * LineMs(115200, 16) + 22));
}

TEST(TxDrain, WithoutTransmitterStatusTheKernelQueueAloneDecides) {
  // A driver without TIOCSERGETLSR (a USB adapter, a pseudo-terminal): no
  // FIFO is counted and the stall limit has no FIFO allowance.
  FifoLine line(8, 50, false);
  EXPECT_EQ(BytesUnsent(line), 0);
  FifoLine held(48, 50, false);
  held.heldAfter = 16;
  EXPECT_EQ(WaitSent(held, held.now() + 60s, 200, 110), 16);
  EXPECT_LT(held.now() - FifoLine::Clock::time_point{}, 300ms);
}

TEST(UartRate, TheDivisorOfTheUartClockDecidesTheRate) {
  EXPECT_DOUBLE_EQ(DividedRate(115200, 9600), 9600);
  EXPECT_DOUBLE_EQ(DividedRate(115200, 56000), 57600);  // 2.9 % off: within the read-back's 3 %
  EXPECT_DOUBLE_EQ(DividedRate(115200, 50000), 57600);  // a custom rate the UART cannot make
  EXPECT_DOUBLE_EQ(DividedRate(115200, 128000), 115200);
  EXPECT_DOUBLE_EQ(DividedRate(115200, 300000), 0);
  EXPECT_NEAR(DividedRate(115200, 110), 110.03, 0.01);
}

// SPDX-License-Identifier: MIT
// The built-in virtual ports: wiring, pacing, events and exclusive use.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "device/device.h"
#include "device/virtualports.h"
#include "test_pty.h"

using namespace serivox::device;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<Device> Open(const std::string& name, uint32_t baud = 115200) {
  std::unique_ptr<Device> d;
  EXPECT_EQ(openDevice(name, d), 0) << name;
  if (!d) return d;
  Dcb dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.EvtChar = '\r';
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  EXPECT_EQ(d->setCommState(dcb), 0);
  CommTimeouts t;
  t.ReadTotalTimeoutConstant = 2000;  // reads wait for the full count, up to 2 s
  EXPECT_EQ(d->setCommTimeouts(t), 0);
  return d;
}

void Send(Device& d, const std::string& s) {
  int done = -1;
  ASSERT_EQ(d.write(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()), done), 0);
  ASSERT_EQ(done, static_cast<int>(s.size()));
}

std::string Receive(Device& d, int count) {
  std::string s(count, '\0');
  int done = -1;
  EXPECT_EQ(d.read(reinterpret_cast<uint8_t*>(s.data()), count, done), 0);
  s.resize(done < 0 ? 0 : done);
  return s;
}

uint32_t Status(Device& d) {
  uint32_t s = 0xFFFF;
  EXPECT_EQ(d.getModemStatus(s), 0);
  return s;
}

// Waits until the events seen include `want` (several waits may be needed).
uint32_t CollectEvents(Device& d, uint32_t want) {
  uint32_t seen = 0;
  for (int i = 0; i < 20 && (seen & want) != want; ++i) {
    WaitOutcome w = WaitEvents(d, 3s);
    if (w.rc != 0) break;
    seen |= w.events;
  }
  return seen;
}

}  // namespace

TEST(VirtualPorts, NamesAndExclusiveUse) {
  EXPECT_EQ(VirtualPortNames(), (std::vector<std::string>{"LOOPBACK", "NULLMODEM-A", "NULLMODEM-B"}));
  auto a = Open("LOOPBACK");
  ASSERT_TRUE(a);
  std::unique_ptr<Device> b;
  EXPECT_EQ(openDevice("loopback", b), EBUSY);
  int fromThread = 0;
  std::thread([&] {
    std::unique_ptr<Device> c;
    fromThread = openDevice("LOOPBACK", c);
  }).join();
  EXPECT_EQ(fromThread, EBUSY);
  a.reset();
  EXPECT_EQ(openDevice("LOOPBACK", b), 0);
  EXPECT_EQ(RaiseVirtualRing("NO-SUCH-PORT"), ENOENT);
}

TEST(VirtualPorts, LoopbackJoinsTransmitToReceiveAndOutputsToInputs) {
  auto d = Open("LOOPBACK");
  ASSERT_TRUE(d);
  Send(*d, "hello");
  EXPECT_EQ(Receive(*d, 5), "hello");

  EXPECT_EQ(Status(*d), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);  // opening raised DTR and RTS
  ASSERT_EQ(d->setCommMask(EV_CTS | EV_DSR | EV_RLSD), 0);
  ASSERT_EQ(d->escapeFunction(CLRRTS), 0);
  EXPECT_EQ(Status(*d), MS_DSR_ON | MS_RLSD_ON);
  EXPECT_EQ(CollectEvents(*d, EV_CTS), EV_CTS);
  ASSERT_EQ(d->escapeFunction(CLRDTR), 0);
  EXPECT_EQ(Status(*d), 0u);
  EXPECT_EQ(CollectEvents(*d, EV_DSR | EV_RLSD), EV_DSR | EV_RLSD);
  ASSERT_EQ(d->escapeFunction(SETDTR), 0);
  EXPECT_EQ(Status(*d), MS_DSR_ON | MS_RLSD_ON);
}

TEST(VirtualPorts, NullModemCrossesDataAndLines) {
  auto a = Open("NULLMODEM-A");
  ASSERT_TRUE(a);
  EXPECT_EQ(Status(*a), 0u);  // nobody at the other end
  // Bytes sent into an unplugged cable are lost.
  Send(*a, "lost");
  std::this_thread::sleep_for(20ms);

  ASSERT_EQ(a->setCommMask(EV_CTS | EV_DSR | EV_RLSD), 0);
  auto b = Open("NULLMODEM-B");
  ASSERT_TRUE(b);
  EXPECT_EQ(CollectEvents(*a, EV_CTS | EV_DSR | EV_RLSD), EV_CTS | EV_DSR | EV_RLSD);
  EXPECT_EQ(Status(*a), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_EQ(b->setCommTimeouts(CommTimeouts{0xFFFFFFFF, 0, 0, 0, 0}), 0);
  EXPECT_EQ(Receive(*b, 10), "");

  ASSERT_EQ(b->setCommTimeouts(CommTimeouts{0, 0, 2000, 0, 0}), 0);
  Send(*a, "ping");
  EXPECT_EQ(Receive(*b, 4), "ping");
  Send(*b, "pong");
  EXPECT_EQ(Receive(*a, 4), "pong");

  ASSERT_EQ(b->escapeFunction(CLRRTS), 0);
  EXPECT_EQ(Status(*a), MS_DSR_ON | MS_RLSD_ON);
  EXPECT_EQ(Status(*b), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);  // A's outputs are untouched
  EXPECT_EQ(CollectEvents(*a, EV_CTS), EV_CTS);

  b.reset();  // a closed end drives nothing
  EXPECT_EQ(Status(*a), 0u);
  EXPECT_EQ(CollectEvents(*a, EV_DSR | EV_RLSD), EV_DSR | EV_RLSD);
}

TEST(VirtualPorts, BytesArriveAtTheBaudRate) {
  auto a = Open("NULLMODEM-A", 9600);
  auto b = Open("NULLMODEM-B", 9600);
  ASSERT_TRUE(a && b);
  const auto t0 = Clock::now();
  Send(*a, std::string(100, 'p'));  // 100 bytes of 10 bits: about 104 ms
  uint32_t errors = 0;
  int in = -1, out = -1;
  ASSERT_EQ(a->clearCommError(errors, in, &out), 0);
  EXPECT_GT(out, 0);
  EXPECT_EQ(Receive(*b, 100), std::string(100, 'p'));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(ms, 50);
  EXPECT_LT(ms, 1900);
  ASSERT_EQ(a->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(out, 0);
}

TEST(VirtualPorts, RaisedRingBreakAndLineErrors) {
  auto d = Open("NULLMODEM-B");
  ASSERT_TRUE(d);
  ASSERT_EQ(d->setCommMask(EV_RING | EV_BREAK | EV_ERR), 0);
  ASSERT_EQ(RaiseVirtualRing("NULLMODEM-B"), 0);
  EXPECT_EQ(CollectEvents(*d, EV_RING), EV_RING);
  ASSERT_EQ(RaiseVirtualBreak("nullmodem-b"), 0);
  EXPECT_EQ(CollectEvents(*d, EV_BREAK), EV_BREAK);
  ASSERT_EQ(RaiseVirtualLineErrors("NULLMODEM-B", CE_FRAME | CE_RXPARITY), 0);
  EXPECT_EQ(CollectEvents(*d, EV_ERR), EV_ERR);
  uint32_t errors = 0;
  int in = 0, out = 0;
  ASSERT_EQ(d->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(errors, CE_BREAK | CE_FRAME | CE_RXPARITY);
  ASSERT_EQ(d->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(errors, 0u);

  // A break sent by the other end.
  auto a = Open("NULLMODEM-A");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->escapeFunction(SETBREAK), 0);
  EXPECT_EQ(CollectEvents(*d, EV_BREAK) & EV_BREAK, EV_BREAK);
  ASSERT_EQ(a->escapeFunction(CLRBREAK), 0);
}

TEST(VirtualPorts, EventThreadAndOwnerRunTogether) {
  // The owner writes, reads and changes lines while the event thread waits.
  auto a = Open("NULLMODEM-A", 1000000);
  auto b = Open("NULLMODEM-B", 1000000);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(b->setCommMask(EV_RXCHAR | EV_CTS | EV_TXEMPTY), 0);
  const int stop = eventfd(0, EFD_CLOEXEC);
  std::atomic<int> events{0};
  int lastRc = 0;
  std::thread eventThread([&] {
    uint32_t ev = 0;
    while ((lastRc = b->waitCommEvent(ev, stop)) == 0)
      if (ev) events++;
  });
  ASSERT_EQ(b->setCommTimeouts(CommTimeouts{0, 0, 2000, 0, 0}), 0);
  for (int i = 0; i < 50; ++i) {
    Send(*a, "0123456789");
    EXPECT_EQ(Receive(*b, 10), "0123456789");
    ASSERT_EQ(a->escapeFunction(i % 2 ? SETRTS : CLRRTS), 0);
    uint32_t errors = 0;
    int in = 0, out = 0;
    ASSERT_EQ(b->clearCommError(errors, in, &out), 0);
  }
  const uint64_t one = 1;
  ASSERT_EQ(::write(stop, &one, sizeof one), 8);
  eventThread.join();
  close(stop);
  EXPECT_EQ(lastRc, ECANCELED);
  EXPECT_GT(events.load(), 0);
}

// SPDX-License-Identifier: MIT
// What every device promises, checked on each backend: a pseudo-terminal
// pair (tty), the null-modem pair (virtual) and a real ser2net on 127.0.0.1
// (network). The cases aim at the seams between threads: a purge, a mask
// change and a hang-up while bytes flow.
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "comport.h"
#include "device/device.h"
#include "test_app.h"
#include "test_ser2net.h"

using namespace std::chrono_literals;
using serivox::device::CommTimeouts;
using serivox::device::Device;
using Clock = std::chrono::steady_clock;

namespace {

enum class Backend { Tty, Virtual, Network };

std::string BackendName(Backend b) { return b == Backend::Tty ? "tty" : b == Backend::Virtual ? "virtual" : "network"; }

// The far end of the port under test.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual std::string portName() const = 0;
  // Writes what the line takes now of `n` bytes; returns how many.
  virtual size_t write(const uint8_t* data, size_t n) = 0;
  // Why this backend cannot hang up (nullptr: it can).
  virtual const char* noHangUp() const { return nullptr; }
  virtual void hangUp() {}
  // Why the far end is never held while the port's queue is full (nullptr: it is).
  virtual const char* noFlowControl() const { return nullptr; }

  void writeAll(const std::string& bytes) {
    const auto limit = Clock::now() + 20s;
    for (size_t off = 0; off < bytes.size() && Clock::now() < limit;) {
      const size_t n = write(reinterpret_cast<const uint8_t*>(bytes.data()) + off, bytes.size() - off);
      off += n;
      if (n == 0) std::this_thread::sleep_for(1ms);
    }
  }
};

class TtyFarEnd : public FarEnd {
 public:
  TtyFarEnd() { fcntl(pty_.master, F_SETFL, fcntl(pty_.master, F_GETFL) | O_NONBLOCK); }
  std::string portName() const override { return pty_.slavePath; }
  size_t write(const uint8_t* data, size_t n) override {
    const ssize_t w = ::write(pty_.master, data, n);
    return w > 0 ? size_t(w) : 0;
  }
  void hangUp() override { pty_.closeMaster(); }

 private:
  TestPty pty_;
};

// NULLMODEM-B at a high rate: the port under test is NULLMODEM-A.
class VirtualFarEnd : public FarEnd {
 public:
  VirtualFarEnd() {
    serivox::device::openDevice("NULLMODEM-B", dev_);
    if (!dev_) return;
    serivox::device::Dcb d;
    d.BaudRate = 10'000'000;
    d.ByteSize = 8;
    dev_->setCommState(d);
    CommTimeouts t;
    t.WriteTotalTimeoutConstant = 20;  // a write gives back what the line took by then
    dev_->setCommTimeouts(t);
  }
  std::string portName() const override { return "NULLMODEM-A"; }
  size_t write(const uint8_t* data, size_t n) override {
    int done = 0;
    if (dev_) dev_->write(data, static_cast<int>(std::min<size_t>(n, 4096)), done);
    return size_t(done);
  }
  const char* noHangUp() const override { return "the virtual wire cannot hang up"; }
  const char* noFlowControl() const override {
    return "the virtual wire has no flow control: bytes that find the queue full are lost (CE_RXOVER)";
  }

 private:
  std::unique_ptr<Device> dev_;
};

// A real ser2net serving a pseudo-terminal; its master is the far end.
class NetworkFarEnd : public FarEnd {
 public:
  bool start(std::string& why) {
    if (server_.start()) return true;
    why = server_.why;
    return false;
  }
  std::string portName() const override { return server_.rfc2217Name(); }
  size_t write(const uint8_t* data, size_t n) override {
    const ssize_t w = ::write(server_.pty.master, data, n);
    return w > 0 ? size_t(w) : 0;
  }
  void hangUp() override { server_.stop(SIGKILL); }

 private:
  Ser2Net server_;
};

// A flood whose bytes tell where they stand: 32-bit little-endian word
// counters, so any contiguous piece of at least 8 bytes gives its offset.
uint8_t FloodByte(uint64_t at) { return static_cast<uint8_t>(static_cast<uint32_t>(at / 4) >> (8 * (at % 4))); }

std::string Flood(uint64_t from, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(FloodByte(from + i));
  return s;
}

// Where `got` starts in the flood, when it is one contiguous piece of it.
std::optional<uint64_t> FloodOffset(const std::string& got) {
  for (size_t phase = 0; phase < 4 && phase + 4 <= got.size(); ++phase) {
    uint32_t word = 0;
    std::memcpy(&word, got.data() + phase, 4);
    if (uint64_t{word} * 4 < phase) continue;
    const uint64_t at = uint64_t{word} * 4 - phase;
    bool same = true;
    for (size_t i = 0; i < got.size() && same; ++i) same = static_cast<uint8_t>(got[i]) == FloodByte(at + i);
    if (same) return at;
  }
  return std::nullopt;
}

class DeviceContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    EnsureApp();
    far_ = MakeFarEnd();
  }

  std::unique_ptr<FarEnd> MakeFarEnd() {
    switch (GetParam()) {
      case Backend::Tty: return std::make_unique<TtyFarEnd>();
      case Backend::Virtual: return std::make_unique<VirtualFarEnd>();
      case Backend::Network: {
        auto far = std::make_unique<NetworkFarEnd>();
        std::string why;
        if (!far->start(why)) {
          ADD_FAILURE() << why;
          return nullptr;
        }
        return far;
      }
    }
    return nullptr;
  }

  // A port on the far end's name that waits up to `readMs` for what a read asks.
  static void Prepare(TComPort& port, const FarEnd& far, int32_t readMs) {
    port.SetPort(far.portName());
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(readMs);
  }

  std::unique_ptr<Device> OpenDevice() {
    std::unique_ptr<Device> dev;
    EXPECT_EQ(serivox::device::openDevice(far_->portName(), dev), 0);
    return dev;
  }

  // The events of waits until all of `want` came or 5 s passed.
  static uint32_t CollectEvents(Device& dev, uint32_t want) {
    uint32_t got = 0;
    for (auto end = Clock::now() + 5s; (got & want) != want && Clock::now() < end;) {
      const WaitOutcome w = WaitEvents(dev, 5s);
      if (w.rc != 0) break;
      got |= w.events;
    }
    return got;
  }

  // Reads what waits now, within the read time-outs set.
  static std::string ReadNow(Device& dev, int max) {
    std::string s(static_cast<size_t>(max), '\0');
    int done = 0;
    dev.read(reinterpret_cast<uint8_t*>(s.data()), max, done);
    s.resize(static_cast<size_t>(done));
    return s;
  }

  std::unique_ptr<FarEnd> far_;
};

// A purge drops what came before it, never what the far end writes after it
// returned; on a quiet line nothing at all.
TEST_P(DeviceContract, PurgeThenWriteOnAQuietLineLosesNothing) {
  ASSERT_TRUE(far_);
  Watchdog dog(300s, "purge then write, " + BackendName(GetParam()));
  TComPort port;
  Prepare(port, *far_, 5000);
  port.Open();
  int lost = 0;
  for (int run = 0; run < 300; ++run) {
    port.AbortPendingIO();
    const std::string sent = Flood(uint64_t(run) * 100, 100);
    far_->writeAll(sent);
    std::string got;
    port.ReceiveText(got, 100);
    if (got != sent) ++lost;
  }
  EXPECT_EQ(lost, 0) << "runs of 300 with bytes lost after a purge";
}

// Under a flood, purges now and then: after each one the port receives one
// contiguous piece of the flood that starts no later than where the far end
// stood when the purge returned.
TEST_P(DeviceContract, PurgeUnderAFloodKeepsWhatCameAfter) {
  ASSERT_TRUE(far_);
  Watchdog dog(300s, "purge under a flood, " + BackendName(GetParam()));
  TComPort port;
  Prepare(port, *far_, 0);
  port.Timeouts().SetReadInterval(-1);  // a read returns at once with what waits
  port.Open();

  std::mutex writing;  // held by each far-end write, and around each purge
  uint64_t written = 0;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::string chunk;
    while (!stop) {
      size_t n;
      {
        std::lock_guard lk(writing);
        chunk = Flood(written, 4096);
        n = far_->write(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        written += n;
      }
      if (n == 0) std::this_thread::sleep_for(200us);
    }
  });
  auto check = [](const std::string& got, uint64_t purgedAt, int round) -> std::optional<uint64_t> {
    const auto at = FloodOffset(got);
    EXPECT_TRUE(at) << "round " << round << ": the bytes after the purge are not one piece of the flood";
    if (at) {
      EXPECT_LE(*at, purgedAt) << "round " << round << ": bytes written after the purge are missing";
    }
    return at;
  };

  std::string got;
  uint64_t purgedAt = 0;
  int checked = 0;
  const auto limit = Clock::now() + 20s;
  for (int round = 0; round < 200 && Clock::now() < limit; ++round) {
    for (int i = 0; i < 16; ++i) {
      std::string piece;
      port.ReceiveText(piece, 8192);
      got += piece;
      if (piece.empty()) std::this_thread::sleep_for(200us);
    }
    if (got.size() >= 8 && check(got, purgedAt, round)) ++checked;
    std::lock_guard lk(writing);
    port.AbortPendingIO();
    purgedAt = written;
    got.clear();
  }
  // The flood goes on a little after the last purge, read as it comes.
  for (auto end = Clock::now() + 100ms; Clock::now() < end;) {
    std::string piece;
    port.ReceiveText(piece, 8192);
    got += piece;
  }
  stop = true;
  writer.join();
  // Everything the far end wrote after the last purge arrives.
  port.Timeouts().SetReadInterval(0);
  port.Timeouts().SetReadTotalConstant(200);
  for (auto end = Clock::now() + 20s; Clock::now() < end;) {
    std::string piece;
    port.ReceiveText(piece, 65536);
    got += piece;
    const auto at = FloodOffset(got);
    if (at && *at + got.size() >= written) break;
  }
  const auto at = check(got, purgedAt, -1);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at + got.size(), written);
  EXPECT_GT(checked, 20);
}

// While the queue is full the far end is held; raising the input size on
// the open port lets reception go on, and every byte arrives in order.
TEST_P(DeviceContract, InputSizeRaisedWhileFullReceivesEverything) {
  ASSERT_TRUE(far_);
  if (const char* why = far_->noFlowControl()) GTEST_SKIP() << "not for " << BackendName(GetParam()) << ": " << why;
  Watchdog dog(120s, "input size raised while full, " + BackendName(GetParam()));
  TComPort port;
  Prepare(port, *far_, 1000);
  port.Open();
  constexpr size_t kTotal = 400 * 1024;
  const std::string sent = Flood(0, kTotal);
  std::thread writer([&] { far_->writeAll(sent); });
  std::this_thread::sleep_for(1s);  // nobody reads: the queue fills and holds the far end
  port.Buffer().SetInputSize(262144);
  std::string got;
  for (auto end = Clock::now() + 30s; got.size() < kTotal && Clock::now() < end;) {
    std::string piece;
    port.ReceiveText(piece, 65536);
    got += piece;
  }
  writer.join();
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == sent.substr(0, got.size())) << "bytes out of order";
}

// Watching and not watching received bytes, toggled while a flood arrives
// and the event thread waits, never reorders, loses or repeats a byte.
TEST_P(DeviceContract, MaskToggledUnderAFloodKeepsOrder) {
  ASSERT_TRUE(far_);
  Watchdog dog(120s, "mask toggled under a flood, " + BackendName(GetParam()));
  auto dev = OpenDevice();
  ASSERT_TRUE(dev);
  CommTimeouts t;
  t.ReadIntervalTimeout = 0xFFFFFFFF;  // reads return at once
  ASSERT_EQ(dev->setCommTimeouts(t), 0);
  const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread waiter([&] {
    uint32_t events = 0;
    while (!stop && dev->waitCommEvent(events, stopFd) != ECANCELED) {
    }
  });
  std::thread toggler([&] {
    for (bool on = true; !stop; on = !on) {
      dev->setCommMask(on ? EV_RXCHAR | EV_ERR : EV_ERR);
      std::this_thread::sleep_for(100us);
    }
  });
  const size_t total = GetParam() == Backend::Virtual ? 512 * 1024 : 2 * 1024 * 1024;
  const std::string sent = Flood(0, total);
  std::thread writer([&] { far_->writeAll(sent); });
  std::string got;
  for (auto end = Clock::now() + 60s; got.size() < total && Clock::now() < end;) {
    const std::string piece = ReadNow(*dev, 65536);
    got += piece;
    if (piece.empty()) std::this_thread::sleep_for(100us);
  }
  writer.join();
  stop = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(stopFd, &one, sizeof one);
  toggler.join();
  waiter.join();
  close(stopFd);
  EXPECT_EQ(got.size(), total);
  const auto at = FloodOffset(got);
  EXPECT_TRUE(at && *at == 0) << "the bytes are not the flood in order";
}

// What arrived before a hang-up stays readable after OnDeviceLost until
// Close, in every SyncMethod.
TEST_P(DeviceContract, BytesBeforeALossStayReadableUntilClose) {
  ASSERT_TRUE(far_);
  if (const char* why = far_->noHangUp()) GTEST_SKIP() << "not for " << BackendName(GetParam()) << ": " << why;
  for (TSyncMethod method : {smWindowSync, smThreadSync, smNone}) {
    SCOPED_TRACE(method);
    Watchdog dog(60s, "bytes before a loss, " + BackendName(GetParam()));
    auto far = MakeFarEnd();
    ASSERT_TRUE(far);
    TComPort port;
    Prepare(port, *far, 1000);
    port.SetSyncMethod(method);
    std::atomic<int> losses{0};
    port.OnDeviceLost = [&](QObject*) { ++losses; };
    port.Open();
    const std::string sent = Flood(0, 5000);
    far->writeAll(sent);
    ASSERT_TRUE(WaitUntil([&] { return port.InputCount() == 5000; }, 20000));
    far->hangUp();
    ASSERT_TRUE(WaitUntil([&] { return losses.load() > 0; }, 20000));
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.InputCount(), 5000);
    std::string got;
    EXPECT_EQ(port.ReceiveText(got, 5000), 5000);
    EXPECT_TRUE(got == sent);
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(losses.load(), 1);
    port.Close();
  }
}

// A read that waits without a time-out is woken by bytes after the event
// mask stopped watching them, and by a hang-up.
TEST_P(DeviceContract, AWaitingReadIsWoken) {
  ASSERT_TRUE(far_);
  Watchdog dog(60s, "a waiting read, " + BackendName(GetParam()));
  auto dev = OpenDevice();
  ASSERT_TRUE(dev);
  ASSERT_EQ(dev->setCommTimeouts(CommTimeouts{}), 0);  // no bound
  ASSERT_EQ(dev->setCommMask(EV_RXCHAR), 0);
  std::string got(10, '\0');
  int done = 0, rc = -1;
  std::thread reader([&] { rc = dev->read(reinterpret_cast<uint8_t*>(got.data()), 10, done); });
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(dev->setCommMask(0), 0);
  far_->writeAll("0123456789");
  reader.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got, "0123456789");

  if (const char* why = far_->noHangUp()) {
    std::printf("[ SKIPPED  ] the hang-up part for %s: %s\n", BackendName(GetParam()).c_str(), why);
    return;
  }
  std::thread waiting([&] { rc = dev->read(reinterpret_cast<uint8_t*>(got.data()), 10, done); });
  std::this_thread::sleep_for(50ms);
  far_->hangUp();
  waiting.join();
  EXPECT_EQ(rc, EIO);
  EXPECT_EQ(done, 0);
}

// The read time-outs: at once with what waits, up to a bound for the first
// byte, a total bound, a gap that ends a read, and a full count at once.
TEST_P(DeviceContract, ReadTimeOutModes) {
  ASSERT_TRUE(far_);
  auto dev = OpenDevice();
  ASSERT_TRUE(dev);
  auto timeouts = [&](uint32_t interval, uint32_t mult, uint32_t constant) {
    CommTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = mult;
    t.ReadTotalTimeoutConstant = constant;
    ASSERT_EQ(dev->setCommTimeouts(t), 0);
  };
  auto ms = [](Clock::time_point t0) { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(); };

  timeouts(0xFFFFFFFF, 0, 0);
  auto t0 = Clock::now();
  EXPECT_EQ(ReadNow(*dev, 10), "");
  EXPECT_LT(ms(t0), 1000);
  far_->writeAll("abcd");
  std::string got;
  for (auto end = Clock::now() + 5s; got.size() < 4 && Clock::now() < end; std::this_thread::sleep_for(5ms))
    got += ReadNow(*dev, 10);
  EXPECT_EQ(got, "abcd");

  timeouts(0xFFFFFFFF, 0xFFFFFFFF, 150);
  t0 = Clock::now();
  EXPECT_EQ(ReadNow(*dev, 10), "");
  EXPECT_GE(ms(t0), 140);
  std::thread late([&] {
    std::this_thread::sleep_for(30ms);
    far_->writeAll("x");
  });
  timeouts(0xFFFFFFFF, 0xFFFFFFFF, 5000);
  t0 = Clock::now();
  EXPECT_EQ(ReadNow(*dev, 10), "x");
  EXPECT_LT(ms(t0), 4000);
  late.join();

  timeouts(0, 0, 150);
  far_->writeAll("123");
  t0 = Clock::now();
  EXPECT_EQ(ReadNow(*dev, 10), "123");
  EXPECT_GE(ms(t0), 140);

  timeouts(50, 0, 0);
  far_->writeAll("gap");
  EXPECT_EQ(ReadNow(*dev, 10), "gap");

  timeouts(0, 0, 5000);
  far_->writeAll("full");
  t0 = Clock::now();
  EXPECT_EQ(ReadNow(*dev, 4), "full");
  EXPECT_LT(ms(t0), 4000);
}

// EV_RXCHAR once per arrival (never again for bytes that wait unread),
// EV_RXFLAG for the event character, EV_RX80FULL once per crossing,
// EV_TXEMPTY after a write; a mask change and the stop descriptor end a wait.
TEST_P(DeviceContract, EventsOncePerArrivalAndWhatEndsAWait) {
  ASSERT_TRUE(far_);
  auto dev = OpenDevice();
  ASSERT_TRUE(dev);
  serivox::device::Dcb d;
  d.BaudRate = 115200;
  d.ByteSize = 8;
  d.EvtChar = '\n';
  ASSERT_EQ(dev->setCommState(d), 0);
  ASSERT_EQ(dev->setCommMask(EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY), 0);
  EXPECT_EQ(WaitEvents(*dev, 50ms).rc, ECANCELED);

  far_->writeAll("abc");
  EXPECT_EQ(CollectEvents(*dev, EV_RXCHAR), EV_RXCHAR);
  EXPECT_EQ(WaitEvents(*dev, 150ms).rc, ECANCELED);  // the bytes wait unread: nothing new
  uint32_t errors = 1;
  int in = 0, out = -1;
  for (auto end = Clock::now() + 5s; in < 3 && Clock::now() < end;) ASSERT_EQ(dev->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(in, 3);

  far_->writeAll("x\n");
  EXPECT_EQ(CollectEvents(*dev, EV_RXCHAR | EV_RXFLAG), EV_RXCHAR | EV_RXFLAG);
  CommTimeouts t;
  t.ReadIntervalTimeout = 0xFFFFFFFF;
  ASSERT_EQ(dev->setCommTimeouts(t), 0);
  std::string got;
  for (auto end = Clock::now() + 5s; got.size() < 5 && Clock::now() < end;) got += ReadNow(*dev, 100);
  EXPECT_EQ(got, "abcx\n");

  int done = 0;
  ASSERT_EQ(dev->write(reinterpret_cast<const uint8_t*>("hi"), 2, done), 0);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(CollectEvents(*dev, EV_TXEMPTY), EV_TXEMPTY);

  ASSERT_EQ(dev->setupComm(100, 100), 0);
  ASSERT_EQ(dev->setCommMask(EV_RX80FULL), 0);
  far_->writeAll(std::string(85, 'q'));
  EXPECT_EQ(CollectEvents(*dev, EV_RX80FULL), EV_RX80FULL);
  far_->writeAll("more");
  EXPECT_EQ(WaitEvents(*dev, 150ms).rc, ECANCELED);

  uint32_t events = 99;
  int rc = -1;
  std::thread waiter([&] { rc = dev->waitCommEvent(events, -1); });
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(dev->setCommMask(EV_RXCHAR | EV_ERR), 0);
  waiter.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(events, 0u);
}

// A hang-up is reported once (EV_ERR, then CE_IOE once); from then on a wait
// returns EIO at once instead of blocking or spinning, what came before can
// still be read, transfers fail with EIO, and the purges of a Close succeed.
TEST_P(DeviceContract, LossIsReportedOnceThenEio) {
  ASSERT_TRUE(far_);
  if (const char* why = far_->noHangUp()) GTEST_SKIP() << "not for " << BackendName(GetParam()) << ": " << why;
  auto dev = OpenDevice();
  ASSERT_TRUE(dev);
  ASSERT_EQ(dev->setCommMask(EV_RXCHAR | EV_ERR), 0);
  far_->writeAll("last");
  EXPECT_EQ(CollectEvents(*dev, EV_RXCHAR), EV_RXCHAR);
  uint32_t errors = 0;
  int in = 0, out = 0;
  for (auto end = Clock::now() + 5s; in < 4 && Clock::now() < end;) ASSERT_EQ(dev->clearCommError(errors, in, &out), 0);
  far_->hangUp();
  WaitOutcome w = WaitEvents(*dev, 10s);
  ASSERT_EQ(w.rc, 0);
  EXPECT_EQ(w.events, EV_ERR);
  ASSERT_EQ(dev->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(errors, CE_IOE);
  EXPECT_EQ(in, 4);
  ASSERT_EQ(dev->clearCommError(errors, in, &out), 0);
  EXPECT_EQ(errors, 0u);

  const auto t0 = Clock::now();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(WaitEvents(*dev, 5s).rc, EIO);
  EXPECT_LT(Clock::now() - t0, 4s);

  CommTimeouts t;
  t.ReadIntervalTimeout = 0xFFFFFFFF;
  ASSERT_EQ(dev->setCommTimeouts(t), 0);
  EXPECT_EQ(ReadNow(*dev, 10), "last");
  uint8_t b = 0;
  int done = 0;
  EXPECT_EQ(dev->read(&b, 1, done), EIO);
  EXPECT_EQ(dev->write(&b, 1, done), EIO);
  EXPECT_EQ(dev->purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, DeviceContract,
                         ::testing::Values(Backend::Tty, Backend::Virtual, Backend::Network),
                         [](const ::testing::TestParamInfo<Backend>& info) { return BackendName(info.param); });

}  // namespace

// SPDX-License-Identifier: MIT
// Lifecycle under load: opening and closing while events flow, handlers that
// close or destroy their port, bytes written just before Close, set-up
// failures and devices that go away, in every SyncMethod. A watchdog turns a
// hang into a failure; every loop is bounded.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "comport.h"
#include "device/virtualports.h"
#include "test_app.h"
#include "test_pty.h"

using namespace std::chrono_literals;

namespace {

const TSyncMethod kMethods[] = {smThreadSync, smWindowSync, smNone};

std::string Name(TSyncMethod m) { return m == smThreadSync ? "smThreadSync" : m == smWindowSync ? "smWindowSync" : "smNone"; }

// Opens `port`, retrying while the device is still held by an event thread
// that a handler released and that is just ending.
bool OpenWhenFree(TCustomComPort& port) {
  return WaitUntil([&] {
    try {
      port.Open();
      return true;
    } catch (const EComPort& e) {
      if (e.WinCode() != EBUSY) throw;
      return false;
    }
  });
}

// The far end of a pseudo-terminal: feeds bytes into it as fast as they are
// taken and swallows what the port sends, until stopped.
class Flood {
 public:
  explicit Flood(int master) : master_(master) {
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] {
      char out[512];
      std::fill(std::begin(out), std::end(out), 'x');
      char in[4096];
      while (!stop_) {
        pollfd p{master_, POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        if (p.revents & POLLIN) [[maybe_unused]] ssize_t n = read(master_, in, sizeof in);
        if (p.revents & POLLOUT) [[maybe_unused]] ssize_t n = write(master_, out, sizeof out);
      }
    });
  }
  ~Flood() {
    stop_ = true;
    thread_.join();
  }

 private:
  int master_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// Open, send and close while the far end floods the port, with a handler
// reading what arrives. Close used to deadlock under smThreadSync.
TEST(LifecycleUnderLoad, OpenSendCloseWhileBytesStreamIn) {
  EnsureApp();
  for (TSyncMethod method : kMethods) {
    SCOPED_TRACE(Name(method));
    Watchdog dog(180s, "open/send/close under a flood, " + Name(method));
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    Flood flood(pty.master);
    TComPort port;
    port.SetPort(pty.slavePath);
    port.SetSyncMethod(method);
    std::atomic<long> received{0};
    port.OnRxChar = [&](QObject*, int32_t count) {
      std::string s;
      received += port.ReceiveText(s, count);
    };
    for (int cycle = 0; cycle < 200; ++cycle) {
      port.Open();
      port.SendText("ping");
      // Let some deliveries be handed over and run, or none, before closing.
      if (cycle % 5 == 0) std::this_thread::sleep_for(2ms);
      if (cycle % 3 == 0) QCoreApplication::processEvents();
      port.Close();
      ASSERT_FALSE(port.Connected());
    }
    // Delivery still works after the churn.
    port.Open();
    EXPECT_TRUE(WaitUntil([&] { return received.load() > 0; }));
    port.Close();
  }
}

// A byte reported written leaves the port even when Close follows at once:
// over the null-modem pair and a pseudo-terminal, 200 bytes to 64 KiB, in
// every SyncMethod and with no event thread at all.
TEST(LifecycleUnderLoad, BytesWrittenJustBeforeCloseAllArriveInOrder) {
  using serivox::device::CommTimeouts;
  using serivox::device::Device;
  EnsureApp();
  Watchdog dog(300s, "written bytes arrive");
  struct Size {
    size_t bytes;
    int baud;  // null-modem rate, so that each case takes well under a second
  };
  const Size sizes[] = {{200, 9600}, {4096, 115200}, {65536, 2000000}};
  for (int variant = 0; variant < 4; ++variant) {
    const bool noEvents = variant == 3;
    const TSyncMethod method = noEvents ? smThreadSync : kMethods[variant];
    for (const Size& size : sizes) {
      for (bool nullModem : {true, false}) {
        SCOPED_TRACE((noEvents ? std::string("no events") : Name(method)) + ", " + std::to_string(size.bytes) +
                     (nullModem ? " bytes over NULLMODEM" : " bytes over a pty"));
        const std::string data = Pattern(size.bytes);
        std::string got;
        std::unique_ptr<Device> far;
        std::unique_ptr<TestPty> pty;
        std::thread reader;
        if (nullModem) {
          ASSERT_EQ(serivox::device::openDevice("NULLMODEM-B", far), 0);
          far->setupComm(1 << 20, 4096);
          ASSERT_EQ(far->setCommTimeouts(CommTimeouts{0, 0, 100, 0, 0}), 0);
          reader = std::thread([&] {
            const auto end = std::chrono::steady_clock::now() + 30s;
            uint8_t buf[4096];
            while (got.size() < data.size() && std::chrono::steady_clock::now() < end) {
              int done = 0;
              far->read(buf, sizeof buf, done);
              got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(done));
            }
          });
        } else {
          pty = std::make_unique<TestPty>();
          ASSERT_TRUE(pty->ok());
          reader = std::thread([&] {
            const auto end = std::chrono::steady_clock::now() + 30s;
            char buf[4096];
            while (got.size() < data.size() && std::chrono::steady_clock::now() < end) {
              pollfd p{pty->master, POLLIN, 0};
              if (poll(&p, 1, 100) <= 0) continue;
              const ssize_t n = read(pty->master, buf, sizeof buf);
              // While no one has the slave open the master reads EIO.
              if (n <= 0) std::this_thread::sleep_for(1ms);
              if (n > 0) got.append(buf, static_cast<size_t>(n));
            }
          });
        }
        try {
          TComPort port;
          port.SetPort(nullModem ? "NULLMODEM-A" : pty->slavePath);
          port.SetSyncMethod(method);
          if (noEvents) port.SetEvents({});
          port.SetBaudRate(brCustom);
          port.SetCustomBaudRate(size.baud);
          port.Open();
          EXPECT_EQ(port.SendBuffer(data.data(), static_cast<int32_t>(data.size())),
                    static_cast<int32_t>(data.size()));
          port.Close();
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();  // the reader still has to be joined
        }
        reader.join();
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
      }
    }
  }
}

// A handler that closes its port while the owner's Close runs the pending
// delivery: the nested Close returns at once and every close notification
// fires exactly once per open.
TEST(LifecycleUnderLoad, CloseFromAHandlerDuringCloseNotifiesOnce) {
  EnsureApp();
  for (TSyncMethod method : {smThreadSync, smWindowSync}) {
    SCOPED_TRACE(Name(method));
    Watchdog dog(120s, "nested close, " + Name(method));
    TComPort port;
    port.SetPort("LOOPBACK");
    port.SetSyncMethod(method);
    int before = 0, after = 0, connOff = 0, rings = 0;
    TComLink link;
    link.OnConn = [&](QObject*, bool on) { connOff += on ? 0 : 1; };
    port.RegisterLink(&link);
    port.OnBeforeClose = [&](QObject*) { ++before; };
    port.OnAfterClose = [&](QObject*) { ++after; };
    port.OnRing = [&](QObject*) {
      ++rings;
      port.Close();
    };
    for (int cycle = 1; cycle <= 150; ++cycle) {
      port.Open();
      ASSERT_EQ(serivox::device::RaiseVirtualRing("LOOPBACK"), 0);
      // Let the thread hand the ring over, so that Close finds it pending,
      // and now and then let it run before Close.
      if (cycle % 2 == 0) std::this_thread::sleep_for(2ms);
      if (cycle % 4 == 0) QCoreApplication::processEvents();
      port.Close();
      ASSERT_EQ(before, cycle);
      ASSERT_EQ(after, cycle);
      ASSERT_EQ(connOff, cycle);
    }
    WaitUntil([] { return false; }, 50);  // late messages of closed ports find nothing to do
    EXPECT_EQ(after, 150);
    port.UnregisterLink(&link);
    EXPECT_GT(rings, 0);
  }
}

// A smNone handler closes its own port on the event thread: Close returns
// (the thread cannot wait for itself) and the port can be opened again.
TEST(LifecycleUnderLoad, NoSyncHandlerClosesItsOwnPort) {
  EnsureApp();
  Watchdog dog(120s, "smNone handler closing its port");
  TComPort port;
  port.SetPort("LOOPBACK");
  port.SetSyncMethod(smNone);
  std::atomic<int> closed{0};
  port.OnAfterClose = [&](QObject*) { ++closed; };
  port.OnRxChar = [&](QObject*, int32_t) { port.Close(); };
  for (int cycle = 1; cycle <= 50; ++cycle) {
    ASSERT_TRUE(OpenWhenFree(port));
    port.SendText("x");
    ASSERT_TRUE(WaitUntil([&] { return closed.load() == cycle; }, 10000)) << cycle;
    EXPECT_FALSE(port.Connected());
  }
}

// A handler or a link callback deletes the port (as when it closes the form
// that owns it): delivery stops there, with nothing freed touched (ASan).
TEST(LifecycleUnderLoad, HandlerDeletesItsPort) {
  EnsureApp();
  for (TSyncMethod method : kMethods) {
    for (bool byLink : {false, true}) {
      SCOPED_TRACE(Name(method) + (byLink ? ", by a link" : ", by OnRxChar"));
      Watchdog dog(120s, "handler deleting its port, " + Name(method));
      TComLink link;
      for (int cycle = 0; cycle < 30; ++cycle) {
        auto* port = new TComPort;
        port->SetPort("LOOPBACK");
        port->SetSyncMethod(method);
        std::atomic<bool> deleted{false};
        auto destroy = [&] {
          delete port;
          deleted = true;
        };
        if (byLink) {
          link.OnRxBuf = [&](QObject*, const uint8_t*, int32_t) { destroy(); };
          port->RegisterLink(&link);
        } else {
          port->OnRxChar = [&](QObject*, int32_t) { destroy(); };
        }
        port->OnRing = [&](QObject*) {
          if (deleted) ADD_FAILURE() << "delivery went on after the port was deleted";
        };
        ASSERT_TRUE(OpenWhenFree(*port));
        port->SendText("abc");
        // A ring in the same or the next batch must not reach the deleted port.
        serivox::device::RaiseVirtualRing("LOOPBACK");
        ASSERT_TRUE(WaitUntil([&] { return deleted.load(); }, 10000)) << cycle;
      }
      // The last released event thread lets go of the device.
      TComPort check;
      check.SetPort("LOOPBACK");
      EXPECT_TRUE(OpenWhenFree(check));
    }
  }
}

// With the descriptor limit reached, the event thread cannot be set up: Open
// fails with code 1 and leaves the port closed, without thread or device.
TEST(LifecycleUnderLoad, EventThreadSetUpFailureFailsOpen) {
  EnsureApp();
  for (TSyncMethod method : kMethods) {
    SCOPED_TRACE(Name(method));
    Watchdog dog(60s, "set-up failure, " + Name(method));
    TComPort port;
    port.SetPort("LOOPBACK");
    port.SetSyncMethod(method);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    // Fill every free descriptor below a lowered limit but one: the virtual
    // port takes that one, the event thread finds none.
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(probe + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    ASSERT_FALSE(fillers.empty());
    close(fillers.back());
    fillers.pop_back();
    int code = 0, winCode = 0;
    try {
      port.Open();
    } catch (const EComPort& e) {
      code = e.Code();
      winCode = e.WinCode();
    }
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(code, CError_OpenFailed);
    EXPECT_EQ(winCode, EMFILE);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_EQ(port.Handle(), nullptr);
    EXPECT_EQ(port.Window(), nullptr);
    // Nothing was left behind: the port opens and closes normally.
    port.Open();
    EXPECT_TRUE(port.Connected());
    port.Close();
  }
}

// The far end of a pseudo-terminal closes while the port is open: the loss
// is reported once, on the owner's thread, the thread does not spin, the
// bytes that arrived before it stay readable, and the port closes without
// hanging.
TEST(LifecycleUnderLoad, LostDeviceIsReportedOnceWithoutSpinning) {
  EnsureApp();
  for (TSyncMethod method : kMethods) {
    SCOPED_TRACE(Name(method));
    Watchdog dog(60s, "lost device, " + Name(method));
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    TComPort port;
    port.SetPort(pty.slavePath);
    port.SetSyncMethod(method);
    int lost = 0;
    bool onOwnerThread = true;
    port.OnDeviceLost = [&](QObject*) {
      ++lost;
      onOwnerThread = onOwnerThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    port.Open();
    ASSERT_TRUE(pty.send("before the loss"));
    ASSERT_TRUE(WaitUntil([&] { return port.InputCount() == 15; }));
    pty.closeMaster();
    ASSERT_TRUE(WaitUntil([&] { return lost > 0; }));
    const double cpu = CpuSeconds();
    QThread::msleep(500);
    QCoreApplication::processEvents();
    EXPECT_LT(CpuSeconds() - cpu, 0.2) << "the port spins after the loss";
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(onOwnerThread);
    EXPECT_TRUE(port.Connected());
    std::string kept;
    port.ReceiveText(kept, 100);
    EXPECT_EQ(kept, "before the loss");
    port.Close();
    EXPECT_FALSE(port.Connected());
  }
}

// SPDX-License-Identifier: MIT
// The port on network ports: names, connection failures, and a real ser2net
// serving a pseudo-terminal through "rfc2217://" and "tcp://".
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <cstdlib>
#include <cstring>
#include <random>

#include "comport.h"
#include "device/kernel.h"
#include "test_app.h"
#include "test_ser2net.h"

namespace {

using serivox::device::kernel::kTcGets2;
using serivox::device::kernel::Termios2;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

QByteArray Sha256(const std::string& s) {
  return QCryptographicHash::hash(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())),
                                  QCryptographicHash::Sha256);
}

Termios2 PtySettings(int master) {
  Termios2 t;
  ioctl(master, kTcGets2, &t);
  return t;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Writes over the small blocks freed last: glibc hands out the last few
// freed blocks of each size first, and keeps their contents otherwise. A
// later read of such freed memory then finds nonsense.
void ScribbleOverFreed() {
  constexpr int kPerSize = 7;  // glibc keeps that many of each size at hand
  for (size_t size = 16; size <= 1024; size += 16) {
    void* blocks[kPerSize];
    for (void*& b : blocks) {
      b = std::malloc(size);
      std::memset(b, 0xa5, size);
      asm volatile("" : : "r"(b) : "memory");  // the writes are not optimised away
    }
    for (void* b : blocks) std::free(b);
  }
}

}  // namespace

// Only the two schemes connect, and a name cannot smuggle in anything else:
// whatever does not parse is refused before any connection is tried.
TEST(RemotePort, NamesOutsideTheTwoSchemesReachNothing) {
  EnsureApp();
  LocalListener listener;
  ASSERT_GT(listener.port, 0);
  const std::string p = std::to_string(listener.port);
  const struct {
    std::string name;
    int error;
  } refused[] = {
      {"telnet://127.0.0.1:" + p, EPROTONOSUPPORT},
      {"ssh://127.0.0.1:" + p, EPROTONOSUPPORT},
      {"file:///etc/passwd", EPROTONOSUPPORT},
      {"http://127.0.0.1:" + p, EPROTONOSUPPORT},
      {"tcp,127.0.0.1," + p + "://", EPROTONOSUPPORT},
      {"tcp://127.0.0.1:" + p + ",stdio", EINVAL},
      {"tcp://127.0.0.1," + p + ":" + p, EINVAL},
      {"rfc2217://127.0.0.1:" + p + "),stdio(", EINVAL},
      {"tcp://127.0.0.1:" + p + "/path", EINVAL},
      {"tcp://user@127.0.0.1:" + p, EINVAL},
      {"tcp://127.0.0.1 :" + p, EINVAL},
      {"tcp://127.0.0.1", EINVAL},
      {"tcp://127.0.0.1:0", EINVAL},
      {"tcp://127.0.0.1:65536", EINVAL},
      {"tcp://127.0.0.1:+" + p, EINVAL},
      {"tcp://:" + p, EINVAL},
      {"tcp://[127.0.0.1:" + p, EINVAL},
      {"tcp://[::1;x]:" + p, EINVAL},
      {"tcp://-oProxyCommand=x:" + p, EINVAL},
  };
  for (const auto& c : refused) {
    TComPort port;
    port.SetPort(c.name);
    EXPECT_EQ(ExpectOpenError(port), c.error) << c.name;
  }
  EXPECT_FALSE(listener.takeConnection()) << "a refused name reached the network";

  // The schemes in any letter case, and a host name found by the resolver.
  for (const std::string& name : {"TCP://127.0.0.1:" + p, "tcp://localhost:" + p}) {
    TComPort port;
    port.SetPort(name);
    port.SetEvents({});
    ASSERT_NO_THROW(port.Open()) << name;
    EXPECT_TRUE(WaitUntil([&] { return listener.takeConnection(); })) << name;
    port.Close();
  }
}

TEST(RemotePort, ConnectionFailuresCarryTheirCause) {
  EnsureApp();
  TComPort refused;
  refused.SetPort("rfc2217://127.0.0.1:" + std::to_string(FreeLocalPort()));
  EXPECT_EQ(ExpectOpenError(refused), ECONNREFUSED);

  // A server whose queue of connections is full never completes one: the open
  // ends with ETIMEDOUT once the port's write time-out for one byte has passed.
  LocalListener full(0);
  const std::vector<int> fillers = FillBacklog(full.port);
  for (const char* scheme : {"tcp://", "rfc2217://"}) {
    TComPort stalled;
    stalled.SetPort(std::string(scheme) + "127.0.0.1:" + std::to_string(full.port));
    stalled.Timeouts().SetWriteTotalMultiplier(0);
    stalled.Timeouts().SetWriteTotalConstant(400);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(ExpectOpenError(stalled), ETIMEDOUT) << scheme;
    EXPECT_GE(clock.elapsed(), 350) << scheme;
    EXPECT_LT(clock.elapsed(), 5000) << scheme;
  }
  for (int fd : fillers) close(fd);
}

// 1 MiB of every byte value each way, through ser2net and the pseudo-terminal,
// with the event thread delivering arrivals.
TEST(RemotePort, BytesBothWaysUnchanged) {
  EnsureApp();
  const std::string out = RandomBytes(1 << 20, 1);
  const std::string in = RandomBytes(1 << 20, 2);
  for (const bool rfc2217 : {true, false}) {
    // A server of its own each time: ser2net takes a moment to let go of the pty.
    START_SER2NET(server);
    const int master = server.pty.master;
    TComPort port;
    port.SetPort(rfc2217 ? server.rfc2217Name() : server.tcpName());
    SCOPED_TRACE(port.Port());
    std::string received;
    port.OnRxChar = [&](QObject*, int32_t count) {
      std::string chunk;
      port.ReceiveText(chunk, count);
      received += chunk;
    };
    ASSERT_NO_THROW(port.Open());

    // Port -> pty, read on the master by a thread of the test.
    std::string atPty;
    std::thread reader([&] {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      char buf[65536];
      while (atPty.size() < out.size() && std::chrono::steady_clock::now() < limit) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) atPty.append(buf, static_cast<size_t>(n));
      }
    });
    int32_t written = 0;
    try {
      for (size_t off = 0; off < out.size(); off += 4096) written += port.SendBuffer(out.data() + off, 4096);
    } catch (const EComPort& e) {
      ADD_FAILURE() << e.what();
    }
    reader.join();
    EXPECT_EQ(written, 1 << 20);
    EXPECT_EQ(atPty.size(), out.size());
    EXPECT_EQ(Sha256(atPty), Sha256(out));

    // Pty -> port.
    std::thread writer([&] {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      for (size_t off = 0; off < in.size() && std::chrono::steady_clock::now() < limit;) {
        pollfd p{master, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::write(master, in.data() + off, std::min<size_t>(4096, in.size() - off));
        if (n > 0) off += static_cast<size_t>(n);
      }
    });
    EXPECT_TRUE(WaitUntil([&] { return received.size() >= in.size(); }, 120000)) << received.size();
    writer.join();
    EXPECT_EQ(received.size(), in.size());
    EXPECT_EQ(Sha256(received), Sha256(in));
    port.Close();
  }
}

// RFC 2217 carries the line settings to the pty; DTR and RTS requests go out
// without waiting for answers ser2net never gives. Raw TCP accepts the same
// calls and changes nothing.
TEST(RemotePort, LineControlReachesTheServer) {
  EnsureApp();
  START_SER2NET(server);
  const int master = server.pty.master;
  TcpRelay relay(server.rfc2217Port);
  relay.start();
  TComPort port;
  port.SetPort("rfc2217://127.0.0.1:" + std::to_string(relay.port()));
  // Long write time-outs: a client that waited for the unanswered line
  // requests would sit in them for seconds.
  port.Timeouts().SetWriteTotalConstant(8000);
  ASSERT_NO_THROW(port.Open());
  EXPECT_EQ(PtySettings(master).c_ospeed, 9600u);

  // ser2net answers line settings late while DTR and RTS requests it never
  // answers are pending: the setters must not wait for that.
  QElapsedTimer clock;
  clock.start();
  port.SetBaudRate(br57600);
  EXPECT_TRUE(WaitUntil([&] { return PtySettings(master).c_ospeed == 57600u; }));
  port.SetStopBits(sbTwoStopBits);
  EXPECT_TRUE(WaitUntil([&] { return (PtySettings(master).c_cflag & CSTOPB) != 0; }));
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(250000);
  EXPECT_TRUE(WaitUntil([&] { return PtySettings(master).c_ospeed == 250000u; }));
  EXPECT_LT(clock.elapsed(), 6000);

  clock.restart();
  port.SetDTRLine(false);
  port.SetRTSLine(false);
  for (int i = 0; i < 5; ++i) {  // as the window's timer re-asserts them
    port.SetDTRLine(true);
    port.SetRTSLine(true);
  }
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_TRUE(port.Signals().Empty());  // a pty has no lines to report

  // Every request went out (IAC SB COM-PORT-OPTION SET-CONTROL value IAC SE),
  // the repeated ones too.
  auto count = [&](char value) {
    const std::string request = std::string("\xFF\xFA\x2C\x05", 4) + value + "\xFF\xF0";
    const std::string sent = relay.fromClient();
    int n = 0;
    for (size_t at = sent.find(request); at != std::string::npos; at = sent.find(request, at + 1)) ++n;
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return count(8) >= 5 && count(11) >= 5; })) << count(8) << " " << count(11);
  EXPECT_GE(count(9), 1);   // DTR off
  EXPECT_GE(count(12), 1);  // RTS off

  // Nothing of that stands in the data's way.
  EXPECT_EQ(port.SendText("after"), 5);
  std::string got;
  ASSERT_TRUE(WaitUntil([&] {
    char buf[64];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    return got == "after";
  })) << got;
  port.Close();

  TComPort raw;
  raw.SetPort(server.tcpName());
  ASSERT_NO_THROW(raw.Open());
  const speed_t before = PtySettings(master).c_ospeed;
  raw.SetBaudRate(br115200);
  raw.SetStopBits(sbOneStopBit);
  raw.SetDTRLine(false);
  raw.SetRTSLine(true);
  EXPECT_TRUE(raw.Signals().Empty());
  EXPECT_EQ(PtySettings(master).c_ospeed, before);
  raw.Close();
}

// Network ports opened and closed in any order: once the first port opened in
// the process is closed, the others still close and new ones still open.
// What a closed port freed is written over each time (see ScribbleOverFreed),
// so a use of it fails here instead of now and then.
TEST(RemotePort, ClosingAPortLeavesTheOthersWhole) {
  EnsureApp();
  LocalListener listener;
  ASSERT_GT(listener.port, 0);
  const std::string name = "tcp://127.0.0.1:" + std::to_string(listener.port);
  auto open = [&](TComPort& port) {
    port.SetPort(name);
    port.SetEvents({});
    EXPECT_NO_THROW(port.Open());
    EXPECT_TRUE(WaitUntil([&] { return listener.takeConnection(); }));
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto first = std::make_unique<TComPort>();
    auto second = std::make_unique<TComPort>();
    open(*first);
    open(*second);
    first.reset();
    ScribbleOverFreed();
    EXPECT_NO_THROW(second->Close());
    EXPECT_FALSE(second->Connected());
    second.reset();
    ScribbleOverFreed();
    TComPort third;
    open(third);
    EXPECT_TRUE(third.Connected());
  }
}

// ser2net killed while the port is open: one error report (errIO), the event
// thread stops waiting without spinning, and the port still closes.
TEST(RemotePort, KilledServerIsOneLossWithoutSpinning) {
  EnsureApp();
  for (const bool rfc2217 : {true, false}) {
    START_SER2NET(server);
    TComPort port;
    port.SetPort(rfc2217 ? server.rfc2217Name() : server.tcpName());
    SCOPED_TRACE(port.Port());
    int lossReports = 0, otherErrors = 0;
    port.OnError = [&](QObject*, TComErrors errors) { (errors.Contains(errIO) ? lossReports : otherErrors)++; };
    ASSERT_NO_THROW(port.Open());
    server.stop(SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return lossReports > 0; }, 20000));
    // A thread spinning on the dead connection would take most of a core.
    const double cpu = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // WaitUntil itself polls the event loop
    EXPECT_LT(CpuSeconds() - cpu, 1.0) << "CPU seconds used in 3 s while the lost port stays open";
    EXPECT_EQ(lossReports, 1);
    EXPECT_EQ(otherErrors, 0);
    try {
      port.SendText("x");
      ADD_FAILURE() << "a write to a lost port succeeded";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Code(), 2);
      EXPECT_EQ(e.WinCode(), EIO);
    }
    port.SetDTRLine(true);  // accepted: the loss is reported once only
    port.Close();
    EXPECT_FALSE(port.Connected());
  }
}

// A machine whose only network is loopback (an offline laptop, a container):
// the ports reach 127.0.0.1, localhost and [::1]. Run in a network namespace
// of its own with only "lo" up; the thread that makes it, and what it starts,
// live in it.
TEST(RemotePort, LoopbackOnlyMachineReachesItsOwnServers) {
  EnsureApp();
  std::string skip;
  std::thread inside([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      skip = std::string("no network namespace can be made here: ") + std::strerror(errno);
      return;
    }
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    ioctl(s, SIOCGIFFLAGS, &lo);
    lo.ifr_flags |= IFF_UP;
    ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &lo), 0) << std::strerror(errno);
    close(s);
    // ser2net cannot serve here (it resolves its own address the same way):
    // a scripted RFC 2217 server and a plain listener stand in.
    ScriptedServer rfc("masks");
    LocalListener raw;
    ASSERT_GT(rfc.port, 0);
    const std::string p = std::to_string(rfc.port), t = std::to_string(raw.port);
    for (const std::string& name : {"rfc2217://127.0.0.1:" + p, "rfc2217://localhost:" + p, "tcp://127.0.0.1:" + t,
                                    "tcp://localhost:" + t}) {
      TComPort port;
      port.SetPort(name);
      port.SetEvents({});
      try {
        port.Open();  // rfc2217: opens only once the server agreed to the option
      } catch (const EComPort& e) {
        ADD_FAILURE() << name << ": " << e.what();
        continue;
      }
      EXPECT_EQ(port.SendText("ok"), 2) << name;
      port.Close();
    }
    int accepted = 0;
    for (int i = 0; i < 500 && accepted < 2; ++i) {
      while (raw.takeConnection()) ++accepted;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(accepted, 2);
    // IPv6 loopback without any other IPv6 address.
    const int v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(v6, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    listen(v6, 1);
    getsockname(v6, reinterpret_cast<sockaddr*>(&a), &len);
    TComPort port;
    port.SetPort("tcp://[::1]:" + std::to_string(ntohs(a.sin6_port)));
    port.SetEvents({});
    EXPECT_NO_THROW(port.Open());
    port.Close();
    close(v6);
  });
  inside.join();
  if (!skip.empty()) GTEST_SKIP() << skip;
}

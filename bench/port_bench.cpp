// SPDX-License-Identifier: MIT
// port_bench: throughput, latency and idle cost of the port component over
// pseudo-terminal pairs, each against a plain system-call loop on another
// pair measured the same way in the same run.
//
//   port_bench [--mib N] [--rounds N] [--samples N] [--idle-seconds N] [--only send|recv|latency|idle]
//
// The port opens the slave side by its path; the benchmark drives the master.
// Every loop is bounded by a byte or sample count and by a deadline.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "port.h"

namespace {

using bench::DrainFd;
using bench::kMiB;
using bench::NowNs;
using bench::Pty;
using bench::Stats;
using bench::Summarise;

constexpr size_t kBlock = 64 * 1024;
constexpr int64_t kRunDeadlineNs = 90'000'000'000;  // no single run lasts longer

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::vector<char> Pattern(size_t n) {
  std::vector<char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = char('A' + i % 26);
  return b;
}

// Writes `total` bytes in 64 KiB blocks, bounded by the deadline.
size_t FeedFd(int fd, size_t total, int64_t deadline) {
  const std::vector<char> buf = Pattern(kBlock);
  size_t put = 0;
  while (put < total && NowNs() < deadline) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = write(fd, buf.data(), std::min(buf.size(), total - put));
    if (n > 0)
      put += size_t(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN)
      break;
  }
  return put;
}


struct Rate {
  double mibs = 0;
  size_t bytes = 0;
  double cpu = 0;
  long deliveries = 0;      // OnRxChar calls (receive through the port only)
  double handlerSec = 0;    // wall time inside ReceiveText
  double ownerCpu = 0;      // CPU of the owner's thread
};

double ThreadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void PrintRate(const char* what, const Rate& r) {
  std::printf("  %-42s %8.1f MiB/s  (%6.1f MiB, %5.2f s CPU)\n", what, r.mibs, r.bytes / kMiB, r.cpu);
  if (r.deliveries > 0)
    std::printf("  %-42s %8ld deliveries, %.0f bytes each, %.1f us in ReceiveText each, owner thread %.2f s CPU\n",
                "", r.deliveries, double(r.bytes) / r.deliveries, r.handlerSec * 1e6 / r.deliveries, r.ownerCpu);
  std::fflush(stdout);
}

void OpenPort(TComPort& port, const std::string& path, TSyncMethod sync) {
  port.SetPort(path);
  port.SetSyncMethod(sync);
  port.SetEvents(kAllComEvents);
  port.Open();
}

// --- a. Throughput ------------------------------------------------------------------

Rate PortSend(TSyncMethod sync, size_t total) {
  Pty pty;
  TComPort port;
  OpenPort(port, pty.path, sync);
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  int64_t endNs = 0;
  size_t got = 0;
  std::thread reader([&] { got = DrainFd(pty.master, total, deadline + 1'000'000'000, endNs); });
  const std::vector<char> buf = Pattern(kBlock);
  const double cpu0 = CpuSeconds();
  const int64_t t0 = NowNs();
  for (size_t sent = 0; sent < total && NowNs() < deadline;) {
    sent += size_t(port.SendBuffer(buf.data(), int32_t(std::min(kBlock, total - sent))));
    QCoreApplication::processEvents();  // the port's events, as a window would take them
  }
  reader.join();
  const double cpu = CpuSeconds() - cpu0;
  port.Close();
  return {got / kMiB / ((endNs - t0) / 1e9), got, cpu};
}

Rate PlainSend(size_t total) {
  Pty pty;
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  int64_t endNs = 0;
  size_t got = 0;
  std::thread reader([&] { got = DrainFd(pty.master, total, deadline + 1'000'000'000, endNs); });
  const double cpu0 = CpuSeconds();
  const int64_t t0 = NowNs();
  FeedFd(pty.slave, total, deadline);
  reader.join();
  return {got / kMiB / ((endNs - t0) / 1e9), got, CpuSeconds() - cpu0};
}

Rate PortReceive(TSyncMethod sync, size_t total) {
  Pty pty;
  TComPort port;
  QEventLoop loop;
  size_t got = 0;
  int64_t endNs = 0;
  long deliveries = 0;
  int64_t inHandlerNs = 0;
  std::string data;
  port.OnRxChar = [&](QObject*, int32_t count) {
    const int64_t t = NowNs();
    got += size_t(port.ReceiveText(data, count));
    endNs = NowNs();
    inHandlerNs += endNs - t;
    ++deliveries;
    if (got >= total) loop.quit();
  };
  OpenPort(port, pty.path, sync);
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  QTimer::singleShot(int((kRunDeadlineNs + 1'000'000'000) / 1'000'000), &loop, &QEventLoop::quit);
  const double cpu0 = CpuSeconds();
  const double owner0 = ThreadCpu();
  const int64_t t0 = NowNs();
  std::thread writer([&] { FeedFd(pty.master, total, deadline); });
  loop.exec();
  writer.join();
  const double cpu = CpuSeconds() - cpu0;
  const double ownerCpu = ThreadCpu() - owner0;
  port.Close();
  return {got / kMiB / ((endNs - t0) / 1e9), got, cpu, deliveries, inHandlerNs / 1e9, ownerCpu};
}

Rate PlainReceive(size_t total) {
  Pty pty;
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  const double cpu0 = CpuSeconds();
  const int64_t t0 = NowNs();
  std::thread writer([&] { FeedFd(pty.master, total, deadline); });
  int64_t endNs = 0;
  const size_t got = DrainFd(pty.slave, total, deadline + 1'000'000'000, endNs);
  writer.join();
  return {got / kMiB / ((endNs - t0) / 1e9), got, CpuSeconds() - cpu0};
}

void Ratio(const char* what, double port, double plain) {
  const double r = plain > 0 ? port / plain : 0;
  std::printf("  %-42s %8.1f %%   goal >= 80 %%: %s\n", what, 100 * r, r >= 0.8 ? "met" : "NOT met");
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Each round measures the plain loop and the port under both sync methods
// one after the other, so that a load from elsewhere hits them alike; the
// medians over the rounds are compared.
void Throughput(size_t mib, int rounds, bool send, bool recv) {
  const size_t total = mib * size_t(kMiB);
  for (int dir = 0; dir < 2; ++dir) {
    if ((dir == 0 && !send) || (dir == 1 && !recv)) continue;
    if (dir == 0)
      std::printf("a. Throughput, port writes %zu MiB in 64 KiB SendBuffer blocks, master read by a thread\n", mib);
    else
      std::printf("a. Throughput, master writes %zu MiB in 64 KiB blocks, receiver reads all\n", mib);
    const char* names[3] = {dir == 0 ? "plain write() to slave" : "plain read() loop on slave",
                            dir == 0 ? "port SendBuffer, smThreadSync" : "port OnRxChar+ReceiveText, smThreadSync",
                            dir == 0 ? "port SendBuffer, smWindowSync" : "port OnRxChar+ReceiveText, smWindowSync"};
    std::vector<double> figures[3];
    for (int round = 0; round < rounds; ++round) {
      std::printf(" round %d\n", round + 1);
      for (int k = 0; k < 3; ++k) {
        const TSyncMethod m = k == 1 ? smThreadSync : smWindowSync;
        const Rate r = k == 0 ? (dir == 0 ? PlainSend(total) : PlainReceive(total))
                              : (dir == 0 ? PortSend(m, total) : PortReceive(m, total));
        PrintRate(names[k], r);
        figures[k].push_back(r.mibs);
      }
    }
    std::printf(" median of %d rounds\n", rounds);
    for (int k = 0; k < 3; ++k) std::printf("  %-42s %8.1f MiB/s\n", names[k], Median(figures[k]));
    Ratio("ratio port/plain, smThreadSync", Median(figures[1]), Median(figures[0]));
    Ratio("ratio port/plain, smWindowSync", Median(figures[2]), Median(figures[0]));
  }
}

// --- b. Latency -----------------------------------------------------------------------

// Writes one byte at the master every ~2 ms, waiting for each to be taken
// (at most 1 s) before the next; t0[i] is the time byte i was written.
class Pinger {
 public:
  Pinger(int master, int samples) : master_(master), t0_(size_t(samples), 0), t1_(size_t(samples), 0) {}
  void Run() {
    for (size_t i = 0; i < t0_.size(); ++i) {
      const char c = 'x';
      t0_[i] = NowNs();
      if (write(master_, &c, 1) != 1) break;
      std::unique_lock lk(mu_);
      if (!cv_.wait_for(lk, std::chrono::seconds(1), [&] { return taken_ > i; })) break;
      lk.unlock();
      const int64_t next = t0_[i] + 2'000'000;
      while (NowNs() < next) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    done_ = true;
  }
  // Called by the receiver for each byte, with the time it noticed the byte.
  void Taken(int64_t t) {
    std::lock_guard lk(mu_);
    if (taken_ < t1_.size()) t1_[taken_] = t;
    ++taken_;
    cv_.notify_all();
  }
  std::vector<double> Micros() const {
    std::vector<double> us;
    for (size_t i = 0; i < t1_.size() && i < taken_; ++i) us.push_back((t1_[i] - t0_[i]) / 1e3);
    return us;
  }
  std::atomic<bool> done_{false};

 private:
  int master_;
  std::vector<int64_t> t0_, t1_;
  std::mutex mu_;
  std::condition_variable cv_;
  size_t taken_ = 0;
};

void PrintStats(const char* what, const Stats& s) {
  std::printf("  %-42s median %8.1f us   p99 %8.1f us   max %8.1f us   (n=%d)\n", what, s.median, s.p99, s.max,
              s.n);
  std::fflush(stdout);
}

void Latency(int samples) {
  std::printf("b. Latency, one byte written at the master every ~2 ms, %d samples\n", samples);
  {
    Pty pty;
    Pinger pinger(pty.master, samples);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
      char buf[64];
      const int64_t deadline = NowNs() + kRunDeadlineNs;
      while (!stop && NowNs() < deadline) {
        pollfd p{pty.slave, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int64_t t = NowNs();
        const ssize_t n = read(pty.slave, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) pinger.Taken(t);
      }
    });
    pinger.Run();
    stop = true;
    waiter.join();
    PrintStats("plain poll() wake-up on slave", Summarise(pinger.Micros()));
  }
  {
    Pty pty;
    TComPort port;
    Pinger pinger(pty.master, samples);
    std::string data;
    port.OnRxChar = [&](QObject*, int32_t count) {
      const int64_t t = NowNs();
      const int32_t n = port.ReceiveText(data, count);
      for (int32_t i = 0; i < n; ++i) pinger.Taken(t);
    };
    OpenPort(port, pty.path, smWindowSync);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (pinger.done_) loop.quit();
    });
    poll.start(50);
    QTimer::singleShot(int(kRunDeadlineNs / 1'000'000), &loop, &QEventLoop::quit);
    std::thread driver([&] { pinger.Run(); });
    loop.exec();
    driver.join();
    port.Close();
    PrintStats("port OnRxChar on owner, smWindowSync", Summarise(pinger.Micros()));
  }
}

// --- c. Idle cost ---------------------------------------------------------------------

void Idle(int seconds) {
  std::printf("c. Idle cost, event loop idle for %d s\n", seconds);
  auto run = [&](const char* what, bool withPort) {
    Pty pty;
    TComPort port;
    port.OnRxChar = [](QObject*, int32_t) {};
    if (withPort) OpenPort(port, pty.path, smWindowSync);
    rusage r0{}, r1{};
    getrusage(RUSAGE_SELF, &r0);
    const double cpu0 = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = CpuSeconds() - cpu0;
    getrusage(RUSAGE_SELF, &r1);
    if (withPort) port.Close();
    std::printf("  %-42s %8.1f ms CPU in %d s (%.3f %% of one core), %ld voluntary context switches\n", what,
                cpu * 1e3, seconds, cpu * 100.0 / seconds, r1.ru_nvcsw - r0.ru_nvcsw);
    std::fflush(stdout);
  };
  run("event loop alone", false);
  run("port open, all events, smWindowSync", true);
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  size_t mib = 64;
  int samples = 1000;
  int idleSeconds = 10;
  int rounds = 5;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--mib") mib = size_t(std::max(1, std::atoi(argv[i + 1])));
    else if (opt == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--samples") samples = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--idle-seconds") idleSeconds = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--only") only = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: %s [--mib N] [--rounds N] [--samples N] [--idle-seconds N] [--only send|recv|latency|idle]\n",
                   argv[0]);
      return 2;
    }
  }
  try {
    if (only.empty() || only == "send" || only == "recv")
      Throughput(mib, rounds, only.empty() || only == "send", only.empty() || only == "recv");
    if (only.empty() || only == "latency") Latency(samples);
    if (only.empty() || only == "idle") Idle(idleSeconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "port_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}

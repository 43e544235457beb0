// SPDX-License-Identifier: MIT
// What both benchmark programs share: the clock, a pseudo-terminal pair and a
// bounded reader of one side of it.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

constexpr double kMiB = 1024.0 * 1024.0;

inline int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// One pseudo-terminal pair with the slave in raw mode. The slave descriptor
// stays open, so the master is not hung up when the port under test closes.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    path = ttyname(slave);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

// Reads fd until `total` bytes came or the deadline passed; returns the bytes
// read and sets `endNs` to the time the last of them arrived.
inline size_t DrainFd(int fd, size_t total, int64_t deadline, int64_t& endNs, size_t block = 64 * 1024) {
  std::vector<char> buf(block);
  size_t got = 0;
  endNs = NowNs();
  while (got < total && NowNs() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buf.data(), buf.size());
    if (n > 0) {
      got += size_t(n);
      endNs = NowNs();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;
    }
  }
  return got;
}

// Median, 99th percentile and maximum of a set of samples (microseconds).
struct Stats {
  double median = 0, p99 = 0, max = 0;
  int n = 0;
};

inline Stats Summarise(std::vector<double> us) {
  Stats s;
  s.n = int(us.size());
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.p99 = us[std::min(us.size() - 1, size_t(double(us.size()) * 0.99))];
  s.max = us.back();
  return s;
}

}  // namespace bench

// SPDX-License-Identifier: MIT
// What the devices' waits share: waking a poll() through an eventfd, and poll
// time-outs from deadlines.
#pragma once

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>

#include "winconst.h"

namespace serivox::device {

// Makes the eventfd `fd` readable: a poll() on it returns.
inline void Kick(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

// Makes it unreadable again.
inline void ClearKick(int fd) {
  uint64_t v;
  [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

// Milliseconds from now until `t`, rounded up, never negative: a poll() time-out.
inline int MsUntil(std::chrono::steady_clock::time_point t) {
  const auto d = std::chrono::ceil<std::chrono::milliseconds>(t - std::chrono::steady_clock::now()).count();
  if (d <= 0) return 0;
  return d > INT_MAX ? INT_MAX : static_cast<int>(d);
}

}  // namespace serivox::device

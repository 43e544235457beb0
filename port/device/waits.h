// What the devices' waits share: waking a poll() through an eventfd, poll
// time-outs from deadlines, and what a wait reports once its device is gone.
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

// The events a wait reports on a device that went away: those still pending
// (taken), with EV_ERR the first time (`reported` notes it). None left means
// the wait ends with EIO.
inline uint32_t EventsAfterLoss(uint32_t& pending, uint32_t mask, bool& reported) {
  uint32_t ev = pending & mask;
  pending = 0;
  if (!reported) {
    reported = true;
    ev |= mask & EV_ERR;
  }
  return ev;
}

}  // namespace serivox::device

// SPDX-License-Identifier: MIT
// The rate a PC UART really sends at; see uartrate.h.
#include "uartrate.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace serivox::device {

double DividedRate(uint32_t base, uint32_t rate) {
  if (rate == 0) return 0;
  const uint64_t divisor = (uint64_t{base} + rate / 2) / rate;
  return divisor == 0 ? 0 : double(base) / double(divisor);
}

double RateOnLine(int fd, uint32_t rate) {
  // The PORT_ numbers of the serial core (include/uapi/linux/serial_core.h).
  constexpr int kPort8250 = 1, kPort16550A = 4;
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return rate;
  if (ss.type < kPort8250 || ss.type > kPort16550A || ss.baud_base <= 0 || (ss.flags & ASYNC_SPD_MASK)) return rate;
  return DividedRate(static_cast<uint32_t>(ss.baud_base), rate);
}

}  // namespace serivox::device

// SPDX-License-Identifier: MIT
// The rate a PC UART really sends at. Its clock (baud_base, 115 200 on the
// 1.8432 MHz 16550) is divided by a whole number, the nearest one to the
// rate asked for; the kernel reports back the rate asked for, not the one
// the divisor gives (a custom 50 000 runs at 57 600).
#pragma once

#include <cstdint>

namespace serivox::device {

// `rate` as a clock of `base` divides it: base / round(base / rate); 0 when
// the divisor would be 0 (a rate above the clock's).
double DividedRate(uint32_t base, uint32_t rate);

// The rate the terminal `fd` runs at when set to `rate`: divided as above on
// a classic PC UART (8250, 16450, 16550, 16550A) without a special speed
// flag, else `rate` itself (other drivers make the rate they report).
double RateOnLine(int fd, uint32_t rate);

}  // namespace serivox::device

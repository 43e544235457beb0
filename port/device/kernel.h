// SPDX-License-Identifier: MIT
// Kernel definitions the C library does not offer: the termios2 record with
// its integer baud rates, the requests that read and write it, and the
// serial line counters. Kept in this one file so that nothing else depends on
// the kernel's layout.
//
// glibc 2.36 has no struct termios2, and <asm/termbits.h> clashes with
// <termios.h>, so the record is declared here. The layout and the request
// numbers are those of the generic ioctl ABI (x86, arm, riscv).
#pragma once

#include <linux/serial.h>  // struct serial_icounter_struct
#include <sys/ioctl.h>
#include <termios.h>

namespace serivox::device::kernel {

constexpr int kKernelNccs = 19;

struct Termios2 {
  tcflag_t c_iflag = 0;
  tcflag_t c_oflag = 0;
  tcflag_t c_cflag = 0;
  tcflag_t c_lflag = 0;
  cc_t c_line = 0;
  cc_t c_cc[kKernelNccs] = {};
  speed_t c_ispeed = 0;  // plain bits per second when the speed bits say BOTHER
  speed_t c_ospeed = 0;
};

constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, Termios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, Termios2);

// Speed bits of c_cflag: BOTHER means "the speed is in c_ospeed". The input
// speed field (CIBAUD) left 0 makes the input speed follow the output speed.
constexpr tcflag_t kCbaud = 0010017;
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kCibaud = 002003600000;

// Counters of a serial driver (TIOCGICOUNT). Pseudo-terminals have none.
using LineCounters = serial_icounter_struct;
constexpr unsigned long kGetCounters = TIOCGICOUNT;

}  // namespace serivox::device::kernel

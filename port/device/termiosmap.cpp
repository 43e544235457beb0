// SPDX-License-Identifier: MIT
// The line settings as a termios2 record, and back.
#include <cerrno>

#include "termiosdevice.h"

namespace serivox::device {

int TermiosFromDcb(const Dcb& dcb, kernel::Termios2& out) {
  if (!LineSettingsValid(dcb)) return EINVAL;

  kernel::Termios2 t;  // all zero: raw mode, no output processing, no echo, no signals
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  // HUPCL: the last close drops DTR and RTS. CLOCAL: ignore the carrier line.
  t.c_cflag = CREAD | CLOCAL | HUPCL | kernel::kBother | kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_ispeed = t.c_ospeed = dcb.BaudRate;

  // PARMRK always: breaks and bad bytes arrive marked so that the input path
  // can tell them from data. IXANY stays off: only XON resumes output.
  t.c_iflag = PARMRK;
  if (dcb.fParity) t.c_iflag |= INPCK;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = dcb.XonChar;
  t.c_cc[VSTOP] = dcb.XoffChar;
  // With O_NONBLOCK, VMIN 1 makes "no data" EAGAIN and keeps 0 for a hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  out = t;
  return 0;
}

Dcb DcbFromTermios(const kernel::Termios2& t) {
  Dcb d;
  d.BaudRate = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB))
    d.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  d.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  d.fParity = (t.c_iflag & INPCK) != 0;
  const bool crtscts = (t.c_cflag & CRTSCTS) != 0;
  d.fOutxCtsFlow = crtscts;
  d.fRtsControl = crtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  d.fOutX = (t.c_iflag & IXON) != 0;
  d.fInX = (t.c_iflag & IXOFF) != 0;
  d.XonChar = t.c_cc[VSTART];
  d.XoffChar = t.c_cc[VSTOP];
  return d;
}

}  // namespace serivox::device

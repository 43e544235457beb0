// SPDX-License-Identifier: MIT
// The serial device interface under the port component, and how a port name
// becomes a device.
//
// Every call returns 0 on success or an errno value. The component turns a
// non-zero result into its numbered error carrying that value.
//
// Threading: while a port is open, its event thread calls waitCommEvent while
// the owner's thread may call any other operation. Every implementation must
// allow exactly that overlap. No other calls overlap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "winconst.h"

namespace serivox::device {

// Line settings, field by field as the port fills them (see ApplyCommState).
struct Dcb {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;       // bits per second, any positive value
  bool fBinary = false;
  bool fParity = false;        // parity checking (INPCK)
  bool fOutxCtsFlow = false;   // output waits for CTS (CRTSCTS)
  bool fOutxDsrFlow = false;   // no Linux counterpart: kept, drives nothing
  uint8_t fDtrControl = 0;     // DTR_CONTROL_*: disable drops DTR, enable and
                               // handshake raise it (Linux has no DTR handshake)
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;          // IXON
  bool fInX = false;           // IXOFF
  bool fErrorChar = false;     // bytes with a parity error read as ErrorChar
  bool fNull = false;          // received NUL bytes are dropped
  uint8_t fRtsControl = 0;     // RTS_CONTROL_*: disable drops RTS, enable raises it,
                               // handshake is CRTSCTS, toggle raises it while a write
                               // goes out and drops it when the line is idle
  bool fAbortOnError = false;
  uint32_t XonLim = 0;
  uint32_t XoffLim = 0;
  uint8_t ByteSize = 8;        // 5..8
  uint8_t Parity = 0;          // NOPARITY..SPACEPARITY
  uint8_t StopBits = 0;        // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;         // its arrival raises EV_RXFLAG
};

// Time-outs in milliseconds; 0xFFFFFFFF is MAXDWORD.
//  - ReadInterval MAXDWORD with both read totals 0: a read returns at once with
//    what is waiting (possibly nothing).
//  - ReadInterval MAXDWORD, ReadTotalMultiplier MAXDWORD and 0 < ReadTotalConstant
//    < MAXDWORD: return at once if anything waits, else wait up to the constant
//    for the first byte and return what came.
//  - Otherwise: the whole read is bounded by multiplier * count + constant (no
//    bound when both are 0), and a gap longer than ReadInterval (if not 0)
//    between two bytes ends it.
//  - A write of n bytes is bounded by WriteTotalMultiplier * n +
//    WriteTotalConstant (no bound when both are 0); on time-out it completes
//    with the bytes written so far.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

class Device {
 public:
  virtual ~Device() = default;

  // Recommended queue sizes. The input size also sets the 80 % mark of EV_RX80FULL.
  virtual int setupComm(int inputSize, int outputSize) = 0;
  virtual int setCommState(const Dcb& dcb) = 0;
  virtual int setCommTimeouts(const CommTimeouts& timeouts) = 0;

  // Blocking transfers, bounded by the time-outs. `done` is set also on error.
  virtual int write(const uint8_t* data, int count, int& done) = 0;
  virtual int read(uint8_t* data, int count, int& done) = 0;

  // Reads and clears the line errors (CE_ flags) that occurred since the last
  // call, and the number of bytes waiting in the input queue and, when asked
  // for (it costs a system call on a tty), in the output queue.
  virtual int clearCommError(uint32_t& errors, int& inQueue, int* outQueue) = 0;
  // MS_ bits of the modem input lines. Devices without lines report 0.
  virtual int getModemStatus(uint32_t& status) = 0;
  // SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK. Devices without lines
  // accept them. Every request reaches the line, also one that repeats the
  // state the line already has.
  virtual int escapeFunction(int function) = 0;
  // PURGE_ flags. RX flags drop the received bytes that wait unread.
  // PURGE_TXABORT cancels transfers still waiting; it never discards bytes a
  // completed write has handed over. PURGE_TXCLEAR discards those too.
  virtual int purge(uint32_t flags) = 0;
  // Waits until the bytes that completed writes handed over have left the
  // port, as long as the line keeps taking them and at most the write
  // time-out for what is queued (a few seconds when the time-outs are 0).
  // What is still queued then is discarded, so that closing never blocks.
  virtual int drain() { return 0; }

  // Which events waitCommEvent reports (EV_ bits). Setting a mask completes a
  // pending wait with no events.
  virtual int setCommMask(uint32_t mask) = 0;
  // Blocks in the kernel until at least one masked event occurs (0, with the
  // events in `events`) or `stopFd` becomes readable (ECANCELED). EV_RXCHAR is
  // reported once per arrival of new bytes, never again for bytes that already
  // wait unread. A device that went away (hang-up) reports EV_ERR once and then
  // returns EIO without blocking, so the caller stops waiting.
  virtual int waitCommEvent(uint32_t& events, int stopFd) = 0;
};

// Opens a port by name: a name that begins with "/" is a device path, "COMn"
// (any letter case) is /dev/ttyS(n-1), "LOOPBACK", "NULLMODEM-A" and
// "NULLMODEM-B" are the built-in virtual ports, "rfc2217://HOST:PORT" and
// "tcp://HOST:PORT" are network ports (netdevice.h; any other scheme gives
// EPROTONOSUPPORT), any other name is looked up under /dev/. A path that is
// not a terminal gives ENOTTY; a port in use gives EBUSY (PortDevicePath in
// portname.h gives the path a name opens). `timeouts` are the
// port's: a network port connects within its write time-out for one byte.
int openDevice(const std::string& portName, std::unique_ptr<Device>& device, const CommTimeouts& timeouts = {});

}  // namespace serivox::device

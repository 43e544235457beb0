// SPDX-License-Identifier: MIT
// The termios device over pseudo-terminal pairs, and the mapping of the line
// settings onto termios2.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "device/device.h"
#include "device/kernel.h"
#include "device/termiosdevice.h"
#include "test_pty.h"

using namespace serivox::device;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

Dcb LineDcb(uint32_t baud) {
  Dcb d;
  d.DCBlength = 28;
  d.BaudRate = baud;
  d.fBinary = true;
  d.ByteSize = 8;
  d.XonChar = 17;
  d.XoffChar = 19;
  return d;
}

CommTimeouts Timeouts(uint32_t interval, uint32_t mult, uint32_t constant) {
  CommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = mult;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

std::unique_ptr<Device> OpenPty(const TestPty& pty) {
  std::unique_ptr<Device> d;
  EXPECT_EQ(openDevice(pty.slavePath, d), 0);
  return d;
}

std::string ReadAll(Device& d, int count) {
  std::string s(count, '\0');
  int done = -1;
  EXPECT_EQ(d.read(reinterpret_cast<uint8_t*>(s.data()), count, done), 0);
  s.resize(done < 0 ? 0 : done);
  return s;
}

long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

}  // namespace

TEST(TermiosMapping, EveryTableRateAndACustomRateTravelAsPlainIntegers) {
  for (uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
                        115200u, 128000u, 256000u, 250000u}) {
    kernel::Termios2 t;
    ASSERT_EQ(TermiosFromDcb(LineDcb(rate), t), 0) << rate;
    EXPECT_EQ(t.c_cflag & kernel::kCbaud, kernel::kBother) << rate;
    EXPECT_EQ(t.c_ospeed, rate);
    EXPECT_EQ(DcbFromTermios(t).BaudRate, rate);
  }
}

TEST(TermiosMapping, FramingParityAndFlowControl) {
  struct Case {
    uint8_t parity;
    tcflag_t flags;
  } cases[] = {{NOPARITY, 0},
               {ODDPARITY, PARENB | PARODD},
               {EVENPARITY, PARENB},
               {MARKPARITY, PARENB | CMSPAR | PARODD},
               {SPACEPARITY, PARENB | CMSPAR}};
  for (const Case& c : cases) {
    Dcb d = LineDcb(9600);
    d.Parity = c.parity;
    kernel::Termios2 t;
    ASSERT_EQ(TermiosFromDcb(d, t), 0);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.flags) << int(c.parity);
    EXPECT_EQ(DcbFromTermios(t).Parity, c.parity);
  }

  Dcb d = LineDcb(9600);
  d.ByteSize = 5;
  d.StopBits = ONE5STOPBITS;
  d.fParity = true;
  d.fOutX = true;
  d.fInX = true;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  kernel::Termios2 t;
  ASSERT_EQ(TermiosFromDcb(d, t), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS5));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & (CREAD | CLOCAL));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | IXANY), tcflag_t(IXON | IXOFF | INPCK));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  EXPECT_EQ(t.c_lflag, 0u);  // raw: no echo, no canonical input, no signals
  EXPECT_EQ(t.c_oflag, 0u);

  // Either RTS handshake or CTS output flow asks for CRTSCTS.
  d = LineDcb(9600);
  d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_EQ(TermiosFromDcb(d, t), 0);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  d = LineDcb(9600);
  d.fOutxCtsFlow = true;
  ASSERT_EQ(TermiosFromDcb(d, t), 0);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
}

TEST(TermiosMapping, RefusesSettingsNoLineCanHave) {
  kernel::Termios2 t;
  Dcb d = LineDcb(0);
  EXPECT_EQ(TermiosFromDcb(d, t), EINVAL);
  d = LineDcb(9600);
  d.ByteSize = 9;
  EXPECT_EQ(TermiosFromDcb(d, t), EINVAL);
  d.ByteSize = 4;
  EXPECT_EQ(TermiosFromDcb(d, t), EINVAL);
  d = LineDcb(9600);
  d.Parity = 5;
  EXPECT_EQ(TermiosFromDcb(d, t), EINVAL);
  d = LineDcb(9600);
  d.fInX = true;
  d.XoffChar = d.XonChar;
  EXPECT_EQ(TermiosFromDcb(d, t), EINVAL);
}

TEST(TermiosDeviceOpen, SettingsReachThePseudoTerminal) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  auto dev = OpenPty(pty);
  ASSERT_TRUE(dev);
  Dcb d = LineDcb(250000);
  d.Parity = MARKPARITY;
  d.StopBits = TWOSTOPBITS;
  d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  d.fOutX = d.fInX = true;
  ASSERT_EQ(dev->setCommState(d), 0);
  kernel::Termios2 t;
  ASSERT_EQ(ioctl(pty.master, kernel::kTcGets2, &t), 0);
  EXPECT_EQ(t.c_ospeed, 250000u);
  EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS), tcflag_t(CSTOPB | PARODD | CMSPAR | CRTSCTS));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
  EXPECT_EQ(dev->setCommState(LineDcb(0)), EINVAL);
}

TEST(TermiosDeviceOpen, RefusesFilesMissingDevicesAndPortsInUse) {
  char path[] = "/tmp/serivox_notatty_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "keep", 4), 4);
  close(fd);
  struct stat before, after;
  ASSERT_EQ(stat(path, &before), 0);
  std::unique_ptr<Device> dev;
  EXPECT_EQ(openDevice(path, dev), ENOTTY);
  EXPECT_FALSE(dev);
  ASSERT_EQ(stat(path, &after), 0);
  EXPECT_EQ(after.st_size, 4);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  unlink(path);

  EXPECT_EQ(openDevice("/dev/serivox-no-such-port", dev), ENOENT);
  EXPECT_EQ(openDevice("serivox-no-such-port", dev), ENOENT);
  EXPECT_EQ(openDevice("/dev/null", dev), ENOTTY);  // a character device that is no terminal
  EXPECT_FALSE(dev);

  TestPty pty;
  ASSERT_TRUE(pty.ok());
  auto first = OpenPty(pty);
  ASSERT_TRUE(first);
  EXPECT_EQ(openDevice(pty.slavePath, dev), EBUSY);
  EXPECT_FALSE(dev);
  first.reset();
  EXPECT_EQ(openDevice(pty.slavePath, dev), 0);
}

TEST(TermiosDeviceLines, PseudoTerminalHasNoLinesButAcceptsRequests) {
  TestPty pty;
  auto dev = OpenPty(pty);
  ASSERT_TRUE(dev);
  uint32_t status = 1;
  EXPECT_EQ(dev->getModemStatus(status), 0);
  EXPECT_EQ(status, 0u);
  for (int f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK}) EXPECT_EQ(dev->escapeFunction(f), 0) << f;
  EXPECT_EQ(dev->escapeFunction(42), EINVAL);
}

TEST(TermiosDeviceRead, MarkedBytesNulsAndParityMarks) {
  TestPty pty;
  auto dev = OpenPty(pty);
  ASSERT_TRUE(dev);
  ASSERT_EQ(dev->setCommTimeouts(Timeouts(0, 0, 200)), 0);
  Dcb d = LineDcb(9600);
  ASSERT_EQ(dev->setCommState(d), 0);
  // A pseudo-terminal carries no line errors: its bytes are not marked, so the
  // kernel takes them by its fast path, and 0xFF and NUL read back as sent.
  termios t{};
  ASSERT_EQ(tcgetattr(pty.master, &t), 0);  // the master reads the slave's settings
  EXPECT_EQ(t.c_iflag & PARMRK, 0u);
  const std::string data("\xff\x00\xff\xffz", 5);
  ASSERT_TRUE(pty.send(data));
  EXPECT_EQ(ReadAll(*dev, 5), data);

  d.fNull = true;
  ASSERT_EQ(dev->setCommState(d), 0);
  ASSERT_TRUE(pty.send(std::string("a\0b\0", 4)));
  EXPECT_EQ(ReadAll(*dev, 2), "ab");
}

// While arrivals are watched, the device takes bytes from the tty on a thread
// of its own. A stream many times the queue's size, read meanwhile in pieces
// of changing size with input counts in between, arrives whole and in order,
// 0xFF bytes (doubled by the kernel's marking) included.
TEST(TermiosDeviceRead, AWatchedStreamArrivesWholeAndInOrder) {
  TestPty pty;
  auto dev = OpenPty(pty);
  ASSERT_TRUE(dev);
  ASSERT_EQ(dev->setCommState(LineDcb(9600)), 0);
  ASSERT_EQ(dev->setCommTimeouts(Timeouts(0, 0, 5000)), 0);
  ASSERT_EQ(dev->setCommMask(EV_RXCHAR), 0);
  constexpr size_t kTotal = 512 * 1024;
  std::string sent(kTotal, '\0');
  for (size_t i = 0; i < kTotal; ++i) sent[i] = char((i * 7 + i / 251) & 0xFF);
  const auto deadline = Clock::now() + 60s;
  std::thread writer([&] {
    for (size_t off = 0; off < kTotal && Clock::now() < deadline;) {
      pollfd p{pty.master, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::write(pty.master, sent.data() + off, std::min<size_t>(kTotal - off, 10000));
      if (n > 0) off += size_t(n);
    }
  });
  std::string got;
  size_t piece = 1;
  while (got.size() < kTotal && Clock::now() < deadline) {
    uint32_t errors = 0;
    int in = 0;
    ASSERT_EQ(dev->clearCommError(errors, in, nullptr), 0);
    got += ReadAll(*dev, int(std::min(piece, kTotal - got.size())));
    piece = piece * 5 % 70001 + 1;
  }
  writer.join();
  ASSERT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == sent) << "first difference at byte "
                           << std::mismatch(got.begin(), got.end(), sent.begin()).first - got.begin();
  ASSERT_EQ(dev->setCommMask(0), 0);
}

TEST(TermiosDeviceWrite, StalledLineEndsWithTheBytesWrittenSoFar) {
  TestPty pty;  // the master never reads
  auto dev = OpenPty(pty);
  ASSERT_TRUE(dev);
  ASSERT_EQ(dev->setCommState(LineDcb(115200)), 0);
  CommTimeouts t;
  t.WriteTotalTimeoutConstant = 200;
  ASSERT_EQ(dev->setCommTimeouts(t), 0);
  std::vector<uint8_t> big(1 << 20, 'w');
  int done = -1;
  const auto t0 = Clock::now();
  EXPECT_EQ(dev->write(big.data(), static_cast<int>(big.size()), done), 0);
  EXPECT_GT(done, 0);
  EXPECT_LT(done, static_cast<int>(big.size()));
  EXPECT_GE(Ms(Clock::now() - t0), 190);
}


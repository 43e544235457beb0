// SPDX-License-Identifier: MIT
// The port over real devices: pseudo-terminal pairs and the built-in virtual ports.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <fstream>
#include <thread>

#include "comport.h"
#include "device/virtualports.h"
#include "test_app.h"
#include "test_pty.h"

namespace {
// Reads what the master side receives within `ms`.
std::string ReadMaster(int fd, size_t want, int ms = 3000) {
  std::string got;
  QElapsedTimer t;
  t.start();
  while (got.size() < want && t.elapsed() < ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  return got;
}
}  // namespace

TEST(PortOnDevices, OpenFailuresCarryTheSystemError) {
  EnsureApp();
  TComPort missing;
  missing.SetPort("/dev/ttyNOSUCH0");
  EXPECT_EQ(ExpectOpenError(missing), ENOENT);

  // A regular file is never opened as a port, and is left as it was.
  QTemporaryDir dir;
  const std::string file = dir.filePath("settings.txt").toStdString();
  std::ofstream(file) << "keep me";
  TComPort regular;
  regular.SetPort(file);
  EXPECT_EQ(ExpectOpenError(regular), ENOTTY);
  std::ifstream in(file);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "keep me");

  // A port in use by another window fails with EBUSY, on a virtual port and a tty.
  TComPort first, second;
  first.SetPort("LOOPBACK");
  second.SetPort("LOOPBACK");
  first.Open();
  EXPECT_EQ(ExpectOpenError(second), EBUSY);
  first.Close();
  second.Open();
  EXPECT_TRUE(second.Connected());

  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TComPort a, b;
  a.SetPort(pty.slavePath);
  b.SetPort(pty.slavePath);
  a.Open();
  EXPECT_EQ(ExpectOpenError(b), EBUSY);
}

TEST(PortOnDevices, BlockingTransfersOverAPseudoTerminal) {
  EnsureApp();
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TComPort port;
  port.SetPort(pty.slavePath);
  port.SetEvents({});
  port.Open();
  EXPECT_EQ(port.SendText("hello\r"), 6);
  EXPECT_EQ(ReadMaster(pty.master, 6), "hello\r");

  ASSERT_TRUE(pty.send(std::string("\0ab\xff", 4)));
  ASSERT_TRUE(WaitUntil([&] { return port.InputCount() == 4; }));
  std::string s;
  EXPECT_EQ(port.ReceiveText(s, 10), 4);  // returns at once with what waits
  EXPECT_EQ(s, std::string("\0ab\xff", 4));
  EXPECT_EQ(port.ReceiveText(s, 10), 0);
  // A pseudo-terminal has no modem lines: they read off, DTR/RTS are accepted.
  EXPECT_TRUE(port.Signals().Empty());
  port.SetDTRLine(true);
  port.SetRTSLine(true);
}

TEST(PortOnDevices, WriteOnAStalledLineTimesOutWithWhatWasWritten) {
  EnsureApp();
  TestPty pty;  // the master never reads: the line stalls once the buffers are full
  ASSERT_TRUE(pty.ok());
  TComPort port;
  port.SetPort(pty.slavePath);
  port.SetEvents({});
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(300);
  port.Open();
  const std::string block(1 << 20, 'x');
  const int32_t written = port.SendText(block);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int32_t>(block.size()));
}

TEST(PortOnDevices, AnUnreadByteRaisesOneRxCharNotAStream) {
  EnsureApp();
  for (TSyncMethod method : {smWindowSync, smThreadSync}) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    TComPort port;
    port.SetPort(pty.slavePath);
    port.SetSyncMethod(method);
    std::atomic<int> events{0};
    int32_t lastCount = 0;
    port.OnRxChar = [&](QObject*, int32_t count) {  // leaves the byte unread
      ++events;
      lastCount = count;
    };
    port.Open();
    ASSERT_TRUE(pty.send("k"));
    ASSERT_TRUE(WaitUntil([&] { return events.load() >= 1; }));
    WaitUntil([] { return false; }, 300);
    EXPECT_EQ(events.load(), 1) << method;
    EXPECT_EQ(lastCount, 1);
    // New bytes are a new arrival; the count covers all that wait.
    ASSERT_TRUE(pty.send("lm"));
    ASSERT_TRUE(WaitUntil([&] { return events.load() >= 2; }));
    EXPECT_EQ(lastCount, 3);
  }
}

TEST(PortOnDevices, RingBreakAndLineErrorsOnAVirtualPort) {
  EnsureApp();
  TComPort port;
  port.SetPort("NULLMODEM-A");
  port.SetSyncMethod(smWindowSync);
  int rings = 0, breaks = 0;
  std::vector<TComErrors> errors;
  port.OnRing = [&](QObject*) { ++rings; };
  port.OnBreak = [&](QObject*) { ++breaks; };
  port.OnError = [&](QObject*, TComErrors e) { errors.push_back(e); };
  port.Open();
  using namespace serivox::device;
  ASSERT_EQ(RaiseVirtualRing("NULLMODEM-A"), 0);
  ASSERT_TRUE(WaitUntil([&] { return rings == 1; }));
  ASSERT_EQ(RaiseVirtualBreak("NULLMODEM-A"), 0);
  ASSERT_TRUE(WaitUntil([&] { return breaks == 1; }));
  ASSERT_EQ(RaiseVirtualLineErrors("NULLMODEM-A", CE_FRAME | CE_OVERRUN), 0);
  ASSERT_TRUE(WaitUntil([&] {
    for (TComErrors e : errors)
      if (e.Contains(errFrame) && e.Contains(errOverrun)) return true;
    return false;
  }));
  // A parity error counts only while parity checking is on.
  errors.clear();
  ASSERT_EQ(RaiseVirtualLineErrors("NULLMODEM-A", CE_RXPARITY), 0);
  WaitUntil([] { return false; }, 200);
  for (TComErrors e : errors) EXPECT_FALSE(e.Contains(errRxParity));
  port.Parity().SetCheck(true);
  ASSERT_EQ(RaiseVirtualLineErrors("NULLMODEM-A", CE_RXPARITY), 0);
  ASSERT_TRUE(WaitUntil([&] {
    for (TComErrors e : errors)
      if (e.Contains(errRxParity)) return true;
    return false;
  }));
}

TEST(PortOnDevices, NullModemCarriesDataAndLines) {
  EnsureApp();
  TComPort a, b;
  a.SetPort("NULLMODEM-A");
  b.SetPort("NULLMODEM-B");
  a.SetBaudRate(br115200);
  b.SetBaudRate(br115200);
  a.SetSyncMethod(smWindowSync);
  b.SetSyncMethod(smWindowSync);
  std::string received;
  bool dsr = false, cts = false;
  b.OnRxChar = [&](QObject*, int32_t n) {
    std::string s;
    b.ReceiveText(s, n);
    received += s;
  };
  b.OnDSRChange = [&](QObject*, bool on) { dsr = on; };
  b.OnCTSChange = [&](QObject*, bool on) { cts = on; };
  a.Open();
  b.Open();
  EXPECT_EQ(a.SendText("over the cable"), 14);
  ASSERT_TRUE(WaitUntil([&] { return received == "over the cable"; }));
  a.SetDTRLine(true);
  a.SetRTSLine(true);
  ASSERT_TRUE(WaitUntil([&] { return dsr && cts; }));
  EXPECT_TRUE(b.Signals().Contains(sgRLSD));
  a.SetRTSLine(false);
  ASSERT_TRUE(WaitUntil([&] { return !cts; }));
}

TEST(PortOnDevices, HangUpIsReportedOnceAndThePortStillCloses) {
  EnsureApp();
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TComPort port;
  port.SetPort(pty.slavePath);
  port.SetSyncMethod(smWindowSync);
  std::vector<TComErrors> errors;
  port.OnError = [&](QObject*, TComErrors e) { errors.push_back(e); };
  port.Open();
  pty.closeMaster();  // the adapter is pulled out
  ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
  WaitUntil([] { return false; }, 300);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].Contains(errIO));
  EXPECT_THROW(port.SendText("x"), EComPort);
  port.Close();
  EXPECT_FALSE(port.Connected());
}

// DTR and RTS follow the control modes at open and on every change; the
// loopback plug shows them on DSR/RLSD and CTS.
TEST(PortOnDevices, ControlModesDriveDtrAndRts) {
  EnsureApp();
  TComPort port;
  port.SetPort("LOOPBACK");
  port.FlowControl().SetControlDTR(dtrDisable);
  port.FlowControl().SetControlRTS(rtsDisable);
  port.Open();
  EXPECT_TRUE(port.Signals().Empty());
  port.FlowControl().SetControlDTR(dtrEnable);
  EXPECT_EQ(port.Signals(), (TComSignals{sgDSR, sgRLSD}));
  port.FlowControl().SetControlRTS(rtsEnable);
  EXPECT_EQ(port.Signals(), (TComSignals{sgCTS, sgDSR, sgRLSD}));
  port.FlowControl().SetControlDTR(dtrHandshake);  // no DTR handshake here: the line stays up
  port.FlowControl().SetControlRTS(rtsToggle);     // up only while a write goes out
  EXPECT_EQ(port.Signals(), (TComSignals{sgDSR, sgRLSD}));
  // At 300 baud the write takes 0.2 s; the line is watched meanwhile.
  port.SetBaudRate(br300);
  std::atomic<bool> writing{true}, ctsDuringWrite{false};
  std::thread watcher([&] {
    while (writing) {
      uint32_t status = 0;
      port.Handle()->getModemStatus(status);
      if (status & MS_CTS_ON) ctsDuringWrite = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  port.SendText("toggle");
  writing = false;
  watcher.join();
  EXPECT_TRUE(ctsDuringWrite);
  EXPECT_EQ(port.Signals(), (TComSignals{sgDSR, sgRLSD}));  // dropped once the bytes have left
  port.FlowControl().SetControlDTR(dtrDisable);
  EXPECT_TRUE(port.Signals().Empty());
  port.Close();
  // Opened again with the modes disabled, the lines start down.
  port.Open();
  EXPECT_TRUE(port.Signals().Empty());
}

// A name that is not a terminal is refused before anything opens it: a
// regular file, a FIFO, a folder and a device of another kind.
TEST(PortOnDevices, NamesThatAreNotTerminalsAreNeverOpened) {
  EnsureApp();
  QTemporaryDir dir;
  const std::string file = dir.filePath("file").toStdString();
  const std::string fifo = dir.filePath("fifo").toStdString();
  const std::string folder = dir.filePath("folder").toStdString();
  const std::string device = dir.filePath("null").toStdString();
  std::ofstream(file) << "x";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::vector<std::string> names{file, fifo, folder};
  // The null device (1:3) stands for any device that is not a tty.
  if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) names.push_back(device);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  for (const std::string& name : names) ASSERT_GE(inotify_add_watch(watch, name.c_str(), IN_OPEN), 0) << name;
  for (const std::string& name : names) {
    TComPort port;
    port.SetPort(name);
    EXPECT_EQ(ExpectOpenError(port), ENOTTY) << name;
  }
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "a name that is not a terminal was opened";
  close(watch);
  // A pseudo-terminal is a terminal.
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TComPort port;
  port.SetPort(pty.slavePath);
  port.Open();
  EXPECT_TRUE(port.Connected());
}

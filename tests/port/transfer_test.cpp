// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>

#include "fake_device.h"

namespace {
struct LinkLog {
  std::vector<std::string> entries;
  TComLink link;
  LinkLog() {
    link.OnTx = [this](QObject*, bool on) { entries.push_back(on ? "Tx1" : "Tx0"); };
    link.OnRx = [this](QObject*, bool on) { entries.push_back(on ? "Rx1" : "Rx0"); };
    link.OnTxBuf = [this](QObject*, const uint8_t* b, int32_t n) {
      entries.push_back("TxBuf:" + std::string(reinterpret_cast<const char*>(b), n));
    };
  }
};
using Entries = std::vector<std::string>;

FakePort* OpenFake(FakePort& port) {
  port.SetEvents({});
  port.Open();
  return &port;
}
}  // namespace

TEST(Transfer, WriteNotifiesTxThenTxBufWithTheBytes) {
  FakePort port;
  OpenFake(port);
  LinkLog log;
  port.RegisterLink(&log.link);
  EXPECT_EQ(port.SendText("ABC"), 3);
  EXPECT_EQ(log.entries, (Entries{"Tx1", "TxBuf:ABC"}));
  EXPECT_EQ(port.shared->Count("write:ABC"), 1);

  log.entries.clear();
  const uint8_t bytes[] = {0, 1, 2};
  EXPECT_EQ(port.SendBuffer(bytes, 3), 3);
  EXPECT_EQ(log.entries, (Entries{"Tx1", "TxBuf:" + std::string("\0\1\2", 3)}));

  log.entries.clear();
  EXPECT_EQ(port.SendText(""), 0);
  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(port.shared->Count("write:"), 0);
}

TEST(Transfer, ReadReturnsWhatWaitsAndReportsAnEmptyQueue) {
  FakePort port;
  OpenFake(port);
  LinkLog log;
  port.RegisterLink(&log.link);
  port.shared->PushInput("wxyz");
  std::string s;
  EXPECT_EQ(port.ReceiveText(s, 10), 4);
  EXPECT_EQ(s, "wxyz");
  EXPECT_EQ(log.entries, Entries{"Rx0"});

  // Bytes left behind: no OnRx false.
  log.entries.clear();
  port.shared->PushInput("12345");
  char buf[2];
  EXPECT_EQ(port.ReceiveBuffer(buf, 2), 2);
  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(port.InputCount(), 3);

  s = "old";
  EXPECT_EQ(port.ReceiveText(s, 0), 0);
  EXPECT_EQ(s, "");
  EXPECT_EQ(port.ReceiveText(s, -5), 0);
  EXPECT_EQ(port.shared->Count("read"), 2);
}

TEST(Transfer, OperationsOnAClosedPortFailWithTheirCodeAndEBADF) {
  TComPort port;
  auto expectCode = [](auto call, int code) {
    try {
      call();
      ADD_FAILURE() << "no error for code " << code;
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Code(), code);
      EXPECT_EQ(e.WinCode(), EBADF);
    }
  };
  expectCode([&] { port.InputCount(); }, 10);
  expectCode([&] { port.LineErrors(); }, 10);
  expectCode([&] { port.Signals(); }, 11);
  expectCode([&] { port.SendText("x"); }, 2);
  expectCode([&] { std::string s; port.ReceiveText(s, 1); }, 3);
  expectCode([&] { port.SetDTRLine(true); }, 12);
  expectCode([&] { port.AbortPendingIO(); }, 5);
  // Nothing to write: no device call at all, so no error either.
  EXPECT_EQ(port.SendText(""), 0);
}

TEST(Transfer, MissingOperationRecordIsCode4) {
  TComPort port;
  for (auto call : std::vector<std::function<void()>>{
           [&] { port.StartWrite("a", 1, nullptr); }, [&] { char c; port.StartRead(&c, 1, nullptr); },
           [&] { port.WaitForCompletion(nullptr); }}) {
    try {
      call();
      ADD_FAILURE();
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Code(), 4);
      EXPECT_EQ(e.WinCode(), -1);
    }
  }
  // A record that was never started completes at once with nothing.
  PAsync op = nullptr;
  port.AllocAsync(op);
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(port.WaitForCompletion(op), 0);
  port.ReleaseAsync(op);
  EXPECT_EQ(op, nullptr);
}

TEST(Transfer, LineControlAndQueries) {
  FakePort port;
  OpenFake(port);
  port.SetDTRLine(true);
  port.SetRTSLine(false);
  EXPECT_EQ(port.shared->Count("escape:5"), 1);
  EXPECT_EQ(port.shared->Count("escape:4"), 1);
  port.shared->modemStatus = MS_CTS_ON | MS_RING_ON | MS_RLSD_ON;
  EXPECT_EQ(port.Signals(), (TComSignals{sgCTS, sgRing, sgRLSD}));
  port.shared->lineErrors = CE_FRAME | CE_RXPARITY | CE_BREAK | CE_IOE | 0x0020;
  EXPECT_EQ(port.LineErrors(), (TComErrors{errFrame, errBreak, errIO}));  // no parity check
  EXPECT_TRUE(port.LineErrors().Empty());                                 // cleared by the read
  port.Parity().SetCheck(true);
  port.shared->lineErrors = CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_TXFULL | CE_MODE;
  EXPECT_EQ(port.LineErrors(), (TComErrors{errRxParity, errOverrun, errRxOver, errTxFull, errMode}));
  port.AbortPendingIO();
  EXPECT_EQ(port.shared->Count("purge:3"), 1);
}

TEST(Links, RegistrationRules) {
  TComPort port;
  TComLink a, b;
  port.RegisterLink(&a);
  try {
    port.RegisterLink(&a);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 18);
    EXPECT_STREQ(e.what(), "Link (un)registration failed");
  }
  EXPECT_EQ(port.Links().size(), 1u);
  EXPECT_THROW(port.UnregisterLink(&b), EComPort);
  EXPECT_FALSE(port.HasRxBufLink());
  // Assigned after registration: noticed at the next (un)registration only.
  a.OnRxBuf = [](QObject*, const uint8_t*, int32_t) {};
  EXPECT_FALSE(port.HasRxBufLink());
  port.RegisterLink(&b);
  EXPECT_TRUE(port.HasRxBufLink());
  port.UnregisterLink(&a);
  EXPECT_FALSE(port.HasRxBufLink());
  EXPECT_EQ(port.Links(), std::vector<TComLink*>{&b});
}

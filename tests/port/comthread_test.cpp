// SPDX-License-Identifier: MIT
// Event thread and delivery, over the scripted device.
#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <thread>

#include "fake_device.h"
#include "test_app.h"

namespace {
using Entries = std::vector<std::string>;

// Records the handlers' calls; safe to use from the event thread (smNone).
struct Recorder {
  std::mutex mutex;
  Entries entries;
  std::vector<std::thread::id> threads;
  void Add(const std::string& e) {
    std::lock_guard lock(mutex);
    entries.push_back(e);
    threads.push_back(std::this_thread::get_id());
  }
  size_t Size() {
    std::lock_guard lock(mutex);
    return entries.size();
  }
  Entries Get() {
    std::lock_guard lock(mutex);
    return entries;
  }
  void Clear() {
    std::lock_guard lock(mutex);
    entries.clear();
    threads.clear();
  }
  void Watch(TCustomComPort& port, bool readOnRxChar = true) {
    port.OnError = [this](QObject*, TComErrors e) { Add("Error:" + std::to_string(e.Raw())); };
    port.OnRxChar = [this, &port, readOnRxChar](QObject*, int32_t n) {
      Add("RxChar:" + std::to_string(n));
      if (readOnRxChar) {
        std::string s;
        port.ReceiveText(s, n);
      }
    };
    port.OnCTSChange = [this](QObject*, bool on) { Add(on ? "CTS1" : "CTS0"); };
    port.OnRLSDChange = [this](QObject*, bool on) { Add(on ? "RLSD1" : "RLSD0"); };
    port.OnRing = [this](QObject*) { Add("Ring"); };
    port.OnTxEmpty = [this](QObject*) { Add("TxEmpty"); };
    port.OnRxFlag = [this](QObject*) { Add("RxFlag"); };
    port.OnBreak = [this](QObject*) { Add("Break"); };
    port.OnRx80Full = [this](QObject*) { Add("Rx80Full"); };
    port.OnDSRChange = [this](QObject*, bool on) { Add(on ? "DSR1" : "DSR0"); };
  }
};

class DeliveryOrder : public ::testing::TestWithParam<TSyncMethod> {};
}  // namespace

TEST_P(DeliveryOrder, BatchIsDeliveredInTheFixedOrder) {
  EnsureApp();
  Recorder rec;
  FakePort port;
  port.SetSyncMethod(GetParam());
  port.Open();
  rec.Watch(port);
  port.shared->PushInput("x");
  port.shared->modemStatus = MS_CTS_ON;
  port.shared->lineErrors = CE_FRAME;
  port.shared->PushBatch(EV_RLSD | EV_CTS | EV_RXCHAR | EV_ERR | EV_RING | EV_TXEMPTY | EV_BREAK | EV_DSR |
                         EV_RXFLAG | EV_RX80FULL);
  ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 10; }));
  EXPECT_EQ(rec.Get(), (Entries{"Error:1", "RxChar:1", "TxEmpty", "Break", "Ring", "CTS1", "DSR0", "RxFlag",
                                "RLSD0", "Rx80Full"}));
  const bool onOwner = GetParam() != smNone;
  for (auto id : rec.threads) EXPECT_EQ(id == std::this_thread::get_id(), onOwner);
  port.Close();
}

INSTANTIATE_TEST_SUITE_P(AllSyncMethods, DeliveryOrder, ::testing::Values(smThreadSync, smWindowSync, smNone));

TEST(EventThread, MaskFollowsEventsAndUnwatchedEventsAreNotDelivered) {
  EnsureApp();
  Recorder rec;
  FakePort port;
  port.SetEvents({evRxChar});
  rec.Watch(port);
  port.shared->modemStatus = MS_CTS_ON;
  port.Open();
  EXPECT_EQ(port.shared->Count("setCommMask:1"), 1);
  port.shared->PushBatch(EV_RING | EV_CTS);
  port.shared->PushInput("ab");
  port.shared->PushBatch(EV_RXCHAR);
  ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 4; }));
  // The line reports come from the open itself; the ring and CTS change were not watched.
  EXPECT_EQ(rec.Get(), (Entries{"CTS1", "DSR0", "RLSD0", "RxChar:2"}));
  port.Close();
  // The thread cleared the mask and dropped unread input when it ended;
  // written bytes are left to leave the port.
  EXPECT_EQ(port.shared->Count("setCommMask:0"), 1);
  EXPECT_EQ(port.shared->Count("purge:8"), 1);
  EXPECT_EQ(port.shared->Count("purge:12"), 0);
}

TEST(EventThread, RxCharAfterTheBytesWereReadFiresNothing) {
  EnsureApp();
  Recorder rec;
  FakePort port;
  rec.Watch(port);
  port.Open();
  rec.Clear();
  port.shared->PushInput("abc");
  port.shared->PushBatch(EV_RXCHAR);
  port.shared->PushBatch(EV_RXCHAR);  // a second arrival whose bytes the first handler already took
  port.shared->PushBatch(EV_RING);
  ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 2; }));
  EXPECT_EQ(rec.Get(), (Entries{"RxChar:3", "Ring"}));
  port.Close();
}

TEST(EventThread, RxBufLinksReadOnceAndSuppressRxChar) {
  EnsureApp();
  Recorder rec;
  TComLink a, b, plain;
  FakePort port;
  rec.Watch(port);
  port.OnRxBuf = [&](QObject*, const uint8_t* b, int32_t n) { rec.Add("port:" + std::string((const char*)b, n)); };
  a.OnRxBuf = [&](QObject*, const uint8_t* d, int32_t n) { rec.Add("a:" + std::string((const char*)d, n)); };
  b.OnRxBuf = [&](QObject*, const uint8_t* d, int32_t n) { rec.Add("b:" + std::string((const char*)d, n)); };
  plain.OnRx = [&](QObject*, bool on) { rec.Add(on ? "Rx1" : "Rx0"); };
  port.RegisterLink(&plain);
  port.RegisterLink(&a);
  port.RegisterLink(&b);
  port.Open();
  rec.Clear();
  port.shared->PushInput("12345");
  port.shared->PushBatch(EV_RXCHAR);
  ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 5; }));
  EXPECT_EQ(rec.Get(), (Entries{"Rx1", "Rx0", "port:12345", "a:12345", "b:12345"}));
  EXPECT_EQ(port.shared->Count("read"), 1);
  port.Close();
}

TEST(EventThread, WindowMessageAfterCloseIsIgnored) {
  EnsureApp();
  Recorder rec;
  FakePort port;
  port.SetSyncMethod(smWindowSync);
  rec.Watch(port);
  port.Open();
  port.shared->PushInput("z");
  port.shared->PushBatch(EV_RXCHAR);
  // Let the thread post its message without the owner taking it.
  for (int i = 0; i < 200 && port.shared->PendingBatches() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const size_t before = rec.Size();
  port.Close();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(rec.Size(), before + 3);  // only the three line reports of Close
  for (const auto& e : rec.Get()) EXPECT_NE(e.rfind("RxChar", 0), 0u) << e;
  // An unknown message does nothing.
  port.WindowProc(0x0200);
}

TEST(EventThread, CloseCompletesAThreadSyncDeliveryThatWaits) {
  EnsureApp();
  Recorder rec;
  FakePort port;  // smThreadSync
  rec.Watch(port);
  port.Open();
  port.shared->PushInput("q");
  port.shared->PushBatch(EV_RXCHAR);
  for (int i = 0; i < 200 && port.shared->PendingBatches() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.Close();  // must return, having run the waiting delivery
  Entries got = rec.Get();
  EXPECT_NE(std::find(got.begin(), got.end(), "RxChar:1"), got.end());
  EXPECT_FALSE(port.Connected());
}

TEST(EventThread, HandlerClosingThePortDuringDeliveryDoesNotHang) {
  EnsureApp();
  for (TSyncMethod method : {smThreadSync, smWindowSync}) {
    FakePort port;
    port.SetSyncMethod(method);
    bool closed = false;
    port.OnRxChar = [&](QObject*, int32_t) {
      port.Close();
      closed = true;
    };
    port.OnRing = [&](QObject*) { ADD_FAILURE() << "delivered after close"; };
    port.Open();
    port.shared->PushInput("q");
    port.shared->PushBatch(EV_RXCHAR | EV_RING);
    ASSERT_TRUE(WaitUntil([&] { return closed; })) << method;
    EXPECT_FALSE(port.Connected());
    WaitUntil([] { return false; }, 50);
  }
}

TEST(EventThread, StepErrors) {
  EnsureApp();
  // Window sync: the error goes to the reporter and delivery goes on.
  {
    Recorder rec;
    FakePort port;
    port.SetSyncMethod(smWindowSync);
    rec.Watch(port);
    std::vector<std::string> reported;
    SetExceptionReporter([&](QObject* sender, const std::exception& e) {
      EXPECT_EQ(sender, &port);
      reported.push_back(e.what());
    });
    port.Open();
  rec.Clear();
    port.shared->failClearCommError = EIO;
    port.shared->PushBatch(EV_RXCHAR | EV_RING);
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 1 && !reported.empty(); }));
    EXPECT_EQ(reported, Entries{"ClearCommError function failed (win error code: 5)"});
    EXPECT_EQ(rec.Get(), Entries{"Ring"});
    port.shared->failClearCommError = 0;
    port.Close();
    SetExceptionReporter(nullptr);
  }
  // Thread sync and no sync: a handler's error reaches the reporter on the
  // application's thread, and later events are still delivered.
  for (TSyncMethod method : {smThreadSync, smNone}) {
    Recorder rec;
    FakePort port;
    port.SetSyncMethod(method);
    rec.Watch(port);
    std::vector<std::string> reported;
    SetExceptionReporter([&](QObject*, const std::exception& e) {
      EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
      reported.push_back(e.what());
    });
    port.OnRing = [&](QObject*) { throw std::runtime_error("handler failed"); };
    port.Open();
    rec.Clear();
    port.shared->PushBatch(EV_RING);
    port.shared->PushBatch(EV_RXFLAG);
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= 1 && !reported.empty(); })) << method;
    EXPECT_EQ(reported, Entries{"handler failed"});
    EXPECT_EQ(rec.Get(), Entries{"RxFlag"});
    EXPECT_TRUE(port.Connected());
    port.Close();
    EXPECT_FALSE(port.Connected());
    SetExceptionReporter(nullptr);
  }
}

// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "fake_device.h"
#include "test_app.h"

namespace {
// Records the port's notifications and its links' in one list.
struct Journal {
  std::vector<std::string> entries;
  TComLink link;

  void Watch(TCustomComPort& port, const std::string& linkName = "link") {
    auto onOff = [](bool on) { return std::string(on ? "1" : "0"); };
    port.OnBeforeOpen = [this](QObject*) { entries.push_back("BeforeOpen"); };
    port.OnAfterOpen = [this](QObject*) { entries.push_back("AfterOpen"); };
    port.OnBeforeClose = [this](QObject*) { entries.push_back("BeforeClose"); };
    port.OnAfterClose = [this](QObject*) { entries.push_back("AfterClose"); };
    port.OnCTSChange = [=, this](QObject*, bool on) { entries.push_back("CTS" + onOff(on)); };
    port.OnDSRChange = [=, this](QObject*, bool on) { entries.push_back("DSR" + onOff(on)); };
    port.OnRLSDChange = [=, this](QObject*, bool on) { entries.push_back("RLSD" + onOff(on)); };
    link.OnConn = [=, this](QObject*, bool on) { entries.push_back(linkName + ".Conn" + onOff(on)); };
    link.OnCTSChange = [=, this](QObject*, bool on) { entries.push_back(linkName + ".CTS" + onOff(on)); };
    link.OnDSRChange = [=, this](QObject*, bool on) { entries.push_back(linkName + ".DSR" + onOff(on)); };
    link.OnRLSDChange = [=, this](QObject*, bool on) { entries.push_back(linkName + ".RLSD" + onOff(on)); };
    port.RegisterLink(&link);
  }
};
using Entries = std::vector<std::string>;
}  // namespace

TEST(Lifecycle, OpenAndCloseNotifyInTheirFixedOrder) {
  EnsureApp();
  TComLink second;  // links outlive the port they are registered with
  Journal j;
  FakePort port;
  j.Watch(port);
  std::vector<std::string>* entries = &j.entries;
  second.OnConn = [entries](QObject*, bool on) { entries->push_back(on ? "second.Conn1" : "second.Conn0"); };
  second.OnCTSChange = [entries](QObject*, bool on) { entries->push_back(on ? "second.CTS1" : "second.CTS0"); };
  port.RegisterLink(&second);
  port.shared->modemStatus = MS_CTS_ON | MS_RLSD_ON;

  port.Open();
  EXPECT_EQ(j.entries, (Entries{"BeforeOpen", "link.Conn1", "second.Conn1", "AfterOpen", "link.CTS1", "second.CTS1",
                                "CTS1", "link.DSR0", "DSR0", "link.RLSD1", "RLSD1"}));
  // Settings reach the device in the order queue sizes, record, time-outs.
  std::vector<std::string> applies;
  for (const auto& c : port.shared->calls)
    if (c == "setupComm" || c == "setCommState" || c == "setCommTimeouts") applies.push_back(c);
  EXPECT_EQ(applies, (Entries{"setupComm", "setCommState", "setCommTimeouts"}));
  EXPECT_TRUE(port.ThreadCreated());

  j.entries.clear();
  port.Close();
  EXPECT_EQ(j.entries, (Entries{"link.CTS0", "second.CTS0", "link.DSR0", "link.RLSD0", "CTS0", "DSR0", "RLSD0",
                                "BeforeClose", "link.Conn0", "second.Conn0", "AfterClose"}));
  EXPECT_TRUE(port.shared->destroyed);
  EXPECT_FALSE(port.ThreadCreated());
  EXPECT_EQ(port.Handle(), nullptr);
}

TEST(Lifecycle, ConnectedTwiceOpensOnceAndClosedCloseFiresNothing) {
  Journal j;
  FakePort port;
  port.SetEvents({});
  j.Watch(port);
  port.SetConnected(false);
  EXPECT_TRUE(j.entries.empty());
  port.SetConnected(true);
  port.SetConnected(true);
  EXPECT_EQ(std::count(j.entries.begin(), j.entries.end(), "AfterOpen"), 1);
  EXPECT_EQ(port.shared->Count("setCommState"), 1);
  // With Events empty no thread is started, but the line reports still come.
  EXPECT_FALSE(port.ThreadCreated());
  EXPECT_EQ(port.Window(), nullptr);
  EXPECT_NE(std::find(j.entries.begin(), j.entries.end(), "RLSD0"), j.entries.end());
}

TEST(Lifecycle, OpenFailureLeavesThePortClosed) {
  Journal j;
  FakePort port;
  port.openFailure = ENOENT;
  j.Watch(port);
  try {
    port.Open();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(e.WinCode(), 2);
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(j.entries, Entries{"BeforeOpen"});
}

TEST(Lifecycle, ApplyFailureDuringOpenClosesTheDeviceAgain) {
  Journal j;
  FakePort port;
  port.shared->failSetCommState = EINVAL;
  j.Watch(port);
  EXPECT_THROW(port.Open(), EComPort);
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(port.shared->destroyed);
  EXPECT_EQ(j.entries, Entries{"BeforeOpen"});
}

TEST(Lifecycle, PurgeFailureKeepsThePortOpen) {
  FakePort port;
  port.SetEvents({});
  port.Open();
  port.shared->failPurge = EIO;
  try {
    port.Close();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 5);
  }
  EXPECT_TRUE(port.Connected());
  port.shared->failPurge = 0;
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST(Lifecycle, SettingsUpdateNestingAppliesOnceAtTheOutermostEnd) {
  FakePort port;
  port.SetEvents({});
  port.Open();
  port.shared->calls.clear();
  port.BeginSettingsUpdate();
  port.BeginSettingsUpdate();
  port.SetBaudRate(br57600);
  port.Timeouts().SetReadTotalConstant(10);
  port.Buffer().SetOutputSize(2048);
  port.EndSettingsUpdate();
  EXPECT_TRUE(port.shared->calls.empty());
  port.EndSettingsUpdate();
  EXPECT_EQ(port.shared->calls, (Entries{"setupComm", "setCommState", "setCommTimeouts"}));
  port.EndSettingsUpdate();
  EXPECT_EQ(port.UpdateCount(), 0);
  EXPECT_EQ(port.shared->calls.size(), 3u);
}

TEST(Lifecycle, OpenDuringUpdateAppliesNothingUntilTheEnd) {
  EnsureApp();
  FakePort port;
  port.BeginSettingsUpdate();
  port.Open();
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(port.ThreadCreated());
  EXPECT_EQ(port.shared->Count("setCommState"), 0);
  port.EndSettingsUpdate();
  EXPECT_EQ(port.shared->Count("setCommState"), 1);
}

TEST(Lifecycle, SyncMethodIsRefusedWhileOpen) {
  EnsureApp();
  FakePort port;
  port.Open();
  port.SetSyncMethod(smThreadSync);  // same value: nothing
  try {
    port.SetSyncMethod(smWindowSync);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 14);
    EXPECT_EQ(e.WinCode(), -1);
    EXPECT_STREQ(e.what(), "Cannot set property while connected");
  }
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  port.Close();
  port.SetSyncMethod(smWindowSync);
  EXPECT_EQ(port.SyncMethod(), smWindowSync);
}

TEST(Lifecycle, PortNameChangeReopensAnOpenPort) {
  Journal j;
  FakePort port;
  port.SetEvents({});
  j.Watch(port);
  port.Open();
  j.entries.clear();
  port.SetPort("com1");  // letter case counts
  EXPECT_EQ(std::count(j.entries.begin(), j.entries.end(), "AfterClose"), 1);
  EXPECT_EQ(std::count(j.entries.begin(), j.entries.end(), "AfterOpen"), 1);
  EXPECT_TRUE(port.Connected());
  j.entries.clear();
  port.SetPort("com1");
  EXPECT_TRUE(j.entries.empty());
}

TEST(Lifecycle, LoadingRecordsConnectedAndOpensWhenLoaded) {
  FakePort port;
  port.SetEvents({});
  port.BeginLoading();
  port.SetConnected(true);
  port.SetBaudRate(br300);
  port.SetSyncMethod(smNone);
  EXPECT_EQ(port.Handle(), nullptr);
  EXPECT_EQ(port.shared->Count("setCommState"), 0);
  port.Loaded();
  EXPECT_TRUE(port.Connected());
  EXPECT_NE(port.Handle(), nullptr);
  EXPECT_EQ(port.shared->lastDcb.BaudRate, 300u);

  // A failing open at the end of loading goes to the exception reporter.
  FakePort failing;
  failing.openFailure = EBUSY;
  std::string reported;
  SetExceptionReporter([&](QObject*, const std::exception& e) { reported = e.what(); });
  failing.BeginLoading();
  failing.SetConnected(true);
  failing.Loaded();
  SetExceptionReporter(nullptr);
  EXPECT_FALSE(failing.Connected());
  EXPECT_EQ(reported, "Unable to open com port (win error code: 16)");
}

TEST(Errors, MessagesAndCodes) {
  EComPort e7(7, 5);
  EXPECT_EQ(e7.Code(), 7);
  EXPECT_EQ(e7.WinCode(), 5);
  EXPECT_STREQ(e7.what(), "SetCommState function failed (win error code: 5)");
  EComPort e18(18);
  EXPECT_EQ(e18.WinCode(), -1);
  EXPECT_STREQ(e18.what(), "Link (un)registration failed");
  EXPECT_EQ(ComErrorMessage(19), "Cannot change led state if ComPort is selected");
  EXPECT_EQ(ComErrorMessage(23), "Registry error");
  EXPECT_EQ(ComErrorMessage(0), "");
  EXPECT_EQ(ComErrorMessage(24), "");
  for (int code = 1; code <= 23; ++code) EXPECT_FALSE(ComErrorMessage(code).empty()) << code;
}

TEST(Lifecycle, DestroyingAnOpenPortClosesItAndSendsTheFreeNotification) {
  EnsureApp();
  auto shared = std::make_shared<FakeDevice::Shared>();
  bool notified = false;
  {
    FakePort port;
    shared = port.shared;
    port.SetSyncMethod(smWindowSync);
    port.Open();
    QObject::connect(&port, &TCustomComPort::FreeNotification, [&](TCustomComPort* p) {
      notified = true;
      EXPECT_FALSE(p->Connected());
      EXPECT_TRUE(p->Links().empty());
    });
  }
  EXPECT_TRUE(notified);
  EXPECT_TRUE(shared->destroyed);
}

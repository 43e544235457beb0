// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "fake_device.h"

// Every test runs on an open FakePort unless it says otherwise, so that each
// push is recorded.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetEvents({});
    port.Open();
    port.shared->calls.clear();
  }
  int Pushes(const char* call) { return port.shared->Count(call); }
  FakePort port;
};

TEST(SettingsDefaults, NewPort) {
  TComPort port;
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.Events(), kAllComEvents);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_EQ(port.StoredGroups(), TSettingsGroups{grBasic});
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.FlowControl().XonChar(), 17);
  EXPECT_EQ(port.FlowControl().XoffChar(), 19);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Handle(), nullptr);
}

TEST_F(SettingsTest, ScalarSettersPushOnlyOnChange) {
  port.SetBaudRate(br9600);
  port.SetDataBits(dbEight);
  port.SetStopBits(sbOneStopBit);
  port.SetDiscardNull(false);
  port.SetEventChar(0);
  port.SetCustomBaudRate(9600);
  port.Parity().SetBits(prNone);
  port.FlowControl().SetXonChar(17);
  port.Timeouts().SetReadInterval(-1);
  port.Buffer().SetInputSize(1024);
  EXPECT_TRUE(port.shared->calls.empty());

  port.SetBaudRate(br115200);
  port.SetCustomBaudRate(250000);  // pushed although the table rate stays
  port.Parity().SetCheck(true);
  port.FlowControl().SetOutDSRFlow(true);
  EXPECT_EQ(Pushes("setCommState"), 4);
  EXPECT_EQ(port.shared->lastDcb.BaudRate, 115200u);
  port.Timeouts().SetWriteTotalConstant(5);
  EXPECT_EQ(Pushes("setCommTimeouts"), 1);
  EXPECT_EQ(port.shared->lastTimeouts.WriteTotalTimeoutConstant, 5u);
  EXPECT_EQ(port.shared->lastTimeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
}

TEST_F(SettingsTest, ObjectAssignmentAndDerivedFlowAlwaysPush) {
  TComParity parity;  // free-standing: stores only
  parity.SetBits(prMark);
  port.SetParity(parity);
  port.SetParity(parity);
  EXPECT_EQ(Pushes("setCommState"), 2);
  EXPECT_EQ(port.Parity().Bits(), prMark);
  EXPECT_EQ(port.Parity().ComPort(), &port);
  port.SetTimeouts(TComTimeouts());
  EXPECT_EQ(Pushes("setCommTimeouts"), 1);
  port.SetBuffer(TComBuffer());
  EXPECT_EQ(Pushes("setupComm"), 1);
  port.FlowControl().SetFlowControl(fcCustom);
  EXPECT_EQ(Pushes("setCommState"), 3);
}

TEST_F(SettingsTest, BufferSizesKeepEvenPositiveValues) {
  port.Buffer().SetInputSize(1025);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(Pushes("setupComm"), 1);
  port.Buffer().SetInputSize(1024);
  EXPECT_EQ(Pushes("setupComm"), 1);
  port.Buffer().SetInputSize(7);
  EXPECT_EQ(port.Buffer().InputSize(), 6);
  port.Buffer().SetInputSize(1);
  EXPECT_EQ(port.Buffer().InputSize(), 0);
  port.Buffer().SetOutputSize(-3);
  EXPECT_EQ(port.Buffer().OutputSize(), -3);
  // The comparison uses the value passed in: 7 differs from the stored 6.
  port.Buffer().SetInputSize(7);
  EXPECT_EQ(Pushes("setupComm"), 5);
}

TEST(DerivedFlowControl, ReadsFromFourFieldsOnly) {
  TComFlowControl f;
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetControlDTR(dtrHandshake);
  f.SetOutDSRFlow(true);
  f.SetDSRSensitivity(true);
  f.SetXonChar(1);
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetControlRTS(rtsEnable);
  EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(DerivedFlowControl, WritingSetsFieldsAndKeepsTheOthers) {
  TComFlowControl f;
  f.SetControlDTR(dtrEnable);
  f.SetOutDSRFlow(true);
  f.SetFlowControl(fcHardware);
  EXPECT_EQ(f.FlowControl(), fcHardware);
  EXPECT_EQ(f.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(f.OutCTSFlow());
  f.SetXonXoffOut(true);
  EXPECT_EQ(f.FlowControl(), fcCustom);
  f.SetFlowControl(fcSoftware);
  EXPECT_EQ(f.ControlRTS(), rtsDisable);
  EXPECT_FALSE(f.OutCTSFlow());
  EXPECT_TRUE(f.XonXoffIn());
  EXPECT_TRUE(f.XonXoffOut());
  f.SetFlowControl(fcCustom);
  EXPECT_EQ(f.FlowControl(), fcSoftware);
  f.SetFlowControl(fcNone);
  EXPECT_EQ(f.FlowControl(), fcNone);
  EXPECT_EQ(f.ControlDTR(), dtrEnable);
  EXPECT_TRUE(f.OutDSRFlow());
}

TEST(SettingsCopy, CopiesFieldsAndRefusesOtherKinds) {
  TComTimeouts a, b;
  a.SetReadTotalConstant(77);
  a.SetWriteTotalMultiplier(3);
  b.Assign(a);
  EXPECT_EQ(b.ReadTotalConstant(), 77);
  EXPECT_EQ(b.WriteTotalMultiplier(), 3);
  TComParity p;
  try {
    b.Assign(p);
    FAIL() << "assigning another kind must fail";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TComParity to a TComTimeouts");
  }
}

TEST_F(SettingsTest, DeviceControlRecord) {
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(123457);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar('?');
  port.SetDataBits(dbSeven);
  port.SetStopBits(sbOne5StopBits);
  port.SetEventChar('\n');
  port.FlowControl().SetControlRTS(rtsToggle);
  port.FlowControl().SetControlDTR(dtrEnable);
  const auto& d = port.shared->lastDcb;
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 123457u);
  EXPECT_TRUE(d.fBinary);
  // Replace without Check sets neither flag and no error character.
  EXPECT_FALSE(d.fParity);
  EXPECT_FALSE(d.fErrorChar);
  EXPECT_EQ(d.ErrorChar, 0);
  EXPECT_EQ(d.XonLim, 256u);
  EXPECT_EQ(d.XoffLim, 256u);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  EXPECT_EQ(d.EvtChar, '\n');
  EXPECT_EQ(d.fRtsControl, RTS_CONTROL_TOGGLE);
  EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
  port.Parity().SetCheck(true);
  EXPECT_TRUE(port.shared->lastDcb.fParity);
  EXPECT_TRUE(port.shared->lastDcb.fErrorChar);
  EXPECT_EQ(port.shared->lastDcb.ErrorChar, '?');
}

TEST_F(SettingsTest, RejectedPushKeepsTheNewValue) {
  port.shared->failSetCommState = EINVAL;
  try {
    port.SetBaudRate(br110);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 7);
    EXPECT_EQ(e.WinCode(), EINVAL);
  }
  EXPECT_EQ(port.BaudRate(), br110);
  EXPECT_TRUE(port.Connected());
}

// SPDX-License-Identifier: MIT
// Timer3's refresh of DTR and RTS: a request reaches the device only when
// the wanted state differs from what the open port last got, and never RTS
// while RTS handshake or toggle drives it. Counted on a device double.
#include <gtest/gtest.h>

#include "app_support.h"
#include "counting_port.h"

namespace {

class LineRefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    std::remove(TSerivox::ConfigPath().c_str());
    SetErrorSink([this](const QString& message) { errors.append(message); });
    TSerivox::MakePort = [this](QObject* owner) { return new CountingPort(owner, counts); };
    w = std::make_unique<TSerivox>();
    TSerivox::MakePort = nullptr;
    w->Timer3->stop();  // ticks come from the test alone
    w->ComPort->SetPort("LOOPBACK");
  }
  void TearDown() override {
    w.reset();
    SetErrorSink({});
    std::remove(TSerivox::ConfigPath().c_str());
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) w->Timer3Timer(w->Timer3);
  }
  bool Dsr() { return w->ComPort->Signals().Contains(sgDSR); }

  std::shared_ptr<LineRequests> counts = std::make_shared<LineRequests>();
  std::unique_ptr<TSerivox> w;
  QStringList errors;
};

}  // namespace

TEST_F(LineRefreshTest, RequestsGoOutOnlyWhenTheWantedStateDiffersFromTheLastSet) {
  w->ComPort->FlowControl().SetControlDTR(dtrEnable);
  w->ComPort->Open();
  EXPECT_TRUE(Dsr());  // raised by the control mode at open
  Ticks(100);
  EXPECT_EQ(counts->dtr, 1);  // the first tick brings both lines to the boxes
  EXPECT_EQ(counts->rts, 1);
  EXPECT_FALSE(Dsr());

  w->ui->DTRCheckBox->setChecked(true);
  Ticks(100);
  EXPECT_EQ(counts->dtr, 2);
  EXPECT_EQ(counts->rts, 1);
  EXPECT_TRUE(Dsr());

  // Settings applied while open set the lines by the control modes again:
  // the next tick brings them back to the boxes.
  w->ComPort->FlowControl().SetControlDTR(dtrDisable);
  EXPECT_FALSE(Dsr());
  Ticks(10);
  EXPECT_EQ(counts->dtr, 3);
  EXPECT_TRUE(Dsr());

  // A port opened again is a new port.
  w->ComPort->Close();
  w->ComPort->Open();
  Ticks(10);
  EXPECT_EQ(counts->dtr, 4);
  EXPECT_EQ(counts->rts, 3);
  w->ComPort->Close();
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(LineRefreshTest, RtsHandshakeAndRtsToggleKeepTheirRts) {
  for (TRTSFlowControl mode : {rtsHandshake, rtsToggle}) {
    SCOPED_TRACE(RTSControlToText(mode));
    counts->dtr = counts->rts = 0;
    w->ComPort->FlowControl().SetControlRTS(mode);
    w->ComPort->Open();
    w->ui->RTSCheckBox->setChecked(mode == rtsToggle);
    Ticks(20);
    EXPECT_EQ(counts->rts, 0);
    EXPECT_EQ(counts->dtr, 1);
    // Leaving those modes hands RTS back to its box.
    w->ComPort->FlowControl().SetControlRTS(rtsDisable);
    Ticks(20);
    EXPECT_EQ(counts->rts, 1);
    EXPECT_EQ(w->ComPort->Signals().Contains(sgCTS), mode == rtsToggle);
    w->ComPort->Close();
  }
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// SPDX-License-Identifier: MIT
// The window's lamps on the loopback plug, and settings handed from a closed
// window to one shown later.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <cstdio>

#include "app_support.h"
#include "device/virtualports.h"
#include "errordisplay.h"
#include "portctl.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    std::remove(TSerivox::ConfigPath().c_str());
    SetErrorSink([this](const QString& message) { errors.append(message); });
  }
  void TearDown() override {
    SetErrorSink({});
    std::remove(TSerivox::ConfigPath().c_str());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
  }
  QStringList errors;
};
}  // namespace

TEST_F(WindowTest, LampsFollowTheLoopbackLines) {
  TSerivox form;
  form.show();
  TComLed* cts = form.ui->ComLed1;
  TComLed* dsr = form.ui->ComLed2;
  TComLed* ri = form.ui->ComLed3;
  TComLed* rlsd = form.ui->ComLed4;
  ri->SetRingDuration(300);
  form.ComPort->SetPort("LOOPBACK");
  form.Button1Click(form.ui->Button1);
  ASSERT_TRUE(form.ComPort->Connected());

  // RTS drives CTS, DTR drives DSR and RLSD; Timer3 asserts the boxes.
  form.ui->RTSCheckBox->setChecked(true);
  ASSERT_TRUE(WaitWithEvents([&] { return cts->State() == lsOn; }));
  // The port raised DTR at open (dtrEnable); the unchecked box drops it.
  ASSERT_TRUE(WaitWithEvents([&] { return dsr->State() == lsOff && rlsd->State() == lsOff; }));
  form.ui->DTRCheckBox->setChecked(true);
  ASSERT_TRUE(WaitWithEvents([&] { return dsr->State() == lsOn && rlsd->State() == lsOn; }));
  EXPECT_EQ(cts->accessibleName(), "CTS: on");
  form.ui->RTSCheckBox->setChecked(false);
  ASSERT_TRUE(WaitWithEvents([&] { return cts->State() == lsOff; }));

  // A ring lights RI, which goes out after its hold time.
  ASSERT_EQ(serivox::device::RaiseVirtualRing("LOOPBACK"), 0);
  ASSERT_TRUE(WaitWithEvents([&] { return ri->State() == lsOn; }));
  ASSERT_TRUE(WaitWithEvents([&] { return ri->State() == lsOff; }));

  // Closing turns every lamp off.
  form.ui->RTSCheckBox->setChecked(true);
  ASSERT_TRUE(WaitWithEvents([&] { return cts->State() == lsOn; }));
  form.Button1Click(form.ui->Button1);
  for (TComLed* lamp : {cts, dsr, ri, rlsd}) EXPECT_EQ(lamp->State(), lsOff);
}

TEST_F(WindowTest, WindowShownLaterStartsWithWhatTheClosedWindowSaved) {
  {
    TSerivox first;
    first.show();
    first.ui->Edit1->setText("ATZ");
    first.ui->ComboBox2->setEditText("crlf");
    first.ui->CheckBox5->setChecked(true);
    first.ComPort->SetBaudRate(br115200);
    first.close();
  }
  TSerivox later;
  later.setWindowTitle("Zelvar Serivox - Slave");
  later.show();
  EXPECT_EQ(later.ui->Edit1->text(), "ATZ");
  EXPECT_EQ(later.ui->ComboBox2->currentText(), "crlf");
  EXPECT_TRUE(later.ui->CheckBox5->isChecked());
  EXPECT_EQ(later.ComPort->BaudRate(), br115200);
  EXPECT_EQ(later.ui->ComComboBox2->Text(), "115200");
  later.close();
}

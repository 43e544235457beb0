// SPDX-License-Identifier: MIT
// The link test: recogniser, statistics, send rate, Start/Stop, Show/Hide,
// and a whole client/server run between two windows over the null modem.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <QTimer>

#include "app_support.h"
#include "errordisplay.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {



int Index(char letter) { return letter - 'A'; }

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    SetErrorSink([this](const QString& m) { errors.append(m); });
    w = new TSerivox;
    w->Timer1->stop();  // ticks are driven by the test
  }
  void TearDown() override {
    w->ComPort->SetConnected(false);
    delete w;
    SetErrorSink({});
  }
  void Parse(const std::string& bytes) {
    for (unsigned char b : bytes) w->ParseTestByte(b);
  }
  int Received() const {
    int n = 0;
    for (int32_t c : w->ReceivedCount) n += c;
    return n;
  }

  TSerivox* w = nullptr;
  QStringList errors;
};

TEST_F(LinkTest, RecognisesAPacketAndItsLetter) {
  Parse("Hello C\n");
  EXPECT_EQ(w->ReceivedCount[Index('C')], 1);
  EXPECT_EQ(w->LastDelay[Index('C')], 0);  // never sent: delay 0
  EXPECT_TRUE(w->PacketSeen);
  EXPECT_EQ(w->ParserState, 0);
  // "Z" is accepted on receipt although the client never sends it.
  Parse("Hello Z\n");
  EXPECT_EQ(w->ReceivedCount[Index('Z')], 1);
}

TEST_F(LinkTest, RejectsMalformedPackets) {
  // An H inside the header is dropped, so "HHello A" never matches.
  Parse("HHello A\n");
  EXPECT_EQ(Received(), 0);
  EXPECT_FALSE(w->PacketSeen);
  // A digit lights the activity lamp but counts nothing.
  Parse("Hello 5\n");
  EXPECT_EQ(Received(), 0);
  EXPECT_TRUE(w->PacketSeen);
  // Two packets without the line feed between: the second's H is consumed.
  Parse("Hello AHello B\n");
  EXPECT_EQ(w->ReceivedCount[Index('A')], 1);
  EXPECT_EQ(w->ReceivedCount[Index('B')], 0);
}

TEST_F(LinkTest, DelayIsMeasuredAgainstTheLastSend) {
  w->SendTick[Index('D')] = TSerivox::GetTickCount() - 40;
  Parse("Hello D\n");
  EXPECT_GE(w->LastDelay[Index('D')], 40);
  EXPECT_LT(w->LastDelay[Index('D')], 40 + 5000);
  // Across the wrap of the 32-bit tick the difference stays small.
  w->SendTick[Index('E')] = TSerivox::GetTickCount() + 0xFFFFFFFFu - 9;  // 10 ms before "now", wrapped
  Parse("Hello E\n");
  EXPECT_GE(w->LastDelay[Index('E')], 10);
  EXPECT_LT(w->LastDelay[Index('E')], 10 + 5000);
}

TEST_F(LinkTest, StatisticsLabels) {
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->ui->Label9->text(), "0");
  EXPECT_EQ(w->ui->Label10->text(), "0");
  EXPECT_EQ(w->ui->Label16->text(), "0");
  EXPECT_EQ(w->ui->Label18->text(), "N/A");
  EXPECT_EQ(w->ui->Label11->text(), "NA");  // no packet sent yet

  w->SentCount[0] = 60;
  w->SentCount[1] = 40;
  w->ReceivedCount[0] = 58;
  w->ReceivedCount[1] = 38;
  w->SendTick[0] = 1;
  w->SendTick[1] = 1;
  w->SendTick[2] = 1;  // sent, never answered: adds 0 to the mean
  w->LastDelay[0] = 20;
  w->LastDelay[1] = 17;
  w->LastDelay[3] = 1000;  // not sent since the start: left out
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->ui->Label9->text(), "100");
  EXPECT_EQ(w->ui->Label10->text(), "96");
  EXPECT_EQ(w->ui->Label16->text(), "4");
  EXPECT_EQ(w->ui->Label18->text(), "12 ms");  // 37 / 3
  EXPECT_EQ(w->ui->Label11->text(), "4.00%");

  // More packets in than out (late echoes after a restart): negative figures.
  w->ReceivedCount[0] = 64;
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->ui->Label16->text(), "-2");
  EXPECT_EQ(w->ui->Label11->text(), "-2.00%");
}

TEST_F(LinkTest, ErrorRateOfALongTestDoesNotOverflow) {
  w->SentCount[0] = 30000000;  // 100 times this is beyond 32 bits
  w->ReceivedCount[0] = 15000000;
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->ui->Label11->text(), "50.00%");
}

TEST_F(LinkTest, SendRateFollowsTheSlider) {
  w->ui->TrackBar1->setValue(20);
  EXPECT_EQ(w->Timer1->interval(), 50);
  EXPECT_EQ(w->ui->Label8->text(), "Interval = 50 ms");
  w->ui->TrackBar1->setValue(7);
  EXPECT_EQ(w->Timer1->interval(), 142);
  EXPECT_EQ(w->ui->Label8->text(), "Interval = 142 ms");
  w->ui->TrackBar1->setValue(1);
  EXPECT_EQ(w->ui->Label8->text(), "Interval = 1000 ms");
}

TEST_F(LinkTest, StartFailsWhenThePortCannotOpen) {
  w->ComPort->SetPort("NO-SUCH-PORT-XYZ");
  EXPECT_ANY_THROW(w->Button6Click(w->ui->Button6));
  EXPECT_FALSE(w->TestRunning);
  EXPECT_EQ(w->ui->Shape2->BrushColor(), clRed);
  EXPECT_EQ(w->ui->Button6->text(), "Start");
}

TEST_F(LinkTest, ClientSendsLettersAToYInTurn) {
  w->ComPort->SetPort("LOOPBACK");
  w->Button6Click(w->ui->Button6);
  ASSERT_TRUE(w->TestRunning);
  EXPECT_EQ(w->ui->Button6->text(), "Stop");
  EXPECT_EQ(w->ui->Shape2->BrushColor(), clLime);
  EXPECT_EQ(w->LetterCounter, 0x40);
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->LetterCounter, 'A');
  EXPECT_EQ(w->ui->Label9->text(), "0");  // counted from the next tick on
  for (int i = 0; i < 25; ++i) w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->LetterCounter, 'A');  // after Y comes A again
  EXPECT_EQ(w->SentCount[Index('A')], 2);
  EXPECT_EQ(w->SentCount[Index('Y')], 1);
  EXPECT_EQ(w->SentCount[Index('Z')], 0);
  EXPECT_EQ(w->SendTick[Index('Z')], 0u);
  EXPECT_NE(w->SendTick[Index('Y')], 0u);
  EXPECT_TRUE(w->ui->GroupBox3->isHidden());
  EXPECT_FALSE(w->ui->Shape3->isHidden());

  // Stop keeps the figures; Start clears them again.
  w->Button6Click(w->ui->Button6);
  EXPECT_FALSE(w->TestRunning);
  EXPECT_EQ(w->ui->Button6->text(), "Start");
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->ui->Label9->text(), "26");
  EXPECT_TRUE(w->ui->Shape3->isHidden());
  EXPECT_FALSE(w->ui->GroupBox3->isHidden());
  w->Button6Click(w->ui->Button6);
  EXPECT_EQ(w->SentCount[Index('A')], 0);
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(LinkTest, ClosedPortSendsNothingWhileRunning) {
  w->ComPort->SetPort("LOOPBACK");
  w->Button6Click(w->ui->Button6);
  w->ComPort->SetConnected(false);
  w->Timer1Timer(w->Timer1);
  EXPECT_TRUE(w->TestRunning);
  EXPECT_EQ(w->LetterCounter, 0x40);
  w->ComPort->SetConnected(true);
  w->Timer1Timer(w->Timer1);
  EXPECT_EQ(w->LetterCounter, 'A');
}

TEST_F(LinkTest, ShowHidePanel) {
  // Shown, so that the layout's minimum width takes part as it does for the operator.
  w->show();
  QCoreApplication::processEvents();
  const int width = w->width();
  const int panel = w->ui->Panel4->width();
  EXPECT_EQ(panel, 171);
  ASSERT_TRUE(w->ui->Panel4->isHidden());
  w->Button10Click(w->ui->Button10);
  EXPECT_FALSE(w->ui->Panel4->isHidden());
  EXPECT_EQ(w->width(), width + panel);

  // Hiding ends both roles.
  w->ComPort->SetPort("LOOPBACK");
  w->ui->CheckBox4->setChecked(true);
  w->Button6Click(w->ui->Button6);
  ASSERT_TRUE(w->TestRunning);
  w->Button10Click(w->ui->Button10);
  EXPECT_TRUE(w->ui->Panel4->isHidden());
  EXPECT_EQ(w->width(), width);
  EXPECT_FALSE(w->ui->CheckBox4->isChecked());
  EXPECT_FALSE(w->TestRunning);
  EXPECT_EQ(w->ui->Shape2->BrushColor(), clRed);
}

TEST_F(LinkTest, GroupBoxesFollowTheRolesAtTheNextTick) {
  w->ui->CheckBox4->setChecked(true);
  EXPECT_FALSE(w->ui->GroupBox4->isHidden());
  w->Timer1Timer(w->Timer1);
  EXPECT_TRUE(w->ui->GroupBox4->isHidden());
  w->ui->CheckBox4->setChecked(false);
  w->Timer1Timer(w->Timer1);
  EXPECT_FALSE(w->ui->GroupBox4->isHidden());
}

// "Test Server" stays at the top of the test column when "Test Client" hides.
TEST_F(LinkTest, TestServerStaysAtTheTopWhenTheClientHides) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  w->Button10Click(w->ui->Button10);
  QGroupBox* server = w->ui->GroupBox3;
  ASSERT_TRUE(WaitWithEvents([&] { return server->isVisible() && server->height() == 49; }));
  const int top = server->y();
  EXPECT_LT(top, 10);
  w->ui->CheckBox4->setChecked(true);
  w->Timer1Timer(w->Timer1);
  ASSERT_TRUE(w->ui->GroupBox4->isHidden());
  QTest::qWait(50);
  QCoreApplication::processEvents();
  EXPECT_EQ(server->y(), top);
  EXPECT_EQ(server->height(), 49);
}

// Two windows in one process: a client at 20 packets/s on NULLMODEM-A and an
// echoing server on NULLMODEM-B, driven by their own timers and port events.
TEST(LinkTestRun, ClientAndEchoServerOverNullModem) {
  EnsureGuiApp();
  CollectedErrors errors;
  {
    TSerivox client;
    TSerivox server;
    server.ComPort->SetPort("NULLMODEM-B");
    server.ComPort->SetConnected(true);
    server.ui->CheckBox4->setChecked(true);
    client.ComPort->SetPort("NULLMODEM-A");
    client.ui->TrackBar1->setValue(20);
    ASSERT_EQ(client.Timer1->interval(), 50);

    // Check every tick of the client: in equals out within one packet in flight.
    int ticks = 0, worst = 0;
    QObject::connect(client.Timer1, &QTimer::timeout, &client, [&] {
      const int out = client.ui->Label9->text().toInt();
      const int in = client.ui->Label10->text().toInt();
      if (out > 0) {
        ++ticks;
        worst = std::max(worst, out - in);
      }
    });
    client.Button6Click(client.ui->Button6);
    ASSERT_TRUE(client.TestRunning);
    ASSERT_TRUE(WaitWithEvents([&] { return client.ui->Label9->text().toInt() >= 60; }, 30000));
    EXPECT_GT(ticks, 20);
    EXPECT_LE(worst, 1);
    EXPECT_GE(worst, 0);
    // Let the last packet come home, then read the figures of one quiet tick.
    client.Button6Click(client.ui->Button6);
    ASSERT_TRUE(WaitWithEvents([&] {
      return client.ui->Label9->text() == client.ui->Label10->text() && client.ui->Label16->text() == "0";
    }));
    EXPECT_EQ(client.ui->Label11->text(), "0.00%");
    EXPECT_TRUE(client.ui->Label18->text().endsWith(" ms"));
    EXPECT_TRUE(server.ui->GroupBox4->isHidden());  // the server role hides the client group

    // The echo switched off: packets go unanswered and the error rate rises.
    server.ui->CheckBox4->setChecked(false);
    client.Button6Click(client.ui->Button6);
    ASSERT_TRUE(WaitWithEvents([&] { return client.ui->Label16->text().toInt() >= 10; }, 30000));
    EXPECT_EQ(client.ui->Label10->text(), "0");
    const double rate = client.ui->Label11->text().chopped(1).toDouble();
    EXPECT_GT(rate, 0.0);
    EXPECT_TRUE(client.ui->Label11->text().endsWith("%"));
    client.Button6Click(client.ui->Button6);
    client.ComPort->SetConnected(false);
    server.ComPort->SetConnected(false);
  }
  EXPECT_TRUE(errors.list.isEmpty()) << errors.joined().toStdString();
}

}  // namespace

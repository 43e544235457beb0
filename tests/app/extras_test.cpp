// SPDX-License-Identifier: MIT
// The controls of a serial terminal beyond the form: framing chosen in the
// window, the break, bytes sent as hexadecimal, Enter's ending and the local
// echo, and the receive pane's menu as assistive technology reads it.
#include <gtest/gtest.h>
#include <termios.h>

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QScrollBar>
#include <QMenu>
#include <QFile>
#include <QTemporaryDir>
#include <QLabel>
#include <QPlainTextEdit>

#include "app_support.h"
#include "hexsend.h"
#include "opencause.h"
#include "portctl.h"
#include "test_pty.h"

namespace {

tcflag_t Cflag(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  return t.c_cflag;
}

// Everything the pseudo-terminal's master can read now, waiting for `count` bytes.
std::string ReadMaster(const TestPty& pty, size_t count) {
  std::string got;
  WaitWithEvents([&] {
    char buf[256];
    const ssize_t n = ::read(pty.master, buf, sizeof buf);
    if (n > 0) got.append(buf, size_t(n));
    return got.size() >= count;
  }, 5000);
  return got;
}

}  // namespace

TEST_F(WindowFixture, FramingChosenInTheWindowReachesTheOpenDeviceAndSurvivesARestart) {
  const QString ini = QString::fromStdString(TSerivox::ConfigPath());
  QFile::remove(ini);
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  fcntl(pty.master, F_SETFL, O_NONBLOCK);
  w->show();
  w->ComPort->SetPort(pty.slavePath);
  w->ComPort->SetBaudRate(br115200);
  w->ComPort->SetConnected(true);
  ASSERT_TRUE(w->ComPort->Connected());

  // Mark parity and two stop bits, chosen while the port is open: the port
  // stays open and the device is reconfigured (a pty keeps CSTOPB, PARODD and
  // CMSPAR, it clears PARENB and forces 8 data bits).
  LineFraming chosen{dbSeven, prMark, sbTwoStopBits};
  w->ChooseFraming = [&](LineFraming& f) {
    f = chosen;
    return true;
  };
  w->LineSettingsAction->trigger();
  EXPECT_TRUE(w->ComPort->Connected());
  EXPECT_EQ(Cflag(pty.master) & (CSTOPB | PARODD | CMSPAR), tcflag_t(CSTOPB | PARODD | CMSPAR));
  EXPECT_EQ(w->LineLabel->text(), "115200 7M2");

  chosen = {dbEight, prSpace, sbOneStopBit};
  w->LineSettingsAction->trigger();
  EXPECT_EQ(Cflag(pty.master) & (CSTOPB | PARODD | CMSPAR), tcflag_t(CMSPAR));
  EXPECT_EQ(w->LineLabel->text(), "115200 8S1");

  // A cancelled dialog changes nothing.
  w->ChooseFraming = [](LineFraming&) { return false; };
  w->LineSettingsAction->trigger();
  EXPECT_EQ(w->ComPort->Parity().Bits(), prSpace);

  // Saved in [ComPort] and back after a restart, with flow control shown.
  w->ComPort->FlowControl().SetFlowControl(fcHardware);
  w->close();
  delete w;
  w = new TSerivox;
  w->show();
  EXPECT_EQ(w->ComPort->DataBits(), dbEight);
  EXPECT_EQ(w->ComPort->Parity().Bits(), prSpace);
  EXPECT_EQ(w->ComPort->StopBits(), sbOneStopBit);
  EXPECT_EQ(w->LineLabel->text(), "115200 8S1, RTS/CTS");
  QFile::remove(ini);
}

TEST_F(WindowFixture, BreakRaisesTheBreakEventAtTheFarEndAndIsRefusedOnAClosedPort) {
  w->BreakAction->trigger();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors.takeFirst().startsWith(QString::fromStdString(ComErrorMessage(CError_EscapeComFailed))));

  w->ComPort->SetPort("LOOPBACK");
  int breaks = 0;
  w->ComPort->OnBreak = [&](QObject*) { ++breaks; };
  w->ComPort->SetConnected(true);
  w->BreakMs = 50;
  w->BreakAction->trigger();
  EXPECT_TRUE(WaitWithEvents([&] { return breaks == 1 && !w->BreakOn; }));
  // A second break after the first has ended is a new break event.
  w->BreakAction->trigger();
  EXPECT_TRUE(WaitWithEvents([&] { return breaks == 2 && !w->BreakOn; }));
}

TEST(HexBytes, GoodEntriesGiveTheirBytesAndMalformedOnesNameThePlace) {
  std::string bytes;
  QString error;
  EXPECT_TRUE(ParseHexBytes("01 03 00 00 00 0A C5 CD", bytes, error));
  EXPECT_EQ(bytes, std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8));
  EXPECT_TRUE(ParseHexBytes(" 0103c5cd\t", bytes, error));
  EXPECT_EQ(bytes, "\x01\x03\xC5\xCD");
  EXPECT_FALSE(ParseHexBytes("01 0G", bytes, error));
  EXPECT_TRUE(error.contains("position 5")) << error.toStdString();
  EXPECT_FALSE(ParseHexBytes("01 030", bytes, error));
  EXPECT_TRUE(error.contains("position 6")) << error.toStdString();
  EXPECT_FALSE(ParseHexBytes("0 1", bytes, error));
  EXPECT_TRUE(error.contains("position 1")) << error.toStdString();
}

TEST_F(WindowFixture, HexIsSentAndLoggedAndAMalformedEntrySendsNothing) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  fcntl(pty.master, F_SETFL, O_NONBLOCK);
  w->ComPort->SetPort(pty.slavePath);
  w->ChooseHexText = [](bool* ok) {
    *ok = true;
    return QStringLiteral("0A0G");
  };
  w->HexAction->trigger();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors.takeFirst().contains("position 4"));
  EXPECT_FALSE(w->ComPort->Connected());  // nothing sent, the port not even opened
  EXPECT_TRUE(w->ui->Memo2->toPlainText().isEmpty());

  w->ChooseHexText = [](bool* ok) {
    *ok = true;
    return QStringLiteral("41 0d");
  };
  w->HexAction->trigger();
  EXPECT_EQ(ReadMaster(pty, 2), "A\r");
  const QStringList log = w->ui->Memo2->toPlainText().split('\n');
  ASSERT_EQ(log.size(), 2);
  EXPECT_TRUE(log[0].startsWith("Hex:  #41  A"));
  EXPECT_TRUE(log[1].startsWith("Hex:  #0D  "));
}

TEST_F(WindowFixture, EnterSendsTheChosenEndingAndLocalEchoShowsTypedBytesApart) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  fcntl(pty.master, F_SETFL, O_NONBLOCK);
  w->ComPort->SetPort(pty.slavePath);
  w->show();
  w->ui->Memo2->setFocus();
  const struct {
    const char* action;
    std::string sent;
  } endings[] = {{"EnterCRAction", "\r"}, {"EnterLFAction", "\n"}, {"EnterCRLFAction", "\r\n"}};
  for (const auto& e : endings) {
    w->findChild<QAction*>(e.action)->trigger();
    QTest::keyClick(w->ui->Memo2, Qt::Key_Return);
    EXPECT_EQ(ReadMaster(pty, e.sent.size()), e.sent) << e.action;
  }
  EXPECT_EQ(w->ui->Memo1->LineCount(), 1);  // no echo by default

  // Echo on: typed bytes form lines of their own, drawn as echo lines;
  // received bytes never join them.
  w->EchoAction->trigger();
  ASSERT_TRUE(pty.send("rx1"));
  ASSERT_TRUE(WaitWithEvents([&] { return w->RxLine == "rx1"; }));
  QTest::keyClicks(w->ui->Memo2, "hi");
  QTest::keyClick(w->ui->Memo2, Qt::Key_Return);
  EXPECT_EQ(ReadMaster(pty, 4), "hi\r\n");
  ASSERT_TRUE(pty.send("rx2\r\n"));
  ASSERT_TRUE(WaitWithEvents([&] { return w->RxLine == "rx2\r\n"; }));
  w->Timer3Timer(w);
  LinePane* pane = w->ui->Memo1;
  ASSERT_EQ(pane->LineCount(), 3);
  EXPECT_EQ(pane->Line(0), "rx1");
  EXPECT_FALSE(pane->IsEcho(0));
  EXPECT_EQ(pane->Line(1), "hi\r\n");
  EXPECT_TRUE(pane->IsEcho(1));
  EXPECT_EQ(pane->Line(2), "rx2\r\n");
  EXPECT_FALSE(pane->IsEcho(2));

  // Remembered in [Serivox] only once changed.
  const QString ini = QString::fromStdString(TSerivox::ConfigPath());
  QFile::remove(ini);
  w->close();
  delete w;
  w = new TSerivox;
  w->show();
  EXPECT_TRUE(w->EchoAction->isChecked());
  EXPECT_EQ(w->EnterBytes(), "\r\n");
  QFile::remove(ini);
}

// Qt binds a menu item's accessible interface to the first menu that showed
// the item; the window's own items outlive each menu.
TEST_F(WindowFixture, MenuItemsKeepTheirAccessibleNamesEachTimeTheMenuOpens) {
  w->show();
  for (int round = 1; round <= 3; ++round) {
    std::unique_ptr<QMenu> menu(w->Memo1Menu());
    menu->popup(w->mapToGlobal(QPoint(20, 20)));
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(menu.get());
    ASSERT_NE(list, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(list->childCount(), actions.size());
    for (int i = 0; i < actions.size(); ++i) {
      if (actions[i]->isSeparator()) continue;
      QAccessibleInterface* item = list->child(i);
      ASSERT_NE(item, nullptr);
      EXPECT_TRUE(item->isValid()) << "round " << round << ": " << actions[i]->text().toStdString();
      EXPECT_EQ(item->text(QAccessible::Name), actions[i]->text()) << "round " << round;
    }
    menu->hide();
  }
}

// A port name that has no item in the selector's list is still what
// assistive technology reads as the field's name and value.
TEST_F(WindowFixture, AnUnlistedPortIsTheSelectorsAccessibleValue) {
  TComComboBox* box = w->ui->ComComboBox1;
  for (const char* name : {"/dev/pts/77", "LOOPBACK"}) {
    w->ComPort->SetPort(name);
    box->SetComPort(nullptr);
    box->SetComPort(w->ComPort);
    QAccessibleInterface* field = QAccessible::queryAccessibleInterface(box);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->text(QAccessible::Value), name);
    EXPECT_EQ(field->text(QAccessible::Name), name);
    EXPECT_EQ(field->role(), QAccessible::ComboBox);
  }
}

// A failed open keeps the component's message; the box's informative text
// says why.
TEST_F(WindowFixture, EachOpenErrorTellsItsCause) {
  QStringList details;
  SetErrorDetailSink([&](const QString& message, const QString& detail) {
    errors.append(message);
    details.append(detail);
  });
  auto openFails = [&](const std::string& name) {
    errors.clear();
    details.clear();
    w->ComPort->SetPort(name);
    QTest::mouseClick(w->ui->Button1, Qt::LeftButton);
    EXPECT_FALSE(w->ComPort->Connected()) << name;
    EXPECT_EQ(errors.size(), 1) << name;
    return details.value(0);
  };
  QString detail = openFails("/dev/ttyNOSUCH");
  EXPECT_EQ(errors.value(0), "Unable to open com port (win error code: 2)");
  EXPECT_TRUE(detail.startsWith("There is no device /dev/ttyNOSUCH. Ports present now: ")) << detail.toStdString();
  EXPECT_TRUE(detail.contains("LOOPBACK")) << detail.toStdString();

  // Held by this test's own second port: the program is named by /proc.
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TComPort holder;
  holder.SetPort(pty.slavePath);
  holder.SetConnected(true);
  detail = openFails(pty.slavePath);
  EXPECT_EQ(errors.value(0), "Unable to open com port (win error code: 16)");
  EXPECT_EQ(detail, QString("%1 is in use by app_tests (process %2).")
                        .arg(QString::fromStdString(pty.slavePath))
                        .arg(QCoreApplication::applicationPid()));
  holder.SetConnected(false);

  QTemporaryDir dir;
  const QString file = dir.filePath("plain-file");
  QFile(file).open(QIODevice::WriteOnly);
  detail = openFails(file.toStdString());
  EXPECT_EQ(detail, file + " is not a serial port.");

  // A network port whose host refuses: nothing listens on port 1 here.
  detail = openFails("tcp://127.0.0.1:1");
  EXPECT_EQ(detail, "127.0.0.1 port 1 refused the connection.");
  EXPECT_EQ(OpenErrorCause("rfc2217://example.invalid:2217", ENXIO), "There is no host example.invalid.");
  EXPECT_EQ(OpenErrorCause("tcp://10.1.2.3:4000", ETIMEDOUT), "10.1.2.3 port 4000 did not answer in time.");
  SetErrorSink([this](const QString& m) { errors.append(m); });
  errors.clear();
}

// Tab is a byte in the typing pane; Ctrl+Tab leaves it and the focus goes on
// round the window to Exit. The receive pane drops its selection on End.
TEST_F(WindowFixture, CtrlTabLeavesTheTypingPaneAndTheCycleReachesExit) {
  w->ComPort->SetPort("LOOPBACK");
  w->show();
  QApplication::setActiveWindow(w);
  w->ui->Memo2->setFocus();
  QTest::keyClick(w->ui->Memo2, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), w->ui->Memo2);  // a plain Tab stays: it was sent
  bool reachedExit = false, reachedPane = false;
  // Once round the window, back to the typing pane.
  for (int step = 0; step < 60; ++step) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, Qt::Key_Tab, focus == w->ui->Memo2 ? Qt::ControlModifier : Qt::NoModifier);
    reachedExit = reachedExit || QApplication::focusWidget() == w->ui->Button5;
    reachedPane = reachedPane || QApplication::focusWidget() == w->ui->Memo1;
    if (QApplication::focusWidget() == w->ui->Memo2) break;
  }
  EXPECT_TRUE(reachedExit);
  EXPECT_TRUE(reachedPane);
  // Ctrl+Shift+Tab goes back out of the typing pane the other way.
  w->ui->Memo2->setFocus();
  QTest::keyClick(w->ui->Memo2, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_NE(QApplication::focusWidget(), w->ui->Memo2);
  EXPECT_EQ(w->ui->Memo2->toPlainText(), "\t");  // only the plain Tab was typed

  LinePane* pane = w->ui->Memo1;
  pane->AppendLine("one");
  pane->AppendLine("two");
  pane->setFocus();
  pane->SelectAll();
  QTest::keyClick(pane, Qt::Key_End);
  EXPECT_FALSE(pane->HasSelection());
}

// Find goes from match to match in both directions, round the pane, and
// brings each into view; 100 000 lines are searched at once.
TEST_F(WindowFixture, FindSelectsEachMatchInTurnAndScrollsItIntoView) {
  w->show();
  LinePane* pane = w->ui->Memo1;
  pane->Clear();
  for (int i = 0; i < LinePane::MaxLines; ++i)
    pane->AppendLine(i == 10 || i == 60000 ? "xx Needle " + std::to_string(i) : "line " + std::to_string(i));
  w->FindAction->trigger();
  ASSERT_NE(w->FindDialog, nullptr);
  EXPECT_TRUE(w->FindDialog->isVisible());
  w->FindDialog->findChild<QLineEdit*>("FindText")->setText("needle");
  ASSERT_TRUE(w->FindInPane(false));
  EXPECT_EQ(pane->SelectedText(), "Needle");
  QScrollBar* v = pane->verticalScrollBar();
  auto inView = [&](int line) {
    return line >= v->value() && line < v->value() + pane->viewport()->height() / pane->fontMetrics().lineSpacing();
  };
  EXPECT_TRUE(inView(10)) << v->value();
  ASSERT_TRUE(w->FindInPane(false));
  EXPECT_TRUE(inView(60000)) << v->value();
  ASSERT_TRUE(w->FindInPane(false));  // round to the first again
  EXPECT_TRUE(inView(10)) << v->value();
  ASSERT_TRUE(w->FindInPane(true));   // and back, round the top
  EXPECT_TRUE(inView(60000)) << v->value();

  w->FindDialog->findChild<QCheckBox*>("FindMatchCase")->setChecked(true);
  EXPECT_FALSE(w->FindInPane(false));
  EXPECT_FALSE(w->FindDialog->findChild<QLabel*>("FindStatus")->text().isEmpty());
}

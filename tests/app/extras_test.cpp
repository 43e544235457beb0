// SPDX-License-Identifier: MIT
// The serial-terminal controls beyond the form: framing, break, hex, Enter's
// ending and local echo, find, keyboard reach, open errors' causes, and what
// assistive technology reads of the menu and the port field.
#include <gtest/gtest.h>
#include <termios.h>

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>

#include "app_support.h"
#include "hexsend.h"
#include "opencause.h"
#include "portctl.h"
#include "test_pty.h"

namespace {

class Extras : public WindowFixture {
 protected:
  // The window's port on a pseudo-terminal whose master the test reads.
  void OnPty() {
    ASSERT_TRUE(pty.ok());
    fcntl(pty.master, F_SETFL, O_NONBLOCK);
    w->ComPort->SetPort(pty.slavePath);
  }
  std::string Read(size_t count) {
    std::string got;
    WaitWithEvents([&] {
      char buf[256];
      const ssize_t n = ::read(pty.master, buf, sizeof buf);
      if (n > 0) got.append(buf, size_t(n));
      return got.size() >= count;
    }, 5000);
    return got;
  }
  // Saves, and shows a new window that loads the file.
  void Restart() {
    w->close();
    delete w;
    w = new TSerivox;
    w->show();
  }
  void TearDown() override {
    WindowFixture::TearDown();
    QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  }
  TestPty pty;
};

tcflag_t Framing(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  return t.c_cflag & (CSTOPB | PARODD | CMSPAR);
}

}  // namespace

// A pty keeps CSTOPB, PARODD and CMSPAR (it clears PARENB, forces 8 bits).
TEST_F(Extras, FramingChosenInTheWindowReachesTheOpenDeviceAndSurvivesARestart) {
  QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  OnPty();
  w->show();
  w->ComPort->SetBaudRate(br115200);
  w->ComPort->SetConnected(true);
  LineFraming chosen{dbSeven, prMark, sbTwoStopBits};
  bool accept = true;
  w->ChooseFraming = [&](LineFraming& f) {
    f = chosen;
    return accept;
  };
  w->LineSettingsAction->trigger();
  EXPECT_TRUE(w->ComPort->Connected());  // reconfigured, not closed
  EXPECT_EQ(Framing(pty.master), tcflag_t(CSTOPB | PARODD | CMSPAR));
  EXPECT_EQ(w->LineLabel->text(), "115200 7M2");
  chosen = {dbEight, prSpace, sbOneStopBit};
  w->LineSettingsAction->trigger();
  EXPECT_EQ(Framing(pty.master), tcflag_t(CMSPAR));
  accept = false;  // a cancelled dialog changes nothing
  chosen = {dbFive, prOdd, sbOneStopBit};
  w->LineSettingsAction->trigger();
  w->ComPort->FlowControl().SetFlowControl(fcHardware);
  Restart();
  EXPECT_EQ(FramingOf(*w->ComPort), (LineFraming{dbEight, prSpace, sbOneStopBit}));
  EXPECT_EQ(w->LineLabel->text(), "115200 8S1, RTS/CTS");
}

TEST_F(Extras, BreakRaisesTheBreakEventAtTheFarEndAndIsRefusedOnAClosedPort) {
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
  // By its shortcut in the typing pane, where Ctrl with a letter is a byte.
  w->show();
  QApplication::setActiveWindow(w);
  w->ui->Memo2->setFocus();
  QTest::keyClick(w->ui->Memo2, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(WaitWithEvents([&] { return breaks == 2 && !w->BreakOn; }));
  EXPECT_TRUE(w->ui->Memo2->toPlainText().isEmpty());
}

TEST_F(Extras, HexIsSentAndLoggedAndAMalformedEntrySendsNothing) {
  std::string bytes;
  QString error;
  EXPECT_TRUE(ParseHexBytes("01 03 00 0a C5CD", bytes, error));
  EXPECT_EQ(bytes, std::string("\x01\x03\x00\x0A\xC5\xCD", 6));
  for (const auto& [text, place] : {std::pair{"01 030", "position 6"}, {"0 1", "position 1"}}) {
    EXPECT_FALSE(ParseHexBytes(text, bytes, error));
    EXPECT_TRUE(error.contains(place)) << error.toStdString();
  }
  OnPty();
  QString typed = "0A0G";
  w->ChooseHexText = [&](bool* ok) { return *ok = true, typed; };
  w->HexAction->trigger();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors.takeFirst().contains("position 4"));
  EXPECT_FALSE(w->ComPort->Connected());  // nothing sent, the port not even opened
  typed = "41 0d";
  w->HexAction->trigger();
  EXPECT_EQ(Read(2), "A\r");
  const QStringList log = w->ui->Memo2->toPlainText().split('\n');
  ASSERT_EQ(log.size(), 2);
  EXPECT_EQ(log[0], "Hex:  #41  A");
  EXPECT_TRUE(log[1].startsWith("Hex:  #0D  "));
}

TEST_F(Extras, EnterSendsTheChosenEndingAndLocalEchoShowsTypedBytesApart) {
  QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  OnPty();
  w->show();
  for (const auto& [action, sent] : {std::pair{"EnterLFAction", "\n"}, {"EnterCRLFAction", "\r\n"},
                                     {"EnterCRAction", "\r"}}) {
    w->findChild<QAction*>(action)->trigger();
    QTest::keyClick(w->ui->Memo2, Qt::Key_Return);
    EXPECT_EQ(Read(strlen(sent)), sent) << action;
  }
  EXPECT_EQ(w->ui->Memo1->LineCount(), 1);  // no echo by default
  // Echoed lines are drawn apart and never take received bytes.
  w->findChild<QAction*>("EnterCRLFAction")->trigger();
  w->EchoAction->trigger();
  ASSERT_TRUE(pty.send("rx1"));
  ASSERT_TRUE(WaitWithEvents([&] { return w->RxLine == "rx1"; }));
  QTest::keyClicks(w->ui->Memo2, "hi\r");
  EXPECT_EQ(Read(4), "hi\r\n");
  ASSERT_TRUE(pty.send("rx2"));
  ASSERT_TRUE(WaitWithEvents([&] { return w->RxLine == "rx2"; }));
  w->Timer3Timer(w);
  LinePane* pane = w->ui->Memo1;
  ASSERT_EQ(pane->LineCount(), 3);
  EXPECT_EQ(pane->Line(0) + pane->Line(1) + pane->Line(2), "rx1hi\r\nrx2");
  EXPECT_FALSE(pane->IsEcho(0));
  EXPECT_TRUE(pane->IsEcho(1));
  EXPECT_FALSE(pane->IsEcho(2));
  Restart();
  EXPECT_TRUE(w->EchoAction->isChecked());
  EXPECT_EQ(w->EnterBytes(), "\r\n");
}

// Going round the pane both ways, each match brought into view.
TEST_F(Extras, FindSelectsEachMatchInTurnAndScrollsItIntoView) {
  w->show();
  LinePane* pane = w->ui->Memo1;
  for (int i = 1; i < LinePane::MaxLines; ++i) pane->AppendLine(i == 10 || i == 60000 ? "a Needle" : "line");
  w->FindAction->trigger();
  ASSERT_TRUE(w->FindDialog != nullptr && w->FindDialog->isVisible());
  w->FindDialog->findChild<QLineEdit*>("FindText")->setText("needle");
  QScrollBar* v = pane->verticalScrollBar();
  auto shown = [&](int line) {
    return line >= v->value() && line < v->value() + pane->viewport()->height() / pane->fontMetrics().lineSpacing();
  };
  for (const auto& [backwards, line] : {std::pair{false, 10}, {false, 60000}, {false, 10}, {true, 60000}}) {
    ASSERT_TRUE(w->FindInPane(backwards));
    EXPECT_EQ(pane->SelectedText(), "Needle");
    EXPECT_TRUE(shown(line)) << line << " at " << v->value();
  }
  w->FindDialog->findChild<QCheckBox*>("FindMatchCase")->setChecked(true);
  EXPECT_FALSE(w->FindInPane(false));
}

// Tab is a byte in the typing pane; Ctrl+Tab leaves it, and End drops the
// receive pane's selection.
TEST_F(Extras, CtrlTabLeavesTheTypingPaneAndTheCycleReachesExit) {
  w->ComPort->SetPort("LOOPBACK");
  w->show();
  QApplication::setActiveWindow(w);
  w->ui->Memo2->setFocus();
  QTest::keyClick(w->ui->Memo2, Qt::Key_Tab);
  QSet<QWidget*> reached;
  for (int step = 0; step < 60; ++step) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, Qt::Key_Tab, focus == w->ui->Memo2 ? Qt::ControlModifier : Qt::NoModifier);
    reached << QApplication::focusWidget();
    if (QApplication::focusWidget() == w->ui->Memo2) break;
  }
  EXPECT_TRUE(reached.contains(w->ui->Button5) && reached.contains(w->ui->Memo1));
  QTest::keyClick(w->ui->Memo2, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_NE(QApplication::focusWidget(), w->ui->Memo2);
  EXPECT_EQ(w->ui->Memo2->toPlainText(), "\t");  // only the plain Tab was typed
  w->ui->Memo1->AppendLine("one");
  w->ui->Memo1->SelectAll();
  QTest::keyClick(w->ui->Memo1, Qt::Key_End);
  EXPECT_FALSE(w->ui->Memo1->HasSelection());
}

TEST_F(Extras, EachOpenErrorTellsItsCause) {
  QStringList details;
  SetErrorDetailSink([&](const QString& message, const QString& detail) {
    errors.append(message);
    details.append(detail);
  });
  auto cause = [&](const std::string& name) {
    errors.clear();
    details.clear();
    w->ComPort->SetPort(name);
    QTest::mouseClick(w->ui->Button1, Qt::LeftButton);
    WaitWithEvents([&] { return !errors.isEmpty(); });  // a network port connects in the background
    EXPECT_EQ(errors.size(), 1) << name;
    return details.value(0);
  };
  const QString missing = cause("/dev/ttyNOSUCH");
  EXPECT_EQ(errors.value(0), "Unable to open com port (win error code: 2)");
  EXPECT_TRUE(missing.startsWith("There is no device /dev/ttyNOSUCH. Ports present now: ") &&
              missing.contains("LOOPBACK"))
      << missing.toStdString();
  // A second port of this test holds the device: /proc names the program.
  ASSERT_TRUE(pty.ok());
  TComPort holder;
  holder.SetPort(pty.slavePath);
  holder.SetConnected(true);
  EXPECT_EQ(cause(pty.slavePath), QString("%1 is in use by app_tests (process %2).")
                                      .arg(QString::fromStdString(pty.slavePath))
                                      .arg(QCoreApplication::applicationPid()));
  QTemporaryDir dir;
  QFile(dir.filePath("file")).open(QIODevice::WriteOnly);
  EXPECT_EQ(cause(dir.filePath("file").toStdString()), dir.filePath("file") + " is not a serial port.");
  EXPECT_EQ(cause("tcp://127.0.0.1:1"), "127.0.0.1 port 1 refused the connection.");  // nothing listens there
  EXPECT_EQ(OpenErrorCause("rfc2217://example.invalid:2217", ENXIO), "There is no host example.invalid.");
  EXPECT_EQ(OpenErrorCause("tcp://10.1.2.3:4000", ETIMEDOUT), "10.1.2.3 port 4000 did not answer in time.");
  SetErrorSink([this](const QString& m) { errors.append(m); });
  errors.clear();
}

// Qt binds a menu item's interface to the first menu that showed it; the
// window's own items outlive each menu. An unlisted port is the field's value.
TEST_F(Extras, AccessibleNamesOfTheMenuItemsEachTimeAndOfAnUnlistedPort) {
  w->show();
  for (int round = 1; round <= 2; ++round) {
    std::unique_ptr<QMenu> menu(w->Memo1Menu());
    menu->popup(w->mapToGlobal(QPoint(20, 20)));
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(menu.get());
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(list->childCount(), actions.size());
    for (int i = 0; i < actions.size(); ++i) {
      if (actions[i]->isSeparator()) continue;
      EXPECT_TRUE(list->child(i)->isValid()) << round << ": " << actions[i]->text().toStdString();
      EXPECT_EQ(list->child(i)->text(QAccessible::Name), actions[i]->text()) << round;
    }
  }
  TComComboBox* box = w->ui->ComComboBox1;
  for (const char* name : {"/dev/pts/77", "LOOPBACK"}) {
    w->ComPort->SetPort(name);
    box->SetComPort(nullptr);
    box->SetComPort(w->ComPort);
    QAccessibleInterface* field = QAccessible::queryAccessibleInterface(box);
    EXPECT_EQ(field->text(QAccessible::Value), name);
    EXPECT_EQ(field->text(QAccessible::Name), name);
  }
}

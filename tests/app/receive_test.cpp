// SPDX-License-Identifier: MIT
// The receive display: line breaking, the three display forms, the width
// limit, the double click, and the receive handler with echo.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <memory>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThread>

#include "app_support.h"
#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {



class ReceiveDisplay : public WindowFixture {
 protected:
  // Bytes arriving without a timer tick in between (one receive event).
  void Burst(const std::string& bytes) {
    for (unsigned char b : bytes) w->DisplayRxByte(b);
  }
  void Tick() { w->Timer3Timer(w); }
  std::vector<std::string> PaneLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < w->ui->Memo1->LineCount(); ++i) lines.push_back(w->ui->Memo1->Line(i));
    return lines;
  }
};

using Lines = std::vector<std::string>;

TEST_F(ReceiveDisplay, PlainTextBreaksAfterCrLfRun) {
  Burst("AB\r\nCD");
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{"AB\r\n", "CD"}));
  // A run of several CR and LF bytes makes no empty lines.
  Burst("\r\n\r\n\nEF");
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{"AB\r\n", "CD\r\n\r\n\n", "EF"}));
}

TEST_F(ReceiveDisplay, ControlCharsSpelledOut) {
  w->ui->CheckBox6->setChecked(true);
  Burst("AB\r\nCD");
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{"AB#13#10", "CD"}));
  Burst(std::string("\x07\x1b\x7f\xc8\x00 ", 6));
  Tick();
  // Only codes below 32 are replaced; 127 and 200 stand as themselves.
  EXPECT_EQ(PaneLines().back(), std::string("CD#07#27\x7f\xc8#00 "));
}

TEST_F(ReceiveDisplay, HexLinesFollowTheInitialEmptyLine) {
  w->ui->CheckBox5->setChecked(true);
  w->ui->CheckBox6->setChecked(true);  // no effect while hex is on
  Burst("\x0d" "A");
  EXPECT_EQ(PaneLines(), (Lines{"", "#0D  \r", "#41  A"}));
  EXPECT_EQ(w->RxLine, "#41  A");
}

TEST_F(ReceiveDisplay, HexFlushesThePendingTextLineFirst) {
  Burst("xy");
  w->ui->CheckBox5->setChecked(true);
  Burst("\xff");
  EXPECT_EQ(PaneLines(), (Lines{"xy", "#FF  \xff"}));
}

TEST_F(ReceiveDisplay, ModeSwitchCarriesLastRxByte) {
  w->ui->CheckBox5->setChecked(true);
  Burst("\r");
  w->ui->CheckBox5->setChecked(false);
  Burst("A");
  Tick();
  // The CR received in hex mode ends the line: "A" starts a new one.
  EXPECT_EQ(PaneLines(), (Lines{"", "#0D  \r", "A"}));
  EXPECT_EQ(w->LastRxByte, 'A');
}

TEST_F(ReceiveDisplay, SlowStreamBreaksAtTheWidthLimit) {
  ASSERT_EQ(w->LineLimit(), 52);
  for (int i = 0; i < 60; ++i) {
    w->DisplayRxByte(uint8_t('a' + i % 26));
    Tick();
  }
  const Lines lines = PaneLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 52u);
  EXPECT_EQ(lines[1].size(), 8u);
  EXPECT_EQ(lines[1][0], 'a' + 52 % 26);
}

TEST_F(ReceiveDisplay, BurstJoinsTheLinePastTheLimit) {
  Burst(std::string(200, 'x'));
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{std::string(200, 'x')}));
  // The first byte after the flush starts a new line.
  Burst("y");
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{std::string(200, 'x'), "y"}));
}

TEST_F(ReceiveDisplay, LimitFollowsThePaneWidth) {
  w->ui->Memo1->setFixedWidth(100);  // (100 - 30) / 7 = 10
  EXPECT_EQ(w->LineLimit(), 10);
  for (int i = 0; i < 25; ++i) {
    w->DisplayRxByte('z');
    Tick();
  }
  EXPECT_EQ(PaneLines(), (Lines{std::string(10, 'z'), std::string(10, 'z'), std::string(5, 'z')}));
}

TEST_F(ReceiveDisplay, DoubleClickClearsThePane) {
  Burst("AB\r");
  Tick();
  QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w->ui->Memo1->viewport(), &click);
  EXPECT_EQ(w->ui->Memo1->LineCount(), 0);
  EXPECT_TRUE(w->RxLine.empty());
  EXPECT_EQ(w->LastRxByte, '\r');
  Burst("C");
  Tick();
  EXPECT_EQ(PaneLines(), (Lines{"C"}));
}

// The window's menu for the pane copies the selection and clears like a
// double click; a double click after selecting still clears.
TEST_F(ReceiveDisplay, SelectedTextIsCopiedAndDoubleClickStillClears) {
  w->show();
  Burst("AT\r\nOK\r\n");
  Tick();
  LinePane* pane = w->ui->Memo1;
  pane->Select({1, 0}, {1, 2});
  std::unique_ptr<QMenu> menu(w->Memo1Menu());
  QStringList captions;
  for (QAction* action : menu->actions())
    if (!action->isSeparator()) captions << action->text();
  EXPECT_EQ(captions, (QStringList{"Copy", "Select All", "Clear", "Find...", "Log received data to file...",
                                   "Show timestamps", "Timestamp gap...", "Reconnect automatically",
                                   "Line settings...", "Send break", "Break length...", "Send hex...",
                                   "Enter sends CR", "Enter sends LF", "Enter sends CR LF", "Local echo"}));
  QGuiApplication::clipboard()->clear();
  menu->actions()[0]->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "OK");
  menu->actions()[1]->trigger();
  EXPECT_EQ(pane->SelectedText(), "AT\nOK");  // the hidden line ends are not copied

  QTest::mouseDClick(pane->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  EXPECT_EQ(pane->LineCount(), 0);
  EXPECT_TRUE(w->RxLine.empty());
  EXPECT_FALSE(pane->HasSelection());

  Burst("more");
  Tick();
  std::unique_ptr<QMenu> again(w->Memo1Menu());
  EXPECT_FALSE(again->actions()[0]->isEnabled()) << "nothing selected to copy";
  for (QAction* action : again->actions())
    if (action->text() == "Clear") action->trigger();
  EXPECT_EQ(pane->LineCount(), 0);
  EXPECT_TRUE(w->RxLine.empty());
}

TEST_F(ReceiveDisplay, FlushBringsThePaneUpToRxLine) {
  Burst("abc");
  // Not yet on the pane: the line is pending in RxLine.
  EXPECT_EQ(w->ui->Memo1->LastLine(), "");
  w->Flush();
  EXPECT_EQ(w->ui->Memo1->LastLine(), "abc");
  EXPECT_EQ(w->ui->Memo1->LineCount(), 1);
}

// A window on NULLMODEM-A with Echo checked: what the far end sends is shown
// and comes back unchanged, zero bytes included.
TEST_F(ReceiveDisplay, ReceivedChunksAreShownAndEchoed) {
  w->ComPort->SetPort("NULLMODEM-A");
  w->ui->CheckBox4->setChecked(true);
  w->ComPort->SetConnected(true);
  ASSERT_TRUE(w->ComPort->Connected());
  w->Timer3->stop();  // no flush but the test's own

  TComPort far;
  far.SetPort("NULLMODEM-B");
  far.SetBaudRate(w->ComPort->BaudRate());
  far.SetStopBits(w->ComPort->StopBits());
  far.SetEvents(TComEvents{});
  far.SetConnected(true);
  const std::string sent("Hi\0there\n", 9);
  far.SendText(sent);

  std::string echoed;
  ASSERT_TRUE(WaitWithEvents([&] {
    std::string chunk;
    far.ReceiveText(chunk, 64);
    echoed += chunk;
    return echoed.size() >= sent.size();
  }));
  EXPECT_EQ(echoed, sent);
  // Shown at once as the pane's tail; the line itself waits for a flush.
  EXPECT_EQ(w->ui->Memo1->LastLine(), "");
  EXPECT_EQ(w->ui->Memo1->Line(w->ui->Memo1->LineCount() - 1), sent);
  Tick();
  EXPECT_EQ(w->ui->Memo1->LastLine(), sent);
  EXPECT_EQ(w->ui->Memo1->Line(0), sent);
  far.SetConnected(false);
  w->ComPort->SetConnected(false);
}

}  // namespace

// A received chunk is shown as if each byte had been displayed in turn, in
// both text modes and hex mode and across flushes, for lines shorter and
// longer than the limit.
TEST_F(ReceiveDisplay, ChunksShowExactlyAsSingleBytes) {
  TSerivox other;
  for (TSerivox* window : {w, &other}) window->ui->Memo1->setFixedWidth(400);
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int mode : {0, 1, 2}) {
    const bool controls = mode == 1, hex = mode == 2;
    for (TSerivox* window : {w, &other}) {
      window->ui->CheckBox6->setChecked(controls);
      window->ui->CheckBox5->setChecked(hex);
    }
    for (int round = 0; round < 40; ++round) {
      std::string chunk(next() % 300, '\0');
      for (char& c : chunk) {
        const uint32_t r = next() % 100;
        c = r < 4 ? '\r' : r < 8 ? '\n' : r < 11 ? char(next() % 32) : char('A' + next() % 26);
      }
      for (unsigned char b : chunk) w->DisplayRxByte(b);
      other.DisplayRxChunk(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
      if (round % 3 == 0) {
        Tick();
        other.Timer3Timer(&other);
      }
      ASSERT_EQ(w->RxLine, other.RxLine) << round;
      ASSERT_EQ(w->LastRxByte, other.LastRxByte);
      ASSERT_EQ(w->ui->Memo1->LineCount(), other.ui->Memo1->LineCount()) << round;
      for (int i = 0; i < w->ui->Memo1->LineCount(); ++i) ASSERT_EQ(w->ui->Memo1->Line(i), other.ui->Memo1->Line(i));
    }
  }
}

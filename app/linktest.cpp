// SPDX-License-Identifier: MIT
// Link test: the greeting-packet client, its statistics and the recogniser.
//
// The client sends "Hello " + letter + LF with the letters A..Y in turn and
// counts the packets that come back; the far end echoes them (CheckBox4).
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>

#include <QLayout>

#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {

constexpr uint8_t kFirstLetter = 'A';
constexpr uint8_t kLastLetter = 'Z';  // counted on receipt, never sent

}  // namespace

void TSerivox::Button6Click(QObject*) {
  if (!ComPort->Connected()) ComPort->SetConnected(true);
  if (ui->Shape2->BrushColor() == clRed && ComPort->Connected()) {
    ui->Shape2->SetBrushColor(clLime);
    ui->Button6->setText(QStringLiteral("Stop"));
    LetterCounter = kFirstLetter - 1;
    ReceivedCount.fill(0);
    SentCount.fill(0);
    SendTick.fill(0);
    LastDelay.fill(0);
    ParserState = 0;
    PacketSeen = true;
    TestRunning = true;
  } else {
    TestRunning = false;
    ui->Shape2->SetBrushColor(clRed);
    ui->Button6->setText(QStringLiteral("Start"));
  }
}

void TSerivox::Timer1Timer(QObject*) {
  // Statistics, on every tick.
  int32_t out = 0, in = 0, answered = 0;
  int64_t delaySum = 0;
  for (size_t i = 0; i < 26; ++i) {
    out += SentCount[i];
    in += ReceivedCount[i];
    if (SendTick[i] != 0) {
      ++answered;
      delaySum += LastDelay[i];
    }
  }
  ui->Label9->setText(QString::number(out));
  ui->Label10->setText(QString::number(in));
  ui->Label16->setText(QString::number(int64_t(out) - in));
  ui->Label18->setText(answered > 0 ? QString::number(delaySum / answered) + QStringLiteral(" ms")
                                    : QStringLiteral("N/A"));
  if (out != 0) {
    // 64-bit, so that a long test cannot overflow the product.
    const double rate = double((int64_t(out) - in) * 100) / double(out);
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    ui->Label11->setText(locale.toString(rate, 'f', 2) + QLatin1Char('%'));
  }
  ui->Shape3->SetBrushColor(PacketSeen ? clLime : clRed);
  ui->Shape3->setVisible(TestRunning);
  ui->GroupBox3->setVisible(!TestRunning);
  ui->GroupBox4->setVisible(!ui->CheckBox4->isChecked());
  PacketSeen = false;

  // Sending, after the statistics: this tick's packet shows on the next tick.
  if (!ComPort->Connected() || !TestRunning) return;
  ++LetterCounter;
  if (LetterCounter == kLastLetter) LetterCounter = kFirstLetter;
  const char letter = char(LetterCounter);
  ComPort->SendText(std::string("Hello ") + letter + '\n');
  const size_t i = size_t(LetterCounter - kFirstLetter);
  // 0 means "not sent"; a tick that wrapped to 0 is taken as 1.
  SendTick[i] = std::max<uint32_t>(GetTickCount(), 1);
  ++SentCount[i];
}

void TSerivox::TrackBar1Change(QObject*) {
  const int interval = 1000 / std::max(1, ui->TrackBar1->value());
  // QTimer restarts an active timer when its interval changes.
  if (Timer1->interval() != interval) Timer1->setInterval(interval);
  ui->Label8->setText(QStringLiteral("Interval = %1 ms").arg(Timer1->interval()));
}

void TSerivox::ParseTestByte(uint8_t b) {
  static constexpr char kHeader[] = "Hello ";
  switch (ParserState) {
    case 0:
      ParserState = b == 'H' ? 1 : 0;
      break;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
      // A mismatch drops the byte: an "H" here does not begin a new packet.
      ParserState = b == uint8_t(kHeader[ParserState]) ? ParserState + 1 : 0;
      break;
    case 6:
      if (b >= kFirstLetter && b <= kLastLetter) {
        const size_t i = size_t(b - kFirstLetter);
        const uint32_t tick = GetTickCount();
        LastDelay[i] = SendTick[i] == 0 ? 0 : int32_t(tick - SendTick[i]);
        ++ReceivedCount[i];
      }
      PacketSeen = true;
      ParserState = 7;
      break;
    default:
      ParserState = 0;  // the packet's line feed, not examined
      break;
  }
}

void TSerivox::Button10Click(QObject*) {
  const int width = ui->Panel4->width();
  QWidget* holder = window();
  // Taken before the toggle: showing the panel may already grow the window
  // to its new minimum width, which must not count twice.
  const int before = holder->width();
  const bool show = ui->Panel4->isHidden();
  ui->Panel4->setVisible(show);
  // Bring the window's minimum width up to date now, or a narrower resize
  // is held at the minimum the panel had while shown.
  if (QLayout* layout = holder->layout()) layout->activate();
  if (show) {
    holder->resize(before + width, holder->height());
  } else {
    holder->resize(before - width, holder->height());
    ui->CheckBox4->setChecked(false);
    if (TestRunning) Button6Click(this);
  }
}

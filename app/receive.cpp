// SPDX-License-Identifier: MIT
// Receive display: ComPortRxChar, DisplayRxByte, the flush, Memo1DblClick.
//
// The line being built is kept in RxLine and reaches the pane only by a flush
// (every Timer3 tick and at each new line), so a fast stream costs one pane
// update per tick in text mode. Until then the pane shows it as its tail.
#include <QAccessible>
#include <QCheckBox>
#include <QMenu>
#include <QPointer>

#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint8_t kLF = 10;
constexpr uint8_t kCR = 13;

}  // namespace

void TSerivox::ComPortRxChar(QObject*, int32_t Count) {
  std::string data;
  ComPort->ReceiveText(data, Count);
  Capture->Write(data);
  // Received bytes never join a line of echoed bytes.
  if (ui->Memo1->LastIsEcho()) {
    RxLine.clear();
    ui->Memo1->AppendLine(RxLine);
    LastRxByte = 0;
  }
  Stamps.BeginChunk();
  if (TestRunning) {
    for (unsigned char b : data) {
      DisplayRxByte(b);
      ParseTestByte(b);
    }
  } else {
    DisplayRxChunk(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  // The line still being received is shown at once; it becomes the pane's
  // own last line at the next flush.
  ui->Memo1->SetTail(RxLine);
  if (ui->CheckBox4->isChecked()) ComPort->SendText(data);
}

// Shows a received chunk exactly as DisplayRxByte would byte by byte, with
// the options and the line limit read once (nothing can change them while a
// chunk is shown) and runs of bytes other than CR and LF joined into one
// append: inside such a run the pane's last line can change only at the
// run's first byte, so the limit test gives the same answer for every later
// byte of the run.
void TSerivox::DisplayRxChunk(const uint8_t* data, size_t size) {
  const bool controls = ui->CheckBox6->isChecked();
  const size_t limit = size_t(std::max(0, LineLimit()));
  LinePane* pane = ui->Memo1;
  if (ui->CheckBox5->isChecked()) {
    // Hex mode: every byte gets its own line, after a flush, as DisplayRxByte
    // does it.
    for (size_t i = 0; i < size; ++i) {
      Timer3Timer(this);
      HexLine(data[i]);
      pane->AppendLine(RxLine);
    }
    if (size > 0) LastRxByte = data[size - 1];
    return;
  }
  // A very narrow pane may break inside a run: shown byte by byte.
  if (limit < 4) {
    for (size_t i = 0; i < size; ++i) DisplayRxByte(data[i]);
    return;
  }
  char t[3];
  auto shown = [&](uint8_t b) -> size_t {
    t[0] = char(b);
    if (!controls || b >= 32) return 1;
    t[0] = '#';
    t[1] = char('0' + b / 10);
    t[2] = char('0' + b % 10);
    return 3;
  };
  // The limit rule for one byte shown as t.
  auto put = [&](size_t tLength) {
    if (pane->LastLine().size() < limit) {
      RxLine.append(t, tLength);
    } else {
      Timer3Timer(this);
      RxLine.assign(t, tLength);
      pane->AppendLine(RxLine);
    }
  };
  const uint8_t* p = data;
  const uint8_t* const stop = data + size;
  while (p < stop) {
    const uint8_t b = *p;
    if (b == kLF || b == kCR) {
      put(shown(b));
      LastRxByte = b;
      ++p;
      continue;
    }
    const uint8_t* end = p + 1;
    while (end < stop && *end != kLF && *end != kCR) ++end;
    // The run's first byte goes the byte-by-byte way: it may start a new line
    // (after CR/LF, or after an idle gap with timestamps on) and meet the limit.
    DisplayRxByte(b);
    ++p;
    // The rest joins the line while the pane's line is below the limit; it
    // stays so for the whole run. Otherwise the next byte goes the same way.
    if (p == end || pane->LastLine().size() >= limit) continue;
    if (!controls) {
      RxLine.append(reinterpret_cast<const char*>(p), size_t(end - p));
    } else {
      for (const uint8_t* q = p; q < end; ++q) RxLine.append(t, shown(*q));
    }
    LastRxByte = end[-1];
    p = end;
  }
}

int TSerivox::LineLimit() const { return (ui->Memo1->width() - 30) / 7; }

void TSerivox::Flush() {
  LinePane* pane = ui->Memo1;
  // After an echo line the line being received starts anew with the next byte.
  if (pane->LastIsEcho()) return;
  if (pane->LastLine() != RxLine) pane->ReplaceLastLine(RxLine);
}

// RxLine becomes the hex display line of b: "#41  A", two hex digits, two
// spaces, the byte itself, after the time stamp when stamps are on.
void TSerivox::HexLine(uint8_t b) {
  const char line[6] = {'#', kHexDigits[b >> 4], kHexDigits[b & 0x0F], ' ', ' ', char(b)};
  if (Stamps.On)
    RxLine.assign(Stamps.Prefix).append(line, sizeof line);
  else
    RxLine.assign(line, sizeof line);
}

void TSerivox::DisplayRxByte(uint8_t b) {
  LinePane* pane = ui->Memo1;
  if (ui->CheckBox5->isChecked()) {
    Timer3Timer(this);
    HexLine(b);
    pane->AppendLine(RxLine);
  } else {
    char t[3] = {char(b)};
    size_t tLength = 1;
    if (ui->CheckBox6->isChecked() && b < 32) {
      t[0] = '#';
      t[1] = char('0' + b / 10);
      t[2] = char('0' + b % 10);
      tLength = 3;
    }
    // The first byte after a run of CR/LF starts a new line; with timestamps
    // on, so does the first byte after an idle gap, and the line gets the time.
    if (b != kLF && b != kCR) {
      if (LastRxByte == kLF || LastRxByte == kCR || (Stamps.BreakPending && !RxLine.empty())) {
        Timer3Timer(this);
        RxLine.clear();
        if (Stamps.On) RxLine = Stamps.Prefix;
        pane->AppendLine(RxLine);
      } else if (Stamps.On && RxLine.empty()) {
        RxLine = Stamps.Prefix;
      }
      Stamps.BreakPending = false;
    }
    // The limit is tested against the pane's line, which only flushes update.
    if (int(pane->LastLine().size()) < LineLimit()) {
      RxLine.append(t, tLength);
    } else {
      Timer3Timer(this);
      RxLine.assign(t, tLength);
      pane->AppendLine(RxLine);
    }
  }
  LastRxByte = b;
}

void TSerivox::Memo1DblClick(QObject*) {
  ui->Memo1->Clear();
  RxLine.clear();
}

QMenu* TSerivox::Memo1Menu() {
  LinePane* pane = ui->Memo1;
  auto* menu = new QMenu(pane);
  QAction* copy = menu->addAction(tr("Copy"), pane, [pane] { pane->Copy(); });
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(pane->HasSelection());
  QAction* all = menu->addAction(tr("Select All"), pane, [pane] { pane->SelectAll(); });
  all->setShortcut(QKeySequence::SelectAll);
  menu->addSeparator();
  menu->addAction(tr("Clear"), this, [this] { Guarded([&] { Memo1DblClick(ui->Memo1); }); });
  AddExtraActions(menu);
  // Assistive technology keeps one interface per menu item, bound to the
  // menu that first showed it. The window's own items outlive this menu:
  // their interfaces go with it, so the next menu names them again.
  QList<QPointer<QAction>> items;
  for (QAction* item : menu->actions()) items.append(item);
  connect(menu, &QObject::destroyed, this, [items] {
    for (const QPointer<QAction>& item : items) {
      if (item == nullptr) continue;
      if (QAccessibleInterface* stale = QAccessible::queryAccessibleInterface(item.data()))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(stale));
    }
  });
  return menu;
}

// SPDX-License-Identifier: MIT
// The line's framing chosen in the window, the break, and the label that shows
// the whole line setting at a glance.
#include <QInputDialog>
#include <QLabel>
#include <QPointer>
#include <QTimer>

#include "errordisplay.h"
#include "serivox.h"
#include "ui_serivox.h"

void TSerivox::ShowLineSetting() {
  if (LineLabel == nullptr) return;
  const QString text = LineSettingText(*ComPort);
  if (LineLabel->text() != text) LineLabel->setText(text);
}

void TSerivox::LineSettingsTriggered() {
  LineFraming framing = FramingOf(*ComPort);
  const bool chosen = ChooseFraming ? ChooseFraming(framing) : ChooseFramingDialog(this, framing);
  if (!chosen || framing == FramingOf(*ComPort)) return;
  // The label shows what the port holds, also after a refusal.
  struct Refresh {
    TSerivox* w;
    ~Refresh() { w->ShowLineSetting(); }
  } refresh{this};
  ApplyFraming(*ComPort, framing);
}

// The line is held in the break state for BreakMs; the window goes on
// meanwhile. A port closed before the time is up has ended the break itself.
void TSerivox::SendBreak() {
  if (BreakOn) return;
  ComPort->SetBreakLine(true);
  BreakOn = true;
  QPointer<TComPort> port(ComPort);
  QTimer::singleShot(BreakMs, this, [this, port] {
    BreakOn = false;
    if (port && port->Connected()) Guarded([&] { port->SetBreakLine(false); });
  });
}

void TSerivox::BreakLengthTriggered() {
  bool ok = false;
  const int ms = ChooseBreakLength ? ChooseBreakLength(&ok)
                                   : QInputDialog::getInt(this, QStringLiteral("Break length"),
                                                          QStringLiteral("Break length in milliseconds:"), BreakMs,
                                                          1, 10000, 50, &ok);
  if (!ok || ms == BreakMs) return;
  BreakMs = std::clamp(ms, 1, 10000);
  ExtrasChanged = true;
}

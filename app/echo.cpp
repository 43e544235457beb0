// SPDX-License-Identifier: MIT
// What Enter sends in the typing pane, the local echo of typed bytes, and the
// program's own note lines in the receive pane.
#include <QAction>
#include <QActionGroup>

#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

std::string TSerivox::EnterBytes() const {
  const QAction* chosen = EnterGroup != nullptr ? EnterGroup->checkedAction() : nullptr;
  if (chosen == nullptr) return "\r";
  return chosen->data().toString().toStdString();
}

// Echo lines never take received bytes: the line being received is flushed
// first, and what arrives after an echo starts a line of its own (ComPortRxChar).
// A typed CR or LF ends the echo line.
void TSerivox::EchoTyped(const std::string& bytes) {
  LinePane* pane = ui->Memo1;
  Flush();
  for (char c : bytes) {
    const std::string& last = pane->LastLine();
    // A line end closes the echo line; CR LF stays one line end.
    const bool ended = !last.empty() && (last.back() == '\n' || (last.back() == '\r' && c != '\n'));
    if (pane->LastIsEcho() && !ended)
      pane->ReplaceLastLine(last + c);
    else
      pane->AppendLine(std::string(1, c), true);
  }
}

void TSerivox::AppendNoteLine(const std::string& text) {
  Flush();
  LinePane* pane = ui->Memo1;
  if (RxLine.empty() && !pane->LastIsEcho())
    pane->ReplaceLastLine(text);
  else
    pane->AppendLine(text);
  RxLine.clear();
  pane->AppendLine(RxLine);
  LastRxByte = 0;
}

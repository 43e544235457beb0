// SPDX-License-Identifier: MIT
// The typing and log pane: a plain-text pane whose log lines carry control
// bytes as stand-in characters (see LogCharOfByte); the pane draws each as
// the same inverted mark the receive pane draws, whatever fonts are installed.
#pragma once

#include <QPlainTextEdit>

class QSyntaxHighlighter;

class TypingPane : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TypingPane(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QSyntaxHighlighter* widths_;  // gives every stand-in character its mark's width
};

// SPDX-License-Identifier: MIT
// The receive pane: a read-only list of text lines of raw bytes, shown in a
// fixed-pitch font, that stays fast and bounded under a fast stream.
//
// It keeps at most MaxLines lines (the oldest are dropped), paints only the
// visible lines, and repaints at most once per event-loop pass. Control bytes
// inside a line are drawn as small inverted marks ("CR", "ESC"), never as line
// breaks; the CR and LF that end a text line stay invisible. Text can be
// selected with the mouse or the keyboard (Shift with the movement keys,
// Ctrl+A) and copied (Ctrl+C); the lines in view are offered to assistive
// technology as text.
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <deque>
#include <string>

class LinePane : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int MaxLines = 100000;
  // The least time between two repaints.
  static constexpr int kRepaintDelayMs = 25;

  explicit LinePane(QWidget* parent = nullptr);

  // The line model. An empty pane counts as one empty last line wherever the
  // last line is read or replaced.
  int LineCount() const;
  // A line as shown: the last one is the tail while one is set.
  const std::string& Line(int index) const;
  // The last line as last written, whatever tail is shown.
  const std::string& LastLine() const;
  void ReplaceLastLine(const std::string& text);
  // An echo line holds bytes this program sent (local echo): it is drawn in
  // a colour of its own so that it differs from received lines.
  void AppendLine(const std::string& text, bool echo = false);
  bool IsEcho(int index) const { return index >= 0 && index < int(echo_.size()) && echo_[size_t(index)]; }
  bool LastIsEcho() const { return !echo_.empty() && echo_.back(); }
  // Shows `text` in place of the last line until the next write of a line:
  // the line still being received, which reaches the model only by a flush.
  // Text equal to the last line, or an empty pane, shows no tail.
  void SetTail(const std::string& text);
  // Removes every line (the pane then holds none) and the selection.
  void Clear();

  // A place in the text: a line and a byte column in it.
  struct Position {
    int line = 0;
    size_t column = 0;
    bool operator==(const Position&) const = default;
  };
  bool HasSelection() const { return !(anchor_ == cursor_); }
  // Selects from `anchor` to `cursor` (either order).
  void Select(Position anchor, Position cursor);
  void SelectAll();
  // The selected text as the pane shows it: lines joined by "\n", the marks as
  // their control pictures, the hidden line ends left out.
  QString SelectedText() const;
  // Puts the selected text on the clipboard.
  void Copy() const;

  // Finds the bytes of `text` (Latin-1) after the selection, or before it
  // when `backwards`, going round the pane once; selects the match and
  // scrolls it into view. Without a selection the search starts at the
  // keyboard's place. Returns false when no line holds a match.
  bool Find(const QString& text, bool backwards, bool caseSensitive);

  // The text of the lines in view, as SelectedText gives text.
  QString VisibleText() const;

 signals:
  void DoubleClicked();
  // The context menu is asked for at this screen position.
  void ContextMenuRequested(const QPoint& globalPos);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  // Home / End go to the first / last line; arrows and Page Up / Down scroll;
  // with Shift they extend the selection.
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  friend class LinePaneAccessible;

  // Schedules one scroll-bar update and repaint for the next event-loop pass.
  void Changed();
  void SyncScrollBars();
  int LineHeight() const;
  qreal CharWidth() const;
  int VisibleLines() const;
  // Where a column of a line is drawn, in viewport pixels.
  qreal ColumnX(const std::string& line, size_t column) const;
  // The place under a viewport point, clamped to the text.
  Position PositionAt(const QPoint& point) const;
  // Moves the selection's free end by a key, or returns false for another key.
  bool MoveCursor(QKeyEvent* event);
  void EnsureVisible(const Position& position);
  // The first line in view and how many lines are (partly) in view.
  int FirstVisible() const;
  int VisibleCount() const;

  std::deque<std::string> lines_;
  std::deque<bool> echo_;     // beside lines_: which lines are echo lines
  std::string tail_;          // shown in place of the last line while hasTail_
  bool hasTail_ = false;
  size_t widest_ = 0;         // widest line seen since the last Clear, in cells
  int dropped_ = 0;           // lines dropped at the top since the last sync
  bool syncPending_ = false;
  Position anchor_;           // the selection runs from anchor_ to cursor_
  Position cursor_;
  bool selecting_ = false;    // the mouse is selecting
  QElapsedTimer lastSync_;    // since the last scroll-bar update and repaint
};

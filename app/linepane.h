// The receive pane: a read-only list of text lines of raw bytes, shown in a
// fixed-pitch font, that stays fast and bounded under a fast stream.
//
// It keeps at most MaxLines lines (the oldest are dropped), paints only the
// visible lines, and repaints at most once per event-loop pass. Control bytes
// inside a line are drawn as visible symbols, never as line breaks.
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
  const std::string& Line(int index) const;
  const std::string& LastLine() const;
  void ReplaceLastLine(const std::string& text);
  void AppendLine(const std::string& text);
  // Removes every line (the pane then holds none).
  void Clear();

 signals:
  void DoubleClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  // Home / End go to the first / last line; arrows and Page Up / Down scroll.
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Schedules one scroll-bar update and repaint for the next event-loop pass.
  void Changed();
  void SyncScrollBars();
  int LineHeight() const;
  qreal CharWidth() const;
  int VisibleLines() const;

  std::deque<std::string> lines_;
  size_t widest_ = 0;         // longest line seen since the last Clear, in bytes
  int dropped_ = 0;           // lines dropped at the top since the last sync
  bool syncPending_ = false;
  QElapsedTimer lastSync_;    // since the last scroll-bar update and repaint
};

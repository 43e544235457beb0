// SPDX-License-Identifier: MIT
// The receive pane: a bounded deque of raw byte lines, painted on demand.
#include "linepane.h"

#include <QAccessibleWidget>
#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "controlmark.h"
#include "errordisplay.h"

namespace {

constexpr int kMargin = 2;  // pixels left of the first character

const std::string kEmpty;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A hexadecimal display line "#0D  " followed by the byte itself: there the
// byte is what the line shows, also when it is a CR or LF.
bool IsHexLine(const std::string& line) {
  if (line.size() != 6 || line[0] != '#' || line[3] != ' ' || line[4] != ' ') return false;
  if (!IsHexDigit(line[1]) || !IsHexDigit(line[2])) return false;
  auto value = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
  return value(line[1]) * 16 + value(line[2]) == uint8_t(line[5]);
}

// How many bytes of a line are drawn: the CR and LF that end a text line stay
// invisible, as in any terminal.
size_t ShownLength(const std::string& line) {
  size_t n = line.size();
  if (n == 0 || (line[n - 1] != '\r' && line[n - 1] != '\n') || IsHexLine(line)) return n;
  while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
  return n;
}

size_t CellsOfLine(const std::string& line) {
  size_t cells = 0;
  for (unsigned char b : line) cells += size_t(CellsOfByte(b));
  return cells;
}

// Bytes [from, to) of a line as text: Latin-1, a tab as itself, the other
// control bytes as the characters the log lines use for them.
void AppendShown(QString& out, const std::string& line, size_t from, size_t to) {
  to = std::min(to, ShownLength(line));
  for (size_t i = from; i < to; ++i) {
    const uint8_t b = uint8_t(line[i]);
    out += b == '\t' ? QChar(u'\t') : LogCharOfByte(b);
  }
}

}  // namespace

// --- Assistive technology -------------------------------------------------------

// The pane as read-only multi-line text: the lines in view, one character per
// shown byte, joined by "\n".
class LinePaneAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit LinePaneAccessible(LinePane* pane) : QAccessibleWidget(pane, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return Pane()->VisibleText();
    return QAccessibleWidget::text(t);
  }

  // QAccessibleTextInterface
  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index != 0 || !Pane()->HasSelection()) return;
    auto [a, b] = Ordered();
    *start = OffsetOf(a);
    *end = OffsetOf(b);
  }
  int selectionCount() const override { return Pane()->HasSelection() && Ordered().first.line < Last() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int) override { Pane()->Select(Pane()->cursor_, Pane()->cursor_); }
  void setSelection(int, int start, int end) override { Pane()->Select(PositionOf(start), PositionOf(end)); }
  int cursorPosition() const override { return OffsetOf(Pane()->cursor_); }
  void setCursorPosition(int position) override { Pane()->Select(PositionOf(position), PositionOf(position)); }
  QString text(int start, int end) const override {
    const QString all = Pane()->VisibleText();
    start = std::clamp(start, 0, int(all.size()));
    end = std::clamp(end, start, int(all.size()));
    return all.mid(start, end - start);
  }
  int characterCount() const override { return int(Pane()->VisibleText().size()); }
  QRect characterRect(int offset) const override {
    const LinePane* pane = Pane();
    const LinePane::Position p = PositionOf(offset);
    const std::string& line = pane->Line(p.line);
    const qreal x = pane->ColumnX(line, p.column);
    const qreal w = p.column < line.size() ? CellsOfByte(uint8_t(line[p.column])) * pane->CharWidth() : pane->CharWidth();
    const int y = (p.line - pane->FirstVisible()) * pane->LineHeight();
    const QPoint topLeft = pane->viewport()->mapToGlobal(QPoint(int(x), y));
    return QRect(topLeft, QSize(int(std::ceil(w)), pane->LineHeight()));
  }
  int offsetAtPoint(const QPoint& point) const override {
    const LinePane* pane = Pane();
    const QPoint local = pane->viewport()->mapFromGlobal(point);
    if (!pane->viewport()->rect().contains(local)) return -1;
    return OffsetOf(pane->PositionAt(local));
  }
  void scrollToSubstring(int start, int) override { Pane()->EnsureVisible(PositionOf(start)); }
  QString attributes(int offset, int* start, int* end) const override {
    *start = 0;
    *end = characterCount();
    (void)offset;
    return {};
  }

 private:
  LinePane* Pane() const { return static_cast<LinePane*>(widget()); }
  int First() const { return Pane()->FirstVisible(); }
  int Last() const { return First() + Pane()->VisibleCount(); }  // one past the last line in view
  std::pair<LinePane::Position, LinePane::Position> Ordered() const {
    const LinePane::Position a = Pane()->anchor_, b = Pane()->cursor_;
    if (a.line < b.line || (a.line == b.line && a.column <= b.column)) return {a, b};
    return {b, a};
  }
  // Offsets count the shown bytes of the lines in view and one "\n" between lines.
  int OffsetOf(LinePane::Position p) const {
    if (p.line < First()) return 0;
    if (p.line >= Last()) return characterCount();
    int offset = 0;
    for (int i = First(); i < p.line; ++i) offset += int(ShownLength(Pane()->Line(i))) + 1;
    return offset + int(std::min(p.column, ShownLength(Pane()->Line(p.line))));
  }
  LinePane::Position PositionOf(int offset) const {
    offset = std::max(0, offset);
    for (int i = First(); i < Last(); ++i) {
      const int n = int(ShownLength(Pane()->Line(i)));
      if (offset <= n) return {i, size_t(offset)};
      offset -= n + 1;
    }
    const int last = std::max(First(), Last() - 1);
    return {last, Pane()->Line(last).size()};
  }
};

namespace {

QAccessibleInterface* PaneAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("LinePane") && object != nullptr && object->isWidgetType())
    return new LinePaneAccessible(static_cast<LinePane*>(object));
  return nullptr;
}

}  // namespace

// --- The pane ---------------------------------------------------------------------

LinePane::LinePane(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(PaneAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(11);
  setFont(fixed);
  QPalette pal = viewport()->palette();
  pal.setColor(QPalette::Base, Qt::black);
  pal.setColor(QPalette::Window, Qt::black);
  pal.setColor(QPalette::Text, Qt::white);
  viewport()->setPalette(pal);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  if (accessibleName().isEmpty()) setAccessibleName(tr("Received data"));
  lines_.emplace_back();
  echo_.push_back(false);
}

int LinePane::LineCount() const { return int(lines_.size()); }

const std::string& LinePane::Line(int index) const {
  if (index < 0 || index >= int(lines_.size())) return kEmpty;
  if (hasTail_ && index == int(lines_.size()) - 1) return tail_;
  return lines_[size_t(index)];
}

const std::string& LinePane::LastLine() const { return lines_.empty() ? kEmpty : lines_.back(); }

void LinePane::ReplaceLastLine(const std::string& text) {
  if (lines_.empty()) {
    AppendLine(text);
    return;
  }
  lines_.back() = text;
  hasTail_ = false;
  widest_ = std::max(widest_, CellsOfLine(text));
  Changed();
}

void LinePane::AppendLine(const std::string& text, bool echo) {
  lines_.push_back(text);
  echo_.push_back(echo);
  hasTail_ = false;
  widest_ = std::max(widest_, CellsOfLine(text));
  if (lines_.size() > size_t(MaxLines)) {
    lines_.pop_front();
    echo_.pop_front();
    ++dropped_;
    // The selection keeps to its text; a part that scrolled off is gone.
    for (Position* p : {&anchor_, &cursor_}) *p = p->line > 0 ? Position{p->line - 1, p->column} : Position{};
  }
  Changed();
}

void LinePane::SetTail(const std::string& text) {
  const bool show = !lines_.empty() && text != lines_.back();
  if (show == hasTail_ && (!show || text == tail_)) return;
  hasTail_ = show;
  if (show) {
    tail_ = text;
    widest_ = std::max(widest_, CellsOfLine(text));
  }
  Changed();
}

void LinePane::Clear() {
  hasTail_ = false;
  lines_.clear();
  echo_.clear();
  widest_ = 0;
  dropped_ = 0;
  anchor_ = cursor_ = Position{};
  Changed();
}

void LinePane::Changed() {
  // Changes cost one scroll-bar update and one paint on the next pass, or,
  // within kRepaintDelayMs of the last one, when that time is up: a fast
  // stream repaints at most about 40 times a second, and a change after a
  // quiet spell shows at once.
  if (syncPending_) return;
  syncPending_ = true;
  const qint64 since = lastSync_.isValid() ? lastSync_.elapsed() : kRepaintDelayMs;
  const int delay = int(std::clamp<qint64>(kRepaintDelayMs - since, 0, kRepaintDelayMs));
  QTimer::singleShot(delay, this, [this] { Guarded([this] { SyncScrollBars(); }); });
}

int LinePane::LineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

qreal LinePane::CharWidth() const {
  return std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(QLatin1Char('M')));
}

int LinePane::VisibleLines() const { return std::max(1, viewport()->height() / LineHeight()); }

int LinePane::FirstVisible() const { return verticalScrollBar()->value(); }

int LinePane::VisibleCount() const {
  const int rows = (viewport()->height() + LineHeight() - 1) / LineHeight();
  return std::clamp(LineCount() - FirstVisible(), 0, rows);
}

void LinePane::SyncScrollBars() {
  syncPending_ = false;
  lastSync_.start();
  QScrollBar* v = verticalScrollBar();
  // Follow the end only while the view was at the bottom before the change.
  const bool atBottom = v->value() >= v->maximum();
  const int keep = v->value() - dropped_;
  dropped_ = 0;
  const int page = VisibleLines();
  v->setPageStep(page);
  v->setSingleStep(1);
  v->setRange(0, std::max(0, LineCount() - page));
  v->setValue(atBottom ? v->maximum() : std::max(0, keep));

  QScrollBar* h = horizontalScrollBar();
  const qreal cw = CharWidth();
  const qint64 contentWidth = qint64(std::ceil(qreal(widest_) * cw)) + 2 * kMargin;
  h->setPageStep(viewport()->width());
  h->setSingleStep(int(std::ceil(cw)));
  h->setRange(0, int(std::clamp<qint64>(contentWidth - viewport()->width(), 0, INT_MAX / 2)));
  viewport()->update();
}

qreal LinePane::ColumnX(const std::string& line, size_t column) const {
  const size_t shown = std::min(column, ShownLength(line));
  size_t cells = 0;
  for (size_t i = 0; i < shown; ++i) cells += size_t(CellsOfByte(uint8_t(line[i])));
  return kMargin + qreal(cells) * CharWidth() - horizontalScrollBar()->value();
}

LinePane::Position LinePane::PositionAt(const QPoint& point) const {
  if (lines_.empty()) return {};
  const int index = std::clamp(FirstVisible() + point.y() / LineHeight(), 0, LineCount() - 1);
  const std::string& line = Line(index);
  const qreal cw = CharWidth();
  const qreal x = point.x() + horizontalScrollBar()->value() - kMargin;
  // The column whose cell holds x, or the next one past its middle.
  const size_t shown = ShownLength(line);
  qreal left = 0;
  for (size_t i = 0; i < shown; ++i) {
    const qreal width = CellsOfByte(uint8_t(line[i])) * cw;
    if (x < left + width / 2) return {index, i};
    left += width;
  }
  // Past the end: the hidden line end belongs to the selection.
  return {index, x < left + cw ? shown : line.size()};
}

void LinePane::Select(Position anchor, Position cursor) {
  anchor_ = anchor;
  cursor_ = cursor;
  viewport()->update();
}

void LinePane::SelectAll() {
  if (lines_.empty()) return;
  Select({0, 0}, {LineCount() - 1, Line(LineCount() - 1).size()});
}

QString LinePane::SelectedText() const {
  QString text;
  if (!HasSelection()) return text;
  Position a = anchor_, b = cursor_;
  if (b.line < a.line || (b.line == a.line && b.column < a.column)) std::swap(a, b);
  for (int i = a.line; i <= b.line && i < LineCount(); ++i) {
    if (i > a.line) text += QLatin1Char('\n');
    const std::string& line = Line(i);
    AppendShown(text, line, i == a.line ? a.column : 0, i == b.line ? b.column : line.size());
  }
  return text;
}

void LinePane::Copy() const {
  if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

QString LinePane::VisibleText() const {
  QString text;
  const int first = FirstVisible();
  for (int i = first; i < first + VisibleCount(); ++i) {
    if (i > first) text += QLatin1Char('\n');
    AppendShown(text, Line(i), 0, std::string::npos);
  }
  return text;
}

void LinePane::EnsureVisible(const Position& position) {
  QScrollBar* v = verticalScrollBar();
  if (v->maximum() < LineCount() - VisibleLines()) SyncScrollBars();
  if (position.line < v->value())
    v->setValue(position.line);
  else if (position.line >= v->value() + VisibleLines())
    v->setValue(position.line - VisibleLines() + 1);
  viewport()->update();
}

void LinePane::paintEvent(QPaintEvent* event) {
  Guarded([&] {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), Qt::black);
    painter.setFont(font());
    const QColor received(Qt::white);
    const QColor echoed(255, 200, 60);  // amber: bytes this program sent
    const QColor markInk(200, 200, 200);
    const QColor highlight = palette().color(QPalette::Active, QPalette::Highlight);
    const int lh = LineHeight();
    const qreal cw = CharWidth();
    const int ascent = fontMetrics().ascent();
    const int first = FirstVisible();
    const int xOffset = horizontalScrollBar()->value();
    // Only the cells inside the viewport are converted and drawn.
    const size_t firstCell = size_t(std::max<qreal>(0, (xOffset - kMargin) / cw));
    const size_t endCell = firstCell + size_t(viewport()->width() / cw + 2);
    Position selStart = anchor_, selEnd = cursor_;
    if (selEnd.line < selStart.line || (selEnd.line == selStart.line && selEnd.column < selStart.column))
      std::swap(selStart, selEnd);
    QString text;
    for (int row = 0; row < VisibleCount(); ++row) {
      const int index = first + row;
      const std::string& line = Line(index);
      const QColor ink = IsEcho(index) ? echoed : received;
      const int y = row * lh;
      if (HasSelection() && index >= selStart.line && index <= selEnd.line) {
        const qreal x1 = index == selStart.line ? ColumnX(line, selStart.column) : kMargin - xOffset;
        // A selection that goes on past the line's end marks that end too.
        const qreal x2 = index == selEnd.line ? ColumnX(line, selEnd.column) : ColumnX(line, line.size()) + cw / 2;
        painter.fillRect(QRectF(x1, y, x2 - x1, lh), highlight);
      }
      const size_t shown = ShownLength(line);
      // Skip the bytes left of the view.
      size_t i = 0, cell = 0;
      while (i < shown && cell + size_t(CellsOfByte(uint8_t(line[i]))) <= firstCell) cell += size_t(CellsOfByte(uint8_t(line[i++])));
      // Runs of ordinary bytes are drawn from their own cell, so that a glyph
      // of another width cannot shift the rest of the line.
      while (i < shown && cell < endCell) {
        const qreal x = kMargin + qreal(cell) * cw - xOffset;
        const uint8_t b = uint8_t(line[i]);
        if (IsControlByte(b)) {
          const int cells = CellsOfByte(b);
          PaintControlMark(painter, QRectF(x, y, cells * cw, lh), b, font(), markInk, Qt::black);
          cell += size_t(cells);
          ++i;
          continue;
        }
        text.clear();
        for (; i < shown && cell < endCell && !IsControlByte(uint8_t(line[i])); ++i, ++cell)
          text += QChar(char16_t(uint8_t(line[i])));  // Latin-1
        painter.setPen(ink);
        painter.drawText(QPointF(x, y + ascent), text);
      }
    }
    // The keyboard's place: a thin bar while the pane has the focus.
    if (hasFocus() && cursor_.line >= first && cursor_.line < first + VisibleCount()) {
      const qreal x = ColumnX(Line(cursor_.line), cursor_.column);
      painter.fillRect(QRectF(x, (cursor_.line - first) * lh, 1, lh), received);
    }
  });
}

void LinePane::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  Changed();
}

void LinePane::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) Changed();
}

void LinePane::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  const Position p = PositionAt(event->position().toPoint());
  Select(event->modifiers() & Qt::ShiftModifier ? anchor_ : p, p);
  selecting_ = true;
  event->accept();
}

void LinePane::mouseMoveEvent(QMouseEvent* event) {
  if (!selecting_) return;
  const QPoint point = event->position().toPoint();
  // Dragging above or below the view scrolls it.
  QScrollBar* v = verticalScrollBar();
  if (point.y() < 0) v->setValue(v->value() - 1);
  if (point.y() >= viewport()->height()) v->setValue(v->value() + 1);
  Select(anchor_, PositionAt(point));
  event->accept();
}

void LinePane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  selecting_ = false;
  // Selected text also goes to the primary selection, as on any X11 desktop.
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (HasSelection() && clipboard->supportsSelection()) clipboard->setText(SelectedText(), QClipboard::Selection);
  event->accept();
}

void LinePane::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  selecting_ = false;
  emit DoubleClicked();
}

void LinePane::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
  emit ContextMenuRequested(event->globalPos());
}

bool LinePane::MoveCursor(QKeyEvent* event) {
  static const QKeySequence::StandardKey kMoves[] = {
      QKeySequence::SelectNextChar,    QKeySequence::SelectPreviousChar,    QKeySequence::SelectNextLine,
      QKeySequence::SelectNextPage,    QKeySequence::SelectPreviousLine,    QKeySequence::SelectPreviousPage,
      QKeySequence::SelectStartOfLine, QKeySequence::SelectEndOfLine,       QKeySequence::SelectStartOfDocument,
      QKeySequence::SelectEndOfDocument};
  if (lines_.empty() || std::none_of(std::begin(kMoves), std::end(kMoves), [&](auto key) { return event == key; }))
    return false;
  // Without a selection, the keyboard starts at the top of the view unless
  // its place is in view.
  if (!HasSelection() && (cursor_.line < FirstVisible() || cursor_.line >= FirstVisible() + VisibleCount()))
    anchor_ = cursor_ = Position{FirstVisible(), 0};
  Position p = cursor_;
  p.line = std::clamp(p.line, 0, LineCount() - 1);
  p.column = std::min(p.column, Line(p.line).size());
  const int page = VisibleLines();
  if (event == QKeySequence::SelectNextChar) {
    if (p.column < Line(p.line).size())
      ++p.column;
    else if (p.line + 1 < LineCount())
      p = {p.line + 1, 0};
  } else if (event == QKeySequence::SelectPreviousChar) {
    if (p.column > 0)
      --p.column;
    else if (p.line > 0)
      p = {p.line - 1, Line(p.line - 1).size()};
  } else if (event == QKeySequence::SelectNextLine || event == QKeySequence::SelectNextPage) {
    p.line = std::min(LineCount() - 1, p.line + (event == QKeySequence::SelectNextLine ? 1 : page));
    p.column = std::min(p.column, Line(p.line).size());
  } else if (event == QKeySequence::SelectPreviousLine || event == QKeySequence::SelectPreviousPage) {
    p.line = std::max(0, p.line - (event == QKeySequence::SelectPreviousLine ? 1 : page));
    p.column = std::min(p.column, Line(p.line).size());
  } else if (event == QKeySequence::SelectStartOfLine) {
    p.column = 0;
  } else if (event == QKeySequence::SelectEndOfLine) {
    p.column = Line(p.line).size();
  } else if (event == QKeySequence::SelectStartOfDocument) {
    p = {0, 0};
  } else if (event == QKeySequence::SelectEndOfDocument) {
    p = {LineCount() - 1, Line(LineCount() - 1).size()};
  }
  Select(anchor_, p);
  EnsureVisible(p);
  return true;
}

void LinePane::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::Copy) {
    Copy();
    event->accept();
    return;
  }
  if (event == QKeySequence::SelectAll) {
    SelectAll();
    event->accept();
    return;
  }
  if (MoveCursor(event)) {
    event->accept();
    return;
  }
  // A movement key without Shift drops the selection, as in any text pane.
  switch (event->key()) {
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      if (!(event->modifiers() & Qt::ShiftModifier) && HasSelection()) {
        anchor_ = cursor_;
        viewport()->update();
      }
      break;
    default:
      break;
  }
  QScrollBar* v = verticalScrollBar();
  switch (event->key()) {
    case Qt::Key_Home:
      v->triggerAction(QAbstractSlider::SliderToMinimum);
      horizontalScrollBar()->setValue(0);
      break;
    case Qt::Key_End:
      v->triggerAction(QAbstractSlider::SliderToMaximum);
      break;
    default:
      // Arrows, Page Up and Page Down move the scroll bars.
      QAbstractScrollArea::keyPressEvent(event);
      return;
  }
  event->accept();
}

void LinePane::scrollContentsBy(int, int) { viewport()->update(); }

// The receive pane: a bounded deque of raw byte lines, painted on demand.
#include "linepane.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "errordisplay.h"

namespace {

constexpr int kMargin = 2;  // pixels left of the first character

bool IsControl(uint8_t b) { return b < 32 || b == 127; }

// A control byte as its Unicode control picture (U+2400 + code, U+2421 for 127).
QChar ControlPicture(uint8_t b) { return QChar(char16_t(b == 127 ? 0x2421 : 0x2400 + b)); }

// A control byte in caret notation: the letter of ^@ .. ^_ and ^? for 127.
QChar CaretLetter(uint8_t b) { return QLatin1Char(char(b == 127 ? '?' : '@' + b)); }

const std::string kEmpty;

}  // namespace

LinePane::LinePane(QWidget* parent) : QAbstractScrollArea(parent) {
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
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  if (accessibleName().isEmpty()) setAccessibleName(tr("Received data"));
  lines_.emplace_back();
}

int LinePane::LineCount() const { return int(lines_.size()); }

const std::string& LinePane::Line(int index) const {
  if (index < 0 || index >= int(lines_.size())) return kEmpty;
  return lines_[size_t(index)];
}

const std::string& LinePane::LastLine() const { return lines_.empty() ? kEmpty : lines_.back(); }

void LinePane::ReplaceLastLine(const std::string& text) {
  if (lines_.empty()) {
    AppendLine(text);
    return;
  }
  lines_.back() = text;
  widest_ = std::max(widest_, text.size());
  Changed();
}

void LinePane::AppendLine(const std::string& text) {
  lines_.push_back(text);
  widest_ = std::max(widest_, text.size());
  if (lines_.size() > size_t(MaxLines)) {
    lines_.pop_front();
    ++dropped_;
  }
  Changed();
}

void LinePane::Clear() {
  lines_.clear();
  widest_ = 0;
  dropped_ = 0;
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

void LinePane::paintEvent(QPaintEvent* event) {
  Guarded([&] {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), Qt::black);
    painter.setPen(Qt::white);
    painter.setFont(font());
    const int lh = LineHeight();
    const qreal cw = CharWidth();
    const int ascent = fontMetrics().ascent();
    const int first = verticalScrollBar()->value();
    const int xOffset = horizontalScrollBar()->value();
    // Only the characters inside the viewport are converted and drawn.
    const size_t firstChar = size_t(std::max<qreal>(0, (xOffset - kMargin) / cw));
    const size_t charCount = size_t(viewport()->width() / cw + 2);
    const int rows = viewport()->height() / lh + 1;
    // Control bytes are drawn as control pictures when the font has them,
    // otherwise as their caret letter, inverted.
    const bool pictures = fontMetrics().inFontUcs4(0x240D) && fontMetrics().inFontUcs4(0x2421);
    QString text;
    for (int row = 0; row <= rows; ++row) {
      const int index = first + row;
      if (index >= LineCount()) break;
      const std::string& line = lines_[size_t(index)];
      if (line.size() <= firstChar) continue;
      const size_t n = std::min(charCount, line.size() - firstChar);
      const qreal x0 = kMargin + qreal(firstChar) * cw - xOffset;
      const int y = row * lh;
      // Runs of ordinary bytes are drawn from their own cell, so that a glyph
      // of another width cannot shift the rest of the line.
      size_t i = 0;
      while (i < n) {
        const uint8_t b = uint8_t(line[firstChar + i]);
        if (IsControl(b) && !pictures) {
          const QRectF cell(x0 + qreal(i) * cw, y, cw, lh);
          painter.fillRect(cell, QColor(170, 170, 170));
          painter.setPen(Qt::black);
          painter.drawText(cell, Qt::AlignCenter, QString(CaretLetter(b)));
          painter.setPen(Qt::white);
          ++i;
          continue;
        }
        const size_t start = i;
        text.clear();
        for (; i < n; ++i) {
          const uint8_t c = uint8_t(line[firstChar + i]);
          if (!IsControl(c)) {
            text += QChar(char16_t(c));  // Latin-1
          } else if (pictures) {
            text += ControlPicture(c);
          } else {
            break;
          }
        }
        painter.drawText(QPointF(x0 + qreal(start) * cw, y + ascent), text);
      }
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

void LinePane::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  emit DoubleClicked();
}

void LinePane::keyPressEvent(QKeyEvent* event) {
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

// SPDX-License-Identifier: MIT
#include "typingpane.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QSyntaxHighlighter>
#include <QTextBlock>
#include <QTextLayout>

#include "controlmark.h"
#include "errordisplay.h"

namespace {

// Widens each stand-in character to its mark's cells of the pane's font and
// hides its own glyph (no installed font may have one), so the mark painted
// over it never covers the next character.
class MarkWidths : public QSyntaxHighlighter {
 public:
  MarkWidths(QTextDocument* document, const QWidget* pane) : QSyntaxHighlighter(document), pane_(pane) {}

 protected:
  void highlightBlock(const QString& text) override {
    const QFontMetricsF metrics(pane_->font());
    const qreal cell = metrics.horizontalAdvance(QLatin1Char('M'));
    for (int i = 0; i < text.size(); ++i) {
      const int b = ControlByteOfLogChar(text.at(i));
      if (b < 0) continue;
      QTextCharFormat format;
      format.setForeground(Qt::transparent);
      format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
      format.setFontLetterSpacing(CellsOfByte(uint8_t(b)) * cell - metrics.horizontalAdvance(text.at(i)));
      setFormat(i, 1, format);
    }
  }

 private:
  const QWidget* pane_;
};

}  // namespace

TypingPane::TypingPane(QWidget* parent) : QPlainTextEdit(parent), widths_(new MarkWidths(document(), this)) {}

void TypingPane::changeEvent(QEvent* event) {
  QPlainTextEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange) widths_->rehighlight();
}

void TypingPane::paintEvent(QPaintEvent* event) {
  QPlainTextEdit::paintEvent(event);
  Guarded([&] {
    QPainter painter(viewport());
    const QColor ink = palette().color(QPalette::Text);
    const QColor paper = palette().color(QPalette::Base);
    const QPointF offset = contentOffset();
    const int bottom = event->rect().bottom();
    for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
      const QRectF area = blockBoundingGeometry(block).translated(offset);
      if (area.top() > bottom) break;
      if (!block.isVisible()) continue;
      const QString text = block.text();
      const QTextLayout* layout = block.layout();
      for (int i = 0; i < text.size(); ++i) {
        const int b = ControlByteOfLogChar(text.at(i));
        if (b < 0) continue;
        const QTextLine line = layout->lineForTextPosition(i);
        if (!line.isValid()) continue;
        const qreal x1 = line.cursorToX(i);
        const qreal x2 = line.cursorToX(i + 1);
        const QRectF cell(area.left() + x1, area.top() + line.y(), x2 - x1, line.height());
        PaintControlMark(painter, cell, uint8_t(b), font(), ink, paper);
      }
    }
  });
}

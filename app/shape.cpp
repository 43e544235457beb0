// SPDX-License-Identifier: MIT
#include "shape.h"

#include <QPainter>
#include <algorithm>

TShape::TShape(QWidget* parent) : QWidget(parent) {
  setMinimumSize(8, 8);
  UpdateAccessibleName();
}

void TShape::SetBrushColor(const QColor& color) {
  if (brush_ == color) return;
  brush_ = color;
  UpdateAccessibleName();
  update();
}

void TShape::SetMeaning(const QString& meaning) {
  meaning_ = meaning;
  UpdateAccessibleName();
}

void TShape::UpdateAccessibleName() {
  const QString state = brush_ == clLime ? tr("on") : tr("off");
  setAccessibleName(meaning_.isEmpty() ? state : meaning_ + QStringLiteral(": ") + state);
}

// A circle as large as the smaller side, centred, filled with the brush
// colour and drawn with a dark outline.
void TShape::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = std::min(width(), height()) - 2;
  if (side <= 0) return;
  const QRectF circle((width() - side) / 2.0, (height() - side) / 2.0, side, side);
  painter.setPen(QPen(QColor(32, 32, 32), 1.0));
  painter.setBrush(brush_);
  painter.drawEllipse(circle);
}

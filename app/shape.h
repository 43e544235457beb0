// SPDX-License-Identifier: MIT
// TShape: a small circle painted in its brush colour (status lamps).
#pragma once

#include <QColor>
#include <QWidget>

class TShape : public QWidget {
  Q_OBJECT

 public:
  explicit TShape(QWidget* parent = nullptr);
  QColor BrushColor() const { return brush_; }
  // Repaints and updates the accessible name ("<name>: on/off").
  void SetBrushColor(const QColor& color);
  // What the lamp stands for, for screen readers ("Port", "Test client" ...).
  void SetMeaning(const QString& meaning);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void UpdateAccessibleName();
  QColor brush_ = Qt::red;
  QString meaning_;
};

// The named colours of the window system.
inline const QColor clRed{255, 0, 0};
inline const QColor clLime{0, 255, 0};

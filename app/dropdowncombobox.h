// SPDX-License-Identifier: MIT
// DropDownComboBox: a combo box that says when its list is about to drop
// down, so the list can be filled just before the user sees it.
#pragma once

#include <QComboBox>

class DropDownComboBox : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;

  void showPopup() override {
    emit DroppedDown();
    QComboBox::showPopup();
  }

 signals:
  void DroppedDown();
};

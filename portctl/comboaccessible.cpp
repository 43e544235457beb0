// SPDX-License-Identifier: MIT
#include "comboaccessible.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QKeySequence>

#include "comcombobox.h"

namespace {

// As Qt's own combo box interface on Linux (the name is the shown text, the
// label comes by relation), with the text taken from what the field shows:
// a name shown for a port that is not in the list is its value too.
class ComComboBoxAccessible : public QAccessibleWidget {
 public:
  explicit ComComboBoxAccessible(TComComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

  QString text(QAccessible::Text t) const override {
    QString str;
    if (t == QAccessible::Name || t == QAccessible::Value)
      str = Box()->ShownText();
    else if (t == QAccessible::Accelerator)
      str = QKeySequence(Qt::Key_Down).toString(QKeySequence::NativeText);
    return str.isEmpty() ? QAccessibleWidget::text(t) : str;
  }
  int childCount() const override { return 1; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 ? QAccessible::queryAccessibleInterface(Box()->view()) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && child->object() == Box()->view() ? 0 : -1;
  }
  QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
  void doAction(const QString& name) override {
    if (name == showMenuAction() || name == pressAction()) Box()->showPopup();
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  TComComboBox* Box() const { return static_cast<TComComboBox*>(object()); }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (className == QLatin1String("TComComboBox") && object != nullptr && object->isWidgetType())
    return new ComComboBoxAccessible(static_cast<TComComboBox*>(object));
  return nullptr;
}

}  // namespace

void InstallComComboBoxAccessible() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

// SPDX-License-Identifier: MIT
#include "comcombobox.h"

#include <QAccessible>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTimer>
#include <stdexcept>
#include <vector>

#include "comboaccessible.h"
#include "enumerate.h"

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), select_(std::make_unique<TComSelect>(this)) {
  InstallComComboBoxAccessible();
  // A fixed list: the user picks an item and never types one.
  setEditable(false);
  // A chosen item replaces the shown name of an unlisted port.
  connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index < 0) return;
    setPlaceholderText(QString());
    setAccessibleDescription(QString());
  });
  // Only the user's choice runs Change; selecting from code does not. Qt must
  // not see an exception, so errors go to the application's error display.
  connect(this, &QComboBox::activated, this, [this](int) {
    try {
      Change();
    } catch (const std::exception& e) {
      ReportException(this, e);
    } catch (...) {
      ReportException(this, std::runtime_error("Unknown error"));
    }
  });
}

TComComboBox::~TComComboBox() { disconnect(destroyedConnection_); }

void TComComboBox::SetComPort(TCustomComPort* port) {
  if (port == select_->ComPort()) return;
  disconnect(destroyedConnection_);
  destroyedConnection_ = {};
  select_->SetComPort(port);
  if (port == nullptr) return;
  destroyedConnection_ = connect(port, &QObject::destroyed, this, &TComComboBox::PortDestroyed);
  RefreshFromPort();
}

void TComComboBox::SetComProperty(TComProperty value) {
  WatchPorts(value == cpPort);
  select_->SelectProperty(value);
  if (value == cpPort) {
    for (const QString& extra : PortItems({}))
      if (findText(extra, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) addItem(extra);
  }
  if (count() == 0) return;
  if (select_->ComPort() == nullptr)
    SelectFromCode(0);
  else
    SelectFromCode(select_->ReadFromPort());
}

QString TComComboBox::Text() const { return currentIndex() < 0 ? QString() : itemText(currentIndex()); }

void TComComboBox::SetText(const QString& text) {
  for (int i = 0; i < count(); ++i) {
    if (select_->SameItem(itemText(i), text)) {
      setCurrentIndex(i);
      return;
    }
  }
}

void TComComboBox::SetExtraItems(const QStringList& names, const QString& command) {
  extraNames_ = names;
  command_ = command;
  RefreshPortList();  // the extra entries follow the system's current list
}

QStringList TComComboBox::PortItems(const std::vector<std::string>& system) const {
  QStringList items;
  for (const std::string& name : system) items.append(QString::fromStdString(name));
  for (const QString& name : extraNames_)
    if (!items.contains(name)) items.append(name);
  if (!command_.isEmpty()) items.append(command_);
  return items;
}

bool TComComboBox::IsCommand(int index) const {
  return ComProperty() == cpPort && !command_.isEmpty() && index >= 0 && index == count() - 1 &&
         itemText(index) == command_;
}

void TComComboBox::Change() {
  if (IsCommand(currentIndex())) {
    RefreshFromPort();
    if (OnCommand) OnCommand(this);
    return;
  }
  select_->ApplyText(Text().toStdString());
  if (OnChange) OnChange(this);
}

void TComComboBox::UserSelect(int index) {
  setCurrentIndex(index);
  emit activated(currentIndex());
}

void TComComboBox::RefreshFromPort() {
  // ReadFromPort gives -1 for cpNone and for a value with no item.
  SelectFromCode(select_->ReadFromPort());
}

void TComComboBox::SelectFromCode(int index) {
  setCurrentIndex(index);
  // A port name with no item (a pseudo-terminal, an unplugged adapter) is
  // the field's text without joining the list: the combo box shows its
  // placeholder while nothing is selected.
  // Assistive technology reads a fixed list's text from its selected item
  // only, so the name is its description as well.
  const bool unlisted = currentIndex() < 0 && ComProperty() == cpPort && ComPort() != nullptr;
  const QString name = unlisted ? QString::fromStdString(ComPort()->Port()) : QString();
  setPlaceholderText(name);
  setAccessibleDescription(name);
  QAccessibleValueChangeEvent changed(this, ShownText());
  QAccessible::updateAccessibility(&changed);
}

QString TComComboBox::ShownText() const { return currentIndex() < 0 ? placeholderText() : Text(); }

void TComComboBox::paintEvent(QPaintEvent*) {
  // As QComboBox paints, but the unlisted name in the colour of any chosen
  // item: it is the port the window opens, not a hint.
  QStylePainter painter(this);
  painter.setPen(palette().color(QPalette::Text));
  QStyleOptionComboBox option;
  initStyleOption(&option);
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  if (currentIndex() < 0) option.currentText = placeholderText();
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

void TComComboBox::PortDestroyed(QObject* port) {
  if (port != select_->ComPort()) return;
  destroyedConnection_ = {};
  select_->SetComPort(nullptr);
  if (count() > 0) SelectFromCode(0);
}

void TComComboBox::WatchPorts(bool on) {
  if (!on) {
    delete portWatcher_;
    portWatcher_ = nullptr;
    return;
  }
  if (portWatcher_ != nullptr) return;
  portWatcher_ = new QFileSystemWatcher(this);
  portWatcher_->addPath(QString::fromStdString(TComSelect::DevRoot()));
  // A plug-in creates several nodes at once; they are read as one change.
  auto* delay = new QTimer(portWatcher_);
  delay->setSingleShot(true);
  delay->setInterval(kPortListDelayMs);
  connect(portWatcher_, &QFileSystemWatcher::directoryChanged, delay, qOverload<>(&QTimer::start));
  connect(delay, &QTimer::timeout, this, &TComComboBox::RefreshPortList);
}

void TComComboBox::RefreshPortList() {
  if (ComProperty() != cpPort) return;
  std::vector<std::string> names;
  try {
    ListSerialPorts(names, TComSelect::SysfsRoot());
  } catch (const std::exception&) {
    return;
  }
  const QStringList items = PortItems(names);
  QStringList shown;
  for (int i = 0; i < count(); ++i) shown.append(itemText(i));
  if (items == shown) return;
  const QString previous = Text();
  clear();
  addItems(items);
  int index = ComPort() != nullptr ? select_->ReadFromPort() : -1;
  if (index < 0 && !IsCommand(items.indexOf(previous))) index = items.indexOf(previous);
  SelectFromCode(index);
}

void TComComboBox::showPopup() {
  RefreshPortList();
  QComboBox::showPopup();
}

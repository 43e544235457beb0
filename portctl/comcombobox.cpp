#include "comcombobox.h"

#include <QTimer>
#include <stdexcept>
#include <vector>

#include "enumerate.h"

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), select_(std::make_unique<TComSelect>(this)) {
  // A fixed list: the user picks an item and never types one.
  setEditable(false);
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
  if (count() == 0) return;
  if (select_->ComPort() == nullptr)
    setCurrentIndex(0);
  else
    setCurrentIndex(select_->ReadFromPort());
}

QString TComComboBox::Text() const { return currentIndex() < 0 ? QString() : itemText(currentIndex()); }

void TComComboBox::SetText(const QString& text) {
  for (int i = 0; i < count(); ++i) {
    if (itemText(i).compare(text, Qt::CaseInsensitive) == 0) {
      setCurrentIndex(i);
      return;
    }
  }
}

void TComComboBox::Change() {
  select_->ApplyText(Text().toStdString());
  if (OnChange) OnChange(this);
}

void TComComboBox::UserSelect(int index) {
  setCurrentIndex(index);
  emit activated(currentIndex());
}

void TComComboBox::RefreshFromPort() {
  // ReadFromPort gives -1 for cpNone and for a value with no item.
  setCurrentIndex(select_->ReadFromPort());
}

void TComComboBox::PortDestroyed(QObject* port) {
  if (port != select_->ComPort()) return;
  destroyedConnection_ = {};
  select_->SetComPort(nullptr);
  if (count() > 0) setCurrentIndex(0);
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
  QStringList items;
  for (const std::string& name : names) items.append(QString::fromStdString(name));
  QStringList shown;
  for (int i = 0; i < count(); ++i) shown.append(itemText(i));
  if (items == shown) return;
  const QString previous = Text();
  clear();
  addItems(items);
  int index = ComPort() != nullptr ? select_->ReadFromPort() : -1;
  if (index < 0) index = items.indexOf(previous);
  setCurrentIndex(index);
}

void TComComboBox::showPopup() {
  RefreshPortList();
  QComboBox::showPopup();
}

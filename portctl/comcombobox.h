// SPDX-License-Identifier: MIT
// TComComboBox: a drop-down list bound to one setting of one port.
#pragma once

#include <QComboBox>
#include <QFileSystemWatcher>
#include <QMetaObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comselect.h"

class TComComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit TComComboBox(QWidget* parent = nullptr);
  ~TComComboBox() override;

  // The bound port, not owned. Binding reads the port's current value into
  // the selection; when the port is destroyed the binding is dropped and the
  // first item selected.
  TCustomComPort* ComPort() const { return select_->ComPort(); }
  void SetComPort(TCustomComPort* port);
  // Setting the property always refills the list, also for the same value.
  TComProperty ComProperty() const { return select_->ComProperty(); }
  void SetComProperty(TComProperty value);
  bool AutoApply() const { return select_->AutoApply(); }
  void SetAutoApply(bool value) { select_->SetAutoApply(value); }
  // The selected item's text, or "" when nothing is selected (a port name
  // that has no item is still shown in the field, see ShownText). Writing selects
  // the item equal to the text (letter case ignored but for device
  // paths, see TComSelect::SameItem) and does nothing when
  // there is none.
  QString Text() const;
  void SetText(const QString& text);
  // What the field shows: the selected item's text or, for a bound port whose
  // name has no item, that name (it is what opening the port opens).
  QString ShownText() const;

  TComSelect& Select() { return *select_; }

  // Fired after the user's choice has been applied.
  std::function<void(QObject* Sender)> OnChange;

  // Entries after the ports the system lists (port lists only): `names` are
  // ports it cannot list (remote ports used lately), chosen like any other;
  // `command`, when not empty, is the last entry and names no port: choosing
  // it fires OnCommand and leaves the port and the selection as they were.
  void SetExtraItems(const QStringList& names, const QString& command);
  std::function<void(QObject* Sender)> OnCommand;

  // The user's choice: applies the selected text and then fires OnChange.
  // Errors of the port propagate and OnChange is not fired.
  virtual void Change();
  // Picks item `index` as the user would: through the same guarded path as a
  // choice made with the mouse or the keyboard.
  void UserSelect(int index);

  // A port list is read again when it drops down and, while it exists, soon
  // after a device comes or goes in TComSelect::DevRoot(). The selection is
  // kept; a list that cannot be read leaves the old one.
  void RefreshPortList();
  void showPopup() override;
  // How long changes of the device folder are gathered before the list is read.
  static constexpr int kPortListDelayMs = 200;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Selects `index` from code and keeps the shown name of an unlisted port.
  void SelectFromCode(int index);
  void RefreshFromPort();
  void PortDestroyed(QObject* port);

  void WatchPorts(bool on);

  std::unique_ptr<TComSelect> select_;
  // The system's ports followed by the extra entries.
  QStringList PortItems(const std::vector<std::string>& system) const;
  bool IsCommand(int index) const;

  QMetaObject::Connection destroyedConnection_;
  QStringList extraNames_;
  QString command_;
  QFileSystemWatcher* portWatcher_ = nullptr;
};

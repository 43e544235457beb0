// SPDX-License-Identifier: MIT
// TComSelect: the companion of a port property selector. It fills a list
// control with every value one port setting can take, finds the port's
// current value in it and writes a chosen text back into the port.
#pragma once

#include <string>

#include "comport.h"
#include "types.h"

class QComboBox;

enum TComProperty : uint8_t { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

class TComSelect {
 public:
  // `items` is the list control whose item list the companion fills; not owned.
  explicit TComSelect(QComboBox* items);

  // Stores the property, empties the item list and fills it with the texts of
  // every value. cpPort lists the system's ports; a failing enumeration
  // (EComPort code 23) propagates and leaves the list empty.
  void SelectProperty(TComProperty value);
  // Index of the first item equal to the port's current value (see
  // SameItem), whose text is then also taken as the stored value; -1 when no
  // item matches, no port is bound or the property is cpNone.
  int ReadFromPort();
  // Whether an item of the current list stands for `text`. Letter case is
  // ignored, except between port names that are device paths: Linux paths
  // are case-sensitive, and an item matched in another case would show a
  // port other than the one that opens. "COM1" and the built-in ports open
  // in any letter case.
  bool SameItem(const QString& item, const QString& text) const;
  // Parses `text` into the stored value of the current property, then writes
  // it into the port when AutoApply is on. Errors of the port propagate.
  void ApplyText(const std::string& text);
  // Writes the stored value of the current property into the bound port.
  void ApplyToPort();

  TComProperty ComProperty() const { return comProperty_; }
  TCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TCustomComPort* port) { comPort_ = port; }
  bool AutoApply() const { return autoApply_; }
  void SetAutoApply(bool value) { autoApply_ = value; }
  QComboBox* Items() const { return items_; }

  // The stored values; only the one of the current property is used.
  const std::string& StoredPort() const { return port_; }
  TBaudRate StoredBaudRate() const { return baudRate_; }
  TDataBits StoredDataBits() const { return dataBits_; }
  TStopBits StoredStopBits() const { return stopBits_; }
  TParityBits StoredParity() const { return parity_; }
  TFlowControl StoredFlowControl() const { return flowControl_; }

  // The sysfs folder the port list is read from ("/sys"); tests give their own.
  static void SetSysfsRoot(const std::string& root);
  static const std::string& SysfsRoot();
  // The folder whose changes mean that ports came or went ("/dev").
  static void SetDevRoot(const std::string& root);
  static const std::string& DevRoot();

 private:
  // The port's current value of the property in text form.
  std::string PortValueText() const;
  // Parses `text` into the stored value of the current property.
  void ParseText(const std::string& text);

  std::string port_;
  TBaudRate baudRate_ = br9600;
  TDataBits dataBits_ = dbEight;
  TStopBits stopBits_ = sbOneStopBit;
  TParityBits parity_ = prNone;
  TFlowControl flowControl_ = fcNone;
  QComboBox* items_;
  TComProperty comProperty_ = cpNone;
  TCustomComPort* comPort_ = nullptr;
  bool autoApply_ = false;
};

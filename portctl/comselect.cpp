// SPDX-License-Identifier: MIT
#include "comselect.h"

#include <QComboBox>
#include <vector>

#include "portname.h"
#include "enumerate.h"

namespace {

std::string& sysfsRoot() {
  static std::string root = "/sys";
  return root;
}

std::string& devRoot() {
  static std::string root = "/dev";
  return root;
}

}  // namespace

TComSelect::TComSelect(QComboBox* items) : items_(items) {}

void TComSelect::SetSysfsRoot(const std::string& root) { sysfsRoot() = root; }

const std::string& TComSelect::SysfsRoot() { return sysfsRoot(); }

void TComSelect::SetDevRoot(const std::string& root) { devRoot() = root; }

const std::string& TComSelect::DevRoot() { return devRoot(); }

void TComSelect::SelectProperty(TComProperty value) {
  comProperty_ = value;
  items_->clear();
  std::vector<std::string> texts;
  switch (value) {
    case cpNone:
      break;
    case cpPort:
      ListSerialPorts(texts, sysfsRoot());
      break;
    case cpBaudRate:
      for (int i = brCustom; i <= br256000; ++i) texts.push_back(BaudRateToText(static_cast<TBaudRate>(i)));
      break;
    case cpDataBits:
      for (int i = dbFive; i <= dbEight; ++i) texts.push_back(DataBitsToText(static_cast<TDataBits>(i)));
      break;
    case cpStopBits:
      for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i) texts.push_back(StopBitsToText(static_cast<TStopBits>(i)));
      break;
    case cpParity:
      for (int i = prNone; i <= prSpace; ++i) texts.push_back(ParityToText(static_cast<TParityBits>(i)));
      break;
    case cpFlowControl:
      for (int i = fcHardware; i <= fcCustom; ++i) texts.push_back(FlowControlToText(static_cast<TFlowControl>(i)));
      break;
  }
  for (const std::string& text : texts) items_->addItem(QString::fromStdString(text));
}

std::string TComSelect::PortValueText() const {
  switch (comProperty_) {
    case cpPort:
      return comPort_->Port();
    case cpBaudRate:
      return BaudRateToText(comPort_->BaudRate());
    case cpDataBits:
      return DataBitsToText(comPort_->DataBits());
    case cpStopBits:
      return StopBitsToText(comPort_->StopBits());
    case cpParity:
      return ParityToText(comPort_->Parity().Bits());
    case cpFlowControl:
      return FlowControlToText(comPort_->FlowControl().FlowControl());
    case cpNone:
      break;
  }
  return {};
}

int TComSelect::ReadFromPort() {
  if (comPort_ == nullptr || comProperty_ == cpNone) return -1;
  const QString wanted = QString::fromStdString(PortValueText());
  for (int i = 0; i < items_->count(); ++i) {
    const QString item = items_->itemText(i);
    if (SameItem(item, wanted)) {
      ParseText(item.toStdString());
      return i;
    }
  }
  // The list names devices by path, and "COM1" opens /dev/ttyS0: the item of
  // the device the port opens stands for it.
  if (comProperty_ == cpPort) {
    const QString device = QString::fromStdString(serivox::PortDevicePath(comPort_->Port()));
    const int i = items_->findText(device, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (i >= 0) {
      ParseText(device.toStdString());
      return i;
    }
  }
  return -1;
}

bool TComSelect::SameItem(const QString& item, const QString& text) const {
  const bool path = comProperty_ == cpPort && (item.startsWith(QLatin1Char('/')) || text.startsWith(QLatin1Char('/')));
  return item.compare(text, path ? Qt::CaseSensitive : Qt::CaseInsensitive) == 0;
}

void TComSelect::ApplyText(const std::string& text) {
  ParseText(text);
  if (autoApply_) ApplyToPort();
}

void TComSelect::ParseText(const std::string& text) {
  switch (comProperty_) {
    case cpNone:
      break;
    case cpPort:
      port_ = text;
      break;
    case cpBaudRate:
      baudRate_ = BaudRateFromText(text);
      break;
    case cpDataBits:
      dataBits_ = DataBitsFromText(text);
      break;
    case cpStopBits:
      stopBits_ = StopBitsFromText(text);
      break;
    case cpParity:
      parity_ = ParityFromText(text);
      break;
    case cpFlowControl:
      flowControl_ = FlowControlFromText(text);
      break;
  }
}

void TComSelect::ApplyToPort() {
  if (comPort_ == nullptr) return;
  switch (comProperty_) {
    case cpNone:
      break;
    case cpPort:
      comPort_->SetPort(port_);
      break;
    case cpBaudRate:
      comPort_->SetBaudRate(baudRate_);
      break;
    case cpDataBits:
      comPort_->SetDataBits(dataBits_);
      break;
    case cpStopBits:
      comPort_->SetStopBits(stopBits_);
      break;
    case cpParity:
      comPort_->Parity().SetBits(parity_);
      break;
    case cpFlowControl:
      comPort_->FlowControl().SetFlowControl(flowControl_);
      break;
  }
}

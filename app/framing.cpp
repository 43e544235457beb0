// SPDX-License-Identifier: MIT
#include "framing.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

namespace {

constexpr char kParityLetters[] = "NOEMS";
const char* const kParityNames[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kStopNames[] = {"1", "1.5", "2"};

}  // namespace

LineFraming FramingOf(const TCustomComPort& port) {
  return {port.DataBits(), port.Parity().Bits(), port.StopBits()};
}

QString LineSettingText(const TCustomComPort& port) {
  const int rate = port.BaudRate() == brCustom ? port.CustomBaudRate() : BaudRateToInt(port.BaudRate());
  QString text = QStringLiteral("%1 %2%3%4")
                     .arg(rate)
                     .arg(5 + int(port.DataBits()))
                     .arg(QLatin1Char(kParityLetters[port.Parity().Bits()]))
                     .arg(QLatin1String(kStopNames[port.StopBits()]));
  switch (port.FlowControl().FlowControl()) {
    case fcHardware: return text + QStringLiteral(", RTS/CTS");
    case fcSoftware: return text + QStringLiteral(", XON/XOFF");
    case fcCustom: return text + QStringLiteral(", custom flow control");
    case fcNone: break;
  }
  return text;
}

void ApplyFraming(TCustomComPort& port, const LineFraming& framing) {
  const LineFraming before = FramingOf(port);
  auto store = [&port](const LineFraming& f) {
    port.BeginSettingsUpdate();
    try {
      port.SetDataBits(f.dataBits);
      port.Parity().SetBits(f.parity);
      port.SetStopBits(f.stopBits);
    } catch (...) {
      port.EndSettingsUpdate();
      throw;
    }
    port.EndSettingsUpdate();
  };
  try {
    store(framing);
  } catch (...) {
    try {
      store(before);
    } catch (...) {
      // The former framing was accepted before; the first error is the one shown.
    }
    throw;
  }
}

bool ChooseFramingDialog(QWidget* parent, LineFraming& framing) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("LineSettingsDialog"));
  dialog.setWindowTitle(QStringLiteral("Line settings"));
  auto* form = new QFormLayout(&dialog);
  auto addBox = [&](const QString& label, const char* name, const QStringList& items, int current) {
    auto* box = new QComboBox(&dialog);
    box->setObjectName(QLatin1String(name));
    box->addItems(items);
    box->setCurrentIndex(current);
    auto* caption = new QLabel(label, &dialog);
    caption->setBuddy(box);
    form->addRow(caption, box);
    return box;
  };
  QStringList parities;
  for (const char* name : kParityNames) parities << QLatin1String(name);
  QStringList stops;
  for (const char* name : kStopNames) stops << QLatin1String(name);
  QComboBox* data = addBox(QStringLiteral("&Data bits:"), "DataBitsBox", {"5", "6", "7", "8"}, framing.dataBits);
  QComboBox* parity = addBox(QStringLiteral("&Parity:"), "ParityBox", parities, framing.parity);
  QComboBox* stop = addBox(QStringLiteral("&Stop bits:"), "StopBitsBox", stops, framing.stopBits);
  auto* note = new QLabel(QStringLiteral("1.5 stop bits need 5 data bits; with more, the device sends 2."), &dialog);
  note->setWordWrap(true);
  form->addRow(note);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return false;
  framing = {TDataBits(data->currentIndex()), TParityBits(parity->currentIndex()), TStopBits(stop->currentIndex())};
  return true;
}

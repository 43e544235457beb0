// SPDX-License-Identifier: MIT
// The line's framing (data bits, parity, stop bits): the "Line settings..."
// dialog, applying a choice to the port, and the short form of the whole line
// setting ("115200 8N1, RTS/CTS") that the window shows under the port group.
#pragma once

#include <QString>

#include "port.h"

class QWidget;

struct LineFraming {
  TDataBits dataBits = dbEight;
  TParityBits parity = prNone;
  TStopBits stopBits = sbOneStopBit;
  bool operator==(const LineFraming&) const = default;
};

LineFraming FramingOf(const TCustomComPort& port);

// "38400 8N2", "115200 7E1, RTS/CTS", "9600 8N1, XON/XOFF": rate, data bits,
// parity letter, stop bits and, unless none, the flow control.
QString LineSettingText(const TCustomComPort& port);

// Stores the framing in the port in one settings update, so an open port is
// reconfigured once. A combination the device refuses raises the port's
// error; the port then gets its former framing back.
void ApplyFraming(TCustomComPort& port, const LineFraming& framing);

// The modal dialog; returns false on cancel, else `framing` holds the choice.
bool ChooseFramingDialog(QWidget* parent, LineFraming& framing);

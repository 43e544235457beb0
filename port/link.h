// SPDX-License-Identifier: MIT
// TComLink: the callbacks through which a control follows a port.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>

// A record of eleven optional callbacks, all empty after construction. A
// control fills the ones it wants and registers the link with a port; the
// port calls each assigned callback for every registered link, in
// registration order, with itself as Sender.
class TComLink {
 public:
  using BoolCallback = std::function<void(QObject* Sender, bool OnOff)>;
  using BufCallback = std::function<void(QObject* Sender, const uint8_t* Buffer, int32_t Count)>;
  using NotifyCallback = std::function<void(QObject* Sender)>;

  BoolCallback OnConn;        // the port opened (true) or closed (false)
  BufCallback OnRxBuf;        // bytes read for the links
  BufCallback OnTxBuf;        // a write completed; the bytes written
  NotifyCallback OnTxEmpty;   // the output queue became empty
  NotifyCallback OnRxFlag;    // the event character arrived
  BoolCallback OnCTSChange;
  BoolCallback OnDSRChange;
  BoolCallback OnRLSDChange;
  NotifyCallback OnRing;
  BoolCallback OnTx;          // a write started (true), output queue empty (false)
  BoolCallback OnRx;          // bytes found waiting (true), input queue read empty (false)
};

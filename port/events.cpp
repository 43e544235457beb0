// SPDX-License-Identifier: MIT
// The port's per-event steps and its window procedure.
//
// Every callback and handler may close or destroy the port: after each one
// a step goes on only while the port exists and is open.
#include <memory>

#include "comport.h"
#include "device/winconst.h"

using namespace serivox::device;  // the device constants (EV_, CE_, MS_, PURGE_)

void TCustomComPort::ProcessRxChar() {
  const auto life = life_;
  int32_t Count = InputCount();
  if (Count > 0 && !CallLinks(&TComLink::OnRx, true)) return;
  if (Count > 0 && !StillOpen(this, life)) return;
  if (Count > 0 && hasRxBufLink_) {
    // Read once for all links that want the data; the port's own OnRxBuf first.
    std::unique_ptr<uint8_t[]> data;
    int32_t read = 0;
    for (size_t i = 0; i < links_.size(); ++i) {
      TComLink::BufCallback callback = links_[i]->OnRxBuf;
      if (!callback) continue;
      if (!data) {
        data.reset(new uint8_t[static_cast<size_t>(Count)]);
        read = ReceiveBuffer(data.get(), Count);
        TriggerRxBuf(data.get(), read);
        if (!StillOpen(this, life)) return;
      }
      callback(this, data.get(), read);
      if (!StillOpen(this, life)) return;
    }
    if (data) Count = 0;
  }
  if (Count > 0) TriggerRxChar(Count);
}

void TCustomComPort::ProcessTxEmpty() {
  const auto life = life_;
  if (!CallLinks(&TComLink::OnTx, false) || !StillOpen(this, life)) return;
  if (!CallLinks(&TComLink::OnTxEmpty) || !StillOpen(this, life)) return;
  TriggerTxEmpty();
}

void TCustomComPort::ProcessRxFlag() {
  const auto life = life_;
  if (!CallLinks(&TComLink::OnRxFlag) || !StillOpen(this, life)) return;
  TriggerRxFlag();
}

void TCustomComPort::ProcessRing() {
  const auto life = life_;
  if (!CallLinks(&TComLink::OnRing) || !StillOpen(this, life)) return;
  TriggerRing();
}

void TCustomComPort::ProcessBreak() { TriggerBreak(); }

void TCustomComPort::ProcessRx80Full() { TriggerRx80Full(); }

void TCustomComPort::ProcessError() {
  const TComErrors errors = LineErrors();
  if (!errors.Empty()) TriggerError(errors);
}

void TCustomComPort::ProcessCTSChange() {
  const auto life = life_;
  const bool on = Signals().Contains(sgCTS);
  if (!CallLinks(&TComLink::OnCTSChange, on) || !StillOpen(this, life)) return;
  TriggerCTSChange(on);
}

void TCustomComPort::ProcessDSRChange() {
  const auto life = life_;
  const bool on = Signals().Contains(sgDSR);
  if (!CallLinks(&TComLink::OnDSRChange, on) || !StillOpen(this, life)) return;
  TriggerDSRChange(on);
}

void TCustomComPort::ProcessRLSDChange() {
  const auto life = life_;
  const bool on = Signals().Contains(sgRLSD);
  if (!CallLinks(&TComLink::OnRLSDChange, on) || !StillOpen(this, life)) return;
  TriggerRLSDChange(on);
}

// With On false it runs inside Close, where the port is still open: only
// its destruction ends the reports early.
void TCustomComPort::ProcessSignals(bool On) {
  const auto life = life_;
  if (On) {
    ProcessCTSChange();
    if (!StillOpen(this, life)) return;
    ProcessDSRChange();
    if (!StillOpen(this, life)) return;
    ProcessRLSDChange();
    return;
  }
  if (!LinksLinesOff()) return;
  TriggerCTSChange(false);
  if (!life->load()) return;
  TriggerDSRChange(false);
  if (!life->load()) return;
  TriggerRLSDChange(false);
}

// A device that went away has no lines any more, and no line events follow:
// links that show CTS, DSR or RLSD are told they are off now rather than at
// Close, which may never come. The owner then hears of the loss.
void TCustomComPort::ProcessDeviceLost() {
  if (!DeviceOpen()) return;
  const auto life = life_;
  if (!LinksLinesOff() || !StillOpen(this, life)) return;
  TriggerDeviceLost();
}

bool TCustomComPort::LinksLinesOff() {
  return CallLinks(&TComLink::OnCTSChange, false) && CallLinks(&TComLink::OnDSRChange, false) &&
         CallLinks(&TComLink::OnRLSDChange, false);
}

void TCustomComPort::WindowProc(uint32_t wParam) {
  switch (wParam) {
    case EV_RXCHAR: ProcessRxChar(); break;
    case EV_RXFLAG: ProcessRxFlag(); break;
    case EV_TXEMPTY: ProcessTxEmpty(); break;
    case EV_CTS: ProcessCTSChange(); break;
    case EV_DSR: ProcessDSRChange(); break;
    case EV_RLSD: ProcessRLSDChange(); break;
    case EV_BREAK: ProcessBreak(); break;
    case EV_ERR: ProcessError(); break;
    case EV_RING: ProcessRing(); break;
    case EV_RX80FULL: ProcessRx80Full(); break;
    default: break;
  }
}

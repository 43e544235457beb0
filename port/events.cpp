// The port's per-event steps and its window procedure.
#include <memory>

#include "comport.h"
#include "device/winconst.h"

void TCustomComPort::ProcessRxChar() {
  int32_t Count = InputCount();
  if (Count > 0) CallLinks(&TComLink::OnRx, true);
  if (Count > 0 && hasRxBufLink_) {
    // Read once for all links that want the data; the port's own OnRxBuf first.
    std::unique_ptr<uint8_t[]> data;
    int32_t read = 0;
    for (size_t i = 0; i < links_.size(); ++i) {
      TComLink::BufCallback callback = links_[i]->OnRxBuf;
      if (!callback) continue;
      if (!data) {
        data.reset(new uint8_t[static_cast<size_t>(Count)]);
        try {
          read = ReceiveBuffer(data.get(), Count);
        } catch (...) {
          Count = 0;
          throw;
        }
        TriggerRxBuf(data.get(), read);
      }
      callback(this, data.get(), read);
    }
    if (data) Count = 0;
  }
  if (Count > 0) TriggerRxChar(Count);
}

void TCustomComPort::ProcessTxEmpty() {
  CallLinks(&TComLink::OnTx, false);
  CallLinks(&TComLink::OnTxEmpty);
  TriggerTxEmpty();
}

void TCustomComPort::ProcessRxFlag() {
  CallLinks(&TComLink::OnRxFlag);
  TriggerRxFlag();
}

void TCustomComPort::ProcessRing() {
  CallLinks(&TComLink::OnRing);
  TriggerRing();
}

void TCustomComPort::ProcessBreak() { TriggerBreak(); }

void TCustomComPort::ProcessRx80Full() { TriggerRx80Full(); }

void TCustomComPort::ProcessError() {
  const TComErrors errors = LineErrors();
  if (!errors.Empty()) TriggerError(errors);
}

void TCustomComPort::ProcessCTSChange() {
  const bool on = Signals().Contains(sgCTS);
  CallLinks(&TComLink::OnCTSChange, on);
  TriggerCTSChange(on);
}

void TCustomComPort::ProcessDSRChange() {
  const bool on = Signals().Contains(sgDSR);
  CallLinks(&TComLink::OnDSRChange, on);
  TriggerDSRChange(on);
}

void TCustomComPort::ProcessRLSDChange() {
  const bool on = Signals().Contains(sgRLSD);
  CallLinks(&TComLink::OnRLSDChange, on);
  TriggerRLSDChange(on);
}

void TCustomComPort::ProcessSignals(bool On) {
  if (On) {
    ProcessCTSChange();
    ProcessDSRChange();
    ProcessRLSDChange();
    return;
  }
  CallLinks(&TComLink::OnCTSChange, false);
  CallLinks(&TComLink::OnDSRChange, false);
  CallLinks(&TComLink::OnRLSDChange, false);
  TriggerCTSChange(false);
  TriggerDSRChange(false);
  TriggerRLSDChange(false);
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

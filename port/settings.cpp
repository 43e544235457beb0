// SPDX-License-Identifier: MIT
// The settings objects: compare, store, push through the owning port.
#include "settings.h"

#include <stdexcept>

#include "comport.h"

void TComSettings::Assign(const TComSettings& source) {
  if (!CopyFrom(source))
    throw std::runtime_error(std::string("Cannot assign a ") + source.ClassName() + " to a " + ClassName());
}

// --- TComTimeouts -------------------------------------------------------------

void TComTimeouts::Set(int32_t& field, int32_t v) {
  if (field == v) return;
  field = v;
  if (port_) port_->ApplyTimeouts();
}
void TComTimeouts::SetReadInterval(int32_t v) { Set(readInterval_, v); }
void TComTimeouts::SetReadTotalMultiplier(int32_t v) { Set(readTotalMultiplier_, v); }
void TComTimeouts::SetReadTotalConstant(int32_t v) { Set(readTotalConstant_, v); }
void TComTimeouts::SetWriteTotalMultiplier(int32_t v) { Set(writeTotalMultiplier_, v); }
void TComTimeouts::SetWriteTotalConstant(int32_t v) { Set(writeTotalConstant_, v); }

bool TComTimeouts::CopyFrom(const TComSettings& source) {
  const auto* s = dynamic_cast<const TComTimeouts*>(&source);
  if (!s) return false;
  readInterval_ = s->readInterval_;
  readTotalMultiplier_ = s->readTotalMultiplier_;
  readTotalConstant_ = s->readTotalConstant_;
  writeTotalMultiplier_ = s->writeTotalMultiplier_;
  writeTotalConstant_ = s->writeTotalConstant_;
  return true;
}

// --- TComFlowControl ----------------------------------------------------------

template <typename T>
void TComFlowControl::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  if (port_) port_->ApplyCommState();
}
void TComFlowControl::SetOutCTSFlow(bool v) { Set(outCTSFlow_, v); }
void TComFlowControl::SetOutDSRFlow(bool v) { Set(outDSRFlow_, v); }
void TComFlowControl::SetControlDTR(TDTRFlowControl v) { Set(controlDTR_, v); }
void TComFlowControl::SetControlRTS(TRTSFlowControl v) { Set(controlRTS_, v); }
void TComFlowControl::SetXonXoffOut(bool v) { Set(xonXoffOut_, v); }
void TComFlowControl::SetXonXoffIn(bool v) { Set(xonXoffIn_, v); }
void TComFlowControl::SetDSRSensitivity(bool v) { Set(dsrSensitivity_, v); }
void TComFlowControl::SetTxContinueOnXoff(bool v) { Set(txContinueOnXoff_, v); }
void TComFlowControl::SetXonChar(uint8_t v) { Set(xonChar_, v); }
void TComFlowControl::SetXoffChar(uint8_t v) { Set(xoffChar_, v); }

TFlowControl TComFlowControl::FlowControl() const {
  if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
  if (v != fcCustom) {
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (v == fcHardware) {
      controlRTS_ = rtsHandshake;
      outCTSFlow_ = true;
    } else if (v == fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  if (port_) port_->ApplyCommState();
}

bool TComFlowControl::CopyFrom(const TComSettings& source) {
  const auto* s = dynamic_cast<const TComFlowControl*>(&source);
  if (!s) return false;
  outCTSFlow_ = s->outCTSFlow_;
  outDSRFlow_ = s->outDSRFlow_;
  controlDTR_ = s->controlDTR_;
  controlRTS_ = s->controlRTS_;
  xonXoffOut_ = s->xonXoffOut_;
  xonXoffIn_ = s->xonXoffIn_;
  dsrSensitivity_ = s->dsrSensitivity_;
  txContinueOnXoff_ = s->txContinueOnXoff_;
  xonChar_ = s->xonChar_;
  xoffChar_ = s->xoffChar_;
  return true;
}

// --- TComParity ---------------------------------------------------------------

template <typename T>
void TComParity::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  if (port_) port_->ApplyCommState();
}
void TComParity::SetBits(TParityBits v) { Set(bits_, v); }
void TComParity::SetCheck(bool v) { Set(check_, v); }
void TComParity::SetReplace(bool v) { Set(replace_, v); }
void TComParity::SetReplaceChar(uint8_t v) { Set(replaceChar_, v); }

bool TComParity::CopyFrom(const TComSettings& source) {
  const auto* s = dynamic_cast<const TComParity*>(&source);
  if (!s) return false;
  bits_ = s->bits_;
  check_ = s->check_;
  replace_ = s->replace_;
  replaceChar_ = s->replaceChar_;
  return true;
}

// --- TComBuffer ---------------------------------------------------------------

void TComBuffer::Set(int32_t& field, int32_t v) {
  if (field == v) return;  // decided on the value passed in, before rounding
  field = v;
  if (field > 0 && field % 2 != 0) --field;
  if (port_) port_->ApplyBufferSizes();
}
void TComBuffer::SetInputSize(int32_t v) { Set(inputSize_, v); }
void TComBuffer::SetOutputSize(int32_t v) { Set(outputSize_, v); }

bool TComBuffer::CopyFrom(const TComSettings& source) {
  const auto* s = dynamic_cast<const TComBuffer*>(&source);
  if (!s) return false;
  outputSize_ = s->outputSize_;
  inputSize_ = s->inputSize_;
  return true;
}

// SPDX-License-Identifier: MIT
// Blocking transfers, queries, line control and link registration.
#include <algorithm>
#include <cstring>

#include "comport.h"
#include "device/device.h"

using namespace serivox::device;  // the device constants (EV_, CE_, MS_, PURGE_)

namespace {
// Frees an operation record whatever happens in between.
class AsyncGuard {
 public:
  explicit AsyncGuard(TCustomComPort& port) : port_(port) { port_.AllocAsync(op_); }
  ~AsyncGuard() { port_.ReleaseAsync(op_); }
  PAsync op() const { return op_; }

 private:
  TCustomComPort& port_;
  PAsync op_ = nullptr;
};
}  // namespace

// --- Blocking transfers -----------------------------------------------------

int32_t TCustomComPort::SendBuffer(const void* Buffer, int32_t Count) {
  AsyncGuard guard(*this);
  StartWrite(Buffer, Count, guard.op());
  return WaitForCompletion(guard.op());
}

int32_t TCustomComPort::SendText(const std::string& Str) {
  AsyncGuard guard(*this);
  StartWriteText(Str, guard.op());
  return WaitForCompletion(guard.op());
}

int32_t TCustomComPort::ReceiveBuffer(void* Buffer, int32_t Count) {
  AsyncGuard guard(*this);
  StartRead(Buffer, Count, guard.op());
  return WaitForCompletion(guard.op());
}

int32_t TCustomComPort::ReceiveText(std::string& Str, int32_t Count) {
  AsyncGuard guard(*this);
  StartReadText(Str, Count, guard.op());
  const int32_t n = WaitForCompletion(guard.op());
  Str.resize(static_cast<size_t>(std::max(0, n)));
  return n;
}

// --- Operation records ----------------------------------------------------------

void TCustomComPort::AllocAsync(PAsync& Op) { Op = new TAsyncOperation(); }

void TCustomComPort::ReleaseAsync(PAsync& Op) {
  delete Op;
  Op = nullptr;
}

// The transfer runs to completion (bounded by the time-outs) when it is
// started; WaitForCompletion then reports its outcome.
int32_t TCustomComPort::StartWrite(const void* Buffer, int32_t Count, PAsync Op) {
  if (!Op) throw EComPort(CError_InvalidAsync);
  const int32_t size = std::max(0, Count);
  Op->Kind = TAsyncOperation::okWrite;
  Op->Data.reset(new uint8_t[static_cast<size_t>(size) + 1]);
  if (size > 0) std::memcpy(Op->Data.get(), Buffer, static_cast<size_t>(size));
  Op->Size = size;
  Op->Transferred = 0;
  Op->Error = 0;
  serivox::device::Device& device = DeviceOr(CError_WriteFailed);
  int done = 0;
  const int error = device.write(Op->Data.get(), size, done);
  Op->Transferred = done;
  if (error != 0) {
    Op->Error = error;
    throw EComPort(CError_WriteFailed, error);
  }
  CallLinks(&TComLink::OnTx, true);
  return done;
}

int32_t TCustomComPort::StartWriteText(const std::string& Str, PAsync Op) {
  if (Str.empty()) return 0;
  return StartWrite(Str.data(), static_cast<int32_t>(Str.size()), Op);
}

int32_t TCustomComPort::StartRead(void* Buffer, int32_t Count, PAsync Op) {
  if (!Op) throw EComPort(CError_InvalidAsync);
  Op->Kind = TAsyncOperation::okRead;
  Op->Transferred = 0;
  Op->Error = 0;
  serivox::device::Device& device = DeviceOr(CError_ReadFailed);
  int done = 0;
  const int error = device.read(static_cast<uint8_t*>(Buffer), std::max(0, Count), done);
  Op->Transferred = done;
  if (error != 0) {
    Op->Error = error;
    throw EComPort(CError_ReadFailed, error);
  }
  return done;
}

int32_t TCustomComPort::StartReadText(std::string& Str, int32_t Count, PAsync Op) {
  Str.assign(static_cast<size_t>(std::max(0, Count)), '\0');
  if (Count <= 0) return 0;
  return StartRead(Str.data(), Count, Op);
}

int32_t TCustomComPort::WaitForCompletion(PAsync Op) {
  if (!Op) throw EComPort(CError_InvalidAsync);
  if (Op->Error != 0)
    throw EComPort(Op->Kind == TAsyncOperation::okWrite ? CError_WriteFailed : CError_ReadFailed, Op->Error);
  if (Op->Kind == TAsyncOperation::okRead) {
    // Only a link that follows receive activity needs the queue asked again.
    const bool watched = std::any_of(links_.begin(), links_.end(), [](TComLink* l) { return bool(l->OnRx); });
    if (watched && InputCount() == 0) CallLinks(&TComLink::OnRx, false);
  } else if (Op->Data && Op->Transferred > 0) {
    // The links get the bytes that went out; after a write time-out that is
    // fewer than were given.
    CallLinks(&TComLink::OnTxBuf, static_cast<const uint8_t*>(Op->Data.get()), Op->Transferred);
  }
  return Op->Transferred;
}

// --- Queries and line control ---------------------------------------------------

int32_t TCustomComPort::InputCount() {
  uint32_t errors = 0;
  int inQueue = 0;
  if (const int error = DeviceOr(CError_ClearComFailed).clearCommError(errors, inQueue, nullptr))
    throw EComPort(CError_ClearComFailed, error);
  return inQueue;
}

TComErrors TCustomComPort::LineErrors() {
  uint32_t errors = 0;
  int inQueue = 0;
  if (const int error = DeviceOr(CError_ClearComFailed).clearCommError(errors, inQueue, nullptr))
    throw EComPort(CError_ClearComFailed, error);
  TComErrors result;
  if (errors & CE_FRAME) result += errFrame;
  if ((errors & CE_RXPARITY) && parity_->Check()) result += errRxParity;
  if (errors & CE_OVERRUN) result += errOverrun;
  if (errors & CE_BREAK) result += errBreak;
  if (errors & CE_IOE) result += errIO;
  if (errors & CE_MODE) result += errMode;
  if (errors & CE_RXOVER) result += errRxOver;
  if (errors & CE_TXFULL) result += errTxFull;
  return result;
}

TComSignals TCustomComPort::Signals() {
  uint32_t status = 0;
  if (const int error = DeviceOr(CError_ModemStatFailed).getModemStatus(status))
    throw EComPort(CError_ModemStatFailed, error);
  TComSignals result;
  if (status & MS_CTS_ON) result += sgCTS;
  if (status & MS_DSR_ON) result += sgDSR;
  if (status & MS_RING_ON) result += sgRing;
  if (status & MS_RLSD_ON) result += sgRLSD;
  return result;
}

void TCustomComPort::SetDTRLine(bool OnOff) {
  if (const int error = DeviceOr(CError_EscapeComFailed).escapeFunction(OnOff ? SETDTR : CLRDTR))
    throw EComPort(CError_EscapeComFailed, error);
}

void TCustomComPort::SetRTSLine(bool OnOff) {
  if (const int error = DeviceOr(CError_EscapeComFailed).escapeFunction(OnOff ? SETRTS : CLRRTS))
    throw EComPort(CError_EscapeComFailed, error);
}

void TCustomComPort::SetBreakLine(bool OnOff) {
  if (const int error = DeviceOr(CError_EscapeComFailed).escapeFunction(OnOff ? SETBREAK : CLRBREAK))
    throw EComPort(CError_EscapeComFailed, error);
}

void TCustomComPort::AbortPendingIO() {
  if (const int error = DeviceOr(CError_PurgeFailed).purge(PURGE_TXABORT | PURGE_RXABORT))
    throw EComPort(CError_PurgeFailed, error);
}

// --- Links ------------------------------------------------------------------------

void TCustomComPort::RegisterLink(TComLink* Link) {
  if (!Link || std::find(links_.begin(), links_.end(), Link) != links_.end()) throw EComPort(CError_RegFailed);
  links_.push_back(Link);
  hasRxBufLink_ = std::any_of(links_.begin(), links_.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

void TCustomComPort::UnregisterLink(TComLink* Link) {
  const auto it = std::find(links_.begin(), links_.end(), Link);
  if (it == links_.end()) throw EComPort(CError_RegFailed);
  links_.erase(it);
  hasRxBufLink_ = std::any_of(links_.begin(), links_.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

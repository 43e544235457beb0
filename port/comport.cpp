// The port object: settings setters, opening and closing, applying settings.
#include "comport.h"

#include <cerrno>
#include <cstdio>

#include "comthread.h"
#include "device/device.h"

using serivox::device::CommTimeouts;
using serivox::device::Dcb;
using serivox::device::Device;

namespace {
ExceptionReporter& Reporter() {
  static ExceptionReporter reporter;
  return reporter;
}
}  // namespace

void SetExceptionReporter(ExceptionReporter reporter) { Reporter() = std::move(reporter); }

void ReportException(QObject* Sender, const std::exception& error) {
  if (Reporter()) {
    Reporter()(Sender, error);
    return;
  }
  std::fprintf(stderr, "%s\n", error.what());
}

// --- Construction -------------------------------------------------------------

TCustomComPort::TCustomComPort(QObject* owner) : QObject(owner) {
  parity_ = std::make_unique<TComParity>();
  parity_->SetComPort(this);
  flowControl_ = std::make_unique<TComFlowControl>();
  flowControl_->SetComPort(this);
  timeouts_ = std::make_unique<TComTimeouts>();
  timeouts_->SetComPort(this);
  buffer_ = std::make_unique<TComBuffer>();
  buffer_->SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // Close refused (the purge failed): end the thread and the device anyway,
    // a destroyed port must not leave either behind.
    eventThread_.reset();
    threadCreated_ = false;
    if (auto* window = static_cast<PortWindow*>(window_)) {
      window->Detach();
      window->deleteLater();
      window_ = nullptr;
    }
    handle_.reset();
    connected_ = false;
  }
  emit FreeNotification(this);
  buffer_.reset();
  flowControl_.reset();
  timeouts_.reset();
  parity_.reset();
}

QObject* TCustomComPort::Window() const { return window_; }

// --- Setters ------------------------------------------------------------------

// A line setting: compared, stored, then pushed to the open device.
template <typename T>
void TCustomComPort::SetCommStateField(T& field, T value) {
  if (value == field) return;
  field = value;
  ApplyCommState();
}

void TCustomComPort::SetConnected(bool value) {
  if (loading_) {
    connected_ = value;
    return;
  }
  if (value == connected_) return;
  if (value)
    Open();
  else
    Close();
}

void TCustomComPort::SetBaudRate(TBaudRate value) { SetCommStateField(baudRate_, value); }

void TCustomComPort::SetCustomBaudRate(int32_t value) { SetCommStateField(customBaudRate_, value); }

void TCustomComPort::SetPort(const std::string& value) {
  if (value == port_) return;
  port_ = value;
  if (connected_ && !loading_) {
    Close();
    Open();
  }
}

void TCustomComPort::SetStopBits(TStopBits value) { SetCommStateField(stopBits_, value); }

void TCustomComPort::SetDataBits(TDataBits value) { SetCommStateField(dataBits_, value); }

void TCustomComPort::SetDiscardNull(bool value) { SetCommStateField(discardNull_, value); }

void TCustomComPort::SetEventChar(uint8_t value) { SetCommStateField(eventChar_, value); }

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == syncMethod_) return;
  if (connected_ && !loading_) throw EComPort(CError_ConnChangeProp);
  syncMethod_ = value;
}

void TCustomComPort::SetParity(const TComParity& value) {
  parity_->Assign(value);
  ApplyCommState();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  flowControl_->Assign(value);
  ApplyCommState();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  timeouts_->Assign(value);
  ApplyTimeouts();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
  buffer_->Assign(value);
  ApplyBufferSizes();
}

// --- Opening and closing --------------------------------------------------------

void TCustomComPort::Open() {
  if (connected_) return;
  TriggerBeforeOpen();
  OpenDevice();
  connected_ = true;
  try {
    ApplyAllSettings();
  } catch (...) {
    CloseDevice();
    connected_ = false;
    throw;
  }
  if (events_.Empty()) {
    threadCreated_ = false;
  } else {
    if (syncMethod_ == smWindowSync) window_ = new PortWindow(this);
    eventThread_ = std::make_unique<TComThread>(this);
    threadCreated_ = true;
  }
  CallLinks(&TComLink::OnConn, true);
  TriggerAfterOpen();
  ProcessSignals(true);
}

void TCustomComPort::Close() {
  if (!connected_) return;
  ProcessSignals(false);
  TriggerBeforeClose();
  AbortPendingIO();
  if (threadCreated_) {
    eventThread_.reset();
    threadCreated_ = false;
    if (auto* window = static_cast<PortWindow*>(window_)) {
      // Deleted later: Close may run inside one of its deliveries.
      window->Detach();
      window->deleteLater();
      window_ = nullptr;
    }
  }
  CloseDevice();
  connected_ = false;
  CallLinks(&TComLink::OnConn, false);
  TriggerAfterClose();
}

void TCustomComPort::Loaded() {
  loading_ = false;
  if (!connected_) return;
  connected_ = false;
  try {
    Open();
  } catch (const std::exception& error) {
    ReportException(this, error);
  }
}

void TCustomComPort::OpenDevice() {
  std::unique_ptr<Device> device;
  const int error = serivox::device::openDevice(port_, device);
  if (error != 0 || !device) throw EComPort(CError_OpenFailed, error != 0 ? error : ENODEV);
  handle_ = std::move(device);
}

void TCustomComPort::CloseDevice() { handle_.reset(); }

void TCustomComPort::SetHandle(std::unique_ptr<Device> device) { handle_ = std::move(device); }

std::unique_ptr<Device> TCustomComPort::TakeHandle() { return std::move(handle_); }

Device& TCustomComPort::DeviceOr(int code) const {
  if (!handle_) throw EComPort(code, EBADF);
  return *handle_;
}

// --- Applying settings ----------------------------------------------------------

bool TCustomComPort::CanApply() const { return connected_ && handle_ && updateCount_ == 0 && !loading_; }

void TCustomComPort::ApplyAllSettings() {
  ApplyBufferSizes();
  ApplyCommState();
  ApplyTimeouts();
}

void TCustomComPort::BeginSettingsUpdate() { ++updateCount_; }

void TCustomComPort::EndSettingsUpdate() {
  if (updateCount_ <= 0) return;
  if (--updateCount_ == 0) ApplyAllSettings();
}

void TCustomComPort::ApplyCommState() {
  if (!CanApply()) return;
  Dcb dcb;
  dcb.DCBlength = 28;
  dcb.BaudRate = static_cast<uint32_t>(baudRate_ == brCustom ? customBaudRate_ : BaudRateToInt(baudRate_));
  dcb.fBinary = true;
  dcb.fParity = parity_->Check();
  dcb.fOutxCtsFlow = flowControl_->OutCTSFlow();
  dcb.fOutxDsrFlow = flowControl_->OutDSRFlow();
  dcb.fDtrControl = flowControl_->ControlDTR();
  dcb.fDsrSensitivity = flowControl_->DSRSensitivity();
  dcb.fTXContinueOnXoff = flowControl_->TxContinueOnXoff();
  dcb.fOutX = flowControl_->XonXoffOut();
  dcb.fInX = flowControl_->XonXoffIn();
  dcb.fErrorChar = parity_->Check() && parity_->Replace();
  dcb.fNull = discardNull_;
  dcb.fRtsControl = flowControl_->ControlRTS();
  dcb.fAbortOnError = false;
  dcb.XonLim = static_cast<uint32_t>(buffer_->InputSize() / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.ByteSize = static_cast<uint8_t>(5 + dataBits_);
  dcb.Parity = parity_->Bits();
  dcb.StopBits = stopBits_;
  dcb.XonChar = flowControl_->XonChar();
  dcb.XoffChar = flowControl_->XoffChar();
  dcb.ErrorChar = dcb.fErrorChar ? parity_->ReplaceChar() : 0;
  dcb.EofChar = 0;
  dcb.EvtChar = eventChar_;
  if (const int error = handle_->setCommState(dcb)) throw EComPort(CError_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  CommTimeouts t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts_->ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_->ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts_->ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_->WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts_->WriteTotalConstant());
  if (const int error = handle_->setCommTimeouts(t)) throw EComPort(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyBufferSizes() {
  if (!CanApply()) return;
  if (const int error = handle_->setupComm(buffer_->InputSize(), buffer_->OutputSize()))
    throw EComPort(CError_SetupComFailed, error);
}

// --- Event triggers -------------------------------------------------------------

void TCustomComPort::TriggerAfterClose() { if (OnAfterClose) OnAfterClose(this); }
void TCustomComPort::TriggerAfterOpen() { if (OnAfterOpen) OnAfterOpen(this); }
void TCustomComPort::TriggerBeforeClose() { if (OnBeforeClose) OnBeforeClose(this); }
void TCustomComPort::TriggerBeforeOpen() { if (OnBeforeOpen) OnBeforeOpen(this); }
void TCustomComPort::TriggerRxChar(int32_t Count) { if (OnRxChar) OnRxChar(this, Count); }
void TCustomComPort::TriggerRxBuf(const uint8_t* Buffer, int32_t Count) { if (OnRxBuf) OnRxBuf(this, Buffer, Count); }
void TCustomComPort::TriggerTxEmpty() { if (OnTxEmpty) OnTxEmpty(this); }
void TCustomComPort::TriggerBreak() { if (OnBreak) OnBreak(this); }
void TCustomComPort::TriggerRing() { if (OnRing) OnRing(this); }
void TCustomComPort::TriggerRxFlag() { if (OnRxFlag) OnRxFlag(this); }
void TCustomComPort::TriggerCTSChange(bool OnOff) { if (OnCTSChange) OnCTSChange(this, OnOff); }
void TCustomComPort::TriggerDSRChange(bool OnOff) { if (OnDSRChange) OnDSRChange(this, OnOff); }
void TCustomComPort::TriggerError(TComErrors Errors) { if (OnError) OnError(this, Errors); }
void TCustomComPort::TriggerRLSDChange(bool OnOff) { if (OnRLSDChange) OnRLSDChange(this, OnOff); }
void TCustomComPort::TriggerRx80Full() { if (OnRx80Full) OnRx80Full(this); }

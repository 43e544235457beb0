// SPDX-License-Identifier: MIT
// The port object: settings setters, opening and closing, applying settings.
#include "comport.h"

#include <QCoreApplication>
#include <QThread>
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

// Each value as its 32-bit pattern, so -1 is MAXDWORD.
CommTimeouts DeviceTimeouts(const TComTimeouts& timeouts) {
  CommTimeouts t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts.ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts.ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts.ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts.WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts.WriteTotalConstant());
  return t;
}

void SetExceptionReporter(ExceptionReporter reporter) { Reporter() = std::move(reporter); }

void ReportException(QObject* Sender, const std::exception& error) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() != app->thread()) {
    // The reporter shows a window: hand a copy of the message to the
    // application's thread.
    const std::string message = error.what();
    QMetaObject::invokeMethod(
        app, [message] { ReportException(nullptr, std::runtime_error(message)); }, Qt::QueuedConnection);
    return;
  }
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
    // Close refused (the purge failed): ended below.
  }
  // Still open when Close was refused, or when a handler destroys the port
  // inside its own Close: a destroyed port leaves no thread or device behind.
  if (DeviceOpen()) {
    StopEventThread();
    handle_.reset();
    state_ = PortState::Closed;
  }
  life_->store(false);
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
    openWhenLoaded_ = value;
    return;
  }
  if (value == DeviceOpen()) return;
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
  if (DeviceOpen() && !loading_) {
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
  if (DeviceOpen() && !loading_) throw EComPort(CError_ConnChangeProp);
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
  if (state_ != PortState::Closed) return;
  const auto life = life_;
  state_ = PortState::Opening;
  // Back to Closed however the opening ends before the device is open.
  struct OpeningScope {
    TCustomComPort* port;
    std::shared_ptr<std::atomic<bool>> life;
    ~OpeningScope() {
      if (life->load() && port->state_ == PortState::Opening) port->state_ = PortState::Closed;
    }
  } scope{this, life};
  TriggerBeforeOpen();
  if (!life->load()) return;  // the handler destroyed the port
  OpenDevice();
  state_ = PortState::Open;
  try {
    ApplyAllSettings();
    if (!events_.Empty()) {
      if (syncMethod_ == smWindowSync) window_ = new PortWindow(this);
      eventThread_ = std::make_unique<TComThread>(this, handle_);
    }
  } catch (...) {
    // A failed set-up leaves the port closed, with no thread or window.
    if (window_) {
      delete window_;
      window_ = nullptr;
    }
    CloseDevice();
    state_ = PortState::Closed;
    throw;
  }
  if (!CallLinks(&TComLink::OnConn, true)) return;
  TriggerAfterOpen();
  if (!StillOpen(this, life)) return;
  ProcessSignals(true);
}

void TCustomComPort::Close() {
  if (state_ != PortState::Open) return;  // closed, opening, or a Close under way
  const auto life = life_;
  state_ = PortState::Closing;
  // Open again however a Close that failed ends (a handler's error, a
  // refused purge), so that it can be tried again.
  struct ClosingScope {
    TCustomComPort* port;
    std::shared_ptr<std::atomic<bool>> life;
    ~ClosingScope() {
      if (life->load() && port->state_ == PortState::Closing) port->state_ = PortState::Open;
    }
  } scope{this, life};
  ProcessSignals(false);
  if (!life->load()) return;
  TriggerBeforeClose();
  if (!life->load()) return;
  AbortPendingIO();  // on failure the port stays open
  StopEventThread();
  DrainOutput();
  CloseDevice();
  state_ = PortState::Closed;  // the after-close handlers may open the port again
  if (!CallLinks(&TComLink::OnConn, false)) return;
  TriggerAfterClose();
}

void TCustomComPort::StopEventThread() {
  if (eventThread_) {
    if (eventThread_->IsCurrentThread())
      TComThread::ReleaseToThread(std::move(eventThread_));  // a smNone handler closing its own port
    else
      eventThread_.reset();
  }
  if (auto* window = static_cast<PortWindow*>(window_)) {
    // Deleted later: Close may run inside one of its deliveries.
    window->Detach();
    window->deleteLater();
    window_ = nullptr;
  }
}

// Bytes that a completed write handed to the device leave the port before it
// closes; the device bounds the wait by the write time-outs.
void TCustomComPort::DrainOutput() {
  if (handle_) handle_->drain();
}

void TCustomComPort::Loaded() {
  loading_ = false;
  if (!openWhenLoaded_) return;
  openWhenLoaded_ = false;
  try {
    Open();
  } catch (const std::exception& error) {
    ReportException(this, error);
  }
}

void TCustomComPort::OpenDevice() {
  if (prepared_) {
    handle_ = std::move(prepared_);
    return;
  }
  std::unique_ptr<Device> device;
  // The time-outs bound a network port's connection.
  const int error = serivox::device::openDevice(port_, device, DeviceTimeouts(*timeouts_));
  if (error != 0 || !device) {
    EComPort failure(CError_OpenFailed, error != 0 ? error : ENODEV);
    failure.SetPortName(port_);
    throw failure;
  }
  handle_ = std::move(device);
}

void TCustomComPort::CloseDevice() { handle_.reset(); }

void TCustomComPort::SetHandle(std::unique_ptr<Device> device) { handle_ = std::move(device); }

Device& TCustomComPort::DeviceOr(int code) const {
  if (!handle_) throw EComPort(code, EBADF);
  return *handle_;
}

// --- Applying settings ----------------------------------------------------------

bool TCustomComPort::CanApply() const { return DeviceOpen() && handle_ && updateCount_ == 0 && !loading_; }

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
  ++commStateApplied_;
  if (const int error = handle_->setCommState(dcb)) throw EComPort(CError_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  if (const int error = handle_->setCommTimeouts(DeviceTimeouts(*timeouts_)))
    throw EComPort(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyBufferSizes() {
  if (!CanApply()) return;
  if (const int error = handle_->setupComm(buffer_->InputSize(), buffer_->OutputSize()))
    throw EComPort(CError_SetupComFailed, error);
}

// --- Event triggers -------------------------------------------------------------

void TCustomComPort::TriggerAfterClose() { Fire(OnAfterClose); }
void TCustomComPort::TriggerAfterOpen() { Fire(OnAfterOpen); }
void TCustomComPort::TriggerBeforeClose() { Fire(OnBeforeClose); }
void TCustomComPort::TriggerBeforeOpen() { Fire(OnBeforeOpen); }
void TCustomComPort::TriggerRxChar(int32_t Count) { Fire(OnRxChar, Count); }
void TCustomComPort::TriggerRxBuf(const uint8_t* Buffer, int32_t Count) { Fire(OnRxBuf, Buffer, Count); }
void TCustomComPort::TriggerTxEmpty() { Fire(OnTxEmpty); }
void TCustomComPort::TriggerBreak() { Fire(OnBreak); }
void TCustomComPort::TriggerRing() { Fire(OnRing); }
void TCustomComPort::TriggerRxFlag() { Fire(OnRxFlag); }
void TCustomComPort::TriggerCTSChange(bool OnOff) { Fire(OnCTSChange, OnOff); }
void TCustomComPort::TriggerDSRChange(bool OnOff) { Fire(OnDSRChange, OnOff); }
void TCustomComPort::TriggerError(TComErrors Errors) { Fire(OnError, Errors); }
void TCustomComPort::TriggerRLSDChange(bool OnOff) { Fire(OnRLSDChange, OnOff); }
void TCustomComPort::TriggerRx80Full() { Fire(OnRx80Full); }
void TCustomComPort::TriggerDeviceLost() { Fire(OnDeviceLost); }

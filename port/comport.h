// SPDX-License-Identifier: MIT
// The serial port component: settings, opening and closing, event delivery,
// data transfer and line control, persistence.
//
// Threading contract:
//  - Open, Close, every setter, the apply steps, link registration and the
//    persistence calls run on the owner's thread (the thread the port lives in).
//  - While the port is open with a non-empty Events set, one event thread waits
//    on the device. With smWindowSync and smThreadSync every per-event step and
//    every handler runs on the owner's thread; with smNone they run on the event
//    thread and the owner must not touch the port meanwhile.
//  - Blocking transfers run on the calling thread; a transfer started by the
//    owner and one started during event delivery share no state.
//  - A handler may close or delete its own port in every SyncMethod; the
//    delivery that called it stops. Close is re-entrant: a Close that finds
//    one under way returns at once, and each close notification fires once.
//  - An error raised by a step or a handler goes to the exception reporter
//    (on the owner's thread) and delivery goes on with the next event.
//  - A device that goes away (a USB adapter pulled, the far end of a
//    pseudo-terminal closed) is reported once through OnDeviceLost, on the
//    owner's thread in every SyncMethod; the port stays open until closed.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "link.h"
#include "settings.h"
#include "types.h"

namespace serivox::device {
class Device;
}
class TComThread;
class TIniFile;
class TRegistry;
class PortWindow;

// One overlapped transfer: created by AllocAsync, owned by the caller until
// ReleaseAsync. The transfer itself runs in StartWrite/StartRead; its outcome
// is kept here for WaitForCompletion.
struct TAsyncOperation {
  enum TKind { okWrite, okRead };
  TKind Kind = okWrite;
  std::unique_ptr<uint8_t[]> Data;  // a write's private copy of its bytes
  int32_t Size = 0;
  int32_t Transferred = 0;  // bytes moved when the transfer completed
  int Error = 0;            // errno of a transfer that ended unsuccessfully
};
using PAsync = TAsyncOperation*;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TRxCharEvent = std::function<void(QObject* Sender, int32_t Count)>;
using TRxBufEvent = std::function<void(QObject* Sender, const uint8_t* Buffer, int32_t Count)>;
using TComErrorEvent = std::function<void(QObject* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(QObject* Sender, bool OnOff)>;

class TCustomComPort : public QObject {
  Q_OBJECT

 public:
  explicit TCustomComPort(QObject* owner = nullptr);
  ~TCustomComPort() override;

  // --- Settings -------------------------------------------------------------
  // Whether the port is open; while loading, whether it is to open when loaded.
  bool Connected() const { return loading_ ? openWhenLoaded_ : DeviceOpen(); }
  void SetConnected(bool value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(int32_t value);
  const std::string& Port() const { return port_; }
  // A different name on an open port closes it and opens the new device.
  void SetPort(const std::string& value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool value);
  uint8_t EventChar() const { return eventChar_; }
  void SetEventChar(uint8_t value);
  TComEvents Events() const { return events_; }
  // Takes effect at the next Open.
  void SetEvents(TComEvents value) { events_ = value; }
  TSyncMethod SyncMethod() const { return syncMethod_; }
  // Refused with code 14 on an open port.
  void SetSyncMethod(TSyncMethod value);
  TSettingsGroups StoredGroups() const { return storedGroups_; }
  void SetStoredGroups(TSettingsGroups value) { storedGroups_ = value; }

  TComParity& Parity() { return *parity_; }
  TComFlowControl& FlowControl() { return *flowControl_; }
  TComTimeouts& Timeouts() { return *timeouts_; }
  TComBuffer& Buffer() { return *buffer_; }
  const TComParity& Parity() const { return *parity_; }
  const TComFlowControl& FlowControl() const { return *flowControl_; }
  const TComTimeouts& Timeouts() const { return *timeouts_; }
  const TComBuffer& Buffer() const { return *buffer_; }
  // Copy the given object into the port's own and push the group.
  void SetParity(const TComParity& value);
  void SetFlowControl(const TComFlowControl& value);
  void SetTimeouts(const TComTimeouts& value);
  void SetBuffer(const TComBuffer& value);

  // --- Lifecycle ------------------------------------------------------------
  void Open();
  void Close();
  void BeginSettingsUpdate();
  void EndSettingsUpdate();
  int32_t UpdateCount() const { return updateCount_; }
  // The loading state: setters only store, Connected only records the wish.
  void BeginLoading() { loading_ = true; }
  bool Loading() const { return loading_; }
  // Ends loading; opens the port when Connected was recorded true. An error of
  // that open goes to the application's exception reporter.
  virtual void Loaded();

  // Counts the applications of the line settings; each sets DTR and RTS by
  // the control modes again (every Open, every change while open).
  uint64_t CommStateApplied() const { return commStateApplied_; }
  // The open device, or null (the invalid handle) while closed.
  serivox::device::Device* Handle() const { return handle_.get(); }
  // Cleared when the port is destroyed; see PortLife.
  std::shared_ptr<std::atomic<bool>> Life() const { return life_; }
  bool ThreadCreated() const { return eventThread_ != nullptr; }
  const std::vector<TComLink*>& Links() const { return links_; }
  bool HasRxBufLink() const { return hasRxBufLink_; }

  // --- Data transfer and line control ----------------------------------------
  int32_t SendBuffer(const void* Buffer, int32_t Count);
  int32_t SendText(const std::string& Str);
  int32_t ReceiveBuffer(void* Buffer, int32_t Count);
  int32_t ReceiveText(std::string& Str, int32_t Count);
  void AllocAsync(PAsync& Op);
  void ReleaseAsync(PAsync& Op);
  int32_t StartWrite(const void* Buffer, int32_t Count, PAsync Op);
  int32_t StartWriteText(const std::string& Str, PAsync Op);
  int32_t StartRead(void* Buffer, int32_t Count, PAsync Op);
  int32_t StartReadText(std::string& Str, int32_t Count, PAsync Op);
  int32_t WaitForCompletion(PAsync Op);
  int32_t InputCount();
  TComErrors LineErrors();
  TComSignals Signals();
  void SetDTRLine(bool OnOff);
  void SetRTSLine(bool OnOff);
  // Holds the transmit line in the break state (true) or releases it; on a
  // closed port, or when the device refuses, raises code 12.
  void SetBreakLine(bool OnOff);
  void AbortPendingIO();
  void RegisterLink(TComLink* Link);
  void UnregisterLink(TComLink* Link);

  // --- Persistence ----------------------------------------------------------
  // FromIni true: the INI file at Path; false: the registry key chosen by Path.
  void PersistSettings(bool FromIni, const std::string& Path);
  void RestoreSettings(bool FromIni, const std::string& Path);
  // The same on an INI file the caller holds (for one batch with its own
  // keys): the stored keys go to, or come from, `IniFile` only; storing it is
  // the caller's. Errors as above, codes 16 and 17.
  void PersistSettings(TIniFile& IniFile);
  void RestoreSettings(TIniFile& IniFile);

  // --- Events ---------------------------------------------------------------
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnBreak;
  TNotifyEvent OnRing;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TComErrorEvent OnError;
  TNotifyEvent OnRxFlag;
  TNotifyEvent OnAfterOpen;
  TNotifyEvent OnAfterClose;
  TNotifyEvent OnBeforeOpen;
  TNotifyEvent OnBeforeClose;
  TNotifyEvent OnRx80Full;
  // The device went away; fired once per open, on the owner's thread.
  TNotifyEvent OnDeviceLost;

  // --- Per-event steps (run by the event delivery) --------------------------
  void ProcessRxChar();
  void ProcessTxEmpty();
  void ProcessRxFlag();
  void ProcessRing();
  void ProcessBreak();
  void ProcessCTSChange();
  void ProcessDSRChange();
  void ProcessRLSDChange();
  void ProcessError();
  void ProcessRx80Full();
  void ProcessSignals(bool On);
  void ProcessDeviceLost();
  // The hidden window's procedure: one port event message (wParam = EV_ bit).
  void WindowProc(uint32_t wParam);
  // The hidden message window while open with smWindowSync, else null.
  QObject* Window() const;

 signals:
  // The free notification: emitted by the destructor after the port has been
  // closed, while the port and its link list still exist. Controls bound to
  // the port unbind here (QObject::destroyed comes too late to touch the port).
  void FreeNotification(TCustomComPort* port);

 protected:
  virtual void StoreToRegistry(TRegistry& Reg);
  virtual void StoreToIniFile(TIniFile& IniFile);
  virtual void LoadFromRegistry(TRegistry& Reg);
  virtual void LoadFromIniFile(TIniFile& IniFile);
  virtual void OpenDevice();
  virtual void CloseDevice();
  virtual void ApplyAllSettings();

  virtual void TriggerAfterClose();
  virtual void TriggerAfterOpen();
  virtual void TriggerBeforeClose();
  virtual void TriggerBeforeOpen();
  virtual void TriggerRxChar(int32_t Count);
  virtual void TriggerRxBuf(const uint8_t* Buffer, int32_t Count);
  virtual void TriggerTxEmpty();
  virtual void TriggerBreak();
  virtual void TriggerRing();
  virtual void TriggerRxFlag();
  virtual void TriggerCTSChange(bool OnOff);
  virtual void TriggerDSRChange(bool OnOff);
  virtual void TriggerError(TComErrors Errors);
  virtual void TriggerRLSDChange(bool OnOff);
  virtual void TriggerRx80Full();
  virtual void TriggerDeviceLost();
 public:
  virtual void ApplyCommState();
  virtual void ApplyTimeouts();
  virtual void ApplyBufferSizes();

 protected:
  // For OpenDevice overrides (tests): install the opened device.
  void SetHandle(std::unique_ptr<serivox::device::Device> device);
  // The device, or code `code` with EBADF when the port has none.
  serivox::device::Device& DeviceOr(int code) const;
  bool CanApply() const;
  void OpenSettingsKey(TRegistry& Reg, const std::string& Path, const std::string& Name);
  // Runs `Load` between BeginSettingsUpdate and EndSettingsUpdate; any failure is code 17.
  void LoadBracketed(const std::function<void()>& Load);

 private:
  friend class TComThread;
  friend class TBackgroundOpen;  // opens the port with a device it connected beforehand
  // Calls one callback of every link; false when a callback destroyed the port.
  template <typename F, typename... A>
  bool CallLinks(F TComLink::*member, A... args);
  // Calls a handler through a copy: the handler may destroy the port and with
  // it the stored function. False when the port was destroyed.
  template <typename H, typename... A>
  bool Fire(const H& handler, A... args);
  // Tells the links that CTS, DSR and RLSD are off. False when a link's
  // callback destroyed the port.
  bool LinksLinesOff();
  // Whether `port` still exists and is open, after a callback that may have
  // destroyed it. Static: no member of a destroyed port may even be called.
  static bool StillOpen(const TCustomComPort* port, const std::shared_ptr<std::atomic<bool>>& life) {
    return life->load() && port->DeviceOpen();
  }
  // Stops the event thread (also from the event thread itself) and removes
  // the hidden window.
  void StopEventThread();
  // Drains what completed writes left in the output queue, bounded.
  void DrainOutput();
  template <typename T>
  void SetCommStateField(T& field, T value);

  std::unique_ptr<TComThread> eventThread_;
  // Shared with the event thread, which may end after the port let go of it.
  std::shared_ptr<serivox::device::Device> handle_;
  // A device connected beforehand (TBackgroundOpen), taken by the next OpenDevice.
  std::unique_ptr<serivox::device::Device> prepared_;
  std::shared_ptr<std::atomic<bool>> life_ = std::make_shared<std::atomic<bool>>(true);
  PortWindow* window_ = nullptr;
  int32_t updateCount_ = 0;
  uint64_t commStateApplied_ = 0;
  std::vector<TComLink*> links_;
  bool hasRxBufLink_ = false;
  // The lifecycle: Opening while the before-open handlers run and the device
  // is being opened (Open and Close do nothing then), Open from the moment
  // the device is open, Closing while a Close is under way (a further Close
  // returns at once), Closed once the device is closed.
  // Atomic: a smNone handler's delivery asks it on the event thread while
  // the owner's thread closes the port.
  enum class PortState { Closed, Opening, Open, Closing };
  std::atomic<PortState> state_{PortState::Closed};
  bool DeviceOpen() const {
    const PortState state = state_;
    return state == PortState::Open || state == PortState::Closing;
  }
  bool loading_ = false;
  bool openWhenLoaded_ = false;  // Connected was set true while loading
  TBaudRate baudRate_ = br9600;
  int32_t customBaudRate_ = 9600;
  std::string port_ = "COM1";
  TStopBits stopBits_ = sbOneStopBit;
  TDataBits dataBits_ = dbEight;
  bool discardNull_ = false;
  uint8_t eventChar_ = 0;
  TComEvents events_ = kAllComEvents;
  std::unique_ptr<TComBuffer> buffer_;
  std::unique_ptr<TComParity> parity_;
  std::unique_ptr<TComTimeouts> timeouts_;
  std::unique_ptr<TComFlowControl> flowControl_;
  TSyncMethod syncMethod_ = smThreadSync;
  TSettingsGroups storedGroups_{grBasic};
};

class TComPort : public TCustomComPort {
  Q_OBJECT
 public:
  using TCustomComPort::TCustomComPort;
};

// The application's standard exception reporter. The port hands it errors that
// no caller can receive (an open at the end of loading, a failed step or
// handler of an event delivery). The program installs its error display; until
// then the message goes to standard error. Called off the application's thread,
// the message is forwarded to that thread (without its Sender).
using ExceptionReporter = std::function<void(QObject* Sender, const std::exception& error)>;
void SetExceptionReporter(ExceptionReporter reporter);
void ReportException(QObject* Sender, const std::exception& error);

// Calls one callback of every registered link, in registration order. The
// list is walked by index and each callback copied before the call, so a
// callback that unregisters links (a lamp processing pending events) cannot
// leave the walk on freed memory.
template <typename F, typename... A>
bool TCustomComPort::CallLinks(F TComLink::*member, A... args) {
  const auto life = life_;
  for (size_t i = 0; i < links_.size(); ++i) {
    F callback = links_[i]->*member;
    if (!callback) continue;
    callback(this, args...);
    if (!life->load()) return false;
  }
  return true;
}

template <typename H, typename... A>
bool TCustomComPort::Fire(const H& handler, A... args) {
  if (!handler) return true;
  const auto life = life_;
  H copy = handler;
  copy(this, args...);
  return life->load();
}

// SPDX-License-Identifier: MIT
// TSerivox: the main window class. Every window owns its own port, timers,
// controls and terminal, link-test and bridge state; windows share only the
// settings file and the loaded bridge library.
//
// The handlers live in one source per concern:
//   mainwindow.cpp   start-up, connect, resize, close, new instance, DTR/RTS refresh
//   settingsfile.cpp LoadConfig, SaveConfig
//   receive.cpp      ComPortRxChar, DisplayRxByte, the flush, Memo1DblClick, Memo1's menu
//   transmit.cpp     Memo2KeyPress, the macro buttons, Send File
//   linktest.cpp     Button6Click, Timer1Timer, TrackBar1Change, ParseTestByte, Button10Click
//   bridge.cpp       BindBridgeLibrary, the bridge handlers and BridgeReceive
//   rxmenu.cpp       the receive pane's context menu items and their [Serivox] settings
//   capture.cpp      logging received data to a file
//   timestamps.cpp   timestamps on receive lines
//   reconnect.cpp    reopening the port when its device comes back
//   linecontrol.cpp  framing, break and the line-setting label
//   hexsend.cpp      sending bytes typed as hexadecimal
//   echo.cpp         Enter's line ending and the local echo
//   find.cpp         finding text in the receive pane
#pragma once

#include <QMainWindow>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture.h"
#include "framing.h"
#include "port.h"
#include "timestamps.h"

class QTimer;
class QFileDialog;
class QAction;
class QActionGroup;
class QDialog;
class QLabel;
class QMenu;
class QInputMethodEvent;
class TIniFile;
class DeviceReturnWatch;
class RemotePorts;

namespace Ui {
class TSerivox;
}

// Entry points of the bridge library (C linkage, 32-bit arguments).
extern "C" {
using TBridgeReceive = void (*)(void* context, uint32_t unused, uint32_t data);
using TIdentifyComDll = const char* (*)();
using TSendByte = uint32_t (*)(uint32_t ownId, uint32_t data);
using TAddCom = uint32_t (*)(const char* name);
using TDeleteCom = uint32_t (*)(uint32_t id);
using TConnect = uint32_t (*)(uint32_t ownId, uint32_t peerHandle, TBridgeReceive callback, void* context);
using TDisconnect = uint32_t (*)(uint32_t ownId);
using TGetComName = const char* (*)(uint32_t id);
using TGetComHandle = uint32_t (*)(const char* name);
}

class TSerivox : public QWidget {
  Q_OBJECT

 public:
  explicit TSerivox(QWidget* parent = nullptr);
  ~TSerivox() override;

  Ui::TSerivox* ui;  // the controls, by their designer names (ui->Button1 ...)
  TComPort* ComPort;
  QTimer* Timer1;
  QTimer* Timer2;
  QTimer* Timer3;

  // Link test (linktest.cpp).
  bool TestRunning = false;
  uint8_t LetterCounter = 0;
  uint8_t ParserState = 0;
  std::array<int32_t, 26> ReceivedCount{};
  std::array<int32_t, 26> SentCount{};
  std::array<uint32_t, 26> SendTick{};
  std::array<int32_t, 26> LastDelay{};
  bool PacketSeen = false;
  // Receive display (receive.cpp).
  uint8_t LastRxByte = 0;
  // Bridge (bridge.cpp).
  TIdentifyComDll IdentifyComDll = nullptr;
  TSendByte SendByte = nullptr;
  TAddCom AddCom = nullptr;
  TDeleteCom DeleteCom = nullptr;
  TConnect Connect = nullptr;
  TDisconnect Disconnect = nullptr;
  TGetComName GetComName = nullptr;
  TGetComHandle GetComHandle = nullptr;
  uint8_t OwnId = 255;
  uint8_t PeerId = 255;
  // Receive display (receive.cpp).
  std::string RxLine;

  // Start-up and main window (mainwindow.cpp).
  void FormShow(QObject* Sender);
  void FormClose(QObject* Sender);
  void FormResize(QObject* Sender);
  void Button1Click(QObject* Sender);
  void ComPortAfterOpen(QObject* Sender);
  void ComPortAfterClose(QObject* Sender);
  // The port's device went away: close the port and say so once.
  void ComPortDeviceLost(QObject* Sender);
  void ComComboBox1Change(QObject* Sender);
  void Button5Click(QObject* Sender);
  void Button7Click(QObject* Sender);
  void Timer3Timer(QObject* Sender);
  // What Timer3Timer last set on the open port, since which application of
  // its line settings (TCustomComPort::CommStateApplied); unset: not yet.
  struct LineRefresh {
    uint64_t applied = 0;
    std::optional<bool> dtr, rts;
  };
  LineRefresh LinesSet;
  // Settings file (settingsfile.cpp).
  void LoadConfig();
  void SaveConfig();
  // The settings file: the executable's path with the extension ".ini", or
  // the file of that name in ~/.config/serivox (settingslocation.h).
  static std::string ConfigPath();
  // Receive display (receive.cpp).
  void ComPortRxChar(QObject* Sender, int32_t Count);
  void DisplayRxByte(uint8_t b);
  void DisplayRxChunk(const uint8_t* data, size_t size);
  void HexLine(uint8_t b);
  void Flush();
  int LineLimit() const;
  void Memo1DblClick(QObject* Sender);
  // The receive pane's context menu (Copy, Select All, Clear), owned by the
  // caller; further actions for the pane are added here.
  QMenu* Memo1Menu();
  // Transmit (transmit.cpp).
  // Returns whether the key is applied by the pane afterwards.
  bool Memo2KeyPress(QObject* Sender, char Key);
  // Text committed by an input method; returns whether the pane must not see it.
  bool Memo2InputMethod(QInputMethodEvent* event);
  static std::string LineEndingFromName(const std::string& name);
  void SendMacro(int slot);
  void Button2Click(QObject* Sender);
  void Button3Click(QObject* Sender);
  void Button4Click(QObject* Sender);
  void Button11Click(QObject* Sender);
  // Sends one file in blocks of 256 bytes (the part of Send File after the dialog).
  void SendFile(const QString& path);
  // Link test (linktest.cpp).
  void Button6Click(QObject* Sender);
  void Timer1Timer(QObject* Sender);
  void TrackBar1Change(QObject* Sender);
  void ParseTestByte(uint8_t b);
  void Button10Click(QObject* Sender);
  // Bridge (bridge.cpp).
  QString BindBridgeLibrary();
  void RefreshBridgePeers();
  void ComboBox1DropDown(QObject* Sender);
  void Button9Click(QObject* Sender);
  void Timer2Timer(QObject* Sender);
  void BridgeAfterOpen();
  void BridgeAfterClose();
  void ForwardKeyToBridge(char Key);
  static void BridgeReceive(void* context, uint32_t unused, uint32_t data);

  // Beyond the form: the receive pane's context menu (rxmenu.cpp).
  QAction* LogAction = nullptr;         // "Log received data to file..."
  QAction* TimestampAction = nullptr;   // "Show timestamps"
  QAction* GapAction = nullptr;         // "Timestamp gap..."
  QAction* ReconnectAction = nullptr;   // "Reconnect automatically"
  // A setting of [Serivox] was changed: only then is that section written.
  bool ExtrasChanged = false;
  void CreateExtras();
  // Adds this window's own items to the receive pane's context menu.
  void AddExtraActions(QMenu* menu);
  void LoadExtras(const TIniFile& ini);
  void SaveExtras(TIniFile& ini);
  // Capture (capture.cpp).
  RxCapture* Capture = nullptr;
  void LogToFileTriggered();
  void CaptureStateChanged();
  // Hook for tests: the file chosen for the capture (empty = cancel).
  std::function<QString()> ChooseCaptureFile;
  // Timestamps (timestamps.cpp).
  RxTimestamps Stamps;
  void ShowTimestampsToggled(bool on);
  void TimestampGapTriggered();
  // Hook for tests: the gap chosen in its dialog; sets *ok false on cancel.
  std::function<int(bool* ok)> ChooseTimestampGap;
  // Reconnect (reconnect.cpp).
  DeviceReturnWatch* ReturnWatch = nullptr;
  // After the port's device went away and the port was closed: waits for the
  // device to come back when "Reconnect automatically" is checked.
  void AwaitPortReturn();
  // Reopens the port with its settings and marks that in the receive pane.
  void PortDeviceReturned();
  void MarkReconnected(const QString& name);
  // Remote ports: the selector's entries, the dialog, connecting (remoteport.cpp).
  RemotePorts* Remote = nullptr;

  // Line settings and break (linecontrol.cpp).
  QAction* LineSettingsAction = nullptr;  // "Line settings..."
  QAction* BreakAction = nullptr;         // "Send break"
  QAction* BreakLengthAction = nullptr;   // "Break length..."
  QLabel* LineLabel = nullptr;            // the line setting at a glance
  int BreakMs = 250;
  bool BreakOn = false;  // a break is being sent
  void LineSettingsTriggered();
  void SendBreak();
  void BreakLengthTriggered();
  // Puts the port's line setting into LineLabel.
  void ShowLineSetting();
  // Hooks for tests: the framing chosen (false = cancel); the break length
  // chosen (sets *ok false on cancel).
  std::function<bool(LineFraming& framing)> ChooseFraming;
  std::function<int(bool* ok)> ChooseBreakLength;
  // Send hex (hexsend.cpp).
  QAction* HexAction = nullptr;  // "Send hex..."
  void SendHexTriggered();
  // Sends the bytes written in `text` as hexadecimal and logs each in Memo2.
  void SendHex(const QString& text);
  // Hook for tests: the text typed in the dialog (sets *ok false on cancel).
  std::function<QString(bool* ok)> ChooseHexText;
  // Enter and local echo (echo.cpp).
  QActionGroup* EnterGroup = nullptr;  // "Enter sends": CR, LF, CR LF
  QAction* EchoAction = nullptr;       // "Local echo"
  // The bytes Enter sends in the typing pane.
  std::string EnterBytes() const;
  // Shows typed bytes in the receive pane as lines of their own, drawn apart.
  void EchoTyped(const std::string& bytes);
  // Find in the receive pane (find.cpp).
  QAction* FindAction = nullptr;  // "Find...", Ctrl+F in the receive pane
  QDialog* FindDialog = nullptr;
  void FindTriggered();
  // The next (or previous) match of the Find window's text; false when none.
  bool FindInPane(bool backwards);
  // One line of the program's own (reconnect, loss) in the receive pane;
  // what is received next starts a line of its own.
  void AppendNoteLine(const std::string& text);

  // Hook for tests and benchmarks: makes the port of the next window (one on
  // a device double); unset, the window makes a TComPort.
  static inline std::function<TComPort*(QObject* owner)> MakePort;
  // Hook for tests: the file chosen by Send File's dialog (empty = cancel).
  std::function<QString()> ChooseFile;
  // Milliseconds of the monotonic clock as a wrapping 32-bit tick.
  static uint32_t GetTickCount();

 protected:
  std::optional<QString> captureTitle_;  // the caption before a capture started
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// SPDX-License-Identifier: MIT
// The window class: construction, start-up settings of the port, connecting
// and disconnecting, showing, resizing and closing the window, further
// windows, and the periodic DTR/RTS refresh.
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QTimer>
#include <time.h>

#include <cerrno>
#include <memory>

#include "errordisplay.h"
#include "portctl.h"
#include "reconnect.h"
#include "remoteport.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {

// The first window created is the main window: closing it ends the program.
TSerivox* mainForm = nullptr;

// The terminal's fixed-pitch face: "Courier New" where installed, else the
// system's monospace family.
QFont TerminalFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                    QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(11);
  return font;
}

void CentreOnDesktop(QWidget* window) {
  QScreen* screen = window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

// The captions of Button1 with their keyboard accelerator, Alt+N, which no
// other control of the window uses.
QString ConnectCaption() { return QStringLiteral("Co&nnect"); }
QString DisconnectCaption() { return QStringLiteral("Disco&nnect"); }

QTimer* MakeTimer(QObject* owner, const char* name, int interval) {
  auto* timer = new QTimer(owner);
  timer->setObjectName(QLatin1String(name));
  timer->setInterval(interval);
  return timer;
}

}  // namespace

TSerivox::TSerivox(QWidget* parent) : QWidget(parent), ui(new Ui::TSerivox) {
  if (mainForm == nullptr) mainForm = this;
  ui->setupUi(this);
  static const bool resourcesLoaded = [] {
    Q_INIT_RESOURCE(serivox);
    return true;
  }();
  (void)resourcesLoaded;
  setWindowIcon(QIcon(QStringLiteral(":/serivox.png")));

  // The typing pane uses the receive pane's fixed-pitch face.
  const QFont terminalFont = TerminalFont();
  ui->Memo2->setFont(terminalFont);
  // Memo2 starts 65 px high and keeps its height when the window grows.
  ui->Splitter1->setStretchFactor(0, 1);
  ui->Splitter1->setStretchFactor(1, 0);
  ui->Splitter1->setSizes({1000, 65});
  ui->ComboBox1->setEditText(QStringLiteral("none"));
  ui->Button1->setText(ConnectCaption());
  // A typed line-ending name is used as typed: the completion neither
  // corrects "crlf" to "CRLF" nor picks "CRLF" for it on Enter.
  for (QComboBox* ending : {ui->ComboBox2, ui->ComboBox3, ui->ComboBox4})
    ending->completer()->setCaseSensitivity(Qt::CaseSensitive);

  ui->Shape1->SetMeaning(tr("Port connected"));
  ui->Shape2->SetMeaning(tr("Test client running"));
  ui->Shape3->SetMeaning(tr("Test packet received"));
  ui->Shape4->SetMeaning(tr("Virtual COM connected"));
  for (TShape* shape : {ui->Shape1, ui->Shape2, ui->Shape3, ui->Shape4}) shape->SetBrushColor(clRed);

  // The port with its start-up settings; the settings file may replace them
  // when the window is shown.
  ComPort = MakePort ? MakePort(this) : new TComPort(this);
  ComPort->setObjectName(QStringLiteral("ComPort"));
  ComPort->BeginLoading();
  ComPort->SetBaudRate(br38400);
  ComPort->SetPort("COM1");
  ComPort->Parity().SetBits(prNone);
  ComPort->SetStopBits(sbTwoStopBits);
  ComPort->SetDataBits(dbEight);
  ComPort->SetEvents(kAllComEvents);
  ComPort->FlowControl().SetOutCTSFlow(false);
  ComPort->FlowControl().SetOutDSRFlow(false);
  ComPort->FlowControl().SetControlDTR(dtrEnable);
  ComPort->FlowControl().SetControlRTS(rtsDisable);
  ComPort->FlowControl().SetXonXoffOut(false);
  ComPort->FlowControl().SetXonXoffIn(false);
  ComPort->SetSyncMethod(smWindowSync);
  ComPort->OnAfterOpen = [this](QObject* sender) { Guarded([&] { ComPortAfterOpen(sender); }); };
  ComPort->OnAfterClose = [this](QObject* sender) { Guarded([&] { ComPortAfterClose(sender); }); };
  ComPort->OnRxChar = [this](QObject* sender, int32_t count) { Guarded([&] { ComPortRxChar(sender, count); }); };
  ComPort->OnDeviceLost = [this](QObject* sender) { Guarded([&] { ComPortDeviceLost(sender); }); };
  ComPort->Loaded();

  // The selectors and lamps follow this window's port. A port list that
  // cannot be read is shown and leaves that selector empty.
  const std::pair<TComComboBox*, TComProperty> selectors[] = {
      {ui->ComComboBox1, cpPort}, {ui->ComComboBox2, cpBaudRate}, {ui->ComComboBox3, cpFlowControl}};
  for (const auto& [selector, property] : selectors) {
    Guarded([&] { selector->SetComProperty(property); });
    selector->SetAutoApply(true);
    Guarded([&] { selector->SetComPort(ComPort); });
    selector->OnChange = [this](QObject* sender) { Guarded([&] { ComComboBox1Change(sender); }); };
  }
  Remote = new RemotePorts(this);
  const std::pair<TComLed*, TComLedSignal> lamps[] = {
      {ui->ComLed1, lsCTS}, {ui->ComLed2, lsDSR}, {ui->ComLed3, lsRing}, {ui->ComLed4, lsRLSD}};
  for (const auto& [lamp, signal] : lamps) {
    lamp->SetKind(lkRedLight);
    lamp->SetLedSignal(signal);
    Guarded([&] { lamp->SetComPort(ComPort); });
  }

  Timer1 = MakeTimer(this, "Timer1", 100);
  Timer2 = MakeTimer(this, "Timer2", 2000);
  Timer3 = MakeTimer(this, "Timer3", 100);
  connect(Timer1, &QTimer::timeout, this, [this] { Guarded([&] { Timer1Timer(Timer1); }); });
  connect(Timer2, &QTimer::timeout, this, [this] { Guarded([&] { Timer2Timer(Timer2); }); });
  connect(Timer3, &QTimer::timeout, this, [this] { Guarded([&] { Timer3Timer(Timer3); }); });

  auto bindClick = [this](QAbstractButton* button, void (TSerivox::*handler)(QObject*)) {
    connect(button, &QAbstractButton::clicked, this, [this, button, handler] {
      Guarded([&] { (this->*handler)(button); });
    });
  };
  bindClick(ui->Button1, &TSerivox::Button1Click);
  bindClick(ui->Button2, &TSerivox::Button2Click);
  bindClick(ui->Button3, &TSerivox::Button3Click);
  bindClick(ui->Button4, &TSerivox::Button4Click);
  bindClick(ui->Button5, &TSerivox::Button5Click);
  bindClick(ui->Button6, &TSerivox::Button6Click);
  bindClick(ui->Button7, &TSerivox::Button7Click);
  bindClick(ui->Button9, &TSerivox::Button9Click);
  bindClick(ui->Button10, &TSerivox::Button10Click);
  bindClick(ui->Button11, &TSerivox::Button11Click);
  connect(ui->Memo1, &LinePane::DoubleClicked, this, [this] { Guarded([&] { Memo1DblClick(ui->Memo1); }); });
  connect(ui->Memo1, &LinePane::ContextMenuRequested, this, [this](const QPoint& at) {
    std::unique_ptr<QMenu> menu(Memo1Menu());
    menu->exec(at);
  });
  connect(ui->TrackBar1, &QSlider::valueChanged, this, [this] { Guarded([&] { TrackBar1Change(ui->TrackBar1); }); });
  connect(ui->ComboBox1, &DropDownComboBox::DroppedDown, this,
          [this] { Guarded([&] { ComboBox1DropDown(ui->ComboBox1); }); });
  CreateExtras();
  // Memo2's key presses reach Memo2KeyPress through eventFilter.
  ui->Memo2->installEventFilter(this);

  Timer1->start();
  Timer2->start();
  Timer3->start();
  CentreOnDesktop(this);
}

TSerivox::~TSerivox() {
  // The port goes first, while the controls its handlers touch still exist;
  // its closing must not reach this half-destroyed window.
  Timer1->stop();
  Timer2->stop();
  Timer3->stop();
  ComPort->OnAfterOpen = nullptr;
  ComPort->OnAfterClose = nullptr;
  ComPort->OnRxChar = nullptr;
  ComPort->OnDeviceLost = nullptr;
  delete ComPort;
  ComPort = nullptr;
  delete ui;
  if (mainForm == this) mainForm = nullptr;
}

// --- Window events ------------------------------------------------------------

void TSerivox::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window restored from the task bar is not being shown anew.
  if (!event->spontaneous()) Guarded([&] { FormShow(this); });
}

void TSerivox::closeEvent(QCloseEvent* event) {
  // Closing goes on even when FormClose fails (an error closing the port or
  // saving the settings is shown first): the operator must always be able to
  // end the program, and a window that refuses to close cannot be ended.
  Guarded([&] { FormClose(this); });
  event->accept();
  // The main window ends the program; any other window is only hidden. The
  // other windows end with it without running their own close steps.
  if (this == mainForm) QCoreApplication::exit(0);
}

void TSerivox::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Guarded([&] { FormResize(this); });
}

// --- Handlers -----------------------------------------------------------------

void TSerivox::FormShow(QObject*) {
  RxLine.clear();
  LoadConfig();
  TrackBar1Change(ui->TrackBar1);
  const QString bridge = BindBridgeLibrary();
  ui->VirtualCom->setTitle(bridge);
  ui->VirtualCom->setVisible(!bridge.isEmpty());
  OwnId = 255;
}

void TSerivox::FormClose(QObject*) {
  ReturnWatch->Cancel();
  Remote->Cancel();
  ComPort->SetConnected(false);
  SaveConfig();
}

void TSerivox::FormResize(QObject*) {
  QRect exit = ui->Button5->geometry();
  exit.setWidth(width() - 20);
  ui->Button5->setGeometry(exit);
  ui->Panel1->setMinimumWidth(340);
}

void TSerivox::Button1Click(QObject*) {
  if (Remote->ButtonClicked()) return;  // a remote port connects in the background
  ComPort->SetConnected(!ComPort->Connected());
}

void TSerivox::ComPortAfterOpen(QObject*) {
  ui->Shape1->SetBrushColor(clLime);
  ui->Button1->setText(DisconnectCaption());
  ReturnWatch->Cancel();
  BridgeAfterOpen();
}

void TSerivox::ComPortAfterClose(QObject*) {
  ui->Shape1->SetBrushColor(clRed);
  ui->Button1->setText(ConnectCaption());
  BridgeAfterClose();
}

// Closing turns the lamps off and the button back to "Connect"; the loss is
// shown once, after the window already shows the port closed. While the port
// waits to be reopened by itself ("Reconnect automatically"), the loss is a
// line in the receive pane, as its return will be, and no box waits for a
// click. A port that cannot come back (a pseudo-terminal) still gets the box.
void TSerivox::ComPortDeviceLost(QObject*) {
  const QString name = QString::fromStdString(ComPort->Port());
  ComPort->Close();
  AwaitPortReturn();
  if (ReturnWatch->Watching()) {
    AppendNoteLine("*** " + name.toStdString() + " went away ***");
    return;
  }
  ShowErrorText(QStringLiteral("The device of port %1 went away (win error code: %2)").arg(name).arg(EIO));
}

// The selector has already written the choice into the port; the operator
// connects again with "Connect".
void TSerivox::ComComboBox1Change(QObject*) {
  ReturnWatch->Cancel();
  Remote->Cancel();
  ShowLineSetting();
  ComPort->SetConnected(false);
}

void TSerivox::Button5Click(QObject*) { close(); }

void TSerivox::Button7Click(QObject*) {
  // A window of its own: no owner, and closing it only hides it.
  auto* slave = new TSerivox(nullptr);
  slave->setAttribute(Qt::WA_DeleteOnClose, false);
  slave->setWindowTitle(QStringLiteral("Zelvar Serivox - Slave"));
  CentreOnDesktop(slave);
  slave->show();
  slave->raise();
  slave->activateWindow();
}

void TSerivox::Timer3Timer(QObject*) {
  Flush();
  // The lines follow the boxes whatever the control modes set at open or at
  // a change of settings, but a request goes out only when the wanted state
  // differs from what this port last got: on a USB adapter each is a control
  // transfer on this thread. RTS handshake and RTS toggle drive RTS themselves.
  if (ComPort->Connected()) {
    if (LinesSet.applied != ComPort->CommStateApplied()) LinesSet = {ComPort->CommStateApplied(), {}, {}};
    const bool dtr = ui->DTRCheckBox->isChecked(), rts = ui->RTSCheckBox->isChecked();
    if (LinesSet.dtr != dtr) {
      ComPort->SetDTRLine(dtr);
      LinesSet.dtr = dtr;
    }
    const TRTSFlowControl mode = ComPort->FlowControl().ControlRTS();
    if (mode != rtsHandshake && mode != rtsToggle && LinesSet.rts != rts) {
      ComPort->SetRTSLine(rts);
      LinesSet.rts = rts;
    }
  }
}

uint32_t TSerivox::GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

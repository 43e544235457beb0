// SPDX-License-Identifier: MIT
// The receive pane's context menu items of this window (capture, timestamps,
// reconnect, line settings, break, hex, Enter's ending, local echo) and their
// settings in the section [Serivox] of the settings file.
#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <algorithm>

#include "errordisplay.h"
#include "inifile.h"
#include "linepane.h"
#include "reconnect.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

constexpr char kSection[] = "Serivox";

// Enter's endings: menu text, bytes, settings value.
struct EnterEnding {
  const char* text;
  const char* bytes;
  const char* key;
};
constexpr EnterEnding kEnterEndings[] = {{"CR", "\r", "CR"}, {"LF", "\n", "LF"}, {"CR LF", "\r\n", "CRLF"}};

// An item of the menu that also works by its shortcut anywhere in the window.
QAction* WindowAction(QWidget* window, const QString& text, const char* name, const QKeySequence& key) {
  auto* action = new QAction(text, window);
  action->setObjectName(QLatin1String(name));
  action->setShortcut(key);
  action->setShortcutContext(Qt::WindowShortcut);
  window->addAction(action);
  return action;
}

}  // namespace

void TSerivox::CreateExtras() {
  Capture = new RxCapture(this);
  connect(Capture, &RxCapture::ActiveChanged, this, [this] { Guarded([&] { CaptureStateChanged(); }); });
  // Shown after the receive handler that hit the error has finished.
  connect(Capture, &RxCapture::Failed, this, [](const QString& message) { ShowErrorText(message); },
          Qt::QueuedConnection);

  LogAction = new QAction(QStringLiteral("Log received data to file..."), this);
  LogAction->setObjectName(QStringLiteral("LogAction"));
  LogAction->setCheckable(true);
  // The item's check mark follows the capture, not the click.
  connect(LogAction, &QAction::triggered, this, [this] {
    LogAction->setChecked(Capture->Active());
    Guarded([&] { LogToFileTriggered(); });
  });

  TimestampAction = new QAction(QStringLiteral("Show timestamps"), this);
  TimestampAction->setObjectName(QStringLiteral("TimestampAction"));
  TimestampAction->setCheckable(true);
  connect(TimestampAction, &QAction::triggered, this, [this](bool on) { Guarded([&] { ShowTimestampsToggled(on); }); });

  GapAction = new QAction(QStringLiteral("Timestamp gap..."), this);
  GapAction->setObjectName(QStringLiteral("GapAction"));
  connect(GapAction, &QAction::triggered, this, [this] { Guarded([&] { TimestampGapTriggered(); }); });

  ReconnectAction = new QAction(QStringLiteral("Reconnect automatically"), this);
  ReconnectAction->setObjectName(QStringLiteral("ReconnectAction"));
  ReconnectAction->setCheckable(true);
  ReconnectAction->setChecked(true);
  connect(ReconnectAction, &QAction::triggered, this, [this](bool on) {
    ExtrasChanged = true;
    if (!on && ReturnWatch != nullptr) ReturnWatch->Cancel();
  });

  // Ctrl with Shift, as terminals keep their own commands: Ctrl with a letter
  // alone is a control byte to send in the typing pane.
  LineSettingsAction = WindowAction(this, QStringLiteral("Line settings..."), "LineSettingsAction",
                                    QKeySequence(QStringLiteral("Ctrl+Shift+L")));
  connect(LineSettingsAction, &QAction::triggered, this, [this] { Guarded([&] { LineSettingsTriggered(); }); });
  BreakAction = WindowAction(this, QStringLiteral("Send break"), "BreakAction", QKeySequence(QStringLiteral("Ctrl+Shift+B")));
  connect(BreakAction, &QAction::triggered, this, [this] { Guarded([&] { SendBreak(); }); });
  BreakLengthAction = new QAction(QStringLiteral("Break length..."), this);
  BreakLengthAction->setObjectName(QStringLiteral("BreakLengthAction"));
  connect(BreakLengthAction, &QAction::triggered, this, [this] { Guarded([&] { BreakLengthTriggered(); }); });
  HexAction = WindowAction(this, QStringLiteral("Send hex..."), "HexAction", QKeySequence(QStringLiteral("Ctrl+Shift+H")));
  connect(HexAction, &QAction::triggered, this, [this] { Guarded([&] { SendHexTriggered(); }); });

  // Ctrl+F belongs to the receive pane: in the typing pane it is a byte.
  FindAction = new QAction(QStringLiteral("Find..."), this);
  FindAction->setObjectName(QStringLiteral("FindAction"));
  FindAction->setShortcut(QKeySequence::Find);
  FindAction->setShortcutContext(Qt::WidgetShortcut);
  ui->Memo1->addAction(FindAction);
  connect(FindAction, &QAction::triggered, this, [this] { Guarded([&] { FindTriggered(); }); });

  EnterGroup = new QActionGroup(this);
  EnterGroup->setExclusive(true);
  for (const EnterEnding& ending : kEnterEndings) {
    QAction* item = EnterGroup->addAction(QStringLiteral("Enter sends %1").arg(QLatin1String(ending.text)));
    item->setObjectName(QStringLiteral("Enter%1Action").arg(QLatin1String(ending.key)));
    item->setCheckable(true);
    item->setData(QLatin1String(ending.bytes));
    item->setChecked(ending.key == kEnterEndings[0].key);
  }
  connect(EnterGroup, &QActionGroup::triggered, this, [this] { ExtrasChanged = true; });
  EchoAction = new QAction(QStringLiteral("Local echo"), this);
  EchoAction->setObjectName(QStringLiteral("EchoAction"));
  EchoAction->setCheckable(true);
  connect(EchoAction, &QAction::triggered, this, [this] { ExtrasChanged = true; });

  // The line setting at a glance, under the port's group.
  LineLabel = new QLabel(this);
  LineLabel->setObjectName(QStringLiteral("LineLabel"));
  LineLabel->setAccessibleName(QStringLiteral("Line setting"));
  LineLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  LineLabel->setIndent(4);
  if (auto* column = qobject_cast<QBoxLayout*>(ui->Panel5->layout())) column->insertWidget(1, LineLabel);
  ShowLineSetting();

  ReturnWatch = new DeviceReturnWatch(this);
  connect(ReturnWatch, &DeviceReturnWatch::Returned, this, [this] { Guarded([&] { PortDeviceReturned(); }); });
}

void TSerivox::AddExtraActions(QMenu* menu) {
  if (!menu->isEmpty()) menu->addSeparator();
  menu->addAction(FindAction);
  menu->addSeparator();
  menu->addAction(LogAction);
  menu->addAction(TimestampAction);
  menu->addAction(GapAction);
  menu->addAction(ReconnectAction);
  menu->addSeparator();
  menu->addAction(LineSettingsAction);
  menu->addAction(BreakAction);
  menu->addAction(BreakLengthAction);
  menu->addAction(HexAction);
  menu->addSeparator();
  menu->addActions(EnterGroup->actions());
  menu->addAction(EchoAction);
}

void TSerivox::LoadExtras(const TIniFile& ini) {
  Stamps.On = ini.ReadBool(kSection, "ShowTimestamps", false);
  Stamps.GapMs = std::max(1, ini.ReadInteger(kSection, "TimestampGap", RxTimestamps::kDefaultGapMs));
  TimestampAction->setChecked(Stamps.On);
  ReconnectAction->setChecked(ini.ReadBool(kSection, "ReconnectAutomatically", true));
  BreakMs = std::clamp(ini.ReadInteger(kSection, "BreakLength", 250), 1, 10000);
  const std::string enter = ini.ReadString(kSection, "EnterSends", "CR");
  for (QAction* item : EnterGroup->actions())
    if (item->objectName() == QStringLiteral("Enter%1Action").arg(QString::fromStdString(enter))) item->setChecked(true);
  EchoAction->setChecked(ini.ReadBool(kSection, "LocalEcho", false));
  ShowLineSetting();
}

void TSerivox::SaveExtras(TIniFile& ini) {
  // A first-run file holds only the form's own sections.
  if (!ExtrasChanged) return;
  ini.WriteBool(kSection, "ShowTimestamps", Stamps.On);
  ini.WriteInteger(kSection, "TimestampGap", Stamps.GapMs);
  ini.WriteBool(kSection, "ReconnectAutomatically", ReconnectAction->isChecked());
  ini.WriteInteger(kSection, "BreakLength", BreakMs);
  std::string enter = "CR";
  for (const EnterEnding& ending : kEnterEndings)
    if (EnterBytes() == ending.bytes) enter = ending.key;
  ini.WriteString(kSection, "EnterSends", enter);
  ini.WriteBool(kSection, "LocalEcho", EchoAction->isChecked());
}

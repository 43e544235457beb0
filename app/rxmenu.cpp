// The receive pane's context menu items of this window (capture, timestamps,
// reconnect) and their settings in the section [Serivox] of the settings file.
#include <QAction>
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

  ReturnWatch = new DeviceReturnWatch(this);
  connect(ReturnWatch, &DeviceReturnWatch::Returned, this, [this] { Guarded([&] { PortDeviceReturned(); }); });
}

void TSerivox::AddExtraActions(QMenu* menu) {
  if (!menu->isEmpty()) menu->addSeparator();
  menu->addAction(LogAction);
  menu->addAction(TimestampAction);
  menu->addAction(GapAction);
  menu->addAction(ReconnectAction);
}

void TSerivox::LoadExtras(const TIniFile& ini) {
  Stamps.On = ini.ReadBool(kSection, "ShowTimestamps", false);
  Stamps.GapMs = std::max(1, ini.ReadInteger(kSection, "TimestampGap", RxTimestamps::kDefaultGapMs));
  TimestampAction->setChecked(Stamps.On);
  ReconnectAction->setChecked(ini.ReadBool(kSection, "ReconnectAutomatically", true));
}

void TSerivox::SaveExtras(TIniFile& ini) {
  // A first-run file holds only the form's own sections.
  if (!ExtrasChanged) return;
  ini.WriteBool(kSection, "ShowTimestamps", Stamps.On);
  ini.WriteInteger(kSection, "TimestampGap", Stamps.GapMs);
  ini.WriteBool(kSection, "ReconnectAutomatically", ReconnectAction->isChecked());
}

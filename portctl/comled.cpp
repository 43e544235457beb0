// SPDX-License-Identifier: MIT
#include "comled.h"

#include <QEvent>
#include <QPainter>
#include <algorithm>
#include <stdexcept>

// The lamp pictures live in the library's resources; a static library has to
// register them itself (outside any namespace, as Q_INIT_RESOURCE requires).
static void initLedResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(leds);
    return true;
  }();
  (void)done;
}

namespace {

const char* const kGlyphNames[lkCustom][2] = {
    {"LEDREDOFF", "LEDREDON"},       {"LEDGREENOFF", "LEDGREENON"},   {"LEDBLUEOFF", "LEDBLUEON"},
    {"LEDYELLOWOFF", "LEDYELLOWON"}, {"LEDPURPLEOFF", "LEDPURPLEON"}, {"LEDBULBOFF", "LEDBULBON"},
};

const char* const kSignalNames[] = {"Connected", "CTS", "DSR", "RLSD", "RI", "RX", "TX"};

// The picture with every pixel of its bottom-left colour made transparent.
QImage transparentCopy(const QImage& source) {
  if (source.isNull()) return {};
  QImage image = source.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, image.height() - 1);
  for (int y = 0; y < image.height(); ++y) {
    QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if (line[x] == key) line[x] = qRgba(0, 0, 0, 0);
  }
  return image;
}

}  // namespace

TComLed::TComLed(QWidget* parent) : QWidget(parent) {
  initLedResources();
  resize(25, 25);
  // The lamp only shows a signal: it takes no keyboard focus. Screen readers
  // reach it through the window's accessibility tree by its accessible name.
  setFocusPolicy(Qt::NoFocus);
  ringTimer_.setInterval(ringDuration_);
  // OnChange is the owner's code; no exception may cross the event loop.
  connect(&ringTimer_, &QTimer::timeout, this, [this] {
    try {
      RingTimeout();
    } catch (const std::exception& e) {
      ReportException(this, e);
    } catch (...) {
      ReportException(this, std::runtime_error("Unknown error"));
    }
  });
  FillLinkCallback();
  LoadKindGlyphs(kind_);
  UpdateAccessibleName();
}

TComLed::~TComLed() {
  ringTimer_.stop();
  // The owner may be half destroyed already: unregister without firing OnChange.
  Unbind();
}

QSize TComLed::sizeHint() const { return {25, 25}; }

void TComLed::SetComPort(TCustomComPort* port) {
  if (port == comPort_) return;
  if (comPort_ != nullptr) Unbind();
  comPort_ = port;
  if (port == nullptr) {
    SetLedState(lsOff);
    return;
  }
  // The port's free notification comes while it still holds its link list,
  // so the lamp can unregister properly before the port is gone.
  destroyedConnection_ = connect(port, &TCustomComPort::FreeNotification, this, [this](TCustomComPort* gone) {
    if (gone != comPort_) return;
    Unbind();
    SetLedState(lsOff);
  });
  port->RegisterLink(&link_);
  if (!port->Connected()) return;
  switch (ledSignal_) {
    case lsConn:
      SetLedState(lsOn);
      break;
    case lsCTS:
      SetLedState(port->Signals().Contains(sgCTS) ? lsOn : lsOff);
      break;
    case lsDSR:
      SetLedState(port->Signals().Contains(sgDSR) ? lsOn : lsOff);
      break;
    case lsRLSD:
      SetLedState(port->Signals().Contains(sgRLSD) ? lsOn : lsOff);
      break;
    case lsRing:
    case lsRx:
    case lsTx:
      SetLedState(lsOff);
      break;
  }
}

void TComLed::Unbind() {
  disconnect(destroyedConnection_);
  destroyedConnection_ = {};
  TCustomComPort* port = comPort_;
  comPort_ = nullptr;
  ringEnabled_ = false;
  ringTimer_.stop();
  if (port == nullptr) return;
  try {
    port->UnregisterLink(&link_);
  } catch (const std::exception& e) {
    // Only a link the port does not hold fails here; the binding is gone anyway.
    ReportException(this, e);
  }
}

void TComLed::SetLedSignal(TComLedSignal value) {
  if (value == ledSignal_) return;
  ledSignal_ = value;
  FillLinkCallback();
  UpdateAccessibleName();
}

void TComLed::FillLinkCallback() {
  link_.OnConn = nullptr;
  link_.OnCTSChange = nullptr;
  link_.OnDSRChange = nullptr;
  link_.OnRLSDChange = nullptr;
  link_.OnRing = nullptr;
  link_.OnTx = nullptr;
  link_.OnRx = nullptr;
  auto changed = [this](QObject* sender, bool onOff) { SignalChanged(sender, onOff); };
  switch (ledSignal_) {
    case lsConn:
      link_.OnConn = changed;
      break;
    case lsCTS:
      link_.OnCTSChange = changed;
      break;
    case lsDSR:
      link_.OnDSRChange = changed;
      break;
    case lsRLSD:
      link_.OnRLSDChange = changed;
      break;
    case lsRing:
      link_.OnRing = [this](QObject* sender) { RingArrived(sender); };
      break;
    case lsRx:
      link_.OnRx = changed;
      break;
    case lsTx:
      link_.OnTx = changed;
      break;
  }
}

void TComLed::SetKind(TLedKind value) {
  if (value == kind_) return;
  kind_ = value;
  LoadKindGlyphs(kind_);
  update();
}

void TComLed::SetState(TLedState value) {
  if (comPort_ != nullptr) throw EComPort(CError_LedStateFailed);
  SetLedState(value);
}

void TComLed::SetGlyphOn(const QImage& glyph) {
  if (kind_ != lkCustom) return;
  glyphs_[lsOn] = transparentCopy(glyph);
  update();
}

void TComLed::SetGlyphOff(const QImage& glyph) {
  if (kind_ != lkCustom) return;
  glyphs_[lsOff] = transparentCopy(glyph);
  update();
}

void TComLed::SetRingDuration(int value) {
  value = std::max(0, value);
  if (value == ringDuration_) return;
  ringDuration_ = value;
  ringTimer_.setInterval(value);
  // An enabled ring timer keeps running with the new interval; with 0 it never fires.
  if (ringEnabled_) {
    if (value > 0)
      ringTimer_.start();
    else
      ringTimer_.stop();
  }
}

void TComLed::SetLedState(TLedState value) {
  state_ = value;
  UpdateAccessibleName();
  DoStateChange(value);
  update();
}

void TComLed::DoStateChange(TLedState value) {
  if (OnChange) OnChange(this, value);
}

void TComLed::SignalChanged(QObject* /*Sender*/, bool OnOff) {
  SetLedState(OnOff ? lsOn : lsOff);
  // Paint now: the callback may come in a burst that keeps the event loop busy.
  repaint();
}

void TComLed::RingArrived(QObject* /*Sender*/) {
  if (!ringEnabled_) {
    ringEnabled_ = true;
    if (ringDuration_ > 0) ringTimer_.start(ringDuration_);
  }
  SetLedState(lsOn);
}

void TComLed::RingTimeout() {
  ringEnabled_ = false;
  ringTimer_.stop();
  SetLedState(lsOff);
}

QImage TComLed::KindGlyph(TLedKind kind, TLedState state) {
  if (kind >= lkCustom) return {};
  initLedResources();
  return transparentCopy(QImage(QStringLiteral(":/leds/%1.bmp").arg(QLatin1String(kGlyphNames[kind][state]))));
}

void TComLed::LoadKindGlyphs(TLedKind kind) {
  if (kind == lkCustom) return;
  glyphs_[lsOn] = KindGlyph(kind, lsOn);
  glyphs_[lsOff] = KindGlyph(kind, lsOff);
}

void TComLed::UpdateAccessibleName() {
  setAccessibleName(QStringLiteral("%1: %2").arg(QLatin1String(kSignalNames[ledSignal_]),
                                                  state_ == lsOn ? QStringLiteral("on") : QStringLiteral("off")));
}

void TComLed::paintEvent(QPaintEvent* /*event*/) {
  if (glyphs_[lsOn].isNull() || glyphs_[lsOff].isNull()) LoadKindGlyphs(kind_);
  const QImage& glyph = glyphs_[isEnabled() ? state_ : lsOff];
  QPainter painter(this);
  if (!glyph.isNull()) {
    const QRect r = rect();
    const int x = r.left() + std::max(0, (r.width() - glyph.width()) / 2);
    const int y = r.top() + std::max(0, (r.height() - glyph.height()) / 2);
    painter.setClipRect(r);
    painter.drawImage(x, y, glyph);
  }
}

void TComLed::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) update();
  QWidget::changeEvent(event);
}

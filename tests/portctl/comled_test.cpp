// SPDX-License-Identifier: MIT
// The signal lamp: state and OnChange, binding to a port, the link callbacks,
// the ring timer and the painted picture.
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "device/winconst.h"

using serivox::device::MS_CTS_ON;
using serivox::device::MS_DSR_ON;
using serivox::device::MS_RLSD_ON;
#include "portctl.h"
#include "support.h"

namespace {


bool isRegistered(const TCustomComPort& port, TComLed& led) {
  for (TComLink* link : port.Links())
    if (link == &led.Link()) return true;
  return false;
}

// Records every OnChange of a lamp.
struct ChangeLog {
  explicit ChangeLog(TComLed& led) {
    led.OnChange = [this, &led](QObject* sender, TLedState state) {
      EXPECT_EQ(sender, &led);
      states.push_back(state);
    };
  }
  std::vector<TLedState> states;
};

class ComLedTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureApp(); }
};

TEST_F(ComLedTest, StartsOffAtItsDefaultSizeWithAnAccessibleName) {
  TComLed led;
  EXPECT_EQ(led.size(), QSize(25, 25));
  EXPECT_EQ(led.State(), lsOff);
  EXPECT_EQ(led.LedSignal(), lsConn);
  EXPECT_EQ(led.Kind(), lkRedLight);
  EXPECT_EQ(led.RingDuration(), 1000);
  EXPECT_EQ(led.ComPort(), nullptr);
  EXPECT_EQ(led.focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(led.accessibleName(), "Connected: off");
  led.SetLedSignal(lsCTS);
  EXPECT_EQ(led.accessibleName(), "CTS: off");
  led.SetState(lsOn);
  EXPECT_EQ(led.accessibleName(), "CTS: on");
}

TEST_F(ComLedTest, EveryStateSetFiresOnChangeEvenWithoutChange) {
  TComLed led;
  ChangeLog log(led);
  led.SetState(lsOn);
  led.SetState(lsOn);
  led.SetState(lsOff);
  EXPECT_EQ(log.states, (std::vector<TLedState>{lsOn, lsOn, lsOff}));
  EXPECT_EQ(led.State(), lsOff);
}

TEST_F(ComLedTest, StateCannotBeSetWhileBound) {
  QuietPort port;
  TComLed led;
  led.SetComPort(&port);
  ChangeLog log(led);
  try {
    led.SetState(lsOn);
    ADD_FAILURE() << "no error raised";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 19);
    EXPECT_EQ(e.WinCode(), -1);
    EXPECT_STREQ(e.what(), "Cannot change led state if ComPort is selected");
  }
  EXPECT_EQ(led.State(), lsOff);
  EXPECT_TRUE(log.states.empty());
}

TEST_F(ComLedTest, BindingAClosedPortRegistersAndKeepsTheState) {
  QuietPort port;
  TComLed led;
  led.SetState(lsOn);
  ChangeLog log(led);
  led.SetComPort(&port);
  EXPECT_TRUE(isRegistered(port, led));
  EXPECT_EQ(led.State(), lsOn);
  EXPECT_TRUE(log.states.empty());

  // Unbinding always turns the lamp off and says so.
  led.SetComPort(nullptr);
  EXPECT_FALSE(isRegistered(port, led));
  EXPECT_EQ(led.State(), lsOff);
  EXPECT_EQ(log.states, (std::vector<TLedState>{lsOff}));
  EXPECT_EQ(led.accessibleName(), "Connected: off");
}

TEST_F(ComLedTest, BindingAnOpenPortReadsTheSignal) {
  QuietPort port;
  port.shared->modemStatus = MS_CTS_ON | MS_RLSD_ON;
  port.Open();
  ASSERT_TRUE(port.Connected());

  struct Case {
    TComLedSignal signal;
    TLedState expected;
  };
  for (const Case& c : std::vector<Case>{{lsConn, lsOn},
                                         {lsCTS, lsOn},
                                         {lsDSR, lsOff},
                                         {lsRLSD, lsOn},
                                         {lsRing, lsOff},
                                         {lsRx, lsOff},
                                         {lsTx, lsOff}}) {
    TComLed led;
    led.SetLedSignal(c.signal);
    if (c.expected == lsOff) led.SetState(lsOn);  // must be turned off by the binding
    ChangeLog log(led);
    led.SetComPort(&port);
    EXPECT_EQ(led.State(), c.expected) << int(c.signal);
    EXPECT_EQ(log.states, (std::vector<TLedState>{c.expected})) << int(c.signal);
  }
  port.Close();
}

TEST_F(ComLedTest, FollowsThePortsOpenAndClose) {
  QuietPort port;
  port.shared->modemStatus = MS_DSR_ON;
  TComLed conn, dsr;
  dsr.SetLedSignal(lsDSR);
  conn.SetComPort(&port);
  dsr.SetComPort(&port);
  ChangeLog connLog(conn), dsrLog(dsr);
  port.Open();
  EXPECT_EQ(conn.State(), lsOn);
  EXPECT_EQ(dsr.State(), lsOn);
  port.Close();
  EXPECT_EQ(conn.State(), lsOff);
  EXPECT_EQ(dsr.State(), lsOff);
  EXPECT_EQ(connLog.states, (std::vector<TLedState>{lsOn, lsOff}));
  EXPECT_EQ(dsrLog.states, (std::vector<TLedState>{lsOn, lsOff}));
}

// A device that goes away has no lines: the line lamps go dark when the loss
// is reported, while the port is still open, whether or not its owner closes
// it; the lamp of the open port stays lit until Close.
TEST_F(ComLedTest, LineLampsGoDarkWhenTheDeviceIsLost) {
  for (TSyncMethod sync : {smThreadSync, smWindowSync, smNone}) {
    FakePort port;  // with its event thread
    port.SetSyncMethod(sync);
    port.shared->modemStatus = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    int lost = 0;
    port.OnDeviceLost = [&](QObject*) { ++lost; };
    LineLamps lamps(port);
    TComLed &conn = lamps.conn, &cts = lamps.cts, &dsr = lamps.dsr, &rlsd = lamps.rlsd;
    port.Open();
    for (TComLed* led : {&conn, &cts, &dsr, &rlsd}) ASSERT_EQ(led->State(), lsOn) << int(sync);
    {
      std::lock_guard lock(port.shared->mutex);
      port.shared->lost = true;  // the lines still read as on: the loss alone turns them off
    }
    EXPECT_TRUE(WaitFor([&] { return lost == 1; })) << int(sync);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(cts.State(), lsOff) << int(sync);
    EXPECT_EQ(dsr.State(), lsOff) << int(sync);
    EXPECT_EQ(rlsd.State(), lsOff) << int(sync);
    EXPECT_EQ(conn.State(), lsOn) << int(sync);
    port.Close();
    EXPECT_EQ(conn.State(), lsOff);
  }
}

TEST_F(ComLedTest, EachSignalFillsOnlyItsOwnCallback) {
  QuietPort port;
  TComLed led;
  led.SetComPort(&port);
  TComLink& link = led.Link();
  struct Case {
    TComLedSignal signal;
    TComLink::BoolCallback TComLink::*callback;
  };
  for (const Case& c : std::vector<Case>{{lsCTS, &TComLink::OnCTSChange},
                                         {lsDSR, &TComLink::OnDSRChange},
                                         {lsRLSD, &TComLink::OnRLSDChange},
                                         {lsRx, &TComLink::OnRx},
                                         {lsTx, &TComLink::OnTx},
                                         {lsConn, &TComLink::OnConn}}) {
    led.SetLedSignal(c.signal);
    int assigned = bool(link.OnConn) + bool(link.OnCTSChange) + bool(link.OnDSRChange) + bool(link.OnRLSDChange) +
                   bool(link.OnRing) + bool(link.OnRx) + bool(link.OnTx);
    EXPECT_EQ(assigned, 1) << int(c.signal);
    ASSERT_TRUE(link.*c.callback) << int(c.signal);
    ChangeLog log(led);
    (link.*c.callback)(&port, true);
    EXPECT_EQ(led.State(), lsOn);
    EXPECT_EQ(led.accessibleName().endsWith(": on"), true);
    (link.*c.callback)(&port, true);
    (link.*c.callback)(&port, false);
    EXPECT_EQ(led.State(), lsOff);
    EXPECT_EQ(log.states, (std::vector<TLedState>{lsOn, lsOn, lsOff})) << int(c.signal);
  }
  // The link stays registered through every switch; the others are never filled.
  EXPECT_TRUE(isRegistered(port, led));
  EXPECT_FALSE(link.OnRxBuf || link.OnTxBuf || link.OnTxEmpty || link.OnRxFlag);
}

TEST_F(ComLedTest, SwitchingTheSignalKeepsTheStateUntilTheNextCallback) {
  QuietPort port;
  TComLed led;
  led.SetLedSignal(lsCTS);
  led.SetComPort(&port);
  led.Link().OnCTSChange(&port, true);
  ASSERT_EQ(led.State(), lsOn);
  led.SetLedSignal(lsDSR);
  EXPECT_EQ(led.State(), lsOn);
  EXPECT_FALSE(led.Link().OnCTSChange);
  EXPECT_EQ(led.accessibleName(), "DSR: on");
  led.Link().OnDSRChange(&port, false);
  EXPECT_EQ(led.State(), lsOff);
}

TEST_F(ComLedTest, RingLightsAtTheFirstRingAndGoesOutAfterTheDuration) {
  QuietPort port;
  TComLed led;
  led.SetLedSignal(lsRing);
  led.SetRingDuration(150);
  led.SetComPort(&port);
  ChangeLog log(led);
  ASSERT_TRUE(led.Link().OnRing);
  led.Link().OnRing(&port);
  EXPECT_EQ(led.State(), lsOn);
  led.Link().OnRing(&port);  // a running timer is not restarted
  EXPECT_TRUE(WaitFor([&] { return led.State() == lsOff; }));
  EXPECT_EQ(log.states, (std::vector<TLedState>{lsOn, lsOn, lsOff}));
  // A ring after it went out lights it again.
  led.Link().OnRing(&port);
  EXPECT_EQ(led.State(), lsOn);
  EXPECT_TRUE(WaitFor([&] { return led.State() == lsOff; }));
}

TEST_F(ComLedTest, RingDurationZeroKeepsTheLampLitUntilUnbound) {
  QuietPort port;
  TComLed led;
  led.SetLedSignal(lsRing);
  led.SetRingDuration(0);
  led.SetComPort(&port);
  led.Link().OnRing(&port);
  QTest::qWait(300);
  EXPECT_EQ(led.State(), lsOn);
  // Giving the running timer a duration lets it fire.
  led.SetRingDuration(50);
  EXPECT_TRUE(WaitFor([&] { return led.State() == lsOff; }));
  led.SetRingDuration(0);
  led.Link().OnRing(&port);
  led.SetComPort(nullptr);
  EXPECT_EQ(led.State(), lsOff);
}

TEST_F(ComLedTest, RebindingMovesTheLinkToTheNewPort) {
  QuietPort first, second;
  TComLed led;
  led.SetComPort(&first);
  led.SetComPort(&second);
  EXPECT_FALSE(isRegistered(first, led));
  EXPECT_TRUE(isRegistered(second, led));
  led.SetComPort(&second);  // the same port again changes nothing
  EXPECT_EQ(second.Links().size(), 1u);
}

TEST_F(ComLedTest, DestroyedPortUnbindsTheLampAndTurnsItOff) {
  auto port = std::make_unique<QuietPort>();
  TComLed led;
  led.SetComPort(port.get());
  port->Open();
  ASSERT_EQ(led.State(), lsOn);
  ChangeLog log(led);
  port.reset();  // closes on the way: OnConn(false), then the notification
  EXPECT_EQ(led.ComPort(), nullptr);
  EXPECT_EQ(led.State(), lsOff);
  ASSERT_FALSE(log.states.empty());
  EXPECT_EQ(log.states.back(), lsOff);
  led.SetState(lsOn);  // unbound again: allowed
  EXPECT_EQ(led.State(), lsOn);
}

TEST_F(ComLedTest, DestroyedLampLeavesThePortsLinkList) {
  QuietPort port;
  auto led = std::make_unique<TComLed>();
  led->SetComPort(&port);
  bool fired = false;
  led->OnChange = [&](QObject*, TLedState) { fired = true; };
  led.reset();
  EXPECT_TRUE(port.Links().empty());
  EXPECT_FALSE(fired);  // no callback into an owner that is going away
  port.Open();          // nothing left to call
  port.Close();
}

// --- Pictures and painting ------------------------------------------------------

const QColor kBackground(10, 200, 220);

QImage renderLamp(TComLed& led) {
  QImage image(led.size(), QImage::Format_ARGB32);
  image.fill(kBackground);
  led.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

// The picture drawn over the test background, placed at `at` in an image of `size`.
QImage expectedImage(const QImage& glyph, QSize size, QPoint at) {
  QImage image(size, QImage::Format_ARGB32);
  image.fill(kBackground);
  QPainter painter(&image);
  painter.drawImage(at, glyph);
  return image;
}

TEST_F(ComLedTest, BuiltInPicturesAreFifteenSquareWithTransparentCorner) {
  for (int kind = lkRedLight; kind < lkCustom; ++kind) {
    const QImage on = TComLed::KindGlyph(TLedKind(kind), lsOn);
    const QImage off = TComLed::KindGlyph(TLedKind(kind), lsOff);
    ASSERT_EQ(on.size(), QSize(15, 15)) << kind;
    ASSERT_EQ(off.size(), QSize(15, 15)) << kind;
    EXPECT_EQ(qAlpha(on.pixel(0, 14)), 0) << kind;
    EXPECT_EQ(qAlpha(off.pixel(0, 14)), 0) << kind;
    EXPECT_EQ(qAlpha(on.pixel(7, 7)), 255) << kind;
    EXPECT_NE(on, off) << kind;
  }
  EXPECT_TRUE(TComLed::KindGlyph(lkCustom, lsOn).isNull());
}

TEST_F(ComLedTest, PaintsTheStatesPictureCentred) {
  TComLed led;
  led.SetKind(lkGreenLight);
  const QImage on = TComLed::KindGlyph(lkGreenLight, lsOn);
  const QImage off = TComLed::KindGlyph(lkGreenLight, lsOff);
  EXPECT_EQ(renderLamp(led), expectedImage(off, {25, 25}, {5, 5}));
  led.SetState(lsOn);
  EXPECT_EQ(renderLamp(led), expectedImage(on, {25, 25}, {5, 5}));
  // The corner of the picture is transparent: the background shows through.
  EXPECT_EQ(renderLamp(led).pixelColor(5, 19), kBackground);

  led.resize(40, 30);
  EXPECT_EQ(renderLamp(led), expectedImage(on, {40, 30}, {12, 7}));
}

TEST_F(ComLedTest, SmallLampDrawsFromTheTopLeftClipped) {
  TComLed led;
  led.SetState(lsOn);
  led.resize(10, 8);
  const QImage on = TComLed::KindGlyph(lkRedLight, lsOn);
  EXPECT_EQ(renderLamp(led), expectedImage(on, {10, 8}, {0, 0}));
}

TEST_F(ComLedTest, DisabledLampShowsTheOffPicture) {
  TComLed led;
  led.SetKind(lkBulb);
  led.SetState(lsOn);
  led.setEnabled(false);
  EXPECT_EQ(renderLamp(led), expectedImage(TComLed::KindGlyph(lkBulb, lsOff), {25, 25}, {5, 5}));
  led.setEnabled(true);
  EXPECT_EQ(renderLamp(led), expectedImage(TComLed::KindGlyph(lkBulb, lsOn), {25, 25}, {5, 5}));
}

TEST_F(ComLedTest, CustomPicturesApplyOnlyUnderCustomKind) {
  QImage mine(9, 9, QImage::Format_RGB32);
  mine.fill(QColor(255, 0, 255));  // the bottom-left colour: transparent
  QPainter(&mine).fillRect(2, 2, 5, 5, QColor(0, 0, 255));

  TComLed led;
  led.SetKind(lkYellowLight);
  led.SetGlyphOn(mine);  // ignored under a built-in kind
  EXPECT_EQ(led.GlyphOn(), TComLed::KindGlyph(lkYellowLight, lsOn));

  // Switching to custom keeps the previous kind's pictures.
  led.SetKind(lkCustom);
  EXPECT_EQ(led.GlyphOff(), TComLed::KindGlyph(lkYellowLight, lsOff));
  led.SetGlyphOn(mine);
  led.SetState(lsOn);
  const QImage drawn = renderLamp(led);
  EXPECT_EQ(drawn.pixelColor(8 + 3, 8 + 3), QColor(0, 0, 255));
  EXPECT_EQ(drawn.pixelColor(8, 8), kBackground);
  EXPECT_EQ(qAlpha(led.GlyphOn().pixel(0, 8)), 0);
}

TEST_F(ComLedTest, HandlerErrorAtRingTimeoutGoesToTheReporter) {
  QuietPort port;
  TComLed led;
  led.SetLedSignal(lsRing);
  led.SetRingDuration(20);
  led.SetComPort(&port);
  led.Link().OnRing(&port);
  led.OnChange = [](QObject*, TLedState state) {
    if (state == lsOff) throw std::runtime_error("handler failed");
  };
  std::vector<std::string> reported;
  SetExceptionReporter([&](QObject*, const std::exception& e) { reported.push_back(e.what()); });
  EXPECT_TRUE(WaitFor([&] { return !reported.empty(); }));
  SetExceptionReporter(nullptr);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "handler failed");
  EXPECT_EQ(led.State(), lsOff);
}

}  // namespace

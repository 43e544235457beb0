// SPDX-License-Identifier: MIT
// Lamps bound to a real port on the built-in loopback plug: RTS drives CTS,
// DTR drives DSR and RLSD, delivered by the event thread.
#include <gtest/gtest.h>

#include "portctl.h"
#include "support.h"

namespace {

TEST(ComLedLoopbackTest, LampsFollowTheModemLines) {
  EnsureApp();
  TComPort port;
  port.SetPort("LOOPBACK");
  port.SetSyncMethod(smWindowSync);
  LineLamps lamps(port);
  TComLed &conn = lamps.conn, &cts = lamps.cts, &dsr = lamps.dsr, &rlsd = lamps.rlsd;

  port.Open();
  EXPECT_EQ(conn.State(), lsOn);
  port.SetRTSLine(false);
  port.SetDTRLine(false);
  ASSERT_TRUE(WaitFor([&] { return cts.State() == lsOff && dsr.State() == lsOff && rlsd.State() == lsOff; }));

  port.SetRTSLine(true);
  EXPECT_TRUE(WaitFor([&] { return cts.State() == lsOn; }));
  EXPECT_EQ(cts.accessibleName(), "CTS: on");
  EXPECT_EQ(dsr.State(), lsOff);
  port.SetDTRLine(true);
  EXPECT_TRUE(WaitFor([&] { return dsr.State() == lsOn && rlsd.State() == lsOn; }));

  // A lamp bound to the open port reads the lines at once.
  TComLed late;
  late.SetLedSignal(lsDSR);
  late.SetComPort(&port);
  EXPECT_EQ(late.State(), lsOn);

  port.Close();
  for (TComLed* led : {&conn, &cts, &dsr, &rlsd, &late}) EXPECT_EQ(led->State(), lsOff);
}

}  // namespace

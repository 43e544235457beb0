// SPDX-License-Identifier: MIT
// Timestamps on receive lines, and the window's menu items for them.
#include "timestamps.h"

#include <QAction>
#include <QInputDialog>
#include <cstdio>
#include <ctime>

#include "serivox.h"

void RxTimestamps::BeginChunk() {
  timespec mono{};
  timespec wall{};
  clock_gettime(CLOCK_MONOTONIC, &mono);
  clock_gettime(CLOCK_REALTIME, &wall);
  tm local{};
  localtime_r(&wall.tv_sec, &local);
  const int64_t msOfDay =
      ((int64_t(local.tm_hour) * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + wall.tv_nsec / 1000000;
  BeginChunk(int64_t(mono.tv_sec) * 1000 + mono.tv_nsec / 1000000, msOfDay);
}

void RxTimestamps::BeginChunk(int64_t monotonicMs, int64_t localMsOfDay) {
  if (!On) {
    lastArrival_ = -1;
    BreakPending = false;
    return;
  }
  if (lastArrival_ >= 0 && monotonicMs - lastArrival_ > GapMs) BreakPending = true;
  lastArrival_ = monotonicMs;
  const int64_t ms = ((localMsOfDay % 86400000) + 86400000) % 86400000;
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", int(ms / 3600000), int(ms / 60000 % 60),
                              int(ms / 1000 % 60), int(ms % 1000));
  Prefix.assign(text, size_t(n));
}

// --- The window's side --------------------------------------------------------

void TSerivox::ShowTimestampsToggled(bool on) {
  Stamps.On = on;
  Stamps.BreakPending = false;
  ExtrasChanged = true;
}

void TSerivox::TimestampGapTriggered() {
  bool ok = false;
  const int gap = ChooseTimestampGap ? ChooseTimestampGap(&ok)
                                     : QInputDialog::getInt(this, QStringLiteral("Timestamp gap"),
                                                            QStringLiteral("Start a new timestamped line after an idle gap of (ms):"),
                                                            Stamps.GapMs, 1, 3600000, 10, &ok);
  if (!ok) return;
  Stamps.GapMs = gap;
  ExtrasChanged = true;
}

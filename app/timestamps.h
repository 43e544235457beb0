// SPDX-License-Identifier: MIT
// RxTimestamps: the local time that starts each new receive line while
// "Show timestamps" is on ("12:34:56.789 "). Display only.
//
// In text mode a line starts after CR/LF, and also after an idle gap of more
// than GapMs in the stream, so that protocols without line ends are framed.
// The clock is read once per received chunk, not per byte.
#pragma once

#include <cstdint>
#include <string>

struct RxTimestamps {
  static constexpr int kDefaultGapMs = 100;

  bool On = false;
  int GapMs = kDefaultGapMs;
  // The next byte that is not CR or LF starts a new line (an idle gap passed).
  bool BreakPending = false;
  // "HH:MM:SS.mmm " of the chunk being shown.
  std::string Prefix;

  // Before a received chunk is shown: reads the clocks.
  void BeginChunk();
  // The same with given clocks: monotonic milliseconds and the local time of
  // day in milliseconds since midnight.
  void BeginChunk(int64_t monotonicMs, int64_t localMsOfDay);

 private:
  int64_t lastArrival_ = -1;
};

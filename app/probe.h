// SPDX-License-Identifier: MIT
// A measuring aid for benchmarks that start the real program: off unless the
// environment variable SERIVOX_PROBE is set, and then outside the receive path.
#pragma once

class TSerivox;

// When SERIVOX_PROBE is set, reports on standard error (CLOCK_MONOTONIC
// nanoseconds) each time the receive pane has painted, with its line count,
// whether its last line is in view, and the end of that line.
void InstallProbeFromEnvironment(TSerivox* window);

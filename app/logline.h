// SPDX-License-Identifier: MIT
// The typing pane's log lines: a prefix ending in "#", the byte as two
// upper-case hexadecimal digits, two spaces and the byte itself.
#pragma once

#include <QString>
#include <cstdint>

// "Macro 1:  #" and 0x41 give "Macro 1:  #41  A". Control bytes stand as
// LogCharOfByte gives them (a raw CR or LF would break the log line); the
// typing pane draws them as marks.
QString ByteLogLine(const QString& prefix, uint8_t b);

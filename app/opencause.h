// SPDX-License-Identifier: MIT
// The cause of a failed open, told in words for the error box's informative
// text: a missing device with the ports present now, the program that holds a
// busy device, a path that is no serial port, a network port that refused,
// did not answer or whose host does not exist.
#pragma once

#include <QString>
#include <string>

// "" when there is nothing to add for this error number.
QString OpenErrorCause(const std::string& portName, int err);

// The programs that hold `devicePath` open, as "NAME (process N)", found in
// /proc/*/fd where readable (another window of this program counts too).
QStringList HoldersOf(const std::string& devicePath);

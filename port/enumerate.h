// SPDX-License-Identifier: MIT
// The system's serial ports.
#pragma once

#include <string>
#include <vector>

// Replaces `list` by the names of the system's serial ports (device paths of
// the tty devices under <sysfsRoot>/class/tty that have hardware behind them),
// sorted without regard to letter case, character by character, duplicates
// kept, followed by the built-in virtual ports. A sysfs that cannot be read
// raises EComPort code 23 with the errno, leaving `list` unchanged.
void ListSerialPorts(std::vector<std::string>& list, const std::string& sysfsRoot = "/sys");

// SPDX-License-Identifier: MIT
// The built-in virtual ports: "LOOPBACK" (a loopback plug: transmit joined to
// receive, RTS to CTS, DTR to DSR and RLSD) and "NULLMODEM-A"/"NULLMODEM-B"
// (the two ends of a null-modem cable: data crossed, each end's RTS drives the
// other's CTS, its DTR the other's DSR and RLSD; a closed end drives nothing).
//
// They are process-wide, each open at most once at a time (EBUSY otherwise).
// Bytes arrive at the pace of the sender's baud rate and framing (start bit,
// data bits, parity bit, stop bits); bytes sent to an end that nobody has
// open are lost. Flow-control settings are accepted and drive nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device.h"

namespace serivox::device {

// The names of the virtual ports, in the order the port list shows them.
std::vector<std::string> VirtualPortNames();
// Whether `name` names a virtual port (letter case is not significant).
bool IsVirtualPortName(const std::string& name);
// Opens a virtual port: ENOENT for an unknown name, EBUSY when it is in use.
int OpenVirtualPort(const std::string& name, std::unique_ptr<Device>& device);

// Test-only controls: act on the named virtual port as if its line had shown
// the condition. A port that is not open loses it. ENOENT for an unknown name.
int RaiseVirtualRing(const std::string& name);    // EV_RING
int RaiseVirtualBreak(const std::string& name);   // EV_BREAK, CE_BREAK
int RaiseVirtualLineErrors(const std::string& name, uint32_t ceFlags);  // EV_ERR, the CE_ flags

}  // namespace serivox::device

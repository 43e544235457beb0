// SPDX-License-Identifier: MIT
// What a port name means, for the window and the controls: the device a name
// opens and what kind of port it is. The devices themselves are the
// component's own business.
#pragma once

#include <string>
#include <vector>

namespace serivox {

// The device path a port name opens: "COMn" (any letter case, n >= 1) is
// /dev/ttyS(n-1), a name that begins with "/" is itself, any other name is
// looked up under /dev/. Empty for a built-in virtual port and a network name,
// which have no device node.
std::string PortDevicePath(const std::string& name);
// Whether a name is a network port ("scheme://..."; never a device path).
bool IsNetworkPortName(const std::string& name);
// A network port name taken apart ("rfc2217://HOST:PORT" or "tcp://HOST:PORT").
struct NetworkPortParts {
  bool rfc2217 = false;
  std::string host;  // IPv6 without brackets
  int port = 0;
};
// 0 when the port would take `name` as a network port, else the error its
// Open would carry (EPROTONOSUPPORT, EINVAL); `parts` gets the pieces.
int CheckNetworkPortName(const std::string& name, NetworkPortParts* parts = nullptr);
// Whether a name is a built-in virtual port (letter case is not significant).
bool IsVirtualPortName(const std::string& name);
// The built-in virtual ports, in the order the port list shows them.
std::vector<std::string> VirtualPortNames();

}  // namespace serivox

// SPDX-License-Identifier: MIT
// Port names: the device path a name opens, and what kind of port it is.
#include "portname.h"

#include <cctype>

#include "device/netdevice.h"
#include "device/virtualports.h"

namespace serivox {

std::string PortDevicePath(const std::string& name) {
  if (IsVirtualPortName(name) || IsNetworkPortName(name)) return {};
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm')) {
    bool digits = name.size() <= 12;
    for (size_t i = 3; i < name.size() && digits; ++i) digits = std::isdigit(static_cast<unsigned char>(name[i]));
    if (digits) {
      const long n = std::stol(name.substr(3));
      if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  if (!name.empty() && name[0] == '/') return name;
  return "/dev/" + name;
}

bool IsNetworkPortName(const std::string& name) { return device::IsNetPortName(name); }

int CheckNetworkPortName(const std::string& name, NetworkPortParts* parts) {
  device::NetPortName parsed;
  if (const int err = device::ParseNetPortName(name, parsed)) return err;
  if (parts) *parts = {parsed.rfc2217, parsed.host, parsed.port};
  return 0;
}

bool IsVirtualPortName(const std::string& name) { return device::IsVirtualPortName(name); }

std::vector<std::string> VirtualPortNames() { return device::VirtualPortNames(); }

}  // namespace serivox

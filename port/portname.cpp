// SPDX-License-Identifier: MIT
// Port names, answered by the device layer.
#include "portname.h"

#include "device/device.h"
#include "device/netdevice.h"
#include "device/virtualports.h"

namespace serivox {

std::string PortDevicePath(const std::string& name) {
  if (IsVirtualPortName(name) || IsNetworkPortName(name)) return {};
  return device::devicePath(name);
}

bool IsNetworkPortName(const std::string& name) { return device::IsNetPortName(name); }

bool IsVirtualPortName(const std::string& name) { return device::IsVirtualPortName(name); }

std::vector<std::string> VirtualPortNames() { return device::VirtualPortNames(); }

}  // namespace serivox

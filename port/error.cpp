// SPDX-License-Identifier: MIT
#include "error.h"

#include <array>

namespace {
constexpr std::array<const char*, 24> kMessages = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
}  // namespace

std::string ComErrorMessage(int code) {
  return code >= 1 && code < static_cast<int>(kMessages.size()) ? kMessages[code] : "";
}

EComPort::EComPort(int code) : std::runtime_error(ComErrorMessage(code)), code_(code), winCode_(-1) {}

EComPort::EComPort(int code, int winCode)
    : std::runtime_error(ComErrorMessage(code) + " (win error code: " + std::to_string(winCode) + ")"),
      code_(code),
      winCode_(winCode) {}

// SPDX-License-Identifier: MIT
// The port component's error, with its numbered messages.
#pragma once

#include <stdexcept>
#include <string>

// Error codes of EComPort; the message table is indexed by the code.
enum TComErrorCode : int {
  CError_OpenFailed = 1,
  CError_WriteFailed = 2,
  CError_ReadFailed = 3,
  CError_InvalidAsync = 4,
  CError_PurgeFailed = 5,
  CError_AsyncCheck = 6,
  CError_SetStateFailed = 7,
  CError_TimeoutsFailed = 8,
  CError_SetupComFailed = 9,
  CError_ClearComFailed = 10,
  CError_ModemStatFailed = 11,
  CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13,
  CError_ConnChangeProp = 14,
  CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16,
  CError_LoadFailed = 17,
  CError_RegFailed = 18,
  CError_LedStateFailed = 19,
  CError_ThreadCreated = 20,
  CError_WaitFailed = 21,
  CError_HasLink = 22,
  CError_RegError = 23,
};

// The message of a code (1..23); empty for any other.
std::string ComErrorMessage(int code);

class EComPort : public std::runtime_error {
 public:
  // Without a system error: WinCode is -1 and the message is the table text.
  explicit EComPort(int code);
  // With a system error (errno): the table text and " (win error code: %d)".
  EComPort(int code, int winCode);

  int Code() const { return code_; }
  int WinCode() const { return winCode_; }
  // The name of the port that failed to open (CError_OpenFailed), else empty.
  const std::string& PortName() const { return portName_; }
  void SetPortName(const std::string& name) { portName_ = name; }

 private:
  int code_;
  int winCode_;
  std::string portName_;
};

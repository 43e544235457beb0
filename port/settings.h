// SPDX-License-Identifier: MIT
// The four settings objects a port owns. Each setter compares, stores and,
// when the object belongs to a port, pushes its group to the open device.
// An object without a port only stores values.
#pragma once

#include <cstdint>
#include <string>

#include "types.h"

class TCustomComPort;

// Common base: the back reference to the owning port and copying between
// objects of the same kind ("Cannot assign a %s to a %s" otherwise).
class TComSettings {
 public:
  virtual ~TComSettings() = default;
  virtual const char* ClassName() const = 0;
  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* port) { port_ = port; }
  // Copies every field without calling setters or pushing anything.
  void Assign(const TComSettings& source);

 protected:
  virtual bool CopyFrom(const TComSettings& source) = 0;
  TCustomComPort* port_ = nullptr;
};

class TComTimeouts : public TComSettings {
 public:
  const char* ClassName() const override { return "TComTimeouts"; }
  int32_t ReadInterval() const { return readInterval_; }
  int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  int32_t ReadTotalConstant() const { return readTotalConstant_; }
  int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void SetReadInterval(int32_t v);
  void SetReadTotalMultiplier(int32_t v);
  void SetReadTotalConstant(int32_t v);
  void SetWriteTotalMultiplier(int32_t v);
  void SetWriteTotalConstant(int32_t v);

 protected:
  bool CopyFrom(const TComSettings& source) override;

 private:
  void Set(int32_t& field, int32_t v);
  int32_t readInterval_ = -1;
  int32_t readTotalMultiplier_ = 0;
  int32_t readTotalConstant_ = 0;
  int32_t writeTotalMultiplier_ = 100;
  int32_t writeTotalConstant_ = 1000;
};

class TComFlowControl : public TComSettings {
 public:
  const char* ClassName() const override { return "TComFlowControl"; }
  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  uint8_t XonChar() const { return xonChar_; }
  uint8_t XoffChar() const { return xoffChar_; }
  void SetOutCTSFlow(bool v);
  void SetOutDSRFlow(bool v);
  void SetControlDTR(TDTRFlowControl v);
  void SetControlRTS(TRTSFlowControl v);
  void SetXonXoffOut(bool v);
  void SetXonXoffIn(bool v);
  void SetDSRSensitivity(bool v);
  void SetTxContinueOnXoff(bool v);
  void SetXonChar(uint8_t v);
  void SetXoffChar(uint8_t v);

  // The derived mode: read from ControlRTS, OutCTSFlow and the two Xon/Xoff
  // flags; writing sets those fields directly and always pushes once.
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl v);

 protected:
  bool CopyFrom(const TComSettings& source) override;

 private:
  template <typename T>
  void Set(T& field, T v);
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = dtrDisable;
  TRTSFlowControl controlRTS_ = rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  uint8_t xonChar_ = 17;
  uint8_t xoffChar_ = 19;
};

class TComParity : public TComSettings {
 public:
  const char* ClassName() const override { return "TComParity"; }
  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  uint8_t ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits v);
  void SetCheck(bool v);
  void SetReplace(bool v);
  void SetReplaceChar(uint8_t v);

 protected:
  bool CopyFrom(const TComSettings& source) override;

 private:
  template <typename T>
  void Set(T& field, T v);
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  uint8_t replaceChar_ = 0;
};

class TComBuffer : public TComSettings {
 public:
  const char* ClassName() const override { return "TComBuffer"; }
  int32_t InputSize() const { return inputSize_; }
  int32_t OutputSize() const { return outputSize_; }
  // A changed positive odd size is lowered by one before it is pushed.
  void SetInputSize(int32_t v);
  void SetOutputSize(int32_t v);

 protected:
  bool CopyFrom(const TComSettings& source) override;

 private:
  void Set(int32_t& field, int32_t v);
  int32_t inputSize_ = 1024;
  int32_t outputSize_ = 1024;
};

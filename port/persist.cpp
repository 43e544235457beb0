// SPDX-License-Identifier: MIT
// Storing and loading the port's settings in an INI file section or a
// registry key.
#include <functional>
#include <stdexcept>

#include "comport.h"
#include "inifile.h"
#include "registry.h"

namespace {

// Where stored keys go: an INI section or an open registry key.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Text(const std::string& key, const std::string& value) = 0;
  virtual void Int(const std::string& key, int32_t value) = 0;
};

// Where loaded keys come from. `current` is the setting's present value in
// its stored form; a source with defaults returns it for a missing key.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::string Text(const std::string& key, const std::string& current) = 0;
  virtual int32_t Int(const std::string& key, int32_t current) = 0;
};

class IniSink : public Sink {
 public:
  IniSink(TIniFile& ini, std::string section) : ini_(ini), section_(std::move(section)) {}
  void Text(const std::string& key, const std::string& value) override { ini_.WriteString(section_, key, value); }
  void Int(const std::string& key, int32_t value) override { ini_.WriteInteger(section_, key, value); }

 private:
  TIniFile& ini_;
  std::string section_;
};

class IniSource : public Source {
 public:
  IniSource(TIniFile& ini, std::string section) : ini_(ini), section_(std::move(section)) {}
  std::string Text(const std::string& key, const std::string& current) override {
    return ini_.ReadString(section_, key, current);
  }
  int32_t Int(const std::string& key, int32_t current) override { return ini_.ReadInteger(section_, key, current); }

 private:
  TIniFile& ini_;
  std::string section_;
};

class RegistrySink : public Sink {
 public:
  explicit RegistrySink(TRegistry& reg) : reg_(reg) {}
  void Text(const std::string& key, const std::string& value) override { reg_.WriteString(key, value); }
  void Int(const std::string& key, int32_t value) override { reg_.WriteInteger(key, value); }

 private:
  TRegistry& reg_;
};

// The registry has no defaults: a missing text is empty, a missing integer an error.
class RegistrySource : public Source {
 public:
  explicit RegistrySource(TRegistry& reg) : reg_(reg) {}
  std::string Text(const std::string& key, const std::string&) override { return reg_.ReadString(key); }
  int32_t Int(const std::string& key, int32_t) override { return reg_.ReadInteger(key); }

 private:
  TRegistry& reg_;
};

// Groups are visited in this order, not in the order of their bits.
constexpr TSettingsGroup kGroupOrder[] = {grBasic,   grEventOptions, grParityDetails,
                                          grBuffer,  grTimeouts,     grFlowDetails};

void Store(const TCustomComPort& port, Sink& out) {
  const TComFlowControl& flow = port.FlowControl();
  for (TSettingsGroup group : kGroupOrder) {
    if (!port.StoredGroups().Contains(group)) continue;
    switch (group) {
      case grBasic:
        out.Text("Port", port.Port());
        out.Text("BaudRate", BaudRateToText(port.BaudRate()));
        if (port.BaudRate() == brCustom) out.Int("CustomBaudRate", port.CustomBaudRate());
        out.Text("StopBits", StopBitsToText(port.StopBits()));
        out.Text("DataBits", DataBitsToText(port.DataBits()));
        out.Text("Parity", ParityToText(port.Parity().Bits()));
        out.Text("FlowControl", FlowControlToText(flow.FlowControl()));
        break;
      case grEventOptions:
        out.Text("EventChar", CharToText(port.EventChar()));
        out.Text("DiscardNull", BoolToText(port.DiscardNull()));
        break;
      case grParityDetails:
        out.Text("Parity.Check", BoolToText(port.Parity().Check()));
        out.Text("Parity.Replace", BoolToText(port.Parity().Replace()));
        out.Text("Parity.ReplaceChar", CharToText(port.Parity().ReplaceChar()));
        break;
      case grBuffer:
        out.Int("Buffer.OutputSize", port.Buffer().OutputSize());
        out.Int("Buffer.InputSize", port.Buffer().InputSize());
        break;
      case grTimeouts:
        out.Int("Timeouts.ReadInterval", port.Timeouts().ReadInterval());
        out.Int("Timeouts.ReadTotalConstant", port.Timeouts().ReadTotalConstant());
        out.Int("Timeouts.ReadTotalMultiplier", port.Timeouts().ReadTotalMultiplier());
        out.Int("Timeouts.WriteTotalConstant", port.Timeouts().WriteTotalConstant());
        out.Int("Timeouts.WriteTotalMultiplier", port.Timeouts().WriteTotalMultiplier());
        break;
      case grFlowDetails:
        out.Text("FlowControl.ControlRTS", RTSControlToText(flow.ControlRTS()));
        out.Text("FlowControl.ControlDTR", DTRControlToText(flow.ControlDTR()));
        out.Text("FlowControl.DSRSensitivity", BoolToText(flow.DSRSensitivity()));
        out.Text("FlowControl.OutCTSFlow", BoolToText(flow.OutCTSFlow()));
        out.Text("FlowControl.OutDSRFlow", BoolToText(flow.OutDSRFlow()));
        out.Text("FlowControl.TxContinueOnXoff", BoolToText(flow.TxContinueOnXoff()));
        out.Text("FlowControl.XonXoffIn", BoolToText(flow.XonXoffIn()));
        out.Text("FlowControl.XonXoffOut", BoolToText(flow.XonXoffOut()));
        out.Text("FlowControl.XoffChar", CharToText(flow.XoffChar()));
        out.Text("FlowControl.XonChar", CharToText(flow.XonChar()));
        break;
    }
  }
}

// Each key is read and assigned at once, so later keys see the earlier ones.
void Load(TCustomComPort& port, Source& in) {
  TComFlowControl& flow = port.FlowControl();
  TComParity& parity = port.Parity();
  TComBuffer& buffer = port.Buffer();
  TComTimeouts& timeouts = port.Timeouts();
  for (TSettingsGroup group : kGroupOrder) {
    if (!port.StoredGroups().Contains(group)) continue;
    switch (group) {
      case grBasic:
        port.SetPort(in.Text("Port", port.Port()));
        port.SetBaudRate(BaudRateFromText(in.Text("BaudRate", BaudRateToText(port.BaudRate()))));
        // The default is 9600, not the current value.
        if (port.BaudRate() == brCustom) port.SetCustomBaudRate(in.Int("CustomBaudRate", 9600));
        port.SetStopBits(StopBitsFromText(in.Text("StopBits", StopBitsToText(port.StopBits()))));
        port.SetDataBits(DataBitsFromText(in.Text("DataBits", DataBitsToText(port.DataBits()))));
        parity.SetBits(ParityFromText(in.Text("Parity", ParityToText(parity.Bits()))));
        flow.SetFlowControl(FlowControlFromText(in.Text("FlowControl", FlowControlToText(flow.FlowControl()))));
        break;
      case grEventOptions:
        port.SetEventChar(CharFromText(in.Text("EventChar", CharToText(port.EventChar()))));
        port.SetDiscardNull(BoolFromText(in.Text("DiscardNull", BoolToText(port.DiscardNull()))));
        break;
      case grParityDetails:
        parity.SetCheck(BoolFromText(in.Text("Parity.Check", BoolToText(parity.Check()))));
        parity.SetReplace(BoolFromText(in.Text("Parity.Replace", BoolToText(parity.Replace()))));
        parity.SetReplaceChar(CharFromText(in.Text("Parity.ReplaceChar", CharToText(parity.ReplaceChar()))));
        break;
      case grBuffer:
        buffer.SetOutputSize(in.Int("Buffer.OutputSize", buffer.OutputSize()));
        buffer.SetInputSize(in.Int("Buffer.InputSize", buffer.InputSize()));
        break;
      case grTimeouts:
        timeouts.SetReadInterval(in.Int("Timeouts.ReadInterval", timeouts.ReadInterval()));
        timeouts.SetReadTotalConstant(in.Int("Timeouts.ReadTotalConstant", timeouts.ReadTotalConstant()));
        timeouts.SetReadTotalMultiplier(in.Int("Timeouts.ReadTotalMultiplier", timeouts.ReadTotalMultiplier()));
        timeouts.SetWriteTotalConstant(in.Int("Timeouts.WriteTotalConstant", timeouts.WriteTotalConstant()));
        timeouts.SetWriteTotalMultiplier(in.Int("Timeouts.WriteTotalMultiplier", timeouts.WriteTotalMultiplier()));
        break;
      case grFlowDetails:
        flow.SetControlRTS(RTSControlFromText(in.Text("FlowControl.ControlRTS", RTSControlToText(flow.ControlRTS()))));
        flow.SetControlDTR(DTRControlFromText(in.Text("FlowControl.ControlDTR", DTRControlToText(flow.ControlDTR()))));
        flow.SetDSRSensitivity(
            BoolFromText(in.Text("FlowControl.DSRSensitivity", BoolToText(flow.DSRSensitivity()))));
        flow.SetOutCTSFlow(BoolFromText(in.Text("FlowControl.OutCTSFlow", BoolToText(flow.OutCTSFlow()))));
        flow.SetOutDSRFlow(BoolFromText(in.Text("FlowControl.OutDSRFlow", BoolToText(flow.OutDSRFlow()))));
        flow.SetTxContinueOnXoff(
            BoolFromText(in.Text("FlowControl.TxContinueOnXoff", BoolToText(flow.TxContinueOnXoff()))));
        flow.SetXonXoffIn(BoolFromText(in.Text("FlowControl.XonXoffIn", BoolToText(flow.XonXoffIn()))));
        flow.SetXonXoffOut(BoolFromText(in.Text("FlowControl.XonXoffOut", BoolToText(flow.XonXoffOut()))));
        flow.SetXoffChar(CharFromText(in.Text("FlowControl.XoffChar", CharToText(flow.XoffChar()))));
        flow.SetXonChar(CharFromText(in.Text("FlowControl.XonChar", CharToText(flow.XonChar()))));
        break;
    }
  }
}

}  // namespace

void TCustomComPort::StoreToIniFile(TIniFile& IniFile) {
  IniSink sink(IniFile, objectName().toStdString());
  Store(*this, sink);
}

void TCustomComPort::StoreToRegistry(TRegistry& Reg) {
  RegistrySink sink(Reg);
  Store(*this, sink);
}

void TCustomComPort::LoadFromIniFile(TIniFile& IniFile) {
  IniSource source(IniFile, objectName().toStdString());
  Load(*this, source);
}

void TCustomComPort::LoadFromRegistry(TRegistry& Reg) {
  RegistrySource source(Reg);
  Load(*this, source);
}

void TCustomComPort::OpenSettingsKey(TRegistry& Reg, const std::string& Path, const std::string& Name) {
  const size_t sep = Path.find('\\');
  if (sep == std::string::npos) return;  // no key: writes fail, text reads are empty
  std::string root = Path.substr(0, sep);
  for (char& c : root)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (root == "HKEY_LOCAL_MACHINE")
    Reg.SetRootKey(HKEY_LOCAL_MACHINE);
  else if (root == "HKEY_CURRENT_USER")
    Reg.SetRootKey(HKEY_CURRENT_USER);
  std::string key = Path.substr(sep + 1);
  // A root name followed only by "\" names no key: refused, so the caller's
  // store or load fails instead of touching the root key itself.
  if (key.empty()) throw std::invalid_argument("No registry key in " + Path);
  if (key.back() != '\\') key += '\\';
  Reg.OpenKey(key + Name, true);
}

void TCustomComPort::PersistSettings(bool FromIni, const std::string& Path) {
  try {
    if (FromIni) {
      // One read and one write of the file for all keys.
      TIniFile ini(Path);
      ini.BeginUpdate();
      StoreToIniFile(ini);
      ini.EndUpdate();
    } else {
      TRegistry reg(KEY_ALL_ACCESS);
      reg.SetRootKey(HKEY_CURRENT_USER);
      OpenSettingsKey(reg, Path, objectName().toStdString());
      StoreToRegistry(reg);
    }
  } catch (...) {
    // The underlying message is dropped on purpose.
    throw EComPort(CError_StoreFailed);
  }
}

void TCustomComPort::RestoreSettings(bool FromIni, const std::string& Path) {
  LoadBracketed([&] {
    if (FromIni) {
      TIniFile ini(Path);
      ini.BeginUpdate();  // one read of the file for all keys
      LoadFromIniFile(ini);
    } else {
      TRegistry reg(KEY_ALL_ACCESS);
      reg.SetRootKey(HKEY_CURRENT_USER);
      OpenSettingsKey(reg, Path, objectName().toStdString());
      LoadFromRegistry(reg);
    }
  });
}

void TCustomComPort::LoadBracketed(const std::function<void()>& Load) {
  BeginSettingsUpdate();
  bool failed = false;
  try {
    Load();
  } catch (...) {
    failed = true;
  }
  // Always ends the bracket; an open port gets the loaded settings in one push.
  try {
    EndSettingsUpdate();
  } catch (...) {
    failed = true;
  }
  if (failed) throw EComPort(CError_LoadFailed);
}

void TCustomComPort::PersistSettings(TIniFile& IniFile) {
  try {
    StoreToIniFile(IniFile);
  } catch (...) {
    throw EComPort(CError_StoreFailed);
  }
}

void TCustomComPort::RestoreSettings(TIniFile& IniFile) {
  LoadBracketed([&] { LoadFromIniFile(IniFile); });
}

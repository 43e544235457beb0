// SPDX-License-Identifier: MIT
// Storing and loading the port's settings in INI files and the registry.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "comport.h"
#include "fake_device.h"
#include "inifile.h"
#include "registry.h"

namespace {

// A port on the scripted device that counts its opens; an empty port name
// cannot be opened.
class RecordingPort : public FakePort {
 public:
  int opens = 0;
  RecordingPort() {
    setObjectName("ComPort");
    SetEvents(TComEvents{});  // no event thread
  }
  // The settings pushes that reached the device, in order.
  std::vector<std::string> Pushes() const {
    std::lock_guard lock(shared->mutex);
    std::vector<std::string> pushes;
    for (const auto& call : shared->calls)
      if (call == "setupComm" || call == "setCommState" || call == "setCommTimeouts") pushes.push_back(call);
    return pushes;
  }

 protected:
  void OpenDevice() override {
    if (Port().empty()) throw EComPort(CError_OpenFailed, ENOENT);
    ++opens;
    FakePort::OpenDevice();
  }
};

const TSettingsGroups kAllGroups{grBasic, grFlowDetails, grBuffer, grTimeouts, grParityDetails, grEventOptions};

// The main window's port as the window sets it up at creation.
void MainWindowValues(TCustomComPort& port) {
  port.setObjectName("ComPort");
  port.SetPort("COM1");
  port.SetBaudRate(br38400);
  port.SetStopBits(sbTwoStopBits);
  port.SetDataBits(dbEight);
  port.Parity().SetBits(prNone);
  port.FlowControl().SetControlDTR(dtrEnable);
  port.FlowControl().SetControlRTS(rtsDisable);
}

// Every setting away from its default.
void UnusualValues(TCustomComPort& port) {
  port.SetPort("/dev/ttyUSB3");
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(250000);
  port.SetStopBits(sbOne5StopBits);
  port.SetDataBits(dbSeven);
  port.SetDiscardNull(true);
  port.SetEventChar('\n');
  port.Parity().SetBits(prMark);
  port.Parity().SetCheck(true);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar('?');
  port.Buffer().SetOutputSize(4096);
  port.Buffer().SetInputSize(2048);
  port.Timeouts().SetReadInterval(5);
  port.Timeouts().SetReadTotalConstant(6);
  port.Timeouts().SetReadTotalMultiplier(7);
  port.Timeouts().SetWriteTotalConstant(8);
  port.Timeouts().SetWriteTotalMultiplier(9);
  TComFlowControl& f = port.FlowControl();
  f.SetControlRTS(rtsToggle);
  f.SetControlDTR(dtrHandshake);
  f.SetDSRSensitivity(true);
  f.SetOutCTSFlow(true);
  f.SetOutDSRFlow(true);
  f.SetTxContinueOnXoff(true);
  f.SetXonXoffIn(true);
  f.SetXonXoffOut(true);
  f.SetXoffChar(200);
  f.SetXonChar(' ');
}

void ExpectSameSettings(const TCustomComPort& a, const TCustomComPort& b) {
  EXPECT_EQ(a.Port(), b.Port());
  EXPECT_EQ(a.BaudRate(), b.BaudRate());
  EXPECT_EQ(a.CustomBaudRate(), b.CustomBaudRate());
  EXPECT_EQ(a.StopBits(), b.StopBits());
  EXPECT_EQ(a.DataBits(), b.DataBits());
  EXPECT_EQ(a.DiscardNull(), b.DiscardNull());
  EXPECT_EQ(a.EventChar(), b.EventChar());
  EXPECT_EQ(a.Parity().Bits(), b.Parity().Bits());
  EXPECT_EQ(a.Parity().Check(), b.Parity().Check());
  EXPECT_EQ(a.Parity().Replace(), b.Parity().Replace());
  EXPECT_EQ(a.Parity().ReplaceChar(), b.Parity().ReplaceChar());
  EXPECT_EQ(a.Buffer().OutputSize(), b.Buffer().OutputSize());
  EXPECT_EQ(a.Buffer().InputSize(), b.Buffer().InputSize());
  EXPECT_EQ(a.Timeouts().ReadInterval(), b.Timeouts().ReadInterval());
  EXPECT_EQ(a.Timeouts().ReadTotalConstant(), b.Timeouts().ReadTotalConstant());
  EXPECT_EQ(a.Timeouts().ReadTotalMultiplier(), b.Timeouts().ReadTotalMultiplier());
  EXPECT_EQ(a.Timeouts().WriteTotalConstant(), b.Timeouts().WriteTotalConstant());
  EXPECT_EQ(a.Timeouts().WriteTotalMultiplier(), b.Timeouts().WriteTotalMultiplier());
  const TComFlowControl& x = a.FlowControl();
  const TComFlowControl& y = b.FlowControl();
  EXPECT_EQ(x.ControlRTS(), y.ControlRTS());
  EXPECT_EQ(x.ControlDTR(), y.ControlDTR());
  EXPECT_EQ(x.DSRSensitivity(), y.DSRSensitivity());
  EXPECT_EQ(x.OutCTSFlow(), y.OutCTSFlow());
  EXPECT_EQ(x.OutDSRFlow(), y.OutDSRFlow());
  EXPECT_EQ(x.TxContinueOnXoff(), y.TxContinueOnXoff());
  EXPECT_EQ(x.XonXoffIn(), y.XonXoffIn());
  EXPECT_EQ(x.XonXoffOut(), y.XonXoffOut());
  EXPECT_EQ(x.XoffChar(), y.XoffChar());
  EXPECT_EQ(x.XonChar(), y.XonChar());
}

// The code of the EComPort that `f` raises, or 0.
template <typename F>
int ErrorCode(F f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EComPort& e) {
    if (message != nullptr) *message = e.what();
    EXPECT_EQ(e.WinCode(), -1);
    return e.Code();
  }
  return 0;
}

class PersistTest : public ::testing::Test {
 protected:
  void SetUp() override { TRegistry::SetRootFolder(dir_.filePath("registry").toStdString()); }
  void TearDown() override { TRegistry::SetRootFolder(""); }

  std::string Ini() const { return dir_.filePath("serivox.ini").toStdString(); }
  void Put(const std::string& text) const {
    QFile f(QString::fromStdString(Ini()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.data(), static_cast<qint64>(text.size()));
  }
  std::string Get() const {
    QFile f(QString::fromStdString(Ini()));
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }
  bool RegistryKeyExists(const QString& rel) const {
    return QFileInfo::exists(dir_.filePath("registry/" + rel + "/.values"));
  }

  QTemporaryDir dir_;
};

TEST_F(PersistTest, MainWindowPortWritesSevenLinesIntoNewFile) {
  TComPort port;
  MainWindowValues(port);
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get(), "[ComPort]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=8\nParity=None\nFlowControl=None\n");

  TComPort fresh;
  fresh.setObjectName("ComPort");
  fresh.SetPort("COM9");
  fresh.FlowControl().SetControlDTR(dtrHandshake);
  fresh.FlowControl().SetControlRTS(rtsEnable);  // derived mode Custom until loaded
  fresh.RestoreSettings(true, Ini());
  EXPECT_EQ(fresh.Port(), "COM1");
  EXPECT_EQ(fresh.BaudRate(), br38400);
  EXPECT_EQ(fresh.StopBits(), sbTwoStopBits);
  EXPECT_EQ(fresh.DataBits(), dbEight);
  EXPECT_EQ(fresh.Parity().Bits(), prNone);
  EXPECT_EQ(fresh.FlowControl().FlowControl(), fcNone);
  EXPECT_EQ(fresh.FlowControl().ControlDTR(), dtrHandshake);
  EXPECT_EQ(fresh.UpdateCount(), 0);
}

TEST_F(PersistTest, AllGroupsAreWrittenInGroupAndKeyOrder) {
  TComPort port;
  MainWindowValues(port);
  port.SetStoredGroups(kAllGroups);
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get(),
            "[ComPort]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=8\nParity=None\nFlowControl=None\n"
            "EventChar=#0\nDiscardNull=No\n"
            "Parity.Check=No\nParity.Replace=No\nParity.ReplaceChar=#0\n"
            "Buffer.OutputSize=1024\nBuffer.InputSize=1024\n"
            "Timeouts.ReadInterval=-1\nTimeouts.ReadTotalConstant=0\nTimeouts.ReadTotalMultiplier=0\n"
            "Timeouts.WriteTotalConstant=1000\nTimeouts.WriteTotalMultiplier=100\n"
            "FlowControl.ControlRTS=Disable\nFlowControl.ControlDTR=Enable\nFlowControl.DSRSensitivity=No\n"
            "FlowControl.OutCTSFlow=No\nFlowControl.OutDSRFlow=No\nFlowControl.TxContinueOnXoff=No\n"
            "FlowControl.XonXoffIn=No\nFlowControl.XonXoffOut=No\nFlowControl.XoffChar=#19\n"
            "FlowControl.XonChar=#17\n");
}

TEST_F(PersistTest, AllGroupsRoundTripThroughIniAndRegistry) {
  TComPort port;
  port.setObjectName("ComPort");
  port.SetStoredGroups(kAllGroups);
  UnusualValues(port);
  ASSERT_EQ(port.FlowControl().FlowControl(), fcCustom);
  port.PersistSettings(true, Ini());
  port.PersistSettings(false, "HKEY_CURRENT_USER\\Software\\Serivox");

  for (bool fromIni : {true, false}) {
    TComPort fresh;
    fresh.setObjectName("ComPort");
    fresh.SetStoredGroups(kAllGroups);
    fresh.RestoreSettings(fromIni, fromIni ? Ini() : "HKEY_CURRENT_USER\\Software\\Serivox");
    SCOPED_TRACE(fromIni ? "ini" : "registry");
    ExpectSameSettings(port, fresh);
  }
  // The detail keys decide the flow fields whatever "FlowControl" says.
  EXPECT_NE(Get().find("FlowControl=Custom\n"), std::string::npos);
}

TEST_F(PersistTest, SectionIsThePortsNameAndOtherSectionsStay) {
  Put("[Makro]\nMakro1Text=hello\n[ComPort]\nPort=COM4\n; mine\n\n[Test]\nEcho=1\n");
  TComPort port;
  MainWindowValues(port);
  port.setObjectName("Second");
  port.PersistSettings(true, Ini());
  port.setObjectName("ComPort");
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get(),
            "[Makro]\nMakro1Text=hello\n"
            "[ComPort]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=8\nParity=None\nFlowControl=None\n; mine\n\n"
            "[Test]\nEcho=1\n"
            "[Second]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=8\nParity=None\nFlowControl=None\n");
}

TEST_F(PersistTest, PortWithoutNameUsesEmptySection) {
  TComPort port;
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get().substr(0, 14), "[]\nPort=COM1\nB");
  TComPort fresh;
  fresh.SetPort("X");
  fresh.RestoreSettings(true, Ini());
  EXPECT_EQ(fresh.Port(), "COM1");
}

TEST_F(PersistTest, MissingFileOrSectionChangesOnlyCustomBaudRate) {
  TComPort port;
  port.setObjectName("ComPort");
  UnusualValues(port);
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(Get(), "<missing>");  // loading never creates the file
  TComPort reference;
  UnusualValues(reference);
  reference.SetCustomBaudRate(9600);
  ExpectSameSettings(reference, port);

  Put("[Other]\nBaudRate=110\n");
  port.SetCustomBaudRate(1234);
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.BaudRate(), brCustom);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
}

TEST_F(PersistTest, CustomBaudRateKey) {
  TComPort port;
  port.setObjectName("ComPort");
  Put("[ComPort]\nBaudRate=Custom\nCustomBaudRate=57601\n");
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.BaudRate(), brCustom);
  EXPECT_EQ(port.CustomBaudRate(), 57601);

  Put("[ComPort]\nBaudRate=custom\n");
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.CustomBaudRate(), 9600);

  Put("[ComPort]\nBaudRate=Custom\nCustomBaudRate=0x1C200\n");
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.CustomBaudRate(), 115200);

  // Only read while the rate is Custom.
  Put("[ComPort]\nBaudRate=57600\nCustomBaudRate=300\n");
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.BaudRate(), br57600);
  EXPECT_EQ(port.CustomBaudRate(), 115200);

  // Written right after "BaudRate" only while Custom; an old key stays otherwise.
  Put("");
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(250000);
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get(), "[ComPort]\nPort=COM1\nBaudRate=Custom\nCustomBaudRate=250000\nStopBits=1\nDataBits=8\n"
                   "Parity=None\nFlowControl=None\n");
  port.SetBaudRate(br110);
  port.PersistSettings(true, Ini());
  EXPECT_EQ(Get(), "[ComPort]\nPort=COM1\nBaudRate=110\nCustomBaudRate=250000\nStopBits=1\nDataBits=8\n"
                   "Parity=None\nFlowControl=None\n");
}

TEST_F(PersistTest, TextFormsThatMatchNothingGiveDefaults) {
  TComPort port;
  port.setObjectName("ComPort");
  port.SetStoredGroups(kAllGroups);
  port.SetBaudRate(br38400);
  port.SetStopBits(sbTwoStopBits);
  port.FlowControl().SetFlowControl(fcHardware);
  Put("[ComPort]\nBaudRate=fast\nStopBits=3\nFlowControl=Custom\nDiscardNull=yes\nParity=odd\n"
      "EventChar=#300\nBuffer.InputSize=$801\nTimeouts.ReadInterval=oops\n");
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits(), prOdd);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
  EXPECT_TRUE(port.DiscardNull());
  EXPECT_EQ(port.EventChar(), 44);
  EXPECT_EQ(port.Buffer().InputSize(), 2048);  // 2049 rounded down to even
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);

  Put("[ComPort]\nDiscardNull=True\nFlowControl=None\n");
  port.RestoreSettings(true, Ini());
  EXPECT_FALSE(port.DiscardNull());
  EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
}

TEST_F(PersistTest, MissingDetailKeyLeavesItsFieldWhateverFlowControlSays) {
  TComPort port;
  port.setObjectName("ComPort");
  port.SetStoredGroups(kAllGroups);
  port.FlowControl().SetOutDSRFlow(true);
  Put("[ComPort]\nFlowControl=None\nFlowControl.OutCTSFlow=Yes\n");
  port.RestoreSettings(true, Ini());
  EXPECT_TRUE(port.FlowControl().OutDSRFlow());
  EXPECT_TRUE(port.FlowControl().OutCTSFlow());
}

TEST_F(PersistTest, RegistryKeyIsChosenFromThePath) {
  TComPort port;
  MainWindowValues(port);
  port.PersistSettings(false, "HKEY_CURRENT_USER\\Software\\Terminal");
  EXPECT_TRUE(RegistryKeyExists("HKEY_CURRENT_USER/Software/Terminal/ComPort"));
  port.PersistSettings(false, "hkey_local_machine\\Software\\Terminal\\");
  EXPECT_TRUE(RegistryKeyExists("HKEY_LOCAL_MACHINE/Software/Terminal/ComPort"));
  port.PersistSettings(false, "Software\\Terminal");
  EXPECT_TRUE(RegistryKeyExists("HKEY_CURRENT_USER/Terminal/ComPort"));

  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("Software\\Terminal\\ComPort", false));
  EXPECT_EQ(reg.ReadString("BaudRate"), "38400");
  EXPECT_EQ(reg.ReadString("Parity"), "None");
  EXPECT_FALSE(reg.ValueExists("CustomBaudRate"));

  TComPort fresh;
  fresh.setObjectName("ComPort");
  fresh.RestoreSettings(false, "HKEY_LOCAL_MACHINE\\Software\\Terminal");
  EXPECT_EQ(fresh.BaudRate(), br38400);
  EXPECT_EQ(fresh.StopBits(), sbTwoStopBits);
}

TEST_F(PersistTest, RegistryValuesAreTyped) {
  TComPort port;
  port.setObjectName("ComPort");
  port.SetStoredGroups(kAllGroups);
  UnusualValues(port);
  port.PersistSettings(false, "HKEY_CURRENT_USER\\S");
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("S\\ComPort", false));
  EXPECT_EQ(reg.ReadInteger("CustomBaudRate"), 250000);
  EXPECT_EQ(reg.ReadInteger("Timeouts.ReadInterval"), 5);
  EXPECT_EQ(reg.ReadInteger("Buffer.OutputSize"), 4096);
  EXPECT_EQ(reg.ReadString("FlowControl.XoffChar"), "#200");
  EXPECT_THROW(reg.ReadString("Buffer.InputSize"), ERegistryException);
  EXPECT_THROW(reg.ReadInteger("Port"), ERegistryException);
}

TEST_F(PersistTest, RegistryPathWithoutKey) {
  TComPort port;
  MainWindowValues(port);
  std::string message;
  EXPECT_EQ(ErrorCode([&] { port.PersistSettings(false, "NoBackslash"); }, &message), CError_StoreFailed);
  EXPECT_EQ(message, "Failed to store settings");
  EXPECT_EQ(ErrorCode([&] { port.PersistSettings(false, "HKEY_CURRENT_USER\\"); }), CError_StoreFailed);
  EXPECT_FALSE(QFileInfo::exists(dir_.filePath("registry/HKEY_CURRENT_USER/.values")));

  // No key: every text reads empty, so the basic settings take their defaults.
  port.RestoreSettings(false, "NoBackslash");
  EXPECT_EQ(port.Port(), "");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);  // not a basic key

  EXPECT_EQ(ErrorCode([&] { port.RestoreSettings(false, "HKEY_LOCAL_MACHINE\\"); }, &message), CError_LoadFailed);
  EXPECT_EQ(message, "Failed to load settings");
  EXPECT_EQ(port.UpdateCount(), 0);
}

TEST_F(PersistTest, MissingRegistryIntegerEndsLoadAfterEarlierGroups) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Software\\T\\ComPort", true));
  reg.WriteString("Port", "COM5");
  reg.WriteString("BaudRate", "19200");
  reg.WriteString("EventChar", "A");
  reg.WriteString("Parity.Check", "Yes");
  reg.WriteInteger("Buffer.InputSize", 512);
  reg.WriteInteger("Timeouts.ReadInterval", 3);

  TComPort port;
  port.setObjectName("ComPort");
  port.SetStoredGroups(kAllGroups);
  port.Timeouts().SetReadInterval(77);
  EXPECT_EQ(ErrorCode([&] { port.RestoreSettings(false, "HKEY_CURRENT_USER\\Software\\T"); }), CError_LoadFailed);
  EXPECT_EQ(port.Port(), "COM5");
  EXPECT_EQ(port.BaudRate(), br19200);
  EXPECT_EQ(port.EventChar(), 'A');
  EXPECT_TRUE(port.Parity().Check());
  EXPECT_EQ(port.Buffer().InputSize(), 1024);       // after the missing Buffer.OutputSize
  EXPECT_EQ(port.Timeouts().ReadInterval(), 77);    // a later group
  EXPECT_EQ(port.UpdateCount(), 0);

  // A Custom rate needs its integer in the registry.
  TRegistry again;
  ASSERT_TRUE(again.OpenKey("Software\\T\\ComPort", false));
  again.WriteString("BaudRate", "Custom");
  port.SetStoredGroups(TSettingsGroups{grBasic});
  EXPECT_EQ(ErrorCode([&] { port.RestoreSettings(false, "HKEY_CURRENT_USER\\Software\\T"); }), CError_LoadFailed);
  EXPECT_EQ(port.BaudRate(), brCustom);
}

TEST_F(PersistTest, UnwritableIniGivesStoreErrorAndKeepsFile) {
  Put("[ComPort]\nPort=COM2\n");
  TComPort port;
  MainWindowValues(port);
  const std::string bad = Ini() + "/sub.ini";  // parent is a regular file
  std::string message;
  EXPECT_EQ(ErrorCode([&] { port.PersistSettings(true, bad); }, &message), CError_StoreFailed);
  EXPECT_EQ(message, "Failed to store settings");
  EXPECT_EQ(Get(), "[ComPort]\nPort=COM2\n");
  // Loading from there is no error: nothing to read.
  port.RestoreSettings(true, bad);
  EXPECT_EQ(port.Port(), "COM1");
}

TEST_F(PersistTest, RestoreOnOpenPortPushesOnceAtTheEnd) {
  RecordingPort port;
  port.SetPort("first");
  port.Open();
  ASSERT_TRUE(port.Connected());
  port.shared->calls.clear();

  Put("[ComPort]\nPort=second\nBaudRate=57600\nStopBits=2\nDataBits=7\nParity=Even\nFlowControl=Hardware\n");
  port.RestoreSettings(true, Ini());
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.opens, 2);  // reopened under the new name
  EXPECT_EQ(port.Pushes(), (std::vector<std::string>{"setupComm", "setCommState", "setCommTimeouts"}));
  EXPECT_EQ(port.shared->lastDcb.BaudRate, 57600u);
  EXPECT_EQ(port.shared->lastDcb.ByteSize, 7);
  EXPECT_TRUE(port.shared->lastDcb.fOutxCtsFlow);

  // Unchanged file: still exactly one push.
  port.shared->calls.clear();
  port.RestoreSettings(true, Ini());
  EXPECT_EQ(port.Pushes().size(), 3u);

  // Closed: only stored.
  port.Close();
  port.shared->calls.clear();
  Put("[ComPort]\nBaudRate=110\n");
  port.RestoreSettings(true, Ini());
  EXPECT_TRUE(port.shared->calls.empty());
  EXPECT_EQ(port.BaudRate(), br110);
}

TEST_F(PersistTest, FailedFinalPushIsLoadError) {
  RecordingPort port;
  port.Open();
  port.shared->failSetCommState = EIO;
  Put("[ComPort]\nBaudRate=110\n");
  std::string message;
  EXPECT_EQ(ErrorCode([&] { port.RestoreSettings(true, Ini()); }, &message), CError_LoadFailed);
  EXPECT_EQ(message, "Failed to load settings");
  EXPECT_EQ(port.BaudRate(), br110);
  EXPECT_EQ(port.UpdateCount(), 0);
  port.shared->failSetCommState = 0;
}

TEST_F(PersistTest, RegistryLoadWithoutPortNameFailsOnOpenPort) {
  RecordingPort port;
  port.Open();
  EXPECT_EQ(ErrorCode([&] { port.RestoreSettings(false, "NoBackslash"); }), CError_LoadFailed);
  EXPECT_EQ(port.UpdateCount(), 0);
  EXPECT_EQ(port.Port(), "");
}

}  // namespace

// SPDX-License-Identifier: MIT
// The port property selector: item lists, reading the port, the user's choice.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "portctl.h"
#include "support.h"

namespace {

QStringList itemsOf(const QComboBox& box) {
  QStringList items;
  for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
  return items;
}

// A sysfs tree with two serial devices that have hardware behind them.
class FakeSysfs {
 public:
  FakeSysfs() {
    QDir root(dir_.path());
    root.mkpath("devices/usb0");
    for (const char* name : {"ttyUSB0", "ttyACM1"}) {
      root.mkpath(QString("class/tty/%1").arg(name));
      QFile::link(root.filePath("devices/usb0"), root.filePath(QString("class/tty/%1/device").arg(name)));
    }
    TComSelect::SetSysfsRoot(dir_.path().toStdString());
  }
  ~FakeSysfs() { TComSelect::SetSysfsRoot("/sys"); }
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

class ComComboBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureApp(); }
};

TEST_F(ComComboBoxTest, ListsEveryValueInOrdinalOrderAndIsAFixedList) {
  TComComboBox box;
  EXPECT_FALSE(box.isEditable());
  EXPECT_EQ(box.ComProperty(), cpNone);
  EXPECT_FALSE(box.AutoApply());

  box.SetComProperty(cpBaudRate);
  EXPECT_EQ(itemsOf(box), (QStringList{"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400",
                                       "19200", "38400", "56000", "57600", "115200", "128000", "256000"}));
  box.SetComProperty(cpDataBits);
  EXPECT_EQ(itemsOf(box), (QStringList{"5", "6", "7", "8"}));
  box.SetComProperty(cpStopBits);
  EXPECT_EQ(itemsOf(box), (QStringList{"1", "1.5", "2"}));
  box.SetComProperty(cpParity);
  EXPECT_EQ(itemsOf(box), (QStringList{"None", "Odd", "Even", "Mark", "Space"}));
  box.SetComProperty(cpFlowControl);
  EXPECT_EQ(itemsOf(box), (QStringList{"Hardware", "Software", "None", "Custom"}));
  // Unbound: the first item is selected.
  EXPECT_EQ(box.currentIndex(), 0);
  EXPECT_EQ(box.Text(), "Hardware");

  box.SetComProperty(cpNone);
  EXPECT_EQ(box.count(), 0);
  EXPECT_EQ(box.Text(), "");
}

TEST_F(ComComboBoxTest, SettingThePropertyAgainRefillsTheList) {
  TComComboBox box;
  box.SetComProperty(cpParity);
  box.addItem("stray");
  box.SetComProperty(cpParity);
  EXPECT_EQ(box.count(), 5);
}

TEST_F(ComComboBoxTest, BindingSelectsThePortsCurrentValueForEveryProperty) {
  QuietPort port;
  port.SetBaudRate(br57600);
  port.SetDataBits(dbSeven);
  port.SetStopBits(sbTwoStopBits);
  port.Parity().SetBits(prMark);
  port.FlowControl().SetFlowControl(fcSoftware);

  struct Case {
    TComProperty property;
    int index;
    QString text;
  };
  for (const Case& c : std::vector<Case>{{cpBaudRate, br57600, "57600"},
                                         {cpDataBits, dbSeven, "7"},
                                         {cpStopBits, sbTwoStopBits, "2"},
                                         {cpParity, prMark, "Mark"},
                                         {cpFlowControl, fcSoftware, "Software"}}) {
    // Property first, then the port ...
    TComComboBox box;
    box.SetComProperty(c.property);
    box.SetComPort(&port);
    EXPECT_EQ(box.currentIndex(), c.index) << c.text.toStdString();
    EXPECT_EQ(box.Text(), c.text);
    // ... and the port first, then the property.
    TComComboBox other;
    other.SetComPort(&port);
    other.SetComProperty(c.property);
    EXPECT_EQ(other.currentIndex(), c.index) << c.text.toStdString();
  }
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(&port);
  EXPECT_EQ(box.Select().StoredBaudRate(), br57600);
}

TEST_F(ComComboBoxTest, SettingsChangedElsewhereShowAfterRebinding) {
  QuietPort port;
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(&port);
  EXPECT_EQ(box.Text(), "9600");
  port.SetBaudRate(br115200);
  EXPECT_EQ(box.Text(), "9600");
  box.SetComPort(nullptr);
  EXPECT_EQ(box.Text(), "9600");  // unbinding leaves the selection
  box.SetComPort(&port);
  EXPECT_EQ(box.Text(), "115200");
}

TEST_F(ComComboBoxTest, PortListComesFromSysfsFollowedByTheVirtualPorts) {
  FakeSysfs sysfs;
  TComComboBox box;
  box.SetComProperty(cpPort);
  const QStringList items = itemsOf(box);
  ASSERT_EQ(items.size(), 5) << items.join(",").toStdString();
  EXPECT_TRUE(items.contains("/dev/ttyUSB0"));
  EXPECT_TRUE(items.contains("/dev/ttyACM1"));
  EXPECT_EQ(items.mid(2), (QStringList{"LOOPBACK", "NULLMODEM-A", "NULLMODEM-B"}));
}

// Device paths are case-sensitive: a path in another letter case is another
// device and shows no item, so what is shown is always what opens. Names that
// open in any letter case (the built-in ports, COMn) are still found.
TEST_F(ComComboBoxTest, PortNameInAnotherLetterCaseIsFoundUnlessItIsADevicePath) {
  FakeSysfs sysfs;
  QuietPort port;
  port.SetPort("/dev/ttyusb0");
  TComComboBox box;
  box.SetComProperty(cpPort);
  box.SetComPort(&port);
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(box.Text(), "");
  EXPECT_EQ(box.Select().StoredPort(), "");
  EXPECT_EQ(port.Port(), "/dev/ttyusb0");
  box.SetText("/DEV/TTYACM1");
  EXPECT_EQ(box.currentIndex(), -1);

  port.SetPort("/dev/ttyUSB0");
  box.SetComPort(nullptr);
  box.SetComPort(&port);
  EXPECT_EQ(box.Text(), "/dev/ttyUSB0");
  EXPECT_EQ(box.Select().StoredPort(), "/dev/ttyUSB0");

  port.SetPort("nullmodem-b");
  box.SetComPort(nullptr);
  box.SetComPort(&port);
  EXPECT_EQ(box.Text(), "NULLMODEM-B");
  // The item's spelling becomes the stored value.
  EXPECT_EQ(box.Select().StoredPort(), "NULLMODEM-B");
  box.SetText("loopback");
  EXPECT_EQ(box.Text(), "LOOPBACK");
}

TEST_F(ComComboBoxTest, PortNameWithoutItemSelectsNothing) {
  FakeSysfs sysfs;
  QuietPort port;
  port.SetPort("/dev/ttyNOPE7");
  TComComboBox box;
  box.SetComPort(&port);
  box.SetComProperty(cpPort);
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(box.Text(), "");
  EXPECT_EQ(box.Select().StoredPort(), "");
}

TEST_F(ComComboBoxTest, UnreadableSysfsRaisesCode23AndLeavesTheListEmpty) {
  TComSelect::SetSysfsRoot("/nonexistent/serivox-sysfs");
  TComComboBox box;
  box.SetComProperty(cpParity);
  try {
    box.SetComProperty(cpPort);
    ADD_FAILURE() << "no error raised";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 23);
  }
  TComSelect::SetSysfsRoot("/sys");
  EXPECT_EQ(box.count(), 0);
}

TEST_F(ComComboBoxTest, TextIgnoresLetterCaseAndNeverFiresChange) {
  TComComboBox box;
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };
  box.SetComProperty(cpFlowControl);
  box.SetText("software");
  EXPECT_EQ(box.currentIndex(), fcSoftware);
  box.SetText("Xon/Xoff");  // no such item: nothing happens
  EXPECT_EQ(box.currentIndex(), fcSoftware);
  box.setCurrentIndex(fcNone);
  EXPECT_EQ(changes, 0);
}

TEST_F(ComComboBoxTest, ChoiceWithoutAutoApplyOnlyStoresAndFiresOnChange) {
  QuietPort port;
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(&port);
  std::vector<QObject*> senders;
  box.OnChange = [&](QObject* sender) { senders.push_back(sender); };
  box.UserSelect(br115200);
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(box.Select().StoredBaudRate(), br115200);
  ASSERT_EQ(senders.size(), 1u);
  EXPECT_EQ(senders[0], &box);
}

TEST_F(ComComboBoxTest, AutoApplyWritesTheChoiceBeforeOnChange) {
  QuietPort port;
  TComComboBox box;
  box.SetComProperty(cpDataBits);
  box.SetComPort(&port);
  box.SetAutoApply(true);
  TDataBits seen = dbEight;
  box.OnChange = [&](QObject*) { seen = port.DataBits(); };
  box.UserSelect(dbSix);
  EXPECT_EQ(port.DataBits(), dbSix);
  EXPECT_EQ(seen, dbSix);

  // The same for every other line setting.
  TComComboBox stop, parity;
  stop.SetComProperty(cpStopBits);
  stop.SetComPort(&port);
  stop.SetAutoApply(true);
  stop.UserSelect(sbOne5StopBits);
  EXPECT_EQ(port.StopBits(), sbOne5StopBits);
  parity.SetComProperty(cpParity);
  parity.SetComPort(&port);
  parity.SetAutoApply(true);
  parity.UserSelect(prEven);
  EXPECT_EQ(port.Parity().Bits(), prEven);
}

TEST_F(ComComboBoxTest, CustomChoicesInBaudAndFlowLists) {
  QuietPort port;
  port.FlowControl().SetFlowControl(fcHardware);
  TComComboBox baud, flow;
  baud.SetComProperty(cpBaudRate);
  baud.SetComPort(&port);
  baud.SetAutoApply(true);
  flow.SetComProperty(cpFlowControl);
  flow.SetComPort(&port);
  flow.SetAutoApply(true);
  EXPECT_EQ(flow.Text(), "Hardware");

  baud.UserSelect(0);
  EXPECT_EQ(baud.Text(), "Custom");
  EXPECT_EQ(port.BaudRate(), brCustom);
  // "Custom" flow control leaves the detailed flow settings as they are.
  flow.UserSelect(fcCustom);
  EXPECT_EQ(flow.Select().StoredFlowControl(), fcCustom);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
  EXPECT_TRUE(port.FlowControl().OutCTSFlow());
}

TEST_F(ComComboBoxTest, PortChoiceIsWrittenIntoThePort) {
  FakeSysfs sysfs;
  QuietPort port;
  TComComboBox box;
  box.SetComProperty(cpPort);
  box.SetComPort(&port);
  box.SetAutoApply(true);
  box.UserSelect(box.findText("NULLMODEM-A"));
  EXPECT_EQ(port.Port(), "NULLMODEM-A");
}

TEST_F(ComComboBoxTest, ApplyErrorLeavesChangeBeforeOnChange) {
  QuietPort port;
  port.Open();
  ASSERT_TRUE(port.Connected());
  port.shared->failSetCommState = EIO;
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(&port);
  box.SetAutoApply(true);
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };

  // Called directly, the error propagates with the stored value updated.
  box.setCurrentIndex(br19200);
  try {
    box.Change();
    ADD_FAILURE() << "no error raised";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_SetStateFailed);
    EXPECT_EQ(e.WinCode(), EIO);
  }
  EXPECT_EQ(box.Select().StoredBaudRate(), br19200);
  EXPECT_EQ(changes, 0);

  // Through the user's choice, the error goes to the application's reporter.
  std::vector<std::pair<QObject*, std::string>> reported;
  SetExceptionReporter([&](QObject* sender, const std::exception& e) { reported.emplace_back(sender, e.what()); });
  box.UserSelect(br38400);
  SetExceptionReporter(nullptr);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].first, &box);
  EXPECT_NE(reported[0].second.find("SetCommState"), std::string::npos) << reported[0].second;
  EXPECT_EQ(changes, 0);

  port.shared->failSetCommState = 0;
  port.Close();
}

TEST_F(ComComboBoxTest, DestroyedPortLeavesTheControlUnboundOnItsFirstItem) {
  auto port = std::make_unique<QuietPort>();
  port->SetBaudRate(br57600);
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(port.get());
  box.SetAutoApply(true);
  EXPECT_EQ(box.Text(), "57600");
  port.reset();
  EXPECT_EQ(box.ComPort(), nullptr);
  EXPECT_EQ(box.currentIndex(), 0);
  // A later choice touches no port.
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };
  box.UserSelect(br300);
  EXPECT_EQ(changes, 1);
}

TEST_F(ComComboBoxTest, RebindingForgetsTheOldPortsDestruction) {
  auto first = std::make_unique<QuietPort>();
  QuietPort second;
  second.SetBaudRate(br2400);
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(first.get());
  box.SetComPort(&second);
  first.reset();
  EXPECT_EQ(box.ComPort(), &second);
  EXPECT_EQ(box.Text(), "2400");
}

}  // namespace

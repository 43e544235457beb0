// SPDX-License-Identifier: MIT
// The port selector's live list: it follows devices that come and go.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "portctl.h"
#include "support.h"

namespace {

// A sysfs tree and a device folder of their own, with one serial port.
class FakeDevices {
 public:
  FakeDevices() {
    QDir(dir_.path()).mkpath("sys/devices/usb0");
    QDir(dir_.path()).mkpath("dev");
    Plug("ttyS4");
    TComSelect::SetSysfsRoot(dir_.filePath("sys").toStdString());
    TComSelect::SetDevRoot(dir_.filePath("dev").toStdString());
  }
  ~FakeDevices() {
    TComSelect::SetSysfsRoot("/sys");
    TComSelect::SetDevRoot("/dev");
  }
  // As the kernel does on a plug-in: the sysfs entry, then the device node.
  void Plug(const QString& name, bool withNode = true) {
    QDir(dir_.path()).mkpath("sys/class/tty/" + name);
    QFile::link(dir_.filePath("sys/devices/usb0"), dir_.filePath("sys/class/tty/" + name + "/device"));
    if (withNode) {
      QFile node(dir_.filePath("dev/" + name));
      ASSERT_TRUE(node.open(QIODevice::WriteOnly));
    }
  }
  void Unplug(const QString& name) {
    QDir(dir_.filePath("sys/class/tty/" + name)).removeRecursively();
    QFile::remove(dir_.filePath("dev/" + name));
  }

 private:
  QTemporaryDir dir_;
};

bool Lists(const QComboBox& box, const QString& name) { return box.findText(name) >= 0; }

TEST(PortList, FollowsAdaptersThatComeAndGoAndKeepsTheSelection) {
  EnsureApp();
  FakeDevices devices;
  QuietPort port;
  port.SetPort("/dev/ttyS4");
  TComComboBox box;
  box.SetComProperty(cpPort);
  box.SetComPort(&port);
  ASSERT_EQ(box.Text(), "/dev/ttyS4");
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };

  // Without a click: the device folder's change is enough.
  devices.Plug("ttyUSB0");
  devices.Plug("ttyACM0");
  EXPECT_TRUE(WaitFor([&] { return Lists(box, "/dev/ttyUSB0") && Lists(box, "/dev/ttyACM0"); }));
  EXPECT_EQ(box.Text(), "/dev/ttyS4");
  EXPECT_EQ(box.itemText(0), "/dev/ttyACM0");  // sorted as before
  devices.Unplug("ttyUSB0");
  EXPECT_TRUE(WaitFor([&] { return !Lists(box, "/dev/ttyUSB0"); }));
  EXPECT_TRUE(Lists(box, "/dev/ttyACM0"));
  EXPECT_EQ(box.Text(), "/dev/ttyS4");
  EXPECT_EQ(port.Port(), "/dev/ttyS4");
  EXPECT_EQ(changes, 0);  // a list that follows the system is no user choice

  // Dropping the list down reads it again, also when no device node changed.
  devices.Plug("ttyUSB7", false);
  box.showPopup();
  EXPECT_TRUE(Lists(box, "/dev/ttyUSB7"));
  EXPECT_EQ(box.Text(), "/dev/ttyS4");
  box.hidePopup();

  // Selectors of other settings do not watch.
  TComComboBox baud;
  baud.SetComProperty(cpBaudRate);
  baud.SetComProperty(cpPort);
  baud.SetComProperty(cpParity);
  devices.Plug("ttyUSB9");
  QTest::qWait(3 * TComComboBox::kPortListDelayMs);
  EXPECT_FALSE(Lists(baud, "/dev/ttyUSB9"));
  EXPECT_TRUE(WaitFor([&] { return Lists(box, "/dev/ttyUSB9"); }));
}

}  // namespace

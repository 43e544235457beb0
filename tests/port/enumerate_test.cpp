// SPDX-License-Identifier: MIT
// Listing the system's serial ports from a sysfs tree of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "enumerate.h"
#include "error.h"

namespace fs = std::filesystem;

namespace {

class FakeSysfs {
 public:
  FakeSysfs() {
    char tmpl[] = "/tmp/serivox_sysfs_XXXXXX";
    root = mkdtemp(tmpl);
    fs::create_directories(root / "class/tty");
    fs::create_directories(root / "devices/usb1");
  }
  ~FakeSysfs() {
    std::error_code ec;
    fs::permissions(root / "class/tty", fs::perms::owner_all, ec);
    fs::remove_all(root, ec);
  }
  // A tty entry; with hardware it gets a `device` link, a `type` file if given.
  void Add(const std::string& name, bool hardware, int type = -1) {
    const fs::path entry = root / "class/tty" / name;
    fs::create_directories(entry);
    if (hardware) fs::create_directory_symlink(root / "devices/usb1", entry / "device");
    if (type >= 0) std::ofstream(entry / "type") << type << "\n";
  }
  std::string Root() const { return root.string(); }
  fs::path root;
};

const std::vector<std::string> kVirtual{"LOOPBACK", "NULLMODEM-A", "NULLMODEM-B"};

std::vector<std::string> WithVirtual(std::vector<std::string> v) {
  v.insert(v.end(), kVirtual.begin(), kVirtual.end());
  return v;
}

}  // namespace

TEST(ListSerialPorts, PortsWithHardwareFollowedByTheVirtualPorts) {
  FakeSysfs sys;
  sys.Add("ttyUSB0", true);
  sys.Add("ttyACM0", true);
  sys.Add("ttyS0", true, 4);   // a 16550A
  sys.Add("ttyS1", true, 0);   // a placeholder without a UART
  sys.Add("ttyS2", true, 0);
  sys.Add("tty1", false);      // a virtual console
  sys.Add("ptmx", false);
  std::vector<std::string> list{"old"};
  ListSerialPorts(list, sys.Root());
  EXPECT_EQ(list, WithVirtual({"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"}));
}

TEST(ListSerialPorts, SortsCaseInsensitivelyCharacterByCharacter) {
  FakeSysfs sys;
  for (const char* n : {"COM3", "COM1", "COM10", "com2"}) sys.Add(n, true);
  std::vector<std::string> list;
  ListSerialPorts(list, sys.Root());
  EXPECT_EQ(list, WithVirtual({"/dev/COM1", "/dev/COM10", "/dev/com2", "/dev/COM3"}));

  FakeSysfs empty;
  ListSerialPorts(list, empty.Root());
  EXPECT_EQ(list, kVirtual);
}

TEST(ListSerialPorts, UnreadableSysfsRaisesCode23AndKeepsTheList) {
  FakeSysfs sys;
  const std::vector<std::string> before{"keep", "me"};
  std::vector<std::string> list = before;
  try {
    ListSerialPorts(list, sys.Root() + "/missing");
    FAIL() << "no error raised";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 23);
    EXPECT_EQ(e.WinCode(), ENOENT);
  }
  EXPECT_EQ(list, before);

  // A class folder that is not a folder (root can read any folder).
  FakeSysfs broken;
  fs::remove_all(broken.root / "class/tty");
  std::ofstream(broken.root / "class/tty") << "x";
  try {
    ListSerialPorts(list, broken.Root());
    FAIL() << "no error raised";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 23);
    EXPECT_EQ(e.WinCode(), ENOTDIR);
  }
  EXPECT_EQ(list, before);

  if (geteuid() != 0) {
    fs::permissions(sys.root / "class/tty", fs::perms::none);
    EXPECT_THROW(ListSerialPorts(list, sys.Root()), EComPort);
    EXPECT_EQ(list, before);
  }
}

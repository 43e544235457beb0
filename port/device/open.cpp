// SPDX-License-Identifier: MIT
// Opening a port by name.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "device.h"
#include "portname.h"
#include "netdevice.h"
#include "termiosdevice.h"
#include "virtualports.h"

namespace serivox::device {

namespace {

// Whether the character device `st` belongs to a tty driver, decided without
// opening it: opening some devices acts at once (a watchdog arms itself).
// sysfs names the class of most devices; pseudo-terminal slaves are found in
// the kernel's list of tty drivers. Pseudo-terminal masters and /dev/ptmx are
// not ports.
bool isTerminal(const struct stat& st) {
  const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
  char link[PATH_MAX];
  const std::string sys = "/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(min) + "/subsystem";
  const ssize_t n = readlink(sys.c_str(), link, sizeof link - 1);
  if (n > 0) {
    const std::string target(link, static_cast<size_t>(n));
    if (target.size() >= 4 && target.compare(target.size() - 4, 4, "/tty") == 0)
      return !(maj == 5 && min == 2);  // /dev/ptmx
  }
  std::ifstream drivers("/proc/tty/drivers");
  std::string line;
  while (std::getline(drivers, line)) {
    std::istringstream fields(line);
    std::string name, node, range, type;
    unsigned dmaj = 0;
    if (!(fields >> name >> node >> dmaj >> range >> type) || dmaj != maj) continue;
    unsigned lo = 0, hi = 0;
    const size_t dash = range.find('-');
    try {
      lo = static_cast<unsigned>(std::stoul(range.substr(0, dash)));
      hi = dash == std::string::npos ? lo : static_cast<unsigned>(std::stoul(range.substr(dash + 1)));
    } catch (...) {
      continue;
    }
    if (min < lo || min > hi) continue;
    return type != "pty:master" && !(maj == 5 && min == 2);
  }
  return false;
}

int fail(int fd, int err) {
  close(fd);
  return err;
}

}  // namespace

int openDevice(const std::string& portName, std::unique_ptr<Device>& device, const CommTimeouts& timeouts) {
  if (IsVirtualPortName(portName)) return OpenVirtualPort(portName, device);
  // A name with a scheme is a network address, never a path.
  if (IsNetPortName(portName)) return OpenNetPort(portName, timeouts, device);
  if (portName.empty()) return ENOENT;
  const std::string path = PortDevicePath(portName);

  // Only terminal devices are opened: a name from a settings file must never
  // reach a regular file, a FIFO or a device of another kind.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISCHR(st.st_mode) || !isTerminal(st)) return ENOTTY;

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // The name may have been replaced between the check and the open.
  struct stat opened;
  if (fstat(fd, &opened) != 0 || opened.st_rdev != st.st_rdev || !S_ISCHR(opened.st_mode)) return fail(fd, ENOTTY);
  termios t;
  if (tcgetattr(fd, &t) != 0) return fail(fd, errno);  // ENOTTY for a device that is no terminal

  // Exclusive use. TIOCEXCL does not hold back root, the advisory lock does.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, errno == EWOULDBLOCK ? EBUSY : errno);
  if (ioctl(fd, TIOCEXCL) != 0) return fail(fd, errno);

  // Raw mode until the port applies its settings. HUPCL: closing the port drops
  // DTR and RTS, so the far end sees this side leave. PARMRK: see TermiosDevice.
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD | HUPCL;
  if (TermiosDevice::HasLines(fd)) t.c_iflag |= PARMRK;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    const int err = errno;
    ioctl(fd, TIOCNXCL);
    return fail(fd, err);
  }
  std::unique_ptr<Device> d;
  if (int err = TermiosDevice::Create(fd, d)) {
    ioctl(fd, TIOCNXCL);
    return fail(fd, err);
  }
  device = std::move(d);
  return 0;
}

}  // namespace serivox::device

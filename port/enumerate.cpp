// SPDX-License-Identifier: MIT
// The system's serial ports, from sysfs. No port is opened: opening raises
// DTR and RTS and can reset the board behind it.
#include "enumerate.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>

#include "portname.h"
#include "error.h"

namespace {

// A legacy ttyS entry with no UART behind it has the type 0 (PORT_UNKNOWN).
bool isPlaceholderUart(const std::string& entry) {
  std::ifstream in(entry + "/type");
  int type = -1;
  return in >> type && type == 0;
}

bool lessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& list, const std::string& sysfsRoot) {
  const std::string classDir = sysfsRoot + "/class/tty";
  DIR* dir = opendir(classDir.c_str());
  if (!dir) throw EComPort(CError_RegError, errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* d = readdir(dir);
    if (!d) break;
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const std::string entry = classDir + "/" + name;
    struct stat st;
    if (lstat((entry + "/device").c_str(), &st) != 0) continue;  // virtual consoles, ptys
    if (name.rfind("ttyS", 0) == 0 && isPlaceholderUart(entry)) continue;
    names.push_back("/dev/" + name);
  }
  const int err = errno;
  closedir(dir);
  if (err) throw EComPort(CError_RegError, err);
  std::stable_sort(names.begin(), names.end(), lessNoCase);
  for (std::string& v : serivox::VirtualPortNames()) names.push_back(std::move(v));
  list = std::move(names);
}

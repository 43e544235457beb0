// SPDX-License-Identifier: MIT
#include "opencause.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <vector>

#include "portname.h"
#include "enumerate.h"

QStringList HoldersOf(const std::string& devicePath) {
  QStringList holders;
  const QString target = QFileInfo(QString::fromStdString(devicePath)).canonicalFilePath();
  if (target.isEmpty()) return holders;
  const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& pid : processes) {
    bool number = false;
    pid.toInt(&number);
    if (!number) continue;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    // Another user's descriptors cannot be read: that process is passed over.
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
      if (QFile::symLinkTarget(fds.filePath(fd)) != target) continue;
      QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
      const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                                          : QStringLiteral("a program");
      holders << QStringLiteral("%1 (process %2)").arg(name, pid);
      break;
    }
  }
  return holders;
}

QString OpenErrorCause(const std::string& portName, int err) {
  if (portName.empty()) return {};
  const QString name = QString::fromStdString(portName);
  if (serivox::IsNetworkPortName(portName)) {
    serivox::NetworkPortParts net;
    if (serivox::CheckNetworkPortName(portName, &net) != 0) return {};
    const QString host = QString::fromStdString(net.host);
    const QString address = QStringLiteral("%1 port %2").arg(host).arg(net.port);
    switch (err) {
      case ECONNREFUSED: return QStringLiteral("%1 refused the connection.").arg(address);
      case ETIMEDOUT: return QStringLiteral("%1 did not answer in time.").arg(address);
      case ENXIO: return QStringLiteral("There is no host %1.").arg(host);
      case EHOSTUNREACH:
      case ENETUNREACH: return QStringLiteral("%1 cannot be reached from this computer.").arg(address);
      default: return {};
    }
  }
  const std::string path = serivox::PortDevicePath(portName);
  if (path.empty()) return {};  // a built-in virtual port
  const QString device = QString::fromStdString(path);
  switch (err) {
    case ENOENT: {
      std::vector<std::string> ports;
      try {
        ListSerialPorts(ports);
      } catch (...) {
        ports.clear();  // the list is a help; the cause stands without it
      }
      QStringList present;
      for (const std::string& port : ports) present << QString::fromStdString(port);
      return QStringLiteral("There is no device %1.").arg(device) +
             (present.isEmpty() ? QString() : QStringLiteral(" Ports present now: %1.").arg(present.join(", ")));
    }
    case EBUSY: {
      const QStringList holders = HoldersOf(path);
      return holders.isEmpty() ? QStringLiteral("%1 is in use by another program.").arg(device)
                               : QStringLiteral("%1 is in use by %2.").arg(device, holders.join(", "));
    }
    case ENOTTY: return QStringLiteral("%1 is not a serial port.").arg(name);
    default: return {};
  }
}

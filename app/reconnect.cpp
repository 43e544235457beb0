// SPDX-License-Identifier: MIT
// Reopening the port when its device comes back after a replug.
#include "reconnect.h"

#include <QDir>
#include <QFileInfo>
#include <sys/stat.h>

#include <cerrno>

#include "portname.h"
#include "errordisplay.h"
#include "linepane.h"
#include "remoteport.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

bool IsCharDevice(const QString& path) {
  struct stat st {};
  return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

DeviceReturnWatch::DeviceReturnWatch(QObject* parent) : QObject(parent) {
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { FolderChanged(); });
  retry_.setSingleShot(true);
  // The wait goes on until the attempt's outcome: RetryLater or Cancel.
  connect(&retry_, &QTimer::timeout, this, [this] { emit Returned(path_); });
}

void DeviceReturnWatch::Retry(const QString& name) {
  Cancel();
  path_ = name;
  delayMs_ = kFirstRetryMs;
  retry_.start(delayMs_);
}

void DeviceReturnWatch::RetryLater() {
  if (path_.isEmpty() || delayMs_ == 0) return;
  delayMs_ = std::min(delayMs_ * 2, kLongestRetryMs);
  retry_.start(delayMs_);
}

// The folder that holds the node itself (/dev for a link in
// /dev/serial/by-id) reports the node's IN_ATTRIB; unlike a watch on the
// node, it needs no read access to a node the user may not open yet.
void DeviceReturnWatch::WatchNodeAttributes() {
  if (path_.isEmpty()) return;
  const QString node = QFileInfo(path_).canonicalFilePath();
  if (node.isEmpty()) return;
  const QString folder = QFileInfo(node).absolutePath();
  if (!watcher_.directories().contains(folder)) watcher_.addPath(folder);
}

void DeviceReturnWatch::Watch(const QString& path) {
  Cancel();
  path_ = QFileInfo(path).absoluteFilePath();
  WatchNearestFolder();
}

void DeviceReturnWatch::Cancel() {
  path_.clear();
  retry_.stop();
  delayMs_ = 0;
  if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
}

void DeviceReturnWatch::WatchNearestFolder() {
  // A folder of the path may be gone as well (/dev/serial/by-id goes with the
  // last adapter); then its parent is watched until it comes back.
  QString folder = QFileInfo(path_).absolutePath();
  while (!QFileInfo(folder).isDir() && folder != QDir::rootPath()) folder = QFileInfo(folder).absolutePath();
  const QStringList now = watcher_.directories();
  if (now.size() == 1 && now.first() == folder) return;
  if (!now.isEmpty()) watcher_.removePaths(now);
  watcher_.addPath(folder);
}

void DeviceReturnWatch::FolderChanged() {
  if (path_.isEmpty()) return;
  if (IsCharDevice(path_)) {
    const QString path = path_;
    Cancel();
    emit Returned(path);
    return;
  }
  WatchNearestFolder();
}

// --- The window's side --------------------------------------------------------

void TSerivox::AwaitPortReturn() {
  ReturnWatch->Cancel();
  if (!ReconnectAction->isChecked()) return;
  const std::string& name = ComPort->Port();
  if (serivox::IsVirtualPortName(name)) return;
  if (serivox::IsNetworkPortName(name)) {
    ReturnWatch->Retry(QString::fromStdString(name));
    return;
  }
  // A pseudo-terminal's number is soon given to an unrelated program: the
  // same name coming back is never the same device.
  const std::string path = serivox::PortDevicePath(name);
  if (path.empty() || path.rfind("/dev/pts/", 0) == 0) return;
  ReturnWatch->Watch(QFile::decodeName(QByteArray::fromStdString(path)));
}

void TSerivox::PortDeviceReturned() {
  if (ComPort->Connected() || !ReconnectAction->isChecked()) return;
  const QString name = QString::fromStdString(ComPort->Port());
  if (serivox::IsNetworkPortName(ComPort->Port())) {
    Remote->ConnectInBackground(true);  // calls MarkReconnected or RetryLater
    return;
  }
  try {
    ComPort->SetConnected(true);
  } catch (const std::exception& error) {
    // Not ready yet: wait for the next change of its folder, and for a node
    // this user may not open yet (udev still sets its permissions), for the
    // next change of its attributes too.
    AwaitPortReturn();
    const auto* port = dynamic_cast<const EComPort*>(&error);
    if (port != nullptr && port->WinCode() == EACCES) ReturnWatch->WatchNodeAttributes();
    return;
  }
  MarkReconnected(name);
}

void TSerivox::MarkReconnected(const QString& name) {
  // One marked line in the receive pane; what follows starts a line of its own.
  AppendNoteLine("*** Reconnected to " + name.toStdString() + " ***");
}

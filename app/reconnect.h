// SPDX-License-Identifier: MIT
// DeviceReturnWatch: waits for a device path that went away to come back.
//
// It watches the nearest existing folder of the path with inotify (through
// QFileSystemWatcher) and looks at the path only when that folder changes, so
// waiting costs no CPU. Returned is signalled once, at the first change after
// which the path names a character device; a path still present when the
// watch starts must first change (a USB node may linger for a moment after
// its adapter was pulled).
//
// A network port has no node to watch: Retry signals Returned after 1 s and,
// after each RetryLater, after twice the last delay, at most 30 s, until
// Cancel or a new wait.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

class DeviceReturnWatch : public QObject {
  Q_OBJECT

 public:
  explicit DeviceReturnWatch(QObject* parent = nullptr);

  // Starts waiting for `path`; replaces an earlier wait.
  void Watch(const QString& path);
  // Starts retrying the network port `name`; replaces an earlier wait.
  void Retry(const QString& name);
  // The last retry failed: the next one after twice the delay.
  void RetryLater();
  int RetryDelayMs() const { return delayMs_; }
  static constexpr int kFirstRetryMs = 1000;
  static constexpr int kLongestRetryMs = 30000;
  void Cancel();
  bool Watching() const { return !path_.isEmpty(); }
  const QString& Path() const { return path_; }
  // Also looks at the path at the next change of the node's own attributes
  // (inotify IN_ATTRIB, reported to the node's folder): a relinked node that
  // may not be opened yet, whose permissions udev sets a moment later,
  // changes nothing in the folder of its link.
  void WatchNodeAttributes();
  // The folder being watched (for tests), empty while idle.
  QStringList WatchedFolders() const { return watcher_.directories(); }

 signals:
  void Returned(const QString& path);

 private:
  void FolderChanged();
  void WatchNearestFolder();

  QString path_;
  QFileSystemWatcher watcher_;
  QTimer retry_;
  int delayMs_ = 0;  // while retrying a network port
};

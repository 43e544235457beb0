// SPDX-License-Identifier: MIT
#include "settingslocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef SERIVOX_INSTALL_BINDIR
#define SERIVOX_INSTALL_BINDIR ""
#endif

namespace {

QString Local(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

bool SameFolder(const QString& a, const QString& b) {
  const QString ca = QFileInfo(a).canonicalFilePath();
  return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

}  // namespace

std::string SettingsLocation(const std::string& beside, const std::string& name) {
  return SettingsLocation(beside, name, SERIVOX_INSTALL_BINDIR);
}

std::string SettingsLocation(const std::string& beside, const std::string& name, const std::string& installedBinDir) {
  if (!beside.empty()) {
    const QFileInfo local(Local(beside));
    if (local.exists() && local.isReadable()) return beside;
    const QString folder = local.absolutePath();
    if (QFileInfo(folder).isWritable() && !SameFolder(folder, Local(installedBinDir))) return beside;
  }
  const QString user =
      QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/serivox");
  QDir().mkpath(user);
  return Native(user + QLatin1Char('/') + Local(name));
}

std::string ExecutableFolder() {
  const QFileInfo exe(QStringLiteral("/proc/self/exe"));
  const QString target = exe.symLinkTarget();
  return target.isEmpty() ? std::string() : Native(QFileInfo(target).absolutePath());
}

// SPDX-License-Identifier: MIT
// Where settings files live: next to the executable, or in the user's
// folder when the program's folder is the installed one or cannot be written.
#include "settingslocation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

TEST(SettingsLocation, BesideTheProgramUnlessItsFolderIsTheInstalledOne) {
  QTemporaryDir program, config;
  const QByteArray old = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
  const std::string beside = program.filePath("serivox.ini").toStdString();
  const std::string user = config.filePath("serivox/serivox.ini").toStdString();

  // A writable folder of its own (a build or portable copy).
  EXPECT_EQ(SettingsLocation(beside, "serivox.ini", "/usr/bin"), beside);
  EXPECT_FALSE(QFileInfo::exists(config.filePath("serivox")));

  // The installed bin folder: the user's folder, made ready for the write.
  EXPECT_EQ(SettingsLocation(beside, "serivox.ini", program.path().toStdString()), user);
  EXPECT_TRUE(QFileInfo(config.filePath("serivox")).isDir());
  // Also when named by another path to the same folder.
  EXPECT_EQ(SettingsLocation(beside, "serivox.ini", program.path().toStdString() + "/."), user);

  // A file already beside the installed program is still the one used.
  QFile existing(program.filePath("serivox.ini"));
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.close();
  EXPECT_EQ(SettingsLocation(beside, "serivox.ini", program.path().toStdString()), beside);

  // An unknown program folder.
  EXPECT_EQ(SettingsLocation("", "registry", "/usr/bin"), config.filePath("serivox/registry").toStdString());

  if (old.isNull()) qunsetenv("XDG_CONFIG_HOME");
  else qputenv("XDG_CONFIG_HOME", old);
}

TEST(SettingsLocation, ExecutableFolderIsTheTestProgramsFolder) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(QFileInfo(QString::fromStdString(folder) + "/port_tests").isExecutable());
}

}  // namespace

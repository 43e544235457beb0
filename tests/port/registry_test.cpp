// SPDX-License-Identifier: MIT
#include "registry.h"
#include "settingslocation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <string>

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { TRegistry::SetRootFolder(dir_.path().toStdString()); }
  void TearDown() override { TRegistry::SetRootFolder(""); }

  bool Exists(const QString& rel) const { return QFileInfo::exists(dir_.filePath(rel)); }

  void PutValues(const QString& key, const QByteArray& bytes) const {
    ASSERT_TRUE(QDir(dir_.path()).mkpath(key));
    QFile f(dir_.filePath(key + "/.values"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }

  static std::string Error(const std::function<void()>& f) {
    try {
      f();
    } catch (const ERegistryException& e) {
      return e.what();
    }
    return "<none>";
  }

  QTemporaryDir dir_;
};

TEST_F(RegistryTest, DefaultRootFolderFollowsTheSettingsLocation) {
  TRegistry::SetRootFolder("");
  // The test program's folder can be written, so the root lies beside it,
  // where the settings file of a program run from its build folder lies.
  // A program whose folder cannot be written uses ~/.config/serivox/registry
  // (settingslocation_test.cpp).
  EXPECT_EQ(TRegistry::RootFolder(), ExecutableFolder() + "/registry");
}

TEST_F(RegistryTest, OpenKeyCreatesFoldersUnderTheRootKey) {
  TRegistry reg;
  EXPECT_EQ(reg.Access(), KEY_ALL_ACCESS);
  EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
  EXPECT_FALSE(reg.OpenKey("Software\\Terminal\\ComPort", false));
  EXPECT_FALSE(reg.HasOpenKey());
  EXPECT_TRUE(reg.OpenKey("Software\\Terminal\\ComPort", true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Terminal\\ComPort");
  EXPECT_TRUE(Exists("HKEY_CURRENT_USER/Software/Terminal/ComPort"));

  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg.HasOpenKey());
  EXPECT_TRUE(reg.OpenKey("Software\\X\\", true));
  EXPECT_TRUE(Exists("HKEY_LOCAL_MACHINE/Software/X"));

  // Existing keys match in any letter case; relative paths start at the open key.
  reg.SetRootKey(HKEY_CURRENT_USER);
  EXPECT_TRUE(reg.OpenKey("SOFTWARE\\terminal", false));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Terminal");
  EXPECT_TRUE(reg.OpenKey("comport", false));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Terminal\\ComPort");
  EXPECT_TRUE(reg.OpenKey("\\Software", false));
  EXPECT_EQ(reg.CurrentPath(), "Software");

  reg.SetRootKey(0x80000000);  // a root this registry does not have
  EXPECT_FALSE(reg.OpenKey("Software", true));
}

TEST_F(RegistryTest, PathsLeavingTheRootAreRefused) {
  TRegistry reg;
  for (const char* bad : {"..\\..\\etc", "Software\\..\\..\\x", "a\\\\b", "a/b", ".hidden", "a\\.", "\\\\a"}) {
    EXPECT_FALSE(reg.OpenKey(bad, true)) << bad;
    EXPECT_FALSE(reg.HasOpenKey()) << bad;
  }
  // Nothing was created, inside the root folder or beside it.
  EXPECT_TRUE(QDir(dir_.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
  EXPECT_FALSE(QFileInfo::exists(dir_.filePath("../x")));
  // A failed open keeps the key that was open.
  ASSERT_TRUE(reg.OpenKey("Good", true));
  EXPECT_FALSE(reg.OpenKey("..", true));
  EXPECT_EQ(reg.CurrentPath(), "Good");
}

TEST_F(RegistryTest, TypedValuesRoundTrip) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Software\\T", true));
  reg.WriteString("Port", "COM1");
  reg.WriteString("EventChar", "#0");
  reg.WriteString("Odd name=:%\n", "line\nbreak=%41 \xff");
  reg.WriteInteger("Timeouts.ReadInterval", -1);
  reg.WriteInteger("Buffer.InputSize", 1024);
  reg.WriteString("Empty", "");
  reg.WriteString("port", "COM2");  // replaces, names match in any case

  TRegistry again;
  ASSERT_TRUE(again.OpenKey("Software\\T", false));
  EXPECT_EQ(again.ReadString("PORT"), "COM2");
  EXPECT_EQ(again.ReadString("EventChar"), "#0");
  EXPECT_EQ(again.ReadString("Odd name=:%\n"), "line\nbreak=%41 \xff");
  EXPECT_EQ(again.ReadInteger("Timeouts.ReadInterval"), -1);
  EXPECT_EQ(again.ReadInteger("Buffer.InputSize"), 1024);
  EXPECT_TRUE(again.ValueExists("Empty"));
  EXPECT_EQ(again.ReadString("Empty"), "");
  EXPECT_FALSE(again.ValueExists("Missing"));
  // A value written as text cut at a zero byte, like REG_SZ.
  again.WriteString("Nul", std::string("ab\0cd", 5));
  EXPECT_EQ(again.ReadString("Nul"), "ab");
}

TEST_F(RegistryTest, ErrorsNameTheValue) {
  TRegistry reg;
  EXPECT_EQ(reg.ReadString("Port"), "");
  EXPECT_EQ(Error([&] { reg.ReadInteger("Buffer.InputSize"); }), "Failed to get data for 'Buffer.InputSize'");
  EXPECT_EQ(Error([&] { reg.WriteString("Port", "x"); }), "Failed to set data for 'Port'");
  EXPECT_EQ(Error([&] { reg.WriteInteger("N", 1); }), "Failed to set data for 'N'");

  ASSERT_TRUE(reg.OpenKey("K", true));
  reg.WriteString("Text", "5");
  reg.WriteInteger("Num", 5);
  EXPECT_EQ(Error([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
  EXPECT_EQ(Error([&] { reg.ReadInteger("Text"); }), "Invalid data type for 'Text'");
  EXPECT_EQ(Error([&] { reg.ReadString("Num"); }), "Invalid data type for 'Num'");
}

TEST_F(RegistryTest, WriteFailureIsReported) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("K", true));
  // The values file is a folder: it can be neither read nor replaced.
  ASSERT_TRUE(QDir(dir_.path()).mkpath("HKEY_CURRENT_USER/K/.values"));
  EXPECT_EQ(Error([&] { reg.WriteString("Port", "x"); }), "Failed to set data for 'Port'");
  EXPECT_EQ(reg.ReadString("Port"), "");
  EXPECT_TRUE(QFileInfo(dir_.filePath("HKEY_CURRENT_USER/K/.values")).isDir());
}

TEST_F(RegistryTest, GarbageInTheValuesFileIsIgnored) {
  QByteArray garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 131) & 0xFF);
  PutValues("HKEY_CURRENT_USER/G", garbage + "\nsz:Port=COM5\ndword:Bad=12x\ndword:Big=99999999999\nbinary:B=00\n" +
                                       "dword:Good=4294967295\nnocolon\n:=\n");
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("G", false));
  EXPECT_EQ(reg.ReadString("Port"), "COM5");
  EXPECT_EQ(reg.ReadInteger("Good"), -1);
  EXPECT_EQ(Error([&] { reg.ReadInteger("Bad"); }), "Failed to get data for 'Bad'");
  EXPECT_EQ(Error([&] { reg.ReadInteger("Big"); }), "Failed to get data for 'Big'");
  EXPECT_EQ(Error([&] { reg.ReadString("B"); }), "Invalid data type for 'B'");
  reg.WriteInteger("New", 7);
  EXPECT_EQ(reg.ReadInteger("New"), 7);
  EXPECT_EQ(reg.ReadString("Port"), "COM5");
}

}  // namespace

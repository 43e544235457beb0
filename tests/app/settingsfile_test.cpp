// SPDX-License-Identifier: MIT
// The window's settings file: what a first run writes, how values are read
// back, and how a damaged or unwritable file is met.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>

#include "app_support.h"
#include "errordisplay.h"
#include "portctl.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {


class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    Remove();
    SetErrorSink([this](const QString& m) { errors.append(m); });
  }
  void TearDown() override {
    delete w;
    Remove();
    SetErrorSink({});
  }
  static QString Path() { return QString::fromStdString(TSerivox::ConfigPath()); }
  static void Remove() {
    QFile::remove(Path());
    QDir(Path()).removeRecursively();
  }
  static void Put(const std::string& text) {
    QFile f(Path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.data(), static_cast<qint64>(text.size()));
  }
  static std::string Get() {
    QFile f(Path());
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }
  TSerivox* Window() {
    delete w;
    w = new TSerivox;
    return w;
  }

  TSerivox* w = nullptr;
  QStringList errors;
};

TEST_F(SettingsFile, PathIsTheExecutableWithIniExtension) {
  const QFileInfo exe(QCoreApplication::applicationFilePath());
  EXPECT_EQ(Path(), exe.absolutePath() + "/" + exe.completeBaseName() + ".ini");
}

TEST_F(SettingsFile, FirstRunStartsWithDefaultsAndWritesAllSections) {
  Window()->show();
  EXPECT_EQ(Get(), "<missing>");  // loading never creates the file
  EXPECT_EQ(w->ui->Edit1->text(), "");
  EXPECT_EQ(w->ui->ComboBox2->currentText(), "none");
  EXPECT_EQ(w->ui->ComboBox4->currentText(), "none");
  EXPECT_FALSE(w->ui->CheckBox4->isChecked());
  EXPECT_FALSE(w->ui->CheckBox5->isChecked());
  EXPECT_FALSE(w->ui->CheckBox6->isChecked());
  EXPECT_EQ(w->ui->TrackBar1->value(), 20);
  EXPECT_EQ(w->Timer1->interval(), 50);
  w->close();
  EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
  EXPECT_EQ(Get(),
            "[ComPort]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=8\nParity=None\nFlowControl=None\n"
            "[Makro]\nMakro1Text=\nMakro1End=none\nMakro2Text=\nMakro2End=none\nMakro3Text=\nMakro3End=none\n"
            "[Test]\nEcho=0\nInterval=20\n"
            "[Terminal]\nShowHEX=0\nShowControlChars=0\n");
}

TEST_F(SettingsFile, IntervalIsKeptWithinTheSlidersRange) {
  const std::pair<const char*, int> cases[] = {{"0", 1}, {"-5", 1}, {"25", 20}, {"0x0A", 10}, {"abc", 20}, {"$3", 3}};
  Window();
  for (const auto& [text, position] : cases) {
    w->ui->TrackBar1->setValue(7);
    Put(std::string("[Test]\nInterval=") + text + "\n");
    w->LoadConfig();
    EXPECT_EQ(w->ui->TrackBar1->value(), position) << text;
    EXPECT_EQ(w->Timer1->interval(), 1000 / position) << text;  // the change handler ran
    w->SaveConfig();
    EXPECT_NE(Get().find("\nInterval=" + std::to_string(position) + "\n"), std::string::npos) << text;
  }
}

TEST_F(SettingsFile, BooleansAreIntegers) {
  Put("[Test]\nEcho=2\n[Terminal]\nShowHEX=yes\nShowControlChars=0x1\n");
  Window()->LoadConfig();
  EXPECT_TRUE(w->ui->CheckBox4->isChecked());
  EXPECT_FALSE(w->ui->CheckBox5->isChecked());
  EXPECT_TRUE(w->ui->CheckBox6->isChecked());
  w->SaveConfig();
  const std::string file = Get();
  EXPECT_NE(file.find("[Test]\nEcho=1\n"), std::string::npos);
  EXPECT_NE(file.find("[Terminal]\nShowHEX=0\nShowControlChars=1\n"), std::string::npos);
}

TEST_F(SettingsFile, MacrosRoundTripUnchanged) {
  Window();
  w->ui->Edit1->setText(QStringLiteral("  AT+GMR  "));
  w->ui->ComboBox2->setCurrentText("crlf");
  w->ui->Edit2->setText(QString::fromLatin1("caf\xe9 = \"x\""));
  w->ui->ComboBox3->setCurrentText("CRLF");
  w->ui->Edit3->setText("#13");
  w->ui->ComboBox4->setCurrentText("LF");
  w->SaveConfig();
  EXPECT_NE(Get().find("Makro1End=crlf\n"), std::string::npos);

  Window()->LoadConfig();
  EXPECT_EQ(w->ui->Edit1->text(), "  AT+GMR  ");
  EXPECT_EQ(w->ui->ComboBox2->currentText(), "crlf");
  EXPECT_EQ(w->ui->Edit2->text(), QString::fromLatin1("caf\xe9 = \"x\""));
  EXPECT_EQ(w->ui->ComboBox3->currentText(), "CRLF");
  EXPECT_EQ(w->ui->Edit3->text(), "#13");
  EXPECT_EQ(w->ui->ComboBox4->currentText(), "LF");
}

TEST_F(SettingsFile, SelectorsShowTheRestoredPortSettings) {
  Put("[ComPort]\nPort=NULLMODEM-B\nBaudRate=115200\nFlowControl=Hardware\n");
  Window()->LoadConfig();
  EXPECT_EQ(w->ComPort->BaudRate(), br115200);
  EXPECT_EQ(w->ui->ComComboBox1->Text(), "NULLMODEM-B");
  EXPECT_EQ(w->ui->ComComboBox2->Text(), "115200");
  EXPECT_EQ(w->ui->ComComboBox3->Text(), "Hardware");
}

TEST_F(SettingsFile, DamagedFileLoadsWithoutHarm) {
  std::string garbage;
  for (int i = 0; i < 20000; ++i) garbage += static_cast<char>((i * 37 + 11) & 0xFF);
  Put(garbage + "\n[Makro]\r\nMakro1Text=hi\r\nMakro1End\r\n[Test]\nInterval\n[ComPort]\nStopBits=9\n" +
      std::string(1 << 20, 'z'));
  Window()->LoadConfig();
  EXPECT_EQ(w->ui->Edit1->text(), "hi");
  EXPECT_EQ(w->ui->ComboBox2->currentText(), "none");
  EXPECT_EQ(w->ui->TrackBar1->value(), 20);
  EXPECT_EQ(w->ComPort->StopBits(), sbOneStopBit);
  EXPECT_EQ(w->ComPort->BaudRate(), br38400);
  // Saving keeps every line it does not own.
  w->SaveConfig();
  EXPECT_EQ(Get().substr(0, garbage.size()), garbage);
  EXPECT_NE(Get().find(std::string(1 << 20, 'z')), std::string::npos);
}

TEST_F(SettingsFile, FailedPortLoadEndsLoading) {
  Window();
  w->ComPort->SetPort("LOOPBACK");
  w->ComPort->SetConnected(true);
  ASSERT_TRUE(w->ComPort->Connected());
  Put("[ComPort]\nPort=/nonexistent/serial\n[Makro]\nMakro1Text=never\n");
  w->ui->Edit1->setText("before");
  try {
    w->LoadConfig();
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_LoadFailed);
  }
  EXPECT_EQ(w->ui->Edit1->text(), "before");
  EXPECT_EQ(w->ComPort->UpdateCount(), 0);
  w->ComPort->SetConnected(false);
}

TEST_F(SettingsFile, UnwritableFileEndsSavingWithStoreError) {
  ASSERT_TRUE(QDir().mkpath(Path()));  // a folder where the file should be
  Window();
  try {
    w->SaveConfig();
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_StoreFailed);
    EXPECT_EQ(std::string(e.what()), "Failed to store settings");
  }
  EXPECT_TRUE(QFileInfo(Path()).isDir());
}

}  // namespace

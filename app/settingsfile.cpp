// SPDX-License-Identifier: MIT
// The window's settings file: LoadConfig and SaveConfig. The port keeps its
// own section; the window adds "Makro", "Test" and "Terminal". Texts are byte
// strings shown as Latin-1.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QSlider>
#include <filesystem>

#include "inifile.h"
#include "portctl.h"
#include "settingslocation.h"
#include "remoteport.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

QString FromBytes(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }
std::string ToBytes(const QString& s) { return s.toLatin1().toStdString(); }

}  // namespace

std::string TSerivox::ConfigPath() {
  const QString exe = QCoreApplication::applicationFilePath();
  if (exe.isEmpty()) return {};
  std::filesystem::path path(QFile::encodeName(exe).toStdString());
  path.replace_extension(".ini");  // appended when the name has none
  // An installed program, whose folder the user cannot write, keeps it in
  // ~/.config/serivox; a file already next to the executable is used first.
  return SettingsLocation(path.string(), path.filename().string());
}

// Both read the file once and the save writes it once, whatever its size:
// the port's section and the window's keys share one batch of the file.
void TSerivox::LoadConfig() {
  const std::string path = ConfigPath();
  TIniFile ini(path);
  ini.BeginUpdate();
  ComPort->RestoreSettings(ini);
  // Re-binding makes each selector show the value just restored.
  for (TComComboBox* box : {ui->ComComboBox1, ui->ComComboBox2, ui->ComComboBox3}) {
    box->SetComPort(nullptr);
    box->SetComPort(ComPort);
  }
  ui->Edit1->setText(FromBytes(ini.ReadString("Makro", "Makro1Text", "")));
  ui->ComboBox2->setCurrentText(FromBytes(ini.ReadString("Makro", "Makro1End", "none")));
  ui->Edit2->setText(FromBytes(ini.ReadString("Makro", "Makro2Text", "")));
  ui->ComboBox3->setCurrentText(FromBytes(ini.ReadString("Makro", "Makro2End", "none")));
  ui->Edit3->setText(FromBytes(ini.ReadString("Makro", "Makro3Text", "")));
  ui->ComboBox4->setCurrentText(FromBytes(ini.ReadString("Makro", "Makro3End", "none")));
  ui->CheckBox4->setChecked(ini.ReadBool("Test", "Echo", false));
  // The slider keeps the value within 1..20 and runs TrackBar1Change on a change.
  ui->TrackBar1->setValue(ini.ReadInteger("Test", "Interval", 100));
  ui->CheckBox5->setChecked(ini.ReadBool("Terminal", "ShowHEX", false));
  ui->CheckBox6->setChecked(ini.ReadBool("Terminal", "ShowControlChars", false));
  LoadExtras(ini);
  Remote->Load(ini);
}

void TSerivox::SaveConfig() {
  const std::string path = ConfigPath();
  TIniFile ini(path);
  ini.BeginUpdate();
  ComPort->PersistSettings(ini);
  ini.WriteString("Makro", "Makro1Text", ToBytes(ui->Edit1->text()));
  ini.WriteString("Makro", "Makro1End", ToBytes(ui->ComboBox2->currentText()));
  ini.WriteString("Makro", "Makro2Text", ToBytes(ui->Edit2->text()));
  ini.WriteString("Makro", "Makro2End", ToBytes(ui->ComboBox3->currentText()));
  ini.WriteString("Makro", "Makro3Text", ToBytes(ui->Edit3->text()));
  ini.WriteString("Makro", "Makro3End", ToBytes(ui->ComboBox4->currentText()));
  ini.WriteBool("Test", "Echo", ui->CheckBox4->isChecked());
  ini.WriteInteger("Test", "Interval", ui->TrackBar1->value());
  ini.WriteBool("Terminal", "ShowHEX", ui->CheckBox5->isChecked());
  ini.WriteBool("Terminal", "ShowControlChars", ui->CheckBox6->isChecked());
  SaveExtras(ini);
  Remote->Save(ini);
  // The port's section goes out in the same write: a file that cannot be
  // stored is reported as the port's failure to store, as before.
  try {
    ini.EndUpdate();
  } catch (const EIniFileError&) {
    throw EComPort(CError_StoreFailed);
  }
}

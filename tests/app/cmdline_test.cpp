// SPDX-License-Identifier: MIT
// The command line: each option applied to the first window as a user's
// choice, and the program itself refusing bad values before any window opens.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>

#include "app_support.h"
#include "cmdline.h"
#include "errordisplay.h"
#include "inifile.h"
#include "portctl.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

struct ProgramRun {
  int status = -1;
  QString out;
  QString err;
};

// Runs the program offscreen, or with no display at all as over ssh or in a
// build step; a window that opened would keep it running past the limit.
ProgramRun RunProgram(const QStringList& arguments, bool display = true, const QString& steps = {},
                      const QString& exe = QStringLiteral(SERIVOX_EXE)) {
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (display) {
    env.insert("QT_QPA_PLATFORM", "offscreen");
  } else {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
  }
  if (!steps.isEmpty()) env.insert("SERIVOX_TEST_STEPS", steps);
  program.setProcessEnvironment(env);
  program.start(exe, arguments);
  ProgramRun run;
  if (!program.waitForFinished(60000)) {
    program.kill();
    program.waitForFinished();
    return run;
  }
  run.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -2;
  run.out = QString::fromLocal8Bit(program.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(program.readAllStandardError());
  return run;
}

TEST(CommandLineProgram, BadValuesAreRefusedWithStatus2BeforeAnyWindow) {
  EnsureGuiApp();
  const std::pair<QStringList, QString> cases[] = {
      {{"--baud", "fast"}, "Invalid baud rate 'fast'"},
      {{"--baud", "0"}, "Invalid baud rate '0'"},
      {{"--baud", "-9600"}, "Invalid baud rate '-9600'"},
      {{"--baud", "9600x"}, "Invalid baud rate '9600x'"},
      {{"--flow", "xonxoff"}, "Invalid flow control 'xonxoff'"},
      {{"--port", ""}, "Invalid port name ''"},
      {{"--log", "/nonexistent-serivox/rx.log"}, "Cannot write the log file '/nonexistent-serivox/rx.log'"},
      {{"--log", "/tmp"}, "Cannot write the log file '/tmp'"},
      {{"--baud"}, "Missing value after '--baud'"},
      {{"--speed", "9600"}, "Unknown option 'speed'"},
      {{"COM1"}, "Unexpected argument 'COM1'"},
      {{"--baud", "9600", "--baud", "19200"}, "given more than once"},
      {{"--databits", "9"}, "Invalid data bits '9'"},
      {{"--databits", "08"}, "Invalid data bits '08'"},
      {{"--parity", "half"}, "Invalid parity 'half'"},
      {{"--stopbits", "1,5"}, "Invalid stop bits '1,5'"},
  };
  for (const auto& [arguments, message] : cases) {
    const ProgramRun run = RunProgram(arguments);
    const std::string what = arguments.join(' ').toStdString();
    EXPECT_EQ(run.status, kBadCommandLine) << what;
    EXPECT_TRUE(run.err.contains(message)) << what << ": " << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty()) << what;
  }
}

TEST(CommandLineProgram, HelpAndVersionGoToStdoutWithStatus0) {
  EnsureGuiApp();
  const ProgramRun help = RunProgram({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--port", "--baud", "--flow", "--databits", "--parity", "--stopbits", "--connect", "--log",
                             "--help", "--version"})
    EXPECT_TRUE(help.out.contains(option)) << option;
  const ProgramRun version = RunProgram({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "Serivox " SERIVOX_VERSION "\n");
}

TEST(CommandLineProgram, WithoutADisplayOnlyAStartNeedsOneAndSaysSoInOneLine) {
  EnsureGuiApp();
  const ProgramRun help = RunProgram({"--help"}, false);
  EXPECT_EQ(help.status, 0) << help.err.toStdString();
  EXPECT_TRUE(help.out.startsWith("Usage: serivox [options]")) << help.out.toStdString();
  EXPECT_FALSE(help.out.contains("--help-all"));
  const ProgramRun version = RunProgram({"--version"}, false);
  EXPECT_EQ(version.status, 0) << version.err.toStdString();
  EXPECT_EQ(version.out, "Serivox " SERIVOX_VERSION "\n");
  // Qt's own options, with one dash or two, are left to Qt and the refusal
  // names the option that is wrong.
  const ProgramRun refused = RunProgram({"-style", "Fusion", "-reverse", "--platform", "xcb", "--baud", "7"}, false);
  EXPECT_EQ(refused.status, kBadCommandLine);
  EXPECT_TRUE(refused.err.startsWith("serivox: Invalid baud rate '7'")) << refused.err.toStdString();

  const ProgramRun start = RunProgram({"--port", "LOOPBACK"}, false);
  EXPECT_EQ(start.status, 1);
  EXPECT_EQ(start.err, "serivox: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset)\n");
  EXPECT_TRUE(start.out.isEmpty());
#ifdef SERIVOX_TEST_HOOKS
  // -platform reaches Qt: the window opens offscreen and Exit ends it. A copy
  // of the program keeps the settings it saves in a folder of the test's.
  QTemporaryDir dir;
  ASSERT_TRUE(QFile::copy(SERIVOX_EXE, dir.filePath("serivox")));
  const ProgramRun offscreen =
      RunProgram({"-platform", "offscreen", "--port", "LOOPBACK"}, false, "exit", dir.filePath("serivox"));
  EXPECT_EQ(offscreen.status, 0) << offscreen.err.toStdString();
#endif
}

class CommandLineOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    SetErrorSink([this](const QString& m) { errors.append(m); });
    QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  }
  void TearDown() override {
    delete w;
    SetErrorSink({});
    QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  }
  CommandLine Parse(const QStringList& arguments) {
    CommandLine options;
    QString output;
    EXPECT_EQ(CommandLine::Parse(QStringList{"serivox"} + arguments, options, output), CommandLine::Run)
        << output.toStdString();
    return options;
  }
  // A window shown with a settings file of its own, then given the options.
  void Start(const CommandLine& options) {
    TIniFile ini(TSerivox::ConfigPath());
    ini.WriteString("ComPort", "Port", "NULLMODEM-B");
    ini.WriteString("ComPort", "BaudRate", "9600");
    w = new TSerivox;
    w->show();
    options.ApplyTo(*w);
  }

  TSerivox* w = nullptr;
  QStringList errors;
  QTemporaryDir dir;
};

TEST_F(CommandLineOptions, EachOptionIsAppliedOverTheSettingsFileAsAUsersChoice) {
  const QString log = dir.filePath("rx.log");
  Start(Parse({"--port", "LOOPBACK", "--baud", "115200", "--flow", "Hardware", "--connect", "--log", log}));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
  EXPECT_EQ(w->ComPort->Port(), "LOOPBACK");
  EXPECT_EQ(w->ComPort->BaudRate(), br115200);
  EXPECT_EQ(w->ComPort->FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(w->ui->ComComboBox1->Text(), "LOOPBACK");
  EXPECT_EQ(w->ui->ComComboBox2->Text(), "115200");
  EXPECT_EQ(w->ui->ComComboBox3->Text(), "Hardware");
  EXPECT_TRUE(w->ComPort->Connected());
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Disconnect");
  EXPECT_TRUE(w->Capture->Active());
  EXPECT_EQ(w->Capture->FileName(), log);
  EXPECT_TRUE(w->LogAction->isChecked());
  EXPECT_TRUE(w->windowTitle().contains("rx.log"));
  // The choice is kept like any other when the window closes.
  w->close();
  EXPECT_EQ(TIniFile(TSerivox::ConfigPath()).ReadString("ComPort", "BaudRate", ""), "115200");
}

TEST_F(CommandLineOptions, UnlistedRateIsCustomAndNoOptionLeavesTheSettingsFile) {
  Start(Parse({"--baud", "250000", "--flow", "software"}));
  EXPECT_EQ(w->ComPort->BaudRate(), brCustom);
  EXPECT_EQ(w->ComPort->CustomBaudRate(), 250000);
  EXPECT_EQ(w->ui->ComComboBox2->Text(), "Custom");
  EXPECT_EQ(w->ComPort->FlowControl().FlowControl(), fcSoftware);
  EXPECT_EQ(w->ComPort->Port(), "NULLMODEM-B");
  delete w;

  Start(Parse({}));
  EXPECT_EQ(w->ComPort->Port(), "NULLMODEM-B");
  EXPECT_EQ(w->ComPort->BaudRate(), br9600);
  EXPECT_FALSE(w->ComPort->Connected());
  EXPECT_FALSE(w->Capture->Active());
  EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
}

TEST_F(CommandLineOptions, FramingIsAppliedAndARelativePathMeansTheCurrentFolder) {
  Start(Parse({"--databits", "7", "--parity", "Even", "--stopbits", "1.5"}));
  EXPECT_EQ(w->ComPort->DataBits(), dbSeven);
  EXPECT_EQ(w->ComPort->Parity().Bits(), prEven);
  EXPECT_EQ(w->ComPort->StopBits(), sbOne5StopBits);
  EXPECT_EQ(w->LineLabel->text(), "9600 7E1.5");
  delete w;
  w = nullptr;

  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.path()));
  const CommandLine dotted = Parse({"--port", "./pty/../pty/a"});
  const CommandLine plain = Parse({"--port", "ttyS0"});
  const CommandLine network = Parse({"--port", "tcp://localhost:2000"});
  QDir::setCurrent(before);
  EXPECT_EQ(dotted.port, dir.filePath("pty/a"));
  EXPECT_EQ(plain.port, "ttyS0");  // a bare name is still looked up under /dev
  EXPECT_EQ(network.port, "tcp://localhost:2000");
}

}  // namespace

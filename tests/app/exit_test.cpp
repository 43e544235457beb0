// SPDX-License-Identifier: MIT
// The real program, started and ended the ways a user ends it: the Exit
// button, the window's close box, a termination signal; with slave windows,
// an open pop-up, and a port whose device hung up.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>

#include "app_support.h"

namespace {

struct Scenario {
  const char* steps;
  bool pty = false;      // the port is a pseudo-terminal whose far end hangs up
  bool signal = false;   // ended by SIGTERM rather than by its own steps
};

// Whether the program has the slave end of `master` open (the master stops
// seeing a hang-up).
bool SlaveOpened(int master) {
  pollfd p{master, 0, 0};
  return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

}  // namespace

TEST(ProgramExit, EveryWayOfEndingTheProgramExitsWithStatusZero) {
#ifndef SERIVOX_TEST_HOOKS
  GTEST_SKIP() << "the program reads SERIVOX_TEST_STEPS only when built with -DSERIVOX_TEST_HOOKS=ON";
#endif
  EnsureGuiApp();
  const Scenario scenarios[] = {
      {"exit"},
      {"close"},
      {"slave,exit"},
      {"slave,close"},
      {"popup,exit"},
      {"popup,close"},
      {"slave,slave,popup,exit"},
      {"slave,popup", false, true},
      {"connect", true, true},
      {"connect,popup,close", true},
  };
  for (int run = 0; run < 20; ++run) {
    const Scenario& s = scenarios[run % std::size(scenarios)];
    SCOPED_TRACE(std::string("run ") + std::to_string(run) + ": " + s.steps);
    // A copy of the program in a folder of its own, so its settings file is
    // the test's.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString exe = dir.filePath("serivox");
    ASSERT_TRUE(QFile::copy(SERIVOX_EXE, exe));
    int master = -1, slave = -1;
    char name[256] = {};
    std::string port = "LOOPBACK";
    if (s.pty) {
      ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
      close(slave);
      port = name;
    }
    {
      QFile ini(dir.filePath("serivox.ini"));
      ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
      ini.write(QByteArray("[ComPort]\nPort=") + port.c_str() + "\n");
    }
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SERIVOX_TEST_STEPS", s.steps);
    program.setProcessEnvironment(env);
    program.start(exe, {});
    ASSERT_TRUE(program.waitForStarted(30000));
    if (s.pty) {
      // Connected: the far end hangs up, as when an adapter is pulled.
      ASSERT_TRUE(WaitWithEvents([&] { return SlaveOpened(master); }, 30000));
      close(master);
      master = -1;
    }
    if (s.signal) {
      QThread::msleep(800);
      ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    }
    const bool ended = program.waitForFinished(60000);
    if (!ended) program.kill();
    if (master >= 0) close(master);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    ASSERT_TRUE(ended) << errors.toStdString();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << errors.toStdString();
    EXPECT_EQ(program.exitCode(), 0) << errors.toStdString();
    EXPECT_FALSE(errors.contains("AddressSanitizer") || errors.contains("runtime error:") ||
                 errors.contains("LeakSanitizer"))
        << errors.toStdString();
    // It ended through its own close steps: the settings were saved.
    QFile saved(dir.filePath("serivox.ini"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray contents = saved.readAll();
    EXPECT_TRUE(contents.contains("[Terminal]")) << contents.toStdString();
    EXPECT_TRUE(contents.contains(QByteArray("Port=") + port.c_str())) << contents.toStdString();
  }
}

// A termination signal while a modal box is open: the error box of a connect
// made by the command line before the program's loop runs, and one raised
// later by the Connect button. The program ends with status 0 after its close
// steps (the settings are saved).
TEST(ProgramExit, SignalWithAModalBoxOpenEndsTheProgram) {
  EnsureGuiApp();
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    for (const bool atStart : {true, false}) {
      SCOPED_TRACE(std::string(strsignal(sig)) + (atStart ? " at start" : " later"));
      QTemporaryDir dir;
      const QString exe = dir.filePath("serivox");
      ASSERT_TRUE(QFile::copy(SERIVOX_EXE, exe));
      QProcess program;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      if (!atStart) env.insert("SERIVOX_TEST_STEPS", "connect");
      program.setProcessEnvironment(env);
      QStringList args{"--port", dir.filePath("no-such-port")};
      if (atStart) args << "--connect";
      program.start(exe, args);
      ASSERT_TRUE(program.waitForStarted(30000));
      QThread::msleep(1500);  // the open fails and its box comes up
      ::kill(static_cast<pid_t>(program.processId()), sig);
      const bool ended = program.waitForFinished(30000);
      if (!ended) program.kill();
      ASSERT_TRUE(ended);
      EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(program.exitCode(), 0);
      QFile saved(dir.filePath("serivox.ini"));
      EXPECT_TRUE(saved.open(QIODevice::ReadOnly) && saved.readAll().contains("no-such-port"));
    }
  }
}

// A window on a port of another machine: the link test between a window on a
// local pseudo-terminal and an echoing window that reaches the other end of
// the cable through a real ser2net, by a name read from the settings file.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include "../port/test_ser2net.h"
#include "app_support.h"
#include "errordisplay.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

void PutSettings(const std::string& text) {
  QFile f(QString::fromStdString(TSerivox::ConfigPath()));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text.data(), static_cast<qint64>(text.size()));
}

}  // namespace

TEST(RemoteWindow, LinkTestAgainstAWindowOnTheFarSide) {
  EnsureGuiApp();
  if (Ser2Net::Binary().empty()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh installs it)";
  CollectedErrors errors;
  for (const bool rfc2217 : {true, false}) {
    Ser2Net server;
    ASSERT_TRUE(server.start()) << server.why;
    // The cable: what the local pty's master receives goes to ser2net's pty, and back.
    TestPty local;
    ASSERT_TRUE(local.ok());
    fcntl(local.master, F_SETFL, fcntl(local.master, F_GETFL) | O_NONBLOCK);
    const int localSlave = open(local.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    Pump cable;
    cable.start(local.master, server.pty.master);
    {
      const std::string remoteName = rfc2217 ? server.rfc2217Name() : server.tcpName();
      SCOPED_TRACE(remoteName);
      TSerivox client;
      TSerivox echo;
      // A name from the settings file is taken like any other.
      PutSettings("[ComPort]\nPort=" + remoteName + "\nBaudRate=115200\n");
      echo.LoadConfig();
      QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
      ASSERT_EQ(echo.ComPort->Port(), remoteName);
      echo.ComPort->SetConnected(true);
      ASSERT_TRUE(echo.ComPort->Connected());
      echo.ui->CheckBox4->setChecked(true);

      client.ComPort->SetPort(local.slavePath);
      client.ui->TrackBar1->setValue(20);
      client.Button6Click(client.ui->Button6);
      ASSERT_TRUE(client.TestRunning);
      ASSERT_TRUE(WaitWithEvents([&] { return client.ui->Label9->text().toInt() >= 40; }, 30000));
      client.Button6Click(client.ui->Button6);
      // The last packets come home; then one quiet tick gives the figures.
      ASSERT_TRUE(WaitWithEvents([&] {
        return client.ui->Label9->text() == client.ui->Label10->text() && client.ui->Label16->text() == "0";
      }));
      EXPECT_GE(client.ui->Label10->text().toInt(), 40);
      EXPECT_EQ(client.ui->Label11->text(), "0.00%");
      client.ComPort->SetConnected(false);
      echo.ComPort->SetConnected(false);
    }
    cable.stop();
    close(localSlave);
  }
  EXPECT_TRUE(errors.list.isEmpty()) << errors.joined().toStdString();
}

// SPDX-License-Identifier: MIT
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
#include <QtTest/QTest>

#include "../port/test_ser2net.h"
#include "app_support.h"
#include "errordisplay.h"
#include "linepane.h"
#include "reconnect.h"
#include "remoteport.h"
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

namespace {

// A listening socket on 127.0.0.1:`port` (0: any free port).
int ListenOn(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool PaneShows(TSerivox& w, const std::string& text) {
  for (int i = 0; i < w.ui->Memo1->LineCount(); ++i)
    if (w.ui->Memo1->Line(i) == text) return true;
  return false;
}

}  // namespace

// "Remote port..." asks for a port and makes it the window's; it joins the
// list after the local ports, and the settings file keeps it. Connecting
// runs beside the window: the button says "Cancel" meanwhile, and pressing
// it gives the attempt up at once.
TEST_F(WindowFixture, RemotePortIsPickedConnectedInTheBackgroundAndCancelled) {
  QString name;
  EXPECT_EQ(RemotePortName(true, "bad host!", 2000, name), EINVAL);
  ASSERT_EQ(RemotePortName(false, "::1", 23, name), 0);
  EXPECT_EQ(name, "tcp://[::1]:23");

  LocalListener listener;
  const QString remote = QString("tcp://127.0.0.1:%1").arg(listener.port);
  w->Remote->AskName = [&] { return remote; };
  TComComboBox* box = w->ui->ComComboBox1;
  ASSERT_EQ(box->itemText(box->count() - 1), "Remote port...");
  box->UserSelect(box->count() - 1);
  EXPECT_EQ(w->ComPort->Port(), remote.toStdString());
  EXPECT_EQ(box->Text(), remote);
  EXPECT_EQ(box->itemText(box->count() - 2), remote);

  w->Button1Click(w->ui->Button1);
  EXPECT_FALSE(w->ComPort->Connected());  // not yet: the window goes on
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Cancel");
  ASSERT_TRUE(WaitWithEvents([&] { return w->ComPort->Connected(); }));
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Disconnect");
  w->Button1Click(w->ui->Button1);
  EXPECT_FALSE(w->ComPort->Connected());

  // A server whose queue of connections is full: the attempt waits; pressing
  // the button again ends it, and nothing opens or fails afterwards.
  LocalListener full(0);
  const std::vector<int> fillers = FillBacklog(full.port);
  w->Remote->AskName = [&] { return QString("tcp://127.0.0.1:%1").arg(full.port); };
  box->UserSelect(box->count() - 1);
  w->Button1Click(w->ui->Button1);
  EXPECT_TRUE(w->Remote->Connecting());
  w->Button1Click(w->ui->Button1);
  EXPECT_FALSE(w->Remote->Connecting());
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Connect");
  QTest::qWait(1500);  // past the connection bound
  EXPECT_FALSE(w->ComPort->Connected());
  for (int fd : fillers) close(fd);

  // Both remote ports are remembered, the last one first.
  w->SaveConfig();
  TSerivox again;
  again.LoadConfig();
  EXPECT_EQ(again.Remote->Recent(), QStringList({QString("tcp://127.0.0.1:%1").arg(full.port), remote}));
  QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
}

// A lost network port is tried again after 1 s, then 2 s, ... while
// "Reconnect automatically" is checked, and marked in the pane once back
// (unchecking ends the wait as for a device: DeviceReturnWatch::Cancel).
TEST_F(WindowFixture, LostRemotePortIsRetriedWithGrowingDelays) {
  int server = ListenOn(0);
  ASSERT_GE(server, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  const std::string name = "tcp://127.0.0.1:" + std::to_string(port);
  w->ComPort->SetPort(name);
  w->ComPort->SetConnected(true);
  int peer = -1;
  ASSERT_TRUE(WaitWithEvents([&] {
    if (peer < 0) peer = accept(server, nullptr, nullptr);
    return peer >= 0;
  }));

  // The server goes away altogether: the loss is shown once and retries begin.
  close(peer);
  close(server);
  const std::string gone = "*** " + name + " went away ***";
  auto shown = [&] {
    for (int i = 0; i < w->ui->Memo1->LineCount(); ++i)
      if (w->ui->Memo1->Line(i) == gone) return true;
    return false;
  };
  // A line of the receive pane, no box: the window waits for the port's return.
  ASSERT_TRUE(WaitWithEvents([&] { return !w->ComPort->Connected() && shown(); }));
  EXPECT_TRUE(errors.isEmpty());
  ASSERT_TRUE(w->ReturnWatch->Watching());
  EXPECT_EQ(w->ReturnWatch->RetryDelayMs(), 1000);
  ASSERT_TRUE(WaitWithEvents([&] { return w->ReturnWatch->RetryDelayMs() == 2000; }));  // the first retry was refused
  EXPECT_TRUE(errors.isEmpty());  // retries fail silently

  server = ListenOn(port);
  ASSERT_GE(server, 0);
  ASSERT_TRUE(WaitWithEvents([&] { return w->ComPort->Connected(); }));
  EXPECT_TRUE(PaneShows(*w, "*** Reconnected to " + name + " ***"));
  EXPECT_FALSE(w->ReturnWatch->Watching());

  close(server);
}

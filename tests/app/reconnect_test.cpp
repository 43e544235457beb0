// SPDX-License-Identifier: MIT
// Reconnect after a replug: a pseudo-terminal behind a fixed symbolic link is
// torn down and created again, and the window opens it again by itself.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
#include <future>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include "app_support.h"
#include "errordisplay.h"
#include "linepane.h"
#include "reconnect.h"
#include "serivox.h"
#include "test_pty.h"
#include "ui_serivox.h"

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

class Reconnect : public WindowFixture {
 protected:
  // A new pseudo-terminal behind the link, as a replugged adapter.
  void Plug() {
    pty = std::make_unique<TestPty>();
    ASSERT_TRUE(pty->ok());
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(QString::fromStdString(pty->slavePath), link));
  }
  // The adapter pulled: the far end hangs up and the link goes.
  void Unplug() {
    pty->closeMaster();
    QFile::remove(link);
  }
  int CountLines(const std::string& text) const {
    int n = 0;
    for (int i = 0; i < w->ui->Memo1->LineCount(); ++i) n += w->ui->Memo1->Line(i) == text;
    return n;
  }
  bool Shows(const std::string& text) const {
    for (int i = 0; i < w->ui->Memo1->LineCount(); ++i)
      if (w->ui->Memo1->Line(i).find(text) != std::string::npos) return true;
    return w->RxLine.find(text) != std::string::npos;
  }

  QTemporaryDir dir;
  QString link = dir.filePath("serial-link");
  std::unique_ptr<TestPty> pty;
};

TEST_F(Reconnect, ReplacedDeviceIsOpenedAgainWithOneMarkedLineAndNoSpinWhileWaiting) {
  Plug();
  w->ComPort->SetPort(link.toStdString());
  w->ComPort->SetBaudRate(br115200);
  w->ComPort->SetConnected(true);
  ASSERT_TRUE(pty->send("before\r\n"));
  ASSERT_TRUE(WaitWithEvents([&] { return Shows("before"); }));

  // The port reports the hang-up; the window closes the port and says so
  // once, as a line of the receive pane: no box waits for a click.
  Unplug();
  const std::string gone = "*** " + link.toStdString() + " went away ***";
  ASSERT_TRUE(WaitWithEvents([&] { return !w->ComPort->Connected() && CountLines(gone) > 0; }));
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Connect");
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
  EXPECT_EQ(CountLines(gone), 1);
  EXPECT_TRUE(w->ReturnWatch->Watching());
  // Waiting is a blocked inotify watch, not a loop.
  const double cpu = CpuSeconds();
  QTest::qWait(1000);
  EXPECT_LT(CpuSeconds() - cpu, 0.3);
  EXPECT_FALSE(w->ComPort->Connected());

  Plug();
  const std::string mark = "*** Reconnected to " + link.toStdString() + " ***";
  EXPECT_TRUE(WaitWithEvents([&] { return w->ComPort->Connected(); }));
  EXPECT_EQ(w->ui->Button1->text().remove(QLatin1Char('&')), "Disconnect");
  EXPECT_EQ(w->ComPort->BaudRate(), br115200);
  EXPECT_EQ(CountLines(mark), 1);
  EXPECT_FALSE(w->ReturnWatch->Watching());
  ASSERT_TRUE(pty->send("after"));
  EXPECT_TRUE(WaitWithEvents([&] { return Shows("after"); }));
  w->Timer3Timer(w);
  EXPECT_EQ(w->ui->Memo1->LastLine(), "after");  // a line of its own after the mark
  EXPECT_EQ(CountLines(mark), 1);
}

TEST_F(Reconnect, NothingIsReopenedWhenTheUserSaidNoOrChoseOtherwise) {
  Plug();
  w->ComPort->SetPort(link.toStdString());
  w->ComPort->SetConnected(true);
  w->ReconnectAction->trigger();  // unchecked
  Unplug();
  ASSERT_TRUE(WaitWithEvents([&] { return !w->ComPort->Connected() && !errors.isEmpty(); }));
  errors.clear();
  EXPECT_FALSE(w->ReturnWatch->Watching());
  Plug();
  QTest::qWait(500);
  EXPECT_FALSE(w->ComPort->Connected());

  // Unchecking while waiting ends the wait.
  w->ReconnectAction->trigger();
  w->ComPort->SetConnected(true);
  Unplug();
  ASSERT_TRUE(WaitWithEvents([&] { return !w->ComPort->Connected() && w->ReturnWatch->Watching(); }));
  w->ReconnectAction->trigger();
  EXPECT_FALSE(w->ReturnWatch->Watching());
  Plug();
  QTest::qWait(500);
  EXPECT_FALSE(w->ComPort->Connected());
}

// The adapter comes back behind its link with a node this user may not open
// yet; udev sets its permissions a moment later, which changes nothing in
// the link's folder: the change of the node's attributes brings the retry.
TEST_F(Reconnect, ANodeThatMayNotBeOpenedYetIsRetriedWhenItsPermissionsAreSet) {
  if (geteuid() != 0) GTEST_SKIP() << "hands the node to another user: needs root";
  ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                    QFile::ReadOther | QFile::ExeOther));
  Plug();
  w->ComPort->SetPort(link.toStdString());
  w->ComPort->SetConnected(true);
  Unplug();
  ASSERT_TRUE(WaitWithEvents([&] { return !w->ComPort->Connected() && w->ReturnWatch->Watching(); }));

  pty = std::make_unique<TestPty>();
  ASSERT_TRUE(pty->ok());
  ASSERT_EQ(::chmod(pty->slavePath.c_str(), 0600), 0);
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty->slavePath), link));
  // A thread started while this one is root keeps root's rights; it sets the
  // permissions when told, as udev does.
  std::promise<void> go;
  std::thread udev([&, ready = go.get_future()]() mutable {
    ready.wait();
    ::chmod(pty->slavePath.c_str(), 0666);
  });
  {
    OrdinaryUser user;  // this thread, where the window opens its port, is no longer root
    QTest::qWait(500);
    EXPECT_FALSE(w->ComPort->Connected());
    EXPECT_TRUE(w->ReturnWatch->Watching());
    go.set_value();
    udev.join();
    EXPECT_TRUE(WaitWithEvents([&] { return w->ComPort->Connected(); }));
  }
  EXPECT_EQ(CountLines("*** Reconnected to " + link.toStdString() + " ***"), 1);
  w->ComPort->SetConnected(false);
}

TEST(DeviceReturnWatch, SignalsOnceWhenTheNodeIsBackAndWatchesAGoneFolderParent) {
  EnsureGuiApp();
  QTemporaryDir dir;
  const QString path = dir.filePath("by-id/usb-adapter");
  DeviceReturnWatch watch;
  QStringList returned;
  QObject::connect(&watch, &DeviceReturnWatch::Returned, [&](const QString& p) { returned.append(p); });
  watch.Watch(path);  // its folder does not exist yet
  EXPECT_EQ(watch.WatchedFolders(), QStringList{dir.path()});
  ASSERT_TRUE(QDir(dir.path()).mkdir("by-id"));
  EXPECT_TRUE(WaitWithEvents([&] { return watch.WatchedFolders() == QStringList{dir.filePath("by-id")}; }));
  // A plain file is no device.
  QFile plain(dir.filePath("by-id/usb-adapter"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  QTest::qWait(300);
  EXPECT_TRUE(returned.isEmpty());
  QFile::remove(path);
  TestPty pty;
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty.slavePath), path));
  EXPECT_TRUE(WaitWithEvents([&] { return !returned.isEmpty(); }));
  QFile::remove(path);
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty.slavePath), path));
  QTest::qWait(300);
  EXPECT_EQ(returned, QStringList{path});
  EXPECT_FALSE(watch.Watching());
}

}  // namespace

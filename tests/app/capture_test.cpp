// SPDX-License-Identifier: MIT
// Logging received data to a file: every byte raw under a flood, in either
// display form, and a write error that stops the capture once.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <random>
#include <atomic>
#include <poll.h>
#include <thread>

#include "app_support.h"
#include "errordisplay.h"
#include "serivox.h"
#include "test_pty.h"
#include "ui_serivox.h"

namespace {

class Capture : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    w->show();
  }
  // Connects the window to the pty's slave.
  void Connect(const TestPty& pty) {
    ASSERT_TRUE(pty.ok());
    w->ComPort->SetPort(pty.slavePath);
    w->ComPort->SetConnected(true);
    ASSERT_TRUE(w->ComPort->Connected());
  }
  // Starts the capture through the menu item, as a user would.
  void StartCapture(const QString& path) {
    w->ChooseCaptureFile = [path] { return path; };
    w->LogAction->trigger();
  }

  QTemporaryDir dir;
};

TEST_F(Capture, FloodIsCapturedByteForByteInTextAndHexMode) {
  const QString path = dir.filePath("rx.bin");
  QFile old(path);
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("kept\n");  // the capture appends
  old.close();
  StartCapture(path);
  ASSERT_TRUE(w->Capture->Active());
  EXPECT_TRUE(w->LogAction->isChecked());
  EXPECT_TRUE(w->windowTitle().contains("rx.bin")) << w->windowTitle().toStdString();
  // Timestamps change the display, never the capture.
  w->TimestampAction->trigger();

  // 20 MiB of every byte value, written as fast as the pty takes them; half
  // way through, the display switches to hexadecimal.
  constexpr size_t kSize = 20u << 20;
  std::string sent(kSize, '\0');
  std::mt19937 random(7);
  for (char& c : sent) c = char(random());
  TestPty pty;
  Connect(pty);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    size_t done = 0;
    while (done < sent.size() && !stop) {
      pollfd p{pty.master, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::write(pty.master, sent.data() + done, std::min<size_t>(sent.size() - done, 65536));
      if (n > 0) done += size_t(n);
    }
  });
  const qint64 total = qint64(kSize) + 5;
  const bool complete = WaitWithEvents(
      [&] {
        const qint64 now = QFileInfo(path).size();
        if (now > total / 2) w->ui->CheckBox5->setChecked(true);
        return now >= total;
      },
      400000);
  stop = true;
  writer.join();
  EXPECT_TRUE(complete) << QFileInfo(path).size() << " of " << total;
  EXPECT_TRUE(w->ui->CheckBox5->isChecked());

  // The same item stops the capture; the title is the window's own again.
  w->LogAction->trigger();
  EXPECT_FALSE(w->Capture->Active());
  EXPECT_FALSE(w->LogAction->isChecked());
  EXPECT_EQ(w->windowTitle(), "Zelvar Serivox v2.5");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray got = file.readAll();
  ASSERT_EQ(got.size(), total);
  EXPECT_EQ(got.left(5), "kept\n");
  EXPECT_EQ(QCryptographicHash::hash(got.mid(5), QCryptographicHash::Sha256),
            QCryptographicHash::hash(QByteArray::fromStdString(sent), QCryptographicHash::Sha256));
}

// A full disk and a removed file: the capture stops, the item is unchecked,
// the title is restored and the error is shown once, however much follows.
TEST_F(Capture, WriteErrorStopsTheCaptureAndIsShownOnce) {
  TestPty pty;
  Connect(pty);
  const QString removed = dir.filePath("gone.bin");
  for (const QString& path : {QStringLiteral("/dev/full"), removed}) {
    errors.clear();
    StartCapture(path);
    ASSERT_TRUE(w->Capture->Active()) << path.toStdString();
    ASSERT_TRUE(pty.send("first"));
    if (path == removed) {
      ASSERT_TRUE(WaitWithEvents([&] { return QFileInfo(path).size() == 5; }));
      QFile::remove(path);
    }
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(pty.send(std::string(1000, 'x')));
      QTest::qWait(2 * RxCapture::kFlushMs);
    }
    EXPECT_TRUE(WaitWithEvents([&] { return !errors.isEmpty(); })) << path.toStdString();
    QTest::qWait(4 * RxCapture::kFlushMs);
    ASSERT_EQ(errors.size(), 1) << errors.join('|').toStdString();
    EXPECT_TRUE(errors.takeFirst().startsWith("Capture to " + path + " stopped: "));
    EXPECT_FALSE(w->Capture->Active());
    EXPECT_FALSE(w->LogAction->isChecked());
    EXPECT_EQ(w->windowTitle(), "Zelvar Serivox v2.5");
    EXPECT_FALSE(QFileInfo::exists(removed));
  }
}

}  // namespace

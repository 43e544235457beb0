// SPDX-License-Identifier: MIT
// Capture of received data to a file, and the window's menu item for it.
#include "capture.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "errordisplay.h"
#include "serivox.h"

RxCapture::RxCapture(QObject* parent) : QObject(parent) {
  timer_.setInterval(kFlushMs);
  connect(&timer_, &QTimer::timeout, this, [this] { Flush(); });
}

RxCapture::~RxCapture() {
  if (fd_ < 0) return;
  blockSignals(true);
  Flush();
  CloseFile();
}

void RxCapture::Start(const QString& path) {
  Stop();
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    const int error = errno;
    throw std::runtime_error("Cannot open " + name.toStdString() + ": " + std::strerror(error));
  }
  fd_ = fd;
  path_ = path;
  buffer_.clear();
  buffer_.reserve(kFlushBytes);
  timer_.start();
  emit ActiveChanged();
}

void RxCapture::Stop() {
  if (fd_ < 0) return;
  Flush();
  if (fd_ < 0) return;  // the last write failed and has been reported
  CloseFile();
  emit ActiveChanged();
}

void RxCapture::Flush() {
  if (fd_ < 0) return;
  size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n < 0 ? errno : ENOSPC);
      return;
    }
    done += size_t(n);
  }
  buffer_.clear();
  // Writing on into a removed file would lose everything silently.
  struct stat st {};
  if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0) Fail(ENOENT);
}

void RxCapture::Fail(int error) {
  const QString name = path_;
  buffer_.clear();
  CloseFile();
  emit ActiveChanged();
  emit Failed(QStringLiteral("Capture to %1 stopped: %2").arg(name, QString::fromLocal8Bit(std::strerror(error))));
}

void RxCapture::CloseFile() {
  timer_.stop();
  ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  buffer_.shrink_to_fit();
}

// --- The window's side --------------------------------------------------------

void TSerivox::LogToFileTriggered() {
  if (Capture->Active()) {
    Capture->Stop();
    return;
  }
  const QString path =
      ChooseCaptureFile ? ChooseCaptureFile()
                        : QFileDialog::getSaveFileName(this, QStringLiteral("Log received data to file"), QString(),
                                                       QString(), nullptr, QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) Capture->Start(path);
  LogAction->setChecked(Capture->Active());
}

void TSerivox::CaptureStateChanged() {
  const bool on = Capture->Active();
  LogAction->setChecked(on);
  if (on) {
    if (!captureTitle_) captureTitle_ = windowTitle();
    setWindowTitle(QStringLiteral("%1 - logging to %2").arg(*captureTitle_, QFileInfo(Capture->FileName()).fileName()));
  } else if (captureTitle_) {
    setWindowTitle(*captureTitle_);
    captureTitle_.reset();
  }
}

// SPDX-License-Identifier: MIT
// RxCapture: appends every received byte, raw, to a file.
//
// Bytes are gathered in memory and written by a timer (at most kFlushMs
// apart) or as soon as kFlushBytes have gathered, so the receive path costs
// an append and no system call. A failed write or a file that has been
// removed stops the capture and is reported once by Failed.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <string>

class RxCapture : public QObject {
  Q_OBJECT

 public:
  static constexpr int kFlushMs = 50;
  static constexpr size_t kFlushBytes = 256 * 1024;

  explicit RxCapture(QObject* parent = nullptr);
  ~RxCapture() override;  // writes what is gathered, then closes quietly

  bool Active() const { return fd_ >= 0; }
  const QString& FileName() const { return path_; }

  // Opens `path` for appending (created when missing). Throws
  // std::runtime_error with the reason when the file cannot be opened.
  void Start(const QString& path);
  // Writes what is gathered and closes the file. A failing last write is
  // reported by Failed.
  void Stop();
  void Write(const std::string& data) {
    if (fd_ < 0) return;
    buffer_.append(data);
    if (buffer_.size() >= kFlushBytes) Flush();
  }
  // Writes what is gathered now.
  void Flush();

 signals:
  // The capture has started, or ended by Stop or by an error.
  void ActiveChanged();
  // A write failed or the file went away; the capture has stopped.
  void Failed(const QString& message);

 private:
  void Fail(int error);
  void CloseFile();

  int fd_ = -1;
  QString path_;
  std::string buffer_;
  QTimer timer_;
};

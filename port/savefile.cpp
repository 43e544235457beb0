// SPDX-License-Identifier: MIT
#include "savefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <cerrno>

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Nothing is cut before the new bytes are all written, so a failure half-way
// leaves a file at least as long as before, which then gets its old bytes back.
bool RewriteInPlace(const std::string& path, const std::string& data, const std::string& old) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  bool ok = WriteAll(fd, data);
  if (ok && data.size() < old.size()) ok = ftruncate(fd, static_cast<off_t>(data.size())) == 0;
  if (ok) ok = fsync(fd) == 0;
  if (!ok && WriteAll(fd, old) && ftruncate(fd, static_cast<off_t>(old.size())) == 0) fsync(fd);
  if (close(fd) != 0) ok = false;
  return ok;
}

}  // namespace

bool SaveFileContent(const std::string& path, const std::string& data, const std::string& old) {
  const QString name = QFile::decodeName(QByteArray::fromStdString(path));
  // Unbuffered, so that a short write (a full disk, a size limit) is seen
  // here and the old file stays instead of being replaced by a cut one.
  QSaveFile file(name);
  if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    const auto size = static_cast<qint64>(data.size());
    // An uncommitted QSaveFile removes its temporary file.
    return file.write(data.data(), size) == size && file.commit();
  }
  // No temporary file could be made beside it: rewrite a writable file in place.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), W_OK) != 0) return false;
  return RewriteInPlace(path, data, old);
}

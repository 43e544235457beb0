// SPDX-License-Identifier: MIT
// Transmit: typed keys (Memo2KeyPress), the three macros, Send File.
//
// Every operation opens the port first when it is closed. Memo2 doubles as
// the log of the macros and of the file sender.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <array>
#include <cerrno>
#include <stdexcept>

#include "errordisplay.h"
#include "logline.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

constexpr int kFileBlock = 256;

// The run-time library's file error: its message names the reason.
class EInOutError : public std::runtime_error {
 public:
  explicit EInOutError(int err) : std::runtime_error(Message(err)), ErrorCode(err) {}
  const int ErrorCode;

 private:
  static std::string Message(int err) {
    switch (err) {
      case ENOENT:
      case ENOTDIR:
        return "File not found";
      case ENAMETOOLONG:
      case EINVAL:
      case ELOOP:
        return "Invalid filename";
      case EMFILE:
      case ENFILE:
        return "Too many open files";
      case EACCES:
      case EPERM:
      case EROFS:
      case EISDIR:
      case ETXTBSY:
        return "File access denied";
      default:
        return "I/O error " + std::to_string(err);
    }
  }
};

// Closes the descriptor when a transfer leaves, also by an error.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }
  // Closes now and reports a failed close.
  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw EInOutError(errno);
  }

 private:
  int fd_;
};

// Text that the window's 8-bit character set (Latin-1) cannot hold.
class ENotInCharacterSet : public std::runtime_error {
 public:
  explicit ENotInCharacterSet(const QString& text)
      : std::runtime_error(QStringLiteral("Cannot send \"%1\": the character is not in the Latin-1 character set")
                               .arg(text)
                               .toStdString()) {}
};

// The bytes of a text in the window's character set; refuses the whole text
// when one of its characters has no byte.
std::string Latin1Bytes(const QString& text) {
  std::string bytes;
  for (char32_t c : text.toUcs4()) {
    if (c > 0xFF) throw ENotInCharacterSet(QString::fromUcs4(&c, 1));
    bytes += char(c);
  }
  return bytes;
}

// The one byte a key press produces, -1 for keys that produce none, -2 for a
// character that has no byte in the character set.
int KeyByte(const QKeyEvent* key) {
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Tab:
      return 9;
    default:
      break;
  }
  const Qt::KeyboardModifiers mods = key->modifiers();
  if ((mods & Qt::ControlModifier) && !(mods & (Qt::AltModifier | Qt::MetaModifier)) &&
      key->key() >= Qt::Key_A && key->key() <= Qt::Key_Z)
    return key->key() - Qt::Key_A + 1;
  const QString text = key->text();
  if (text.isEmpty()) return -1;
  if (text.size() != 1) return -2;  // several characters (or a surrogate pair): no one byte
  const char16_t c = text.at(0).unicode();
  if (c < 32 || c == 127) return -1;
  if (c > 255) return -2;  // a character with no Latin-1 byte
  return c;
}

}  // namespace

bool TSerivox::eventFilter(QObject* watched, QEvent* event) {
  if (watched != ui->Memo2) return QWidget::eventFilter(watched, event);
  if (event->type() == QEvent::InputMethod) return Memo2InputMethod(static_cast<QInputMethodEvent*>(event));
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  // Tab is a byte to send here; Ctrl+Tab and Ctrl+Shift+Tab move the focus
  // out, as in Qt's text panes.
  if ((key->modifiers() & Qt::ControlModifier) && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)) {
    focusNextPrevChild(key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier));
    return true;
  }
  const int b = KeyByte(key);
  if (b == -1) return false;  // no character: the pane handles the key
  bool apply = false;
  Guarded([&] {
    // A character with no byte in the character set is refused, not applied.
    if (b == -2) throw ENotInCharacterSet(key->text());
    apply = Memo2KeyPress(ui->Memo2, char(b));
  });
  return !apply;
}

// Text an input method commits (dead keys, compose, IBus, Fcitx) goes out
// like typed keys, one byte per character. When it is refused or cannot be
// sent the pane does not show it, but the composition still ends.
bool TSerivox::Memo2InputMethod(QInputMethodEvent* event) {
  const QString commit = event->commitString();
  if (commit.isEmpty()) return false;
  bool apply = false;
  Guarded([&] {
    const std::string bytes = Latin1Bytes(commit);
    for (char key : bytes) Memo2KeyPress(ui->Memo2, key);
    apply = true;
  });
  if (apply) return false;
  QInputMethodEvent rest(event->preeditString(), event->attributes());
  QCoreApplication::sendEvent(ui->Memo2, &rest);
  return true;
}

// Enter sends the ending chosen in the receive pane's menu (CR unless changed).
bool TSerivox::Memo2KeyPress(QObject*, char Key) {
  if (!ComPort->Connected()) ComPort->SetConnected(true);
  const std::string bytes = Key == '\r' ? EnterBytes() : std::string(1, Key);
  if (ComPort->Connected()) {
    ComPort->SendText(bytes);
    if (EchoAction->isChecked()) EchoTyped(bytes);
  }
  for (char b : bytes) ForwardKeyToBridge(b);
  return true;
}

std::string TSerivox::LineEndingFromName(const std::string& name) {
  if (name == "CR") return "\r";
  if (name == "LF") return "\n";
  if (name == "CRLF") return "\r\n";
  if (name == "LFCR") return "\n\r";
  return {};
}

void TSerivox::SendMacro(int slot) {
  if (!ComPort->Connected()) ComPort->SetConnected(true);
  if (!ComPort->Connected()) return;
  QLineEdit* const edits[] = {ui->Edit1, ui->Edit2, ui->Edit3};
  QComboBox* const endings[] = {ui->ComboBox2, ui->ComboBox3, ui->ComboBox4};
  const int i = slot - 1;
  const std::string data =
      edits[i]->text().toLatin1().toStdString() + LineEndingFromName(endings[i]->currentText().toStdString());
  ComPort->SendText(data);
  const QString prefix = QStringLiteral("Macro %1:  #").arg(slot);
  for (unsigned char b : data) ui->Memo2->appendPlainText(ByteLogLine(prefix, b));
}

void TSerivox::Button2Click(QObject*) { SendMacro(1); }
void TSerivox::Button3Click(QObject*) { SendMacro(2); }
void TSerivox::Button4Click(QObject*) { SendMacro(3); }

void TSerivox::Button11Click(QObject*) {
  if (!ComPort->Connected()) ComPort->SetConnected(true);
  if (!ComPort->Connected()) return;
  const QString path = ChooseFile ? ChooseFile() : QFileDialog::getOpenFileName(this);
  if (path.isEmpty()) return;
  SendFile(path);
}

// The file is opened for reading only: sending needs nothing else, so any
// file the user may read goes out, also one the user may not write. Only
// regular files are sent: a directory is refused, and a device or pipe could
// send without end.
void TSerivox::SendFile(const QString& path) {
  const QString shown = path.isEmpty() ? path : QFileInfo(path).absoluteFilePath();
  ui->Memo2->appendPlainText(QStringLiteral("File: ") + shown);
  if (path.isEmpty()) throw EInOutError(EINVAL);
  const QByteArray name = QFile::encodeName(path);
  if (name.contains('\0')) throw EInOutError(EINVAL);
  struct stat st {};
  if (::stat(name.constData(), &st) != 0) throw EInOutError(errno);
  if (!S_ISREG(st.st_mode)) throw EInOutError(EACCES);
  int fd;
  do {
    fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw EInOutError(errno);
  FileHandle file(fd);
  std::array<char, kFileBlock> block;
  for (;;) {
    const ssize_t n = ::read(file.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(errno);
    }
    if (n == 0) break;
    ComPort->SendBuffer(block.data(), int32_t(n));
  }
  file.Close();
  ui->Memo2->appendPlainText(QStringLiteral("Done."));
}

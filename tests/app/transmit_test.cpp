// Transmit: typed keys, the macros with their log, and Send File.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QThread>

#include "app_support.h"
#include "errordisplay.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {



TEST(LineEnding, ExactNamesOnly) {
  EXPECT_EQ(TSerivox::LineEndingFromName("none"), "");
  EXPECT_EQ(TSerivox::LineEndingFromName("CR"), "\r");
  EXPECT_EQ(TSerivox::LineEndingFromName("LF"), "\n");
  EXPECT_EQ(TSerivox::LineEndingFromName("CRLF"), "\r\n");
  EXPECT_EQ(TSerivox::LineEndingFromName("LFCR"), "\n\r");
  EXPECT_EQ(TSerivox::LineEndingFromName("crlf"), "");
  EXPECT_EQ(TSerivox::LineEndingFromName("CR "), "");
  EXPECT_EQ(TSerivox::LineEndingFromName(""), "");
}

// A window on NULLMODEM-A; the test reads what went out at NULLMODEM-B.
class Transmit : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    SetErrorSink([this](const QString& m) { errors.append(m); });
    w = new TSerivox;
    w->ComPort->SetPort("NULLMODEM-A");
    far.SetPort("NULLMODEM-B");
    far.SetBaudRate(w->ComPort->BaudRate());
    far.SetStopBits(w->ComPort->StopBits());
    far.SetEvents(TComEvents{});
    far.SetConnected(true);
    link.OnTxBuf = [this](QObject*, const uint8_t*, int32_t count) { blocks.push_back(count); };
    w->ComPort->RegisterLink(&link);
  }
  void TearDown() override {
    w->ComPort->SetConnected(false);
    w->ComPort->UnregisterLink(&link);
    far.SetConnected(false);
    delete w;
    SetErrorSink({});
  }
  // Everything that reaches the far end until `count` bytes have come.
  std::string Received(size_t count) {
    std::string all;
    WaitWithEvents([&] {
      std::string chunk;
      far.ReceiveText(chunk, 4096);
      all += chunk;
      return all.size() >= count;
    });
    return all;
  }
  // Bytes that arrive within a short while (for "nothing was sent").
  std::string Stray() {
    QThread::msleep(100);
    std::string chunk;
    far.ReceiveText(chunk, 4096);
    return chunk;
  }
  QStringList Log() const {
    const QString text = w->ui->Memo2->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
  }
  void Key(int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(w->ui->Memo2, &press);
  }

  TSerivox* w = nullptr;
  TComPort far;
  TComLink link;
  std::vector<int32_t> blocks;
  QStringList errors;
};

TEST_F(Transmit, MacroSendsTextAndEndingAndLogsEachByte) {
  w->ui->Edit1->setText("AT");
  w->ui->ComboBox2->setCurrentText("CR");
  w->Button2Click(w->ui->Button2);
  EXPECT_TRUE(w->ComPort->Connected());  // opened by the macro
  EXPECT_EQ(Received(3), "AT\r");
  // The raw CR is logged as its control picture, keeping the log one line per byte.
  EXPECT_EQ(Log(), (QStringList{"Macro 1:  #41  A", "Macro 1:  #54  T", QString("Macro 1:  #0D  ") + QChar(0x240D)}));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(Transmit, EmptyMacroWithCrLfSendsTheEndingOnly) {
  w->ui->ComboBox4->setCurrentText("CRLF");
  w->Button4Click(w->ui->Button4);
  EXPECT_EQ(Received(2), "\r\n");
  EXPECT_EQ(Log(), (QStringList{QString("Macro 3:  #0D  ") + QChar(0x240D), QString("Macro 3:  #0A  ") + QChar(0x240A)}));
}

TEST_F(Transmit, EmptyMacroWithoutEndingSendsAndLogsNothing) {
  w->ui->ComboBox3->setCurrentText("none");
  w->Button3Click(w->ui->Button3);
  EXPECT_TRUE(w->ComPort->Connected());
  EXPECT_EQ(Stray(), "");
  EXPECT_TRUE(Log().isEmpty());
  EXPECT_TRUE(blocks.empty());
}

TEST_F(Transmit, LowerCaseEndingSendsTheTextAlone) {
  w->ui->Edit2->setText(QString("x") + QChar(0xE9));  // e acute goes out as one Latin-1 byte
  w->ui->ComboBox3->setCurrentText("crlf");
  w->Button3Click(w->ui->Button3);
  EXPECT_EQ(Received(2), "x\xe9");
  EXPECT_EQ(Stray(), "");
  EXPECT_EQ(Log(), (QStringList{"Macro 2:  #78  x", QString("Macro 2:  #E9  ") + QChar(0xE9)}));
}

TEST_F(Transmit, MacroOnAPortThatCannotOpenSendsNothing) {
  w->ComPort->SetPort("NO-SUCH-PORT-XYZ");
  w->ui->Edit1->setText("AT");
  EXPECT_ANY_THROW(w->Button2Click(w->ui->Button2));
  EXPECT_TRUE(Log().isEmpty());
}

TEST_F(Transmit, TypedKeysGoOutAsOneByteEach) {
  Key(Qt::Key_A, "a");
  Key(Qt::Key_Return, "\r");
  Key(Qt::Key_B, "\x02", Qt::ControlModifier);
  Key(Qt::Key_Escape, "\x1b");
  EXPECT_EQ(Received(4), "a\r\x02\x1b");
  // The pane applied the keys: the letter stays and Enter broke the line.
  EXPECT_EQ(w->ui->Memo2->toPlainText(), "a\n");
  Key(Qt::Key_Backspace, "\b");
  EXPECT_EQ(Received(1), "\b");
  EXPECT_EQ(w->ui->Memo2->toPlainText(), "a");
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(Transmit, KeysWithoutCharacterPassUntouched) {
  w->ui->Memo2->setPlainText("ab");
  w->ui->Memo2->moveCursor(QTextCursor::End);
  Key(Qt::Key_Shift, "");
  Key(Qt::Key_Left, "");
  EXPECT_FALSE(w->ComPort->Connected());  // nothing to send, so nothing opened
  EXPECT_EQ(w->ui->Memo2->toPlainText(), "ab");
  EXPECT_EQ(w->ui->Memo2->textCursor().position(), 1);  // the pane moved its cursor
}

TEST_F(Transmit, KeyIsNotAppliedWhenThePortCannotOpen) {
  w->ComPort->SetPort("NO-SUCH-PORT-XYZ");
  Key(Qt::Key_Q, "q");
  EXPECT_EQ(errors.size(), 1);
  EXPECT_TRUE(w->ui->Memo2->toPlainText().isEmpty());
}

class SendFile : public Transmit {
 protected:
  QString Write(const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    return f.fileName();
  }
  QTemporaryDir dir;
};

TEST_F(SendFile, GoesOutInBlocksOf256) {
  QByteArray bytes(600, '\0');
  for (int i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
  const QString path = Write("data.bin", bytes);
  w->ChooseFile = [&] { return path; };
  w->Button11Click(w->ui->Button11);
  EXPECT_EQ(blocks, (std::vector<int32_t>{256, 256, 88}));
  EXPECT_EQ(Received(600), bytes.toStdString());
  EXPECT_EQ(Log(), (QStringList{"File: " + path, "Done."}));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(SendFile, EmptyFileSendsNothing) {
  const QString path = Write("empty.bin", {});
  w->ChooseFile = [&] { return path; };
  w->Button11Click(w->ui->Button11);
  EXPECT_TRUE(blocks.empty());
  EXPECT_EQ(Log(), (QStringList{"File: " + path, "Done."}));
}

TEST_F(SendFile, CancelledDialogDoesNothing) {
  w->ChooseFile = [] { return QString(); };
  w->Button11Click(w->ui->Button11);
  EXPECT_TRUE(Log().isEmpty());
}

// Tests run as root, which may write any file: the refusal must not depend on it.
TEST_F(SendFile, ReadOnlyFileIsRefused) {
  const QString path = Write("ro.bin", "abc");
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0444), 0);
  w->ComPort->SetConnected(true);
  try {
    w->SendFile(path);
    FAIL() << "a read-only file was sent";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "File access denied");
  }
  EXPECT_TRUE(blocks.empty());
  EXPECT_EQ(Log(), (QStringList{"File: " + path}));
}

TEST_F(SendFile, OpenErrorsNameTheReason) {
  w->ComPort->SetConnected(true);
  auto message = [&](const QString& path) -> std::string {
    try {
      w->SendFile(path);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "sent";
  };
  EXPECT_EQ(message(dir.filePath("missing.bin")), "File not found");
  EXPECT_EQ(message(dir.path()), "File access denied");  // a directory
  EXPECT_EQ(message(dir.filePath(QString(5000, 'n'))), "Invalid filename");
  EXPECT_TRUE(blocks.empty());
  EXPECT_FALSE(Log().contains("Done."));
}

// Through the handler the error reaches the error display, with its full stop.
TEST_F(SendFile, ErrorReachesTheDisplay) {
  const QString path = dir.filePath("missing.bin");
  w->ChooseFile = [&] { return path; };
  Guarded([&] { w->Button11Click(w->ui->Button11); });
  EXPECT_EQ(errors, QStringList{"File not found."});
}

}  // namespace

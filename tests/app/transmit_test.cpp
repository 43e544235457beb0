// SPDX-License-Identifier: MIT
// Transmit: typed keys, the macros with their log, and Send File.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QInputMethodEvent>
#include <QTextBlock>
#include <fcntl.h>
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

// The log's CR and LF are two different marks, each a filled box with its
// abbreviation, as wide as its letters, drawn whatever fonts are installed.
TEST_F(Transmit, CrAndLfAreLoggedAsTwoDifferentLegibleMarks) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  w->ui->ComboBox4->setCurrentText("CRLF");
  w->Button4Click(w->ui->Button4);
  EXPECT_EQ(Received(2), "\r\n");
  TypingPane* pane = w->ui->Memo2;
  pane->clearFocus();
  const QImage view = pane->viewport()->grab().toImage();
  const qreal cell = QFontMetricsF(pane->font()).horizontalAdvance(QLatin1Char('M'));
  auto mark = [&](int lineNumber) {
    const QTextBlock block = pane->document()->findBlockByNumber(lineNumber);
    QTextCursor at(block);
    at.setPosition(block.position() + block.length() - 2);
    const QRect left = pane->cursorRect(at);
    at.setPosition(at.position() + 1);
    const QRect right = pane->cursorRect(at);
    return view.copy(QRect(left.topLeft(), QPoint(right.left() - 1, left.bottom())));
  };
  const QImage cr = mark(0), lf = mark(1);
  for (const QImage& m : {cr, lf}) {
    EXPECT_GE(m.width(), int(2 * cell) - 1);
    int dark = 0, light = 0;
    for (int y = 0; y < m.height(); ++y)
      for (int x = 0; x < m.width(); ++x) (qGray(m.pixel(x, y)) < 128 ? dark : light)++;
    EXPECT_GT(dark, m.width() * m.height() / 3) << "an inverted box";
    EXPECT_GT(light, 4) << "with letters in it";
  }
  EXPECT_NE(cr, lf);
}

// Input-method text goes out as Latin-1 bytes like typed keys; a character
// with no Latin-1 byte is refused with a message, neither sent nor shown.
TEST_F(Transmit, InputMethodTextIsSentInTheCharacterSet) {
  QInputMethodEvent accent;
  accent.setCommitString(QString(QChar(0xE9)));
  QCoreApplication::sendEvent(w->ui->Memo2, &accent);
  EXPECT_EQ(Received(1), "\xe9");
  EXPECT_EQ(w->ui->Memo2->toPlainText(), QString(QChar(0xE9)));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();

  QInputMethodEvent cyrillic;
  cyrillic.setCommitString(QString::fromUtf8("a\xd0\xb6"));
  QCoreApplication::sendEvent(w->ui->Memo2, &cyrillic);
  Key(0, QString::fromUtf8("\xd0\xb6"));
  ASSERT_EQ(errors.size(), 2);
  for (const QString& error : errors) EXPECT_TRUE(error.contains(QString::fromUtf8("\xd0\xb6"))) << error.toStdString();
  EXPECT_EQ(Stray(), "");
  EXPECT_EQ(w->ui->Memo2->toPlainText(), QString(QChar(0xE9)));
}

// A line ending typed in lower case stays as typed: stored and sending no ending.
TEST_F(Transmit, TypedLowerCaseEndingIsKept) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  QComboBox* ending = w->ui->ComboBox2;
  ending->setFocus();
  ending->lineEdit()->selectAll();
  QTest::keyClicks(ending->lineEdit(), "crlf");
  QTest::keyClick(ending->lineEdit(), Qt::Key_Return);
  w->ui->Edit1->setFocus();
  EXPECT_EQ(ending->currentText(), "crlf");
  EXPECT_EQ(ending->count(), 5);
  w->ui->Edit1->setText("AT");
  w->Button2Click(w->ui->Button2);
  EXPECT_EQ(Received(2), "AT");
  EXPECT_EQ(Stray(), "");
  w->SaveConfig();
  QFile ini(QString::fromStdString(TSerivox::ConfigPath()));
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_TRUE(ini.readAll().contains("Makro1End=crlf\n"));
  ini.remove();
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

// Sending needs read access only: a file the user may read but not write
// goes out, one the user may not read is refused. The open runs as an
// ordinary user, since root may open any file.
TEST_F(SendFile, FileTheUserMayOnlyReadIsSent) {
  const QString readable = Write("ro.bin", "abc");
  const QString unreadable = Write("wo.bin", "xyz");
  ASSERT_EQ(::chmod(QFile::encodeName(readable).constData(), 0444), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(unreadable).constData(), 0200), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
  w->ComPort->SetConnected(true);
  {
    OrdinaryUser user;
    // The permissions hold for this user: no writing the one, no reading the other.
    ASSERT_EQ(::open(QFile::encodeName(readable).constData(), O_RDWR), -1);
    ASSERT_EQ(errno, EACCES);
    ASSERT_EQ(::open(QFile::encodeName(unreadable).constData(), O_RDONLY), -1);
    w->SendFile(readable);
    try {
      w->SendFile(unreadable);
      ADD_FAILURE() << "a file the user may not read was sent";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "File access denied");
    }
  }
  EXPECT_EQ(Received(3), "abc");
  EXPECT_EQ(blocks, (std::vector<int32_t>{3}));
  EXPECT_EQ(Log(), (QStringList{"File: " + readable, "Done.", "File: " + unreadable}));
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

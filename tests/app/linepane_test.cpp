// SPDX-License-Identifier: MIT
// The receive pane: its line model, its bound, following the end, keyboard
// scrolling, double click and painting of control bytes.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QThread>

#include "app_support.h"
#include "linepane.h"

namespace {


void Settle() {
  QTest::qWait(LinePane::kRepaintDelayMs * 4);
}

class Pane : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    pane.resize(300, 200);
  }
  void Key(int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&pane, &press);
  }
  // Pixels in the viewport that are not background.
  int Ink() {
    const QImage image = pane.viewport()->grab().toImage();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (qGray(image.pixel(x, y)) > 128) ++ink;
    return ink;
  }
  struct AppReady {
    AppReady() { EnsureGuiApp(); }
  } appReady_;  // before the pane: widgets need the application
  LinePane pane;
};

TEST_F(Pane, LineModel) {
  EXPECT_EQ(pane.LineCount(), 1);  // one empty line at start
  EXPECT_EQ(pane.LastLine(), "");
  pane.ReplaceLastLine("first");
  pane.AppendLine(std::string("a\r\nb", 4));
  EXPECT_EQ(pane.LineCount(), 2);  // raw CR LF stays inside its line
  EXPECT_EQ(pane.Line(0), "first");
  EXPECT_EQ(pane.LastLine(), std::string("a\r\nb", 4));
  EXPECT_EQ(pane.Line(2), "");
  EXPECT_EQ(pane.Line(-1), "");

  // A tail is shown in place of the last line, without changing the model,
  // until the next write of a line.
  pane.SetTail("a\r\nbc");
  EXPECT_EQ(pane.Line(1), "a\r\nbc");
  EXPECT_EQ(pane.LastLine(), std::string("a\r\nb", 4));
  EXPECT_EQ(pane.LineCount(), 2);
  pane.ReplaceLastLine("y");
  EXPECT_EQ(pane.Line(1), "y");
  pane.SetTail("yz");
  pane.AppendLine("new");
  EXPECT_EQ(pane.Line(1), "y");
  EXPECT_EQ(pane.Line(2), "new");
  pane.SetTail("new!");
  pane.SelectAll();
  EXPECT_EQ(pane.SelectedText(), "first\ny\nnew!");  // a copy takes what is shown

  pane.Clear();
  EXPECT_EQ(pane.LineCount(), 0);
  EXPECT_EQ(pane.LastLine(), "");  // an empty pane reads as one empty last line
  pane.SetTail("t");               // ... shows no tail
  EXPECT_EQ(pane.LineCount(), 0);
  pane.ReplaceLastLine("x");       // ... and replacing it creates the line
  EXPECT_EQ(pane.LineCount(), 1);
  EXPECT_EQ(pane.Line(0), "x");
}

TEST_F(Pane, KeepsAtMostMaxLines) {
  for (int i = 0; i < LinePane::MaxLines + 10; ++i) pane.AppendLine(std::to_string(i));
  EXPECT_EQ(pane.LineCount(), LinePane::MaxLines);
  // The initial empty line and the first ten appended ones are gone.
  EXPECT_EQ(pane.Line(0), "10");
  EXPECT_EQ(pane.LastLine(), std::to_string(LinePane::MaxLines + 9));
}

TEST_F(Pane, FollowsTheEndOnlyWhileAtTheBottom) {
  pane.show();
  for (int i = 0; i < 500; ++i) pane.AppendLine("line " + std::to_string(i));
  Settle();
  QScrollBar* v = pane.verticalScrollBar();
  ASSERT_GT(v->maximum(), 0);
  EXPECT_EQ(v->value(), v->maximum());

  Key(Qt::Key_Home);
  EXPECT_EQ(v->value(), 0);
  pane.AppendLine("more");
  Settle();
  EXPECT_EQ(v->value(), 0);  // the operator is reading older lines

  Key(Qt::Key_PageDown);
  EXPECT_GT(v->value(), 0);
  Key(Qt::Key_End);
  EXPECT_EQ(v->value(), v->maximum());
  pane.AppendLine("again");
  Settle();
  EXPECT_EQ(v->value(), v->maximum());
}

TEST_F(Pane, LongLinesScrollSideways) {
  pane.show();
  pane.ReplaceLastLine(std::string(2000, 'w'));
  Settle();
  QScrollBar* h = pane.horizontalScrollBar();
  EXPECT_GT(h->maximum(), 0);
  const int before = Ink();
  h->setValue(h->maximum());
  Settle();
  EXPECT_GT(before, 0);
  EXPECT_GT(Ink(), 0);  // the end of the line is painted too
}

TEST_F(Pane, DoubleClickIsSignalled) {
  int clicks = 0;
  QObject::connect(&pane, &LinePane::DoubleClicked, [&] { ++clicks; });
  QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(pane.viewport(), &click);
  EXPECT_EQ(clicks, 1);
}

// Control bytes are small inverted marks, one per byte and each its own
// (CR and LF differ, C1 bytes too); the CR and LF that end a text line are not
// drawn, while a hexadecimal line shows its raw byte.
TEST_F(Pane, ControlBytesAreMarksAndLineEndsStayInvisible) {
  pane.setFocusPolicy(Qt::NoFocus);  // no keyboard bar in the pictures
  pane.clearFocus();
  pane.show();
  auto picture = [&](const std::string& line) {
    pane.Clear();
    pane.AppendLine(line);
    Settle();
    return pane.viewport()->grab().toImage();
  };
  const QImage empty = picture("");
  EXPECT_EQ(Ink(), 0);
  EXPECT_EQ(picture("AB"), picture("AB\r\n"));
  EXPECT_EQ(picture("AB"), picture("AB\r\n\n\r"));
  EXPECT_NE(picture("A\rB"), picture("A\nB"));
  EXPECT_NE(picture("A\x85" "B"), picture("A\x86" "B"));
  EXPECT_NE(picture("A\x85" "B"), picture("AB"));
  EXPECT_NE(picture("#0D  \r"), picture("#0D  "));
  // A mark is a filled box with dark letters, two cells wide for CR.
  const qreal cell = QFontMetricsF(pane.font()).horizontalAdvance(QLatin1Char('M'));
  const int lh = pane.fontMetrics().lineSpacing();
  picture("\r ");
  EXPECT_GT(Ink(), int(2 * cell * lh * 0.4));
  EXPECT_LT(Ink(), int(2 * cell * lh));
  EXPECT_NE(picture(std::string("\x00", 1) + "x"), empty);
}

// Mouse and keyboard select; Ctrl+C copies what the pane shows; the lines in
// view are text to assistive technology.
TEST_F(Pane, SelectsCopiesAndTellsAssistiveTechnology) {
  pane.show();
  pane.ReplaceLastLine("hello\r\n");
  pane.AppendLine("wor\x1b" "ld");
  Settle();
  QWidget* view = pane.viewport();
  const int lh = pane.fontMetrics().lineSpacing();
  // From the first line's start to the second line's start.
  QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(1, lh / 2));
  QTest::mouseMove(view, QPoint(1, lh + lh / 2));
  QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(1, lh + lh / 2));
  ASSERT_TRUE(pane.HasSelection());
  EXPECT_EQ(pane.SelectedText(), "hello\n");
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "hello\n");

  // Shift+Right extends the selection into the next line, ESC shows as its picture.
  for (int i = 0; i < 4; ++i) QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(pane.SelectedText(), QString("hello\nwor") + QChar(0x241B));
  QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(pane.SelectedText(), QString("hello\nwor") + QChar(0x241B) + "ld");

  QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(&pane);
  ASSERT_NE(a11y, nullptr);
  QAccessibleTextInterface* text = a11y->textInterface();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->text(0, text->characterCount()), QString("hello\nwor") + QChar(0x241B) + "ld");
  EXPECT_TRUE(a11y->state().readOnly);
  EXPECT_EQ(a11y->text(QAccessible::Name), "Received data");
  int start = -1, end = -1;
  text->selection(0, &start, &end);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, text->characterCount());
}

}  // namespace

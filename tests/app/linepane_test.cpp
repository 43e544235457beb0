// The receive pane: its line model, its bound, following the end, keyboard
// scrolling, double click and painting of control bytes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
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

  pane.Clear();
  EXPECT_EQ(pane.LineCount(), 0);
  EXPECT_EQ(pane.LastLine(), "");  // an empty pane reads as one empty last line
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

TEST_F(Pane, ControlBytesArePaintedVisibly) {
  pane.show();
  Settle();
  EXPECT_EQ(Ink(), 0);  // empty: all background
  pane.ReplaceLastLine(std::string("\r\n\x00\x7f", 4));
  Settle();
  EXPECT_GT(Ink(), 0);
}

}  // namespace

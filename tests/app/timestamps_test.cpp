// SPDX-License-Identifier: MIT
// Timestamps on receive lines: after CR/LF, after an idle gap, on every hex
// line; display only; their settings in [Serivox] once changed.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QFile>

#include "app_support.h"
#include "errordisplay.h"
#include "inifile.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

using Lines = std::vector<std::string>;

constexpr int64_t At(int h, int m, int s, int ms) { return ((h * 60 + m) * 60 + s) * 1000 + ms; }

class Timestamps : public WindowFixture {
 protected:
  void SetUp() override {
    QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
    WindowFixture::SetUp();
  }
  void TearDown() override {
    WindowFixture::TearDown();
    QFile::remove(QString::fromStdString(TSerivox::ConfigPath()));
  }
  // One received chunk at monotonic time `mono` ms and local time `wall`.
  void Chunk(const std::string& bytes, int64_t mono, int64_t wall) {
    w->Stamps.BeginChunk(mono, wall);
    w->DisplayRxChunk(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    w->Timer3Timer(w);
  }
  Lines PaneLines() const {
    Lines lines;
    for (int i = 0; i < w->ui->Memo1->LineCount(); ++i) lines.push_back(w->ui->Memo1->Line(i));
    return lines;
  }
};

TEST_F(Timestamps, TextLinesAreStampedAfterCrLfAndAfterAnIdleGap) {
  w->TimestampAction->trigger();
  ASSERT_TRUE(w->TimestampAction->isChecked());
  Chunk("AB\r\nCD", 1000, At(12, 34, 56, 789));
  EXPECT_EQ(PaneLines(), (Lines{"12:34:56.789 AB\r\n", "12:34:56.789 CD"}));
  // Within the gap (default 100 ms) the line goes on.
  Chunk("EF", 1100, At(12, 34, 56, 889));
  EXPECT_EQ(PaneLines().back(), "12:34:56.789 CDEF");
  // More than the gap: a new line, with the time of its first byte.
  Chunk("GH", 1201, At(12, 34, 57, 0));
  EXPECT_EQ(PaneLines(), (Lines{"12:34:56.789 AB\r\n", "12:34:56.789 CDEF", "12:34:57.000 GH"}));
  // A longer gap chosen by the user; a CR/LF after a gap still ends its line.
  w->ChooseTimestampGap = [](bool* ok) {
    *ok = true;
    return 500;
  };
  w->GapAction->trigger();
  EXPECT_EQ(w->Stamps.GapMs, 500);
  Chunk("IJ", 1600, At(12, 34, 57, 399));
  Chunk("\r\n", 9000, At(12, 34, 59, 0));
  Chunk("K", 9001, At(23, 59, 59, 999));
  EXPECT_EQ(PaneLines(), (Lines{"12:34:56.789 AB\r\n", "12:34:56.789 CDEF", "12:34:57.000 GHIJ\r\n", "23:59:59.999 K"}));
}

TEST_F(Timestamps, HexLinesAreStampedAndOffMeansTheDisplayAsBefore) {
  w->TimestampAction->trigger();
  w->ui->CheckBox5->setChecked(true);
  Chunk("A\r", 50, At(0, 0, 0, 5));
  EXPECT_EQ(PaneLines(), (Lines{"", "00:00:00.005 #41  A", "00:00:00.005 #0D  \r"}));
  // Off: no times, and a gap in the stream breaks no line.
  w->TimestampAction->trigger();
  w->ui->CheckBox5->setChecked(false);
  Chunk("LM", 100000, At(1, 0, 0, 0));
  Chunk("NO", 200000, At(2, 0, 0, 0));
  EXPECT_EQ(PaneLines().back(), "LMNO");
  EXPECT_EQ(PaneLines().size(), 4u);
}

TEST_F(Timestamps, SettingsAreWrittenToTheirOwnSectionOnlyOnceChanged) {
  const std::string path = TSerivox::ConfigPath();
  TIniFile(path).WriteString("Serivox", "TimestampGap", "250");
  w->LoadConfig();
  EXPECT_EQ(w->Stamps.GapMs, 250);
  EXPECT_FALSE(w->TimestampAction->isChecked());
  EXPECT_TRUE(w->ReconnectAction->isChecked());  // on by default
  w->SaveConfig();
  EXPECT_EQ(TIniFile(path).ReadString("Serivox", "ShowTimestamps", "<none>"), "<none>");

  w->TimestampAction->trigger();
  w->ReconnectAction->trigger();
  w->SaveConfig();
  delete w;
  w = new TSerivox;
  w->LoadConfig();
  EXPECT_TRUE(w->TimestampAction->isChecked());
  EXPECT_TRUE(w->Stamps.On);
  EXPECT_EQ(w->Stamps.GapMs, 250);
  EXPECT_FALSE(w->ReconnectAction->isChecked());
}

}  // namespace

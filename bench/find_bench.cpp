// SPDX-License-Identifier: MIT
// Find in a full receive pane: 100 000 lines of 80 bytes, the match on the
// last line (the whole pane scanned) and no match (once round the pane),
// with and without letter case. The goal is under 100 ms per search.
#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_util.h"
#include "linepane.h"

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  LinePane pane;
  pane.resize(600, 400);
  pane.show();
  std::string line(80, 'x');
  for (int i = 0; i < LinePane::MaxLines; ++i) {
    const std::string number = std::to_string(i);
    std::copy(number.begin(), number.end(), line.begin());
    pane.AppendLine(i == LinePane::MaxLines - 1 ? line + " needle" : line);
  }
  QApplication::processEvents();
  struct Case {
    const char* what;
    const char* text;
    bool matchCase;
  } cases[] = {{"last line, match case", "needle", true},
               {"last line, any case", "NEEDLE", false},
               {"no match, match case", "absent", true},
               {"no match, any case", "ABSENT", false}};
  std::printf("find over %d lines of 80 bytes (5 runs each, worst shown)\n", LinePane::MaxLines);
  for (const Case& c : cases) {
    double worst = 0;
    for (int run = 0; run < 5; ++run) {
      pane.Select({0, 0}, {0, 0});
      const int64_t start = bench::NowNs();
      const bool found = pane.Find(QString::fromLatin1(c.text), false, c.matchCase);
      worst = std::max(worst, double(bench::NowNs() - start) / 1e6);
      if (found != (c.text[0] != 'a' && c.text[0] != 'A')) std::printf("  unexpected result for %s\n", c.what);
    }
    std::printf("  %-24s %8.2f ms%s\n", c.what, worst, worst < 100 ? "" : "  (over the 100 ms goal)");
  }
  return 0;
}

// SPDX-License-Identifier: MIT
// The benchmark probe: an event filter on the receive pane's viewport. The
// pane itself knows nothing of it, so without SERIVOX_PROBE it costs nothing.
#include "probe.h"

#include <time.h>

#include <QScrollBar>
#include <QTimer>
#include <cstdio>

#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

long long MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The last bytes of a line, printable ASCII as is and the rest as \xNN.
std::string Tail(const std::string& line, size_t count) {
  std::string out;
  for (size_t i = line.size() > count ? line.size() - count : 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c > 32 && c < 127 && c != '\\') {
      out += char(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

class PaneProbe : public QObject {
 public:
  explicit PaneProbe(LinePane* pane) : QObject(pane), pane_(pane) { pane->viewport()->installEventFilter(this); }

  bool eventFilter(QObject*, QEvent* e) override {
    // Reported on the next pass, after the painted frame has been handed to
    // the window system.
    if (e->type() == QEvent::Paint && !reportPending_) {
      reportPending_ = true;
      QTimer::singleShot(0, this, [this] { Report(); });
    }
    return false;
  }

 private:
  void Report() {
    reportPending_ = false;
    const int lines = pane_->LineCount();
    const int first = pane_->verticalScrollBar()->value();
    const int rows = pane_->viewport()->height() / std::max(1, pane_->fontMetrics().lineSpacing()) + 1;
    const bool lastInView = lines > 0 && lines - 1 >= first && lines - 1 <= first + rows;
    std::fprintf(stderr, "probe painted %lld %d %d %s\n", MonotonicNs(), lines, lastInView ? 1 : 0,
                 Tail(pane_->Line(lines - 1), 24).c_str());
    std::fflush(stderr);
  }

  LinePane* pane_;
  bool reportPending_ = false;
};

}  // namespace

void InstallProbeFromEnvironment(TSerivox* window) {
  if (!qEnvironmentVariableIsSet("SERIVOX_PROBE")) return;
  new PaneProbe(window->ui->Memo1);
  std::fprintf(stderr, "probe shown %lld\n", MonotonicNs());
  std::fflush(stderr);
}

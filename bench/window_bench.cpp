// SPDX-License-Identifier: MIT
// window_bench: the main window under load, over pseudo-terminal pairs, each
// figure against a plain system-call loop measured in the same run.
//
//   QT_QPA_PLATFORM=offscreen window_bench [--text-mib N] [--hex-mib N] [--keys N] [--file-mib N]
//                                          [--only drain|keys|file|diagnose]
//
// The window's port opens the slave side by its path; the benchmark drives the
// master. Every loop is bounded by a byte or sample count and by a deadline.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

using bench::DrainFd;
using bench::kMiB;
using bench::NowNs;
using bench::Pty;
using bench::Stats;
using bench::Summarise;

constexpr int64_t kRunDeadlineNs = 180'000'000'000;  // no single run lasts longer
constexpr int kLineChars = 80;                        // visible columns per line, then CR LF

double ClockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double ProcessCpu() { return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }
double ThreadCpu() { return ClockSeconds(CLOCK_THREAD_CPUTIME_ID); }

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Runs the event loop for `ms` milliseconds.
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// 80 visible characters and CR LF per line, as many whole lines as fit in 64 KiB.
std::vector<char> TextBlock() {
  std::vector<char> b;
  const size_t perLine = kLineChars + 2;
  for (size_t line = 0; (line + 1) * perLine <= 64 * 1024; ++line) {
    for (int c = 0; c < kLineChars; ++c) b.push_back(char(' ' + 1 + (line + size_t(c)) % 94));
    b.push_back('\r');
    b.push_back('\n');
  }
  return b;
}

// Writes `total` bytes of text lines; returns the bytes written and the
// thread's CPU seconds.
size_t FeedText(int fd, size_t total, int64_t deadline, double& cpu) {
  const double cpu0 = ThreadCpu();
  // Never blocks in write(): a reader that stopped cannot hold the writer past its deadline.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::vector<char> block = TextBlock();
  size_t put = 0, off = 0;
  while (put < total && NowNs() < deadline) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const size_t want = std::min(block.size() - off, total - put);
    const ssize_t n = write(fd, block.data() + off, want);
    if (n > 0) {
      put += size_t(n);
      off = (off + size_t(n)) % block.size();
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  cpu = ThreadCpu() - cpu0;
  return put;
}

// Counts the paint events of one widget.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* target) : target_(target) { target_->installEventFilter(this); }
  ~PaintCounter() override { target_->removeEventFilter(this); }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
  long paints = 0;

 private:
  QWidget* target_;
};

// Wall time of one synchronous repaint of the receive pane as it stands.
double PaneRepaintMicros(TSerivox& w, int times) {
  QWidget* viewport = w.ui->Memo1->viewport();
  const int64_t t0 = NowNs();
  for (int i = 0; i < times; ++i) viewport->repaint();
  return (NowNs() - t0) / 1e3 / times;
}

void Connect(TSerivox& w, const std::string& path) {
  w.ComPort->SetConnected(false);
  w.ComPort->SetPort(path);
  w.ComPort->SetConnected(true);
  if (!w.ComPort->Connected()) throw std::runtime_error("the window's port did not open " + path);
}

// --- a. Receive drain -----------------------------------------------------------------

// A plain read loop (what `cat slave > /dev/null` does) against the same writer.
double CatDrain(size_t total) {
  Pty pty;
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  const int64_t t0 = NowNs();
  double writerCpu = 0;
  std::thread writer([&] { FeedText(pty.master, total, deadline, writerCpu); });
  int64_t endNs = 0;
  const size_t got = DrainFd(pty.slave, total, deadline, endNs, 128 * 1024);
  writer.join();
  return got / kMiB / ((endNs - t0) / 1e9);
}

// `paint` false is a diagnostic: the receive pane's updates are disabled for
// the run, which shows how much of the drain its painting costs.
void Drain(TSerivox& w, bool hex, size_t mib, bool paint = true) {
  const size_t total = mib * size_t(kMiB);
  std::printf("a. Receive drain, %s mode%s, %zu MiB of %d-column lines (CR LF) written at the master\n",
              hex ? "hex" : "text", paint ? "" : ", PANE UPDATES DISABLED (diagnostic only)", mib, kLineChars);
  const double cat = CatDrain(total);
  std::printf("  %-44s %8.1f MiB/s\n", "plain read() loop on slave (cat)", cat);
  std::fflush(stdout);

  Pty pty;
  w.Memo1DblClick(w.ui->Memo1);  // an empty pane to start from
  w.ui->CheckBox5->setChecked(hex);
  Connect(w, pty.path);
  Spin(1000);
  const long rssBefore = RssKiB();

  QEventLoop loop;
  size_t passed = 0;
  long deliveries = 0;
  int64_t endNs = 0;
  PaintCounter panePaints(w.ui->Memo1->viewport());
  PaintCounter windowPaints(&w);
  TRxCharEvent original = w.ComPort->OnRxChar;
  // The run ends when the writer is done and no byte waits, neither in the
  // port's queue nor in the tty (an event's count may include bytes the
  // window takes only with the next event).
  std::atomic<size_t> written{0};
  std::atomic<bool> writerDone{false};
  auto allTaken = [&] {
    int queued = 0;
    return writerDone && w.ComPort->InputCount() == 0 && ioctl(pty.slave, FIONREAD, &queued) == 0 && queued == 0;
  };
  w.ComPort->OnRxChar = [&](QObject* sender, int32_t count) {
    ++deliveries;
    passed += size_t(std::max(0, count));
    original(sender, count);
    endNs = NowNs();
    if (allTaken()) loop.quit();
  };
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (allTaken()) loop.quit();
  });
  check.start(10);
  QTimer::singleShot(int(kRunDeadlineNs / 1'000'000) + 1000, &loop, &QEventLoop::quit);
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  const double cpu0 = ProcessCpu();
  const double main0 = ThreadCpu();
  const int64_t t0 = NowNs();
  double writerCpu = 0;
  if (!paint) w.ui->Memo1->setUpdatesEnabled(false);
  std::thread writer([&] {
    written = FeedText(pty.master, total, deadline, writerCpu);
    writerDone = true;
  });
  loop.exec();
  writer.join();
  passed = written;
  w.ui->Memo1->setUpdatesEnabled(true);
  const double cpu = ProcessCpu() - cpu0;
  const double mainCpu = ThreadCpu() - main0;
  const double seconds = (endNs - t0) / 1e9;
  w.ComPort->OnRxChar = original;
  Spin(1000);
  const long rssAfter = RssKiB();

  const double rate = passed / kMiB / seconds;
  std::printf("  %-44s %8.1f MiB/s  (%.1f MiB in %.2f s%s)\n", "window (bytes through ComPortRxChar)", rate,
              passed / kMiB, seconds, passed < total ? ", DEADLINE HIT" : "");
  std::printf("  %-44s %8.2f s process, %.2f s window thread, %.2f s writer thread\n", "CPU during the run", cpu,
              mainCpu, writerCpu);
  std::printf("  %-44s %8.1f MiB idle before, %.1f MiB idle after (+%.1f MiB); pane %d lines, line limit %d\n",
              "resident memory (VmRSS)", rssBefore / 1024.0, rssAfter / 1024.0, (rssAfter - rssBefore) / 1024.0,
              w.ui->Memo1->LineCount(), w.LineLimit());
  const double share = cat > 0 ? rate / cat : 0;
  const double goal = hex ? 1.0 / 20 : 0.5;
  std::printf("  %-44s %8ld deliveries (%.0f bytes each), %ld pane paints, %ld window paints\n",
              "OnRxChar deliveries and paints", deliveries, deliveries ? double(passed) / deliveries : 0.0,
              panePaints.paints, windowPaints.paints);
  std::printf("  %-44s %8.1f us per repaint of the full pane (wall, 200 repaints after the run)\n",
              "pane repaint cost", PaneRepaintMicros(w, 200));
  std::printf("  %-44s %8.1f %%   goal >= %.0f %%: %s\n", "ratio window/cat", 100 * share, 100 * goal,
              share >= goal ? "met" : "NOT met");
  std::printf("  %-44s %8s   goal <= 64 MiB growth: %s\n", "memory", "",
              (rssAfter - rssBefore) <= 64 * 1024 ? "met" : "NOT met");
  std::fflush(stdout);
  w.ComPort->SetConnected(false);
  w.ui->CheckBox5->setChecked(false);
}

// The window's display step alone: DisplayRxByte over text lines, no port,
// pane updates disabled; the event loop runs after every 64 KiB.
void DisplayOnly(TSerivox& w, bool hex, size_t mib) {
  const size_t total = mib * size_t(kMiB);
  w.Memo1DblClick(w.ui->Memo1);
  w.ui->CheckBox5->setChecked(hex);
  w.ui->Memo1->setUpdatesEnabled(false);
  const std::vector<char> block = TextBlock();
  const double cpu0 = ThreadCpu();
  const int64_t t0 = NowNs();
  size_t done = 0;
  while (done < total && NowNs() - t0 < kRunDeadlineNs) {
    for (char c : block) w.DisplayRxByte(uint8_t(c));
    done += block.size();
    QApplication::processEvents();
  }
  const double seconds = (NowNs() - t0) / 1e9;
  const double cpu = ThreadCpu() - cpu0;
  w.ui->Memo1->setUpdatesEnabled(true);
  w.ui->CheckBox5->setChecked(false);
  std::printf("  %-44s %8.1f ns per byte (%.1f MiB/s, %.1f MiB, %.2f s CPU)\n",
              hex ? "DisplayRxByte alone, hex mode" : "DisplayRxByte alone, text mode", seconds * 1e9 / done,
              done / kMiB / seconds, done / kMiB, cpu);
  std::fflush(stdout);
}

// --- b. Key to wire ---------------------------------------------------------------------

void Keys(TSerivox& w, int keys) {
  std::printf("b. Key to wire, %d key presses sent to Memo2, byte read at the master\n", keys);
  Pty pty;
  Connect(w, pty.path);
  Spin(300);
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int64_t> arrived;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    char buf[256];
    const int64_t deadline = NowNs() + kRunDeadlineNs;
    while (!stop && NowNs() < deadline) {
      pollfd p{pty.master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int64_t t = NowNs();
      const ssize_t n = read(pty.master, buf, sizeof buf);
      std::lock_guard lk(mu);
      for (ssize_t i = 0; i < n; ++i) arrived.push_back(t);
      cv.notify_all();
    }
  });
  std::vector<double> us;
  for (int i = 0; i < keys; ++i) {
    const int64_t t0 = NowNs();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QApplication::sendEvent(w.ui->Memo2, &press);
    {
      std::unique_lock lk(mu);
      if (!cv.wait_for(lk, std::chrono::seconds(1), [&] { return arrived.size() > size_t(i); })) break;
      us.push_back((arrived[size_t(i)] - t0) / 1e3);
    }
    QApplication::processEvents();  // the window repaints between keys, as between real key strokes
  }
  stop = true;
  reader.join();
  const Stats s = Summarise(us);
  std::printf("  %-44s median %7.1f us   p99 %7.1f us   max %7.1f us   (n=%d)\n", "key press -> byte at master",
              s.median, s.p99, s.max, s.n);
  std::fflush(stdout);
  w.ComPort->SetConnected(false);
}

// --- c. File send -------------------------------------------------------------------------

std::string MakeFile(size_t bytes) {
  char name[] = "/tmp/serivox-bench-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  const std::vector<char> block = TextBlock();
  for (size_t put = 0; put < bytes;) {
    const ssize_t n = write(fd, block.data(), std::min(block.size(), bytes - put));
    if (n <= 0) throw std::runtime_error("writing the test file failed");
    put += size_t(n);
  }
  close(fd);
  return name;
}

// Copies the file to the slave in blocks of `blockSize` (cat uses 128 KiB).
double PlainCopy(const std::string& path, size_t bytes, size_t blockSize) {
  Pty pty;
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  int64_t endNs = 0;
  size_t got = 0;
  const int64_t t0 = NowNs();
  std::thread reader([&] { got = DrainFd(pty.master, bytes, deadline, endNs, 128 * 1024); });
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buf(blockSize);
  for (;;) {
    const ssize_t n = read(fd, buf.data(), buf.size());
    if (n <= 0 || NowNs() > deadline) break;
    for (ssize_t off = 0; off < n;) {
      const ssize_t m = write(pty.slave, buf.data() + off, size_t(n - off));
      if (m <= 0) break;
      off += m;
    }
  }
  close(fd);
  reader.join();
  return got / kMiB / ((endNs - t0) / 1e9);
}

void FileSend(TSerivox& w, size_t mib) {
  const size_t bytes = mib * size_t(kMiB);
  std::printf("c. File send, %zu MiB file, master drained by a reader thread\n", mib);
  const std::string path = MakeFile(bytes);
  const double cat = PlainCopy(path, bytes, 128 * 1024);
  std::printf("  %-44s %8.1f MiB/s\n", "plain copy loop, 128 KiB blocks (cat)", cat);
  const double small = PlainCopy(path, bytes, 256);
  std::printf("  %-44s %8.1f MiB/s\n", "plain copy loop, 256-byte blocks", small);
  std::fflush(stdout);

  Pty pty;
  Connect(w, pty.path);
  Spin(300);
  const int64_t deadline = NowNs() + kRunDeadlineNs;
  int64_t endNs = 0;
  size_t got = 0;
  const double cpu0 = ProcessCpu();
  const int64_t t0 = NowNs();
  std::thread reader([&] { got = DrainFd(pty.master, bytes, deadline, endNs, 128 * 1024); });
  try {
    w.SendFile(QString::fromStdString(path));
  } catch (const std::exception& e) {
    std::printf("  SendFile failed: %s\n", e.what());
  }
  reader.join();
  const double cpu = ProcessCpu() - cpu0;
  const double rate = got / kMiB / ((endNs - t0) / 1e9);
  std::printf("  %-44s %8.1f MiB/s  (%.1f MiB, %.2f s process CPU)\n", "window SendFile", rate, got / kMiB, cpu);
  std::printf("  %-44s %8.1f %% of cat, %.1f %% of the 256-byte copy\n", "ratio", cat > 0 ? 100 * rate / cat : 0,
              small > 0 ? 100 * rate / small : 0);
  std::fflush(stdout);
  w.ComPort->SetConnected(false);
  unlink(path.c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  size_t textMib = 100, hexMib = 16, fileMib = 20;
  int keys = 500;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const int v = std::max(1, std::atoi(argv[i + 1]));
    if (opt == "--text-mib") textMib = size_t(v);
    else if (opt == "--hex-mib") hexMib = size_t(v);
    else if (opt == "--file-mib") fileMib = size_t(v);
    else if (opt == "--keys") keys = v;
    else if (opt == "--only") only = argv[i + 1];
    else {
      std::fprintf(stderr,
                   "usage: %s [--text-mib N] [--hex-mib N] [--keys N] [--file-mib N] [--only drain|keys|file|diagnose]\n",
                   argv[0]);
      return 2;
    }
  }
  // Errors of the window's handlers are printed, not shown in a message box.
  SetExceptionReporter([](QObject*, const std::exception& e) { std::fprintf(stderr, "error: %s\n", e.what()); });
  SetErrorSink([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
  int result = 0;
  auto* w = new TSerivox;
  try {
    w->show();
    Spin(500);
    std::printf("window %dx%d, receive pane %dx%d, platform %s\n", w->width(), w->height(), w->ui->Memo1->width(),
                w->ui->Memo1->height(), qPrintable(QGuiApplication::platformName()));
    if (only.empty() || only == "drain") {
      Drain(*w, false, textMib);
      Drain(*w, true, hexMib);
    }
    if (only == "diagnose") {
      Drain(*w, false, textMib, false);
      Drain(*w, true, hexMib, false);
      std::printf("a. The window's display step alone, no port, pane updates disabled\n");
      DisplayOnly(*w, false, textMib);
      DisplayOnly(*w, true, hexMib);
    }
    if (only.empty() || only == "keys") Keys(*w, keys);
    if (only.empty() || only == "file") FileSend(*w, fileMib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "window_bench: %s\n", e.what());
    result = 1;
  }
  delete w;  // not closed: closing would write the window's settings file
  return result;
}

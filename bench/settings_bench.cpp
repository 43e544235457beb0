// SPDX-License-Identifier: MIT
// settings_bench: how long the main window takes to start and to close with a
// huge settings file, and whether the lines it does not own survive.
//
//   QT_QPA_PLATFORM=offscreen settings_bench [--mib N] [--only lines|blob|none]
//
// The file is the window's own (the program's path with ".ini"). "lines" fills
// it with N MiB of short foreign lines ahead of the window's sections, "blob"
// with one N MiB foreign line, "none" starts without a file (for comparison).
// Start = constructing and showing the window (its settings are read while it
// is shown); close = closing it (its settings are written). Each shape runs
// twice on the same file; the file is removed at the end.
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_util.h"
#include "serivox.h"

namespace {

using bench::kMiB;
using bench::NowNs;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long PeakRssMiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024;
}

const char kOwnSections[] =
    "[ComPort]\nPort=LOOPBACK\nBaudRate=115200\nStopBits=1\nDataBits=8\nParity=None\nFlowControl=None\n"
    "[Makro]\nMakro1Text=AT\nMakro1End=CRLF\n[Test]\nEcho=1\nInterval=5\n[Terminal]\nShowHEX=0\n";

std::string Foreign(const std::string& shape, size_t bytes) {
  std::string text;
  if (shape == "none") return text;
  text.reserve(bytes + 64);
  if (shape == "blob") {
    text = "[Foreign]\nblob=";
    text.append(bytes, 'b');
    text += "\n";
    return text;
  }
  text = "[Foreign]\n";
  char line[80];
  for (unsigned i = 0; text.size() < bytes; ++i) {
    const int n = std::snprintf(line, sizeof line, "key%08u = a value that nobody here reads %08u\n", i, i);
    text.append(line, size_t(n));
  }
  return text;
}

bool Put(const std::string& path, const std::string& data) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         f.write(data.data(), qint64(data.size())) == qint64(data.size());
}

std::string Get(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

void Run(const std::string& shape, size_t bytes) {
  const std::string path = TSerivox::ConfigPath();
  const std::string foreign = Foreign(shape, bytes);
  QFile::remove(QString::fromStdString(path));
  if (shape != "none" && !Put(path, foreign + kOwnSections)) {
    std::printf("%-5s cannot write %s\n", shape.c_str(), path.c_str());
    return;
  }
  // The first close adds the keys the file lacks and so stores it; the second
  // finds every key as it is and stores nothing.
  for (const char* pass : {"first", "again"}) {
    const double cpu0 = CpuSeconds();
    const int64_t t0 = NowNs();
    auto* w = new TSerivox;
    w->show();
    const int64_t t1 = NowNs();
    const double cpu1 = CpuSeconds();
    w->close();
    const int64_t t2 = NowNs();
    const double cpu2 = CpuSeconds();
    delete w;
    std::printf("%-5s %-5s file %7.1f MiB  start %7.3f s (cpu %6.3f s)  close %7.3f s (cpu %6.3f s)\n",
                shape.c_str(), pass, double(foreign.size()) / double(kMiB), double(t1 - t0) / 1e9, cpu1 - cpu0,
                double(t2 - t1) / 1e9, cpu2 - cpu1);
  }

  const std::string after = Get(path);
  const bool kept = after.compare(0, foreign.size(), foreign) == 0;
  // Without a file the window writes its defaults.
  const char* const own = shape == "none" ? "-"
                          : after.find("Makro1Text=AT\n") != std::string::npos &&
                                  after.find("BaudRate=115200\n") != std::string::npos
                              ? "yes"
                              : "NO";
  std::printf("%-5s foreign lines kept: %s  own keys kept: %s  peak RSS so far %ld MiB\n", shape.c_str(),
              kept ? "yes" : "NO", own, PeakRssMiB());
  QFile::remove(QString::fromStdString(path));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  size_t mib = 100;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = size_t(std::strtoul(argv[i + 1], nullptr, 10));
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
  }
  for (const char* shape : {"none", "lines", "blob"})
    if (only.empty() || only == shape) Run(shape, size_t(double(mib) * kMiB));
  return 0;
}

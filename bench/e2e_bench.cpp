// SPDX-License-Identifier: MIT
// e2e_bench: the receive drain of the real program, end to end, against
// `cat slave > /dev/null` on the same kind of pseudo-terminal pair in the same run.
//
//   e2e_bench [--exe PATH] [--compare PATH] [--mib 5,20] [--runs 3] [--modes text,hex] [--offscreen]
//             [--perf FILE] [--writer blocks|lines]
//
// Each run copies the executable into a fresh folder under /tmp with a
// settings file whose port is the slave of a new pair, starts it (under Xvfb
// when that is installed, else on the offscreen platform) with SERIVOX_PROBE=
// 1 and SERIVOX_TEST_STEPS=connect, and feeds the master from a separate
// writer process, in 64 KiB blocks or one line per write (--writer lines, as
// a device that sends line by line). See README.md.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using bench::kMiB;
using bench::NowNs;
using bench::Pty;

constexpr int kLineChars = 80;       // visible columns per line, then CR LF
constexpr char kSentinel = '|';      // the stream's last byte, found nowhere else in it
constexpr int64_t kRunDeadlineNs = 120'000'000'000;
constexpr int64_t kStartDeadlineNs = 30'000'000'000;
constexpr int64_t kShownDeadlineNs = 10'000'000'000;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// --- A process of the benchmark's own -------------------------------------------

struct Child {
  pid_t pid = -1;
  int err = -1;  // its standard error, when captured
  std::string pending;
  std::string other;  // the last line that was no probe report

  // Starts argv with `env` added to the environment; stdout goes to /dev/null.
  static Child Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     bool captureErr) {
    int pipeFds[2] = {-1, -1};
    if (captureErr && pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Child c;
    c.pid = fork();
    if (c.pid < 0) throw std::runtime_error("fork failed");
    if (c.pid == 0) {
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      if (captureErr) dup2(pipeFds[1], 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (captureErr) {
      close(pipeFds[1]);
      c.err = pipeFds[0];
    }
    return c;
  }

  // The next line of its standard error, or nothing by the deadline.
  std::optional<std::string> Line(int64_t deadline) {
    for (;;) {
      const size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
      }
      const int64_t left = deadline - NowNs();
      if (left <= 0 || err < 0) return std::nullopt;
      pollfd p{err, POLLIN, 0};
      if (poll(&p, 1, int(std::min<int64_t>(left / 1'000'000 + 1, 1000))) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(err, buf, sizeof buf);
      if (n <= 0) {
        close(err);
        err = -1;
        return std::nullopt;
      }
      pending.append(buf, size_t(n));
    }
  }

  // Reads the first line that starts with `prefix`.
  std::optional<std::string> WaitFor(const std::string& prefix, int64_t deadline) {
    while (auto line = Line(deadline)) {
      if (line->rfind(prefix, 0) == 0) return line;
      if (line->rfind("probe ", 0) != 0) other = *line;
    }
    return std::nullopt;
  }

  void Stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      const int64_t deadline = NowNs() + 5'000'000'000;
      int status = 0;
      while (waitpid(pid, &status, WNOHANG) == 0) {
        if (NowNs() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
        usleep(10'000);
      }
      pid = -1;
    }
    if (err >= 0) close(err);
    err = -1;
  }
};

// CPU seconds (user + system, all threads) of a process so far.
double ProcessCpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = s.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double RssMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return -1;
}

// Context switches (voluntary + involuntary) of all threads of a process so far.
long ContextSwitches(pid_t pid) {
  long total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line))
      if (line.find("ctxt_switches:") != std::string::npos) total += std::atol(line.c_str() + line.find(':') + 1);
  }
  return total;
}

// CPU seconds of each thread of a process so far, by thread name (threads of
// one name are added up).
std::map<std::string, double> ThreadCpu(pid_t pid) {
  std::map<std::string, double> cpu;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    std::ifstream stat(task.path() / "stat");
    std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
      if (i == 14 || i == 15) ticks += std::stoull(field);
    cpu[name] += double(ticks) / double(sysconf(_SC_CLK_TCK));
  }
  return cpu;
}

// Whether the process has `path` open.
bool HasOpen(pid_t pid, const std::string& path) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::error_code ec2;
    if (std::filesystem::read_symlink(entry.path(), ec2).string() == path) return true;
  }
  return false;
}

// --- The writer ----------------------------------------------------------------------

// The stream: numbered lines of 80 visible columns and CR LF, cut to `total`
// bytes, whose very last byte is the sentinel.
std::vector<char> Stream(size_t total) {
  std::vector<char> s;
  s.reserve(total);
  for (size_t line = 0; s.size() < total; ++line) {
    char number[16];
    std::snprintf(number, sizeof number, "%08zu ", line);
    for (int c = 0; c < kLineChars; ++c) {
      // Printable ASCII without the sentinel.
      char ch = c < 9 ? number[c] : char('!' + (line + size_t(c)) % 90);
      if (ch == kSentinel) ch = '#';
      s.push_back(ch);
    }
    s.push_back('\r');
    s.push_back('\n');
  }
  s.resize(total);
  s.back() = kSentinel;
  return s;
}

// Bytes the writer hands the master per write: a large block, or one line.
size_t gWriteChunk = 64 * 1024;

struct Feed {
  int64_t firstWrite = 0, lastWrite = 0, drained = 0;
  size_t written = 0;
};

// Forks a writer that fills the master as fast as the pair takes it, then
// watches the slave's input queue (FIONREAD on the benchmark's own slave
// descriptor) until it stays empty, and reports the times through a pipe.
Feed FeedFromProcess(const Pty& pty, const std::vector<char>& data) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    Feed f;
    const int64_t deadline = NowNs() + kRunDeadlineNs;
    f.firstWrite = NowNs();
    while (f.written < data.size() && NowNs() < deadline) {
      pollfd p{pty.master, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = write(pty.master, data.data() + f.written, std::min<size_t>(gWriteChunk, data.size() - f.written));
      if (n > 0) f.written += size_t(n);
      else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    f.lastWrite = NowNs();
    // Taken: the first of three empty readings 1 ms apart (the kernel may
    // still be moving a last piece from the master into the queue).
    int empty = 0;
    while (NowNs() < deadline && empty < 3) {
      int queued = 0;
      const int64_t t = NowNs();
      if (ioctl(pty.slave, FIONREAD, &queued) != 0) break;
      if (queued == 0) {
        if (empty++ == 0) f.drained = t;
        usleep(1000);
      } else {
        empty = 0;
        usleep(50);
      }
    }
    [[maybe_unused]] ssize_t n = write(fds[1], &f, sizeof f);
    _exit(0);
  }
  close(fds[1]);
  Feed f;
  const ssize_t n = read(fds[0], &f, sizeof f);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (n != sizeof f) throw std::runtime_error("the writer reported nothing");
  return f;
}

// --- The runs -------------------------------------------------------------------------

struct Display {
  std::map<std::string, std::string> env;
  std::string name;
  pid_t xvfb = -1;
};

Display StartDisplay(bool offscreen) {
  Display d;
  if (!offscreen && access("/usr/bin/Xvfb", X_OK) == 0) {
    for (int n = 90; n < 140; ++n) {
      const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      if (access(sock.c_str(), F_OK) == 0 || access(lock.c_str(), F_OK) == 0) continue;
      const std::string display = ":" + std::to_string(n);
      Child x = Child::Start({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, {}, false);
      const int64_t deadline = NowNs() + 10'000'000'000;
      while (access(sock.c_str(), F_OK) != 0 && NowNs() < deadline) usleep(20'000);
      if (access(sock.c_str(), F_OK) != 0) {
        x.Stop();
        continue;
      }
      d.xvfb = x.pid;
      d.env = {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}};
      d.name = "Xvfb " + display;
      return d;
    }
  }
  d.env = {{"QT_QPA_PLATFORM", "offscreen"}};
  d.name = "offscreen platform (Xvfb not installed or not used)";
  return d;
}

struct Result {
  double mibs = 0;         // bytes / (first write -> all taken)
  double shownMs = -1;     // all taken -> pane painted with the last byte
  double shownAfterWriteMs = -1;  // last write returned -> pane painted
  double cpuS = 0;         // process CPU during the drain
  long switches = 0;       // its threads' context switches during the drain
  double rssBefore = 0, rssAfter = 0;
  double idleCpuMs = 0;    // CPU over 2 s idle after the run
  int paneLines = 0;
  std::string threads;     // CPU of each thread during the drain, "name ms, ..."
};

Result RunCat(size_t total) {
  Pty pty;
  const std::vector<char> data = Stream(total);
  Child cat = Child::Start({"cat", pty.path}, {}, false);
  const int64_t deadline = NowNs() + kStartDeadlineNs;
  while (!HasOpen(cat.pid, pty.path) && NowNs() < deadline) usleep(2000);
  const double cpu0 = ProcessCpu(cat.pid);
  const Feed f = FeedFromProcess(pty, data);
  Result r;
  r.mibs = double(f.written) / kMiB / (double(f.drained - f.firstWrite) / 1e9);
  r.cpuS = ProcessCpu(cat.pid) - cpu0;
  r.rssAfter = RssMiB(cat.pid);
  cat.Stop();
  return r;
}

Result RunProgram(const std::string& exe, const Display& display, size_t total, bool hex,
                  const std::string& perfFile) {
  Pty pty;
  const std::vector<char> data = Stream(total);
  char dirTemplate[] = "/tmp/serivox-e2e-XXXXXX";
  if (!mkdtemp(dirTemplate)) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path dir = dirTemplate;
  std::filesystem::copy_file(exe, dir / "serivox");
  {
    std::ofstream ini(dir / "serivox.ini");
    ini << "[ComPort]\nPort=" << pty.path << "\n[Terminal]\nShowHEX=" << (hex ? 1 : 0) << "\nShowControlChars=0\n";
  }
  std::map<std::string, std::string> env = display.env;
  env["SERIVOX_PROBE"] = "1";
  env["SERIVOX_TEST_STEPS"] = "connect";
  Child prog = Child::Start({(dir / "serivox").string()}, env, true);
  Result r;
  try {
    // Connected: the program holds the slave open.
    const int64_t startDeadline = NowNs() + kStartDeadlineNs;
    while (!HasOpen(prog.pid, pty.path) && NowNs() < startDeadline) usleep(5000);
    if (!HasOpen(prog.pid, pty.path)) throw std::runtime_error("the program did not open " + pty.path);
    usleep(500'000);
    r.rssBefore = RssMiB(prog.pid);
    // --perf: the drain is recorded with call graphs (perf's own start-up
    // time is let pass first).
    Child perf;
    if (!perfFile.empty()) {
      perf = Child::Start({"perf", "record", "-q", "-g", "-F", "4000", "-o", perfFile, "-p", std::to_string(prog.pid)},
                          {}, false);
      usleep(1'000'000);
    }
    const double cpu0 = ProcessCpu(prog.pid);
    const std::map<std::string, double> threads0 = ThreadCpu(prog.pid);
    const long switches0 = ContextSwitches(prog.pid);
    const Feed f = FeedFromProcess(pty, data);
    r.cpuS = ProcessCpu(prog.pid) - cpu0;
    r.switches = ContextSwitches(prog.pid) - switches0;
    for (const auto& [name, cpu] : ThreadCpu(prog.pid)) {
      const double ms = (cpu - (threads0.count(name) ? threads0.at(name) : 0)) * 1000;
      if (ms > 0) r.threads += (r.threads.empty() ? "" : ", ") + name + " " + std::to_string(int(ms + 0.5)) + " ms";
    }
    if (perf.pid > 0) {
      kill(perf.pid, SIGINT);
      int status = 0;
      waitpid(perf.pid, &status, 0);
      perf.pid = -1;
    }
    r.mibs = double(f.written) / kMiB / (double(f.drained - f.firstWrite) / 1e9);
    // The pane has shown the last byte when a paint has the last line in view
    // ending with the sentinel (in hex mode, the sentinel's own line).
    const std::string want = hex ? std::string("#7C\\x20\\x20|") : std::string(1, kSentinel);
    const int64_t until = NowNs() + kShownDeadlineNs;
    while (auto line = prog.WaitFor("probe painted ", until)) {
      std::istringstream in(line->substr(14));
      long long ns = 0;
      int lines = 0, inView = 0;
      std::string tail;
      in >> ns >> lines >> inView >> tail;
      if (inView && tail.size() >= want.size() && tail.compare(tail.size() - want.size(), want.size(), want) == 0) {
        r.shownMs = double(ns - f.drained) / 1e6;
        r.shownAfterWriteMs = double(ns - f.lastWrite) / 1e6;
        r.paneLines = lines;
        break;
      }
    }
    usleep(1'000'000);
    prog.WaitFor("-", NowNs());
    if (!prog.other.empty()) std::printf("  program said: %s\n", prog.other.c_str());
    r.rssAfter = RssMiB(prog.pid);
    const double idle0 = ProcessCpu(prog.pid);
    usleep(2'000'000);
    r.idleCpuMs = (ProcessCpu(prog.pid) - idle0) * 1000;
  } catch (...) {
    prog.Stop();
    std::filesystem::remove_all(dir);
    throw;
  }
  prog.Stop();
  std::filesystem::remove_all(dir);
  return r;
}

std::vector<size_t> ParseSizes(const std::string& s) {
  std::vector<size_t> v;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) v.push_back(size_t(std::stoul(item)));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> exes = {SERIVOX_EXE};
  std::vector<size_t> sizes = {5, 20};
  int runs = 3;
  std::string modes = "text,hex";
  bool offscreen = false;
  std::string perfFile;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("missing value after " + a);
      return argv[++i];
    };
    if (a == "--exe") exes[0] = next();
    else if (a == "--compare") exes.push_back(next());
    else if (a == "--mib") sizes = ParseSizes(next());
    else if (a == "--runs") runs = std::max(1, std::stoi(next()));
    else if (a == "--modes") modes = next();
    else if (a == "--offscreen") offscreen = true;
    else if (a == "--perf") perfFile = next();
    else if (a == "--writer") gWriteChunk = next() == "lines" ? size_t(kLineChars + 2) : 64 * 1024;
    else {
      std::fprintf(stderr,
                   "usage: e2e_bench [--exe PATH] [--compare PATH] [--mib 5,20] [--runs 3] [--modes text,hex] "
                   "[--offscreen] [--perf FILE] [--writer blocks|lines]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  Display display = StartDisplay(offscreen);
  std::printf("e2e_bench: display %s, %d runs per figure (medians), %d-column lines + CR LF, %zu bytes a write\n",
              display.name.c_str(), runs, kLineChars, gWriteChunk);
  for (size_t e = 0; e < exes.size(); ++e) std::printf("  program %c: %s\n", char('A' + e), exes[e].c_str());
  int status = 0;
  try {
    for (const std::string mode : {"text", "hex"}) {
      if (modes.find(mode) == std::string::npos) continue;
      const bool hex = mode == "hex";
      for (size_t mib : sizes) {
        std::vector<double> cat, catCpu;
        std::vector<std::vector<Result>> progs(exes.size());
        for (int k = 0; k < runs; ++k) {
          const Result c = RunCat(mib * size_t(kMiB));
          cat.push_back(c.mibs);
          catCpu.push_back(c.cpuS);
          std::printf("  %s %3zu MiB run %d: cat %6.1f MiB/s (cpu %.2f s)\n", mode.c_str(), mib, k + 1, c.mibs, c.cpuS);
          for (size_t e = 0; e < exes.size(); ++e) {
            const Result p = RunProgram(exes[e], display, mib * size_t(kMiB), hex, perfFile);
            progs[e].push_back(p);
            std::printf("    %c %6.1f MiB/s (%3.0f %% of cat), shown %+7.1f ms after taken (%+7.1f after last "
                        "write), cpu %.2f s, %ld switches, RSS %.1f -> %.1f MiB, idle %.1f ms CPU/2 s\n",
                        char('A' + e), p.mibs, 100 * p.mibs / c.mibs, p.shownMs, p.shownAfterWriteMs, p.cpuS,
                        p.switches, p.rssBefore, p.rssAfter, p.idleCpuMs);
            std::printf("      threads: %s\n", p.threads.c_str());
          }
          std::fflush(stdout);
        }
        std::printf("%s %zu MiB medians: cat %.1f MiB/s (cpu %.2f s)\n", mode.c_str(), mib, Median(cat),
                    Median(catCpu));
        for (size_t e = 0; e < exes.size(); ++e) {
          auto pick = [&](auto field) {
            std::vector<double> v;
            for (const Result& r : progs[e]) v.push_back(double(field(r)));
            return v;
          };
          std::vector<double> ratio;
          for (int k = 0; k < runs; ++k) ratio.push_back(progs[e][size_t(k)].mibs / cat[size_t(k)]);
          const std::vector<double> shown = pick([](const Result& r) { return r.shownMs; });
          std::printf("  %c %.1f MiB/s, %.0f %% of cat, shown %.1f ms after taken (max %.1f), cpu %.2f s, %.0f "
                      "switches, RSS %.1f -> %.1f MiB, pane %d lines, idle %.1f ms CPU/2 s\n",
                      char('A' + e), Median(pick([](const Result& r) { return r.mibs; })), 100 * Median(ratio),
                      Median(shown), *std::max_element(shown.begin(), shown.end()),
                      Median(pick([](const Result& r) { return r.cpuS; })),
                      Median(pick([](const Result& r) { return r.switches; })),
                      Median(pick([](const Result& r) { return r.rssBefore; })),
                      Median(pick([](const Result& r) { return r.rssAfter; })), progs[e].back().paneLines,
                      Median(pick([](const Result& r) { return r.idleCpuMs; })));
        }
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "e2e_bench: %s\n", e.what());
    status = 1;
  }
  if (display.xvfb > 0) {
    Child x;
    x.pid = display.xvfb;
    x.Stop();
  }
  return status;
}

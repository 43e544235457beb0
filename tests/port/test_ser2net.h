// SPDX-License-Identifier: MIT
// A real ser2net for tests, serving the slave of a pseudo-terminal pair on
// 127.0.0.1 twice: with RFC 2217 and as raw TCP, each on a free port. Also a
// relay that records what a client sends, and a cable between two pairs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_pty.h"

extern char** environ;

// A port on 127.0.0.1 that nothing listens on (at the moment of asking).
inline int FreeLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// A socket listening on 127.0.0.1 with a free port; accept() does not block.
struct LocalListener {
  int fd = -1;
  int port = 0;
  explicit LocalListener(int backlog = 8) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, backlog) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~LocalListener() { close(fd); }
  // Whether a connection is waiting; it is taken and closed.
  bool takeConnection() const {
    const int c = accept(fd, nullptr, nullptr);
    if (c < 0) return false;
    close(c);
    return true;
  }
};

// Connections that fill the queue of a listener made with backlog 0, so
// that a further connection is never completed. The caller closes them.
inline std::vector<int> FillBacklog(int port) {
  std::vector<int> fds;
  for (int i = 0; i < 4; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fds.push_back(fd);
  }
  return fds;
}

// Whether something listens on 127.0.0.1:port (from /proc/net/tcp, without connecting).
inline bool IsListening(int port) {
  std::ifstream in("/proc/net/tcp");
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

class Ser2Net {
 public:
  Ser2Net() {
    // Raw mode on the slave until ser2net sets its own: no echo, no line editing.
    termios t{};
    if (pty.ok() && tcgetattr(pty.master, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(pty.master, TCSANOW, &t);
    }
    // The test's end never blocks: it polls.
    if (pty.ok()) fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    // Held open so that the master never sees a hang-up between two clients.
    if (pty.ok()) slave_ = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    char tmpl[] = "/tmp/serivox-ser2net-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
  }
  ~Ser2Net() {
    stop(SIGTERM);
    if (slave_ >= 0) close(slave_);
    if (!dir_.empty()) {
      std::remove((dir_ + "/ser2net.yaml").c_str());
      std::remove((dir_ + "/ser2net.log").c_str());
      std::remove(dir_.c_str());
    }
  }
  Ser2Net(const Ser2Net&) = delete;
  Ser2Net& operator=(const Ser2Net&) = delete;

  static std::string Binary() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
      if (access(path, X_OK) == 0) return path;
    return {};
  }

  // Starts ser2net and waits until it listens. On failure `why` says why.
  bool start() {
    const std::string binary = Binary();
    if (binary.empty()) return fail("ser2net is not installed (scripts/setup.sh installs it)");
    if (!pty.ok() || dir_.empty()) return fail("no pseudo-terminal or temporary folder");
    rfc2217Port = FreeLocalPort();
    tcpPort = FreeLocalPort();
    const std::string yaml = dir_ + "/ser2net.yaml";
    std::ofstream(yaml) << "%YAML 1.1\n---\n"
                        << "connection: &rfc2217\n"
                        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port << "\n"
                        << "  connector: serialdev," << pty.slavePath << ",9600n81,local\n"
                        << "  options:\n    kickolduser: true\n"
                        << "connection: &raw\n"
                        << "  accepter: tcp,127.0.0.1," << tcpPort << "\n"
                        << "  connector: serialdev," << pty.slavePath << ",9600n81,local\n"
                        << "  options:\n    kickolduser: true\n";
    const std::string log = dir_ + "/ser2net.log";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    // -n: stay in the foreground, -u: no UUCP lock files.
    std::string a0 = binary, a1 = "-n", a2 = "-u", a3 = "-c", a4 = yaml;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
    const int rc = posix_spawn(&pid_, binary.c_str(), &files, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
      pid_ = -1;
      return fail("ser2net could not be started");
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(IsListening(rfc2217Port) && IsListening(tcpPort))) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return fail("ser2net ended at once: " + logText());
      }
      if (std::chrono::steady_clock::now() > limit) return fail("ser2net does not listen: " + logText());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // Ends ser2net (SIGKILL: as a crash or a pulled cable would) and waits for it.
  void stop(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string rfc2217Name() const { return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port); }
  std::string tcpName() const { return "tcp://127.0.0.1:" + std::to_string(tcpPort); }
  std::string logText() const {
    std::ifstream in(dir_ + "/ser2net.log");
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  TestPty pty;
  int rfc2217Port = 0;
  int tcpPort = 0;
  std::string why;

 private:
  bool fail(const std::string& reason) {
    why = reason;
    return false;
  }
  pid_t pid_ = -1;
  int slave_ = -1;
  std::string dir_;
};

// rfc2217_server.py in one of its modes; killed when destroyed.
class ScriptedServer {
 public:
  explicit ScriptedServer(const std::string& mode, const std::string& record = {}) {
    const std::string script = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/rfc2217_server.py";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    std::string a0 = "python3", a1 = script, a2 = mode, a3 = record;
    char* argv[] = {a0.data(), a1.data(), a2.data(), record.empty() ? nullptr : a3.data(), nullptr};
    if (posix_spawnp(&pid_, "python3", &files, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    close(out[1]);
    char line[16] = {};
    FILE* f = fdopen(out[0], "r");
    if (f && fgets(line, sizeof line, f)) port = std::atoi(line);
    if (f) fclose(f);
  }
  ~ScriptedServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
  int port = 0;

 private:
  pid_t pid_ = -1;
};

// Starts a Ser2Net named `server` in a test; skips the test when ser2net is
// not installed.
#define START_SER2NET(server)                                  \
  Ser2Net server;                                              \
  if (!server.start()) {                                       \
    if (Ser2Net::Binary().empty()) GTEST_SKIP() << server.why; \
    FAIL() << server.why;                                      \
  }

// Copies bytes both ways between two descriptors pairs on a thread of its own
// until destroyed; `record` keeps what went from `a` to `b`.
class Pump {
 public:
  Pump() = default;
  ~Pump() { stop(); }
  void start(int a, int b) {
    startWith([a, b](int& x, int& y) {
      x = a;
      y = b;
      return true;
    });
  }
  // `prepare` runs on the pump's thread and gives the two descriptors; it may
  // wait for them as long as stopFd() stays unsignalled.
  void startWith(std::function<bool(int&, int&)> prepare) {
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this, prepare] {
      if (prepare(a_, b_)) run();
    });
  }
  int stopFd() const { return stop_; }
  void stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
  }
  std::string recorded() {
    std::lock_guard lk(mu_);
    return record_;
  }

 private:
  void run() {
    char buf[16384];
    int from[2] = {a_, b_};  // -1 once a side has ended
    for (;;) {
      pollfd p[3] = {{from[0], POLLIN, 0}, {from[1], POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(p, 3, 1000) < 0) continue;
      if (p[2].revents) return;
      for (int i = 0; i < 2; ++i) {
        if (!p[i].revents) continue;
        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
        if (n <= 0) {
          if (n == 0 || (errno != EAGAIN && errno != EINTR)) from[i] = -1;
          continue;
        }
        if (i == 0) {
          std::lock_guard lk(mu_);
          record_.append(buf, static_cast<size_t>(n));
        }
        const int to = i == 0 ? b_ : a_;
        for (ssize_t off = 0; off < n;) {
          const ssize_t w = ::write(to, buf + off, static_cast<size_t>(n - off));
          if (w > 0) off += w;
          else if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        }
      }
    }
  }
  int a_ = -1, b_ = -1, stop_ = -1;
  std::thread thread_;
  std::mutex mu_;
  std::string record_;
};

// A TCP relay on 127.0.0.1 in front of `targetPort`: one client, recorded.
class TcpRelay {
 public:
  explicit TcpRelay(int targetPort) : target_(targetPort) {}
  ~TcpRelay() {
    pump_.stop();
    if (client_ >= 0) close(client_);
    if (server_ >= 0) close(server_);
  }
  int port() const { return listener_.port; }
  // Bytes the client sent so far.
  std::string fromClient() { return pump_.recorded(); }
  void start() {
    pump_.startWith([this](int& a, int& b) {
      pollfd p[2] = {{listener_.fd, POLLIN, 0}, {pump_.stopFd(), POLLIN, 0}};
      if (poll(p, 2, 20000) <= 0 || p[1].revents) return false;
      client_ = accept(listener_.fd, nullptr, nullptr);
      server_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<uint16_t>(target_));
      if (client_ < 0 || ::connect(server_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
      a = client_;
      b = server_;
      return true;
    });
  }

 private:
  int target_;
  LocalListener listener_;
  int client_ = -1, server_ = -1;  // the pump's thread sets them; read after it has ended
  Pump pump_;
};

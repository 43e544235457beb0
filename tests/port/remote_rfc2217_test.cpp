// SPDX-License-Identifier: MIT
// RFC 2217 against servers that answer otherwise than ser2net (scripted on
// 127.0.0.1 by rfc2217_server.py), and what a real ser2net must get from
// Close.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <atomic>

#include "comport.h"
#include "device/rfc2217.h"
#include "test_app.h"
#include "test_ser2net.h"

namespace {

// Opens `port`; the code and system error of its failure, {0, 0} on success.
std::pair<int, int> Outcome(const std::function<void()>& call) {
  try {
    call();
  } catch (const EComPort& e) {
    return {e.Code(), e.WinCode()};
  }
  return {0, 0};
}

}  // namespace

// Answers are taken by their command: acknowledged state masks (codes 110 and
// 111) land on no setting, and an unanswered DTR/RTS request takes no answer
// away from a setting, so a server that grants half the rate is caught every
// time.
TEST(RemoteRfc2217, AnswersAreTakenByTheirCommand) {
  EnsureApp();
  ScriptedServer masks("masks");
  ASSERT_GT(masks.port, 0);
  TComPort port;
  port.SetPort(masks.name());
  EXPECT_EQ(Outcome([&] { port.Open(); }), std::make_pair(0, 0));
  EXPECT_EQ(Outcome([&] { port.SetBaudRate(br57600); }), std::make_pair(0, 0));
  port.Close();

  ScriptedServer half("half");
  ASSERT_GT(half.port, 0);
  TComPort halved;
  halved.SetPort(half.name());
  ASSERT_EQ(Outcome([&] { halved.Open(); }), std::make_pair(0, 0));  // 9600 is granted
  for (int i = 0; i < 3; ++i) {
    halved.SetDTRLine(i % 2 == 0);  // left unanswered
    EXPECT_EQ(Outcome([&] { halved.SetBaudRate(br57600); }), std::make_pair(int(CError_SetStateFailed), EINVAL));
    EXPECT_EQ(Outcome([&] { halved.SetBaudRate(br9600); }), std::make_pair(0, 0));
  }
  halved.Close();
}

// A server that speaks no Telnet is refused at Open with EPROTO and gets
// nothing but the client's offer of the option.
TEST(RemoteRfc2217, ServerWithoutTheOptionIsRefusedAtOpen) {
  EnsureApp();
  char path[] = "/tmp/serivox-raw-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    ScriptedServer raw("raw", path);
    ASSERT_GT(raw.port, 0);
    TComPort port;
    port.SetPort(raw.name());
    port.Timeouts().SetWriteTotalConstant(300);
    EXPECT_EQ(Outcome([&] { port.Open(); }), std::make_pair(int(CError_OpenFailed), EPROTO));
    EXPECT_FALSE(port.Connected());
    std::string got;
    WaitUntil([&] {
      std::ifstream in(path, std::ios::binary);
      got.assign(std::istreambuf_iterator<char>(in), {});
      return !got.empty();
    });
    EXPECT_EQ(got, serivox::device::Rfc2217::Greeting());
  }
  std::remove(path);
}

// Close right after a write: every byte reported written reaches ser2net's
// serial side, read there at the line's own pace.
TEST(RemoteRfc2217, CloseAfterAWriteLosesNothing) {
  EnsureApp();
  const struct {
    bool rfc2217;
    size_t size;
    TBaudRate rate;
    int bps;
  } cases[] = {{true, 4096, br115200, 115200},
               {true, 65536, br115200, 115200},
               {false, 65536, br115200, 115200},
               {true, 524288, brCustom, 921600}};
  for (const auto& c : cases) {
    START_SER2NET(server);
    TComPort port;
    port.SetPort(c.rfc2217 ? server.rfc2217Name() : server.tcpName());
    port.SetEvents({});
    port.SetBaudRate(c.rate);
    port.SetCustomBaudRate(c.bps);
    SCOPED_TRACE(port.Port() + " " + std::to_string(c.size));
    ASSERT_NO_THROW(port.Open());
    std::string data(c.size, '\0');
    std::mt19937 gen(static_cast<unsigned>(c.size));
    for (char& ch : data) ch = static_cast<char>(gen());
    // The far side reads no faster than the line would carry the bytes.
    std::atomic<bool> closed{false};
    std::string arrived;
    std::thread reader([&] {
      const auto start = std::chrono::steady_clock::now();
      auto quiet = start;
      char buf[4096];
      while (arrived.size() < data.size()) {
        const auto now = std::chrono::steady_clock::now();
        if (closed && now - quiet > std::chrono::seconds(3)) break;
        const double allowed = std::chrono::duration<double>(now - start).count() * c.bps / 10;
        if (arrived.size() + 256 > allowed) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          continue;
        }
        const ssize_t n = ::read(server.pty.master, buf, 256);
        if (n > 0) {
          arrived.append(buf, static_cast<size_t>(n));
          quiet = std::chrono::steady_clock::now();
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      }
    });
    int32_t written = 0;
    try {
      written = port.SendBuffer(data.data(), static_cast<int32_t>(data.size()));
    } catch (const EComPort& e) {
      ADD_FAILURE() << e.what();
    }
    port.Close();
    closed = true;
    reader.join();
    EXPECT_EQ(written, static_cast<int32_t>(data.size()));
    EXPECT_EQ(arrived.size(), static_cast<size_t>(written));
    EXPECT_TRUE(arrived == data.substr(0, static_cast<size_t>(written)));
  }
}

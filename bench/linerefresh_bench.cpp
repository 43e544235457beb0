// SPDX-License-Identifier: MIT
// linerefresh_bench: the DTR/RTS requests that Timer3's refresh sends while
// the window shows short text lines, and the lines shown per second, on a
// device double that charges every request the time one takes on a USB
// adapter (ftdi_sio under QEMU: see the real-driver tests' "[ usb ]" line).
//
//   QT_QPA_PLATFORM=offscreen linerefresh_bench [--lines N] [--charge-us U]
//
// The window's port is NULLMODEM-A behind the counting device; a writer
// thread sends N lines "line 00001\r\n" on NULLMODEM-B, at most 32 KiB ahead
// of what the window has read. Bounded by a deadline.
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench_util.h"
#include "counting_port.h"
#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

int main(int argc, char** argv) {
  int lines = 20000;
  long chargeUs = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--lines") && i + 1 < argc)
      lines = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--charge-us") && i + 1 < argc)
      chargeUs = std::atol(argv[++i]);
    else {
      std::fprintf(stderr, "usage: %s [--lines N] [--charge-us U]\n", argv[0]);
      return 2;
    }
  }
  QApplication app(argc, argv);
  SetExceptionReporter([](QObject*, const std::exception& e) { std::fprintf(stderr, "error: %s\n", e.what()); });
  SetErrorSink([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
  auto counts = std::make_shared<LineRequests>();
  counts->charge = std::chrono::microseconds(chargeUs);
  TSerivox::MakePort = [&](QObject* owner) { return new CountingPort(owner, counts); };
  auto* w = new TSerivox;
  TSerivox::MakePort = nullptr;
  w->show();
  {
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
  }
  // The built-in ports pace bytes at the sender's rate: 10 Mbit/s, so that
  // the window is what limits the lines.
  constexpr uint32_t kRate = 10'000'000;
  std::unique_ptr<serivox::device::Device> far;
  if (serivox::device::openDevice("NULLMODEM-B", far) != 0) return 1;
  serivox::device::Dcb dcb;
  dcb.BaudRate = kRate;
  dcb.ByteSize = 8;
  if (far->setCommState(dcb) != 0) return 1;
  w->ComPort->SetBaudRate(brCustom);
  w->ComPort->SetCustomBaudRate(kRate);
  w->ComPort->SetPort("NULLMODEM-A");
  w->ComPort->Open();
  const int panelBefore = w->ui->Memo1->LineCount();
  const int dtr0 = counts->dtr, rts0 = counts->rts;

  std::string text;
  for (int i = 0; i < lines; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "line %05d\r\n", i);
    text += line;
  }
  const int64_t deadline = bench::NowNs() + 300'000'000'000;
  const int64_t t0 = bench::NowNs();
  std::thread writer([&] {
    for (size_t at = 0; at < text.size() && bench::NowNs() < deadline;) {
      // The built-in ports have no flow control of their own: stay within
      // half the window's 64 KiB input queue, so that nothing overruns.
      if ((long long)at - counts->bytesRead > 32 * 1024) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      int done = 0;
      const int n = int(std::min<size_t>(1200, text.size() - at));
      far->write(reinterpret_cast<const uint8_t*>(text.data() + at), n, done);
      at += size_t(done);
    }
  });
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (counts->bytesRead >= (long long)text.size() || bench::NowNs() > deadline) loop.quit();
  });
  poll.start(5);
  loop.exec();
  w->Timer3Timer(w->Timer3);  // the last line
  const double s = (bench::NowNs() - t0) / 1e9;
  writer.join();
  const int shown = w->ui->Memo1->LineCount() - panelBefore;
  const int requests = counts->dtr - dtr0 + counts->rts - rts0;
  std::printf("lines %d, charge %ld us per request: %.2f s, %d lines shown (%.0f per s), %d requests (%.0f per s)\n",
              lines, chargeUs, s, shown, shown / s, requests, requests / s);
  w->ComPort->Close();
  delete w;
  return 0;
}

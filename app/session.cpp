// SPDX-License-Identifier: MIT
#include "session.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QWindow>

#include "portctl.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the byte wakes the application's thread.
void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[0], &byte, 1);
}

#ifdef SERIVOX_TEST_HOOKS
void RunStep(TSerivox* form, const QString& step) {
  if (step == QLatin1String("slave")) {
    form->ui->Button7->click();
  } else if (step == QLatin1String("popup")) {
    form->ui->ComComboBox1->showPopup();
  } else if (step == QLatin1String("connect")) {
    form->ui->Button1->click();
  } else if (step == QLatin1String("exit")) {
    form->ui->Button5->click();
  } else if (step == QLatin1String("close")) {
    if (QWindow* window = form->windowHandle()) window->close();
  }
}
#endif

}  // namespace

void InstallTerminationHandler(TSerivox* mainWindow) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, mainWindow);
  QPointer<TSerivox> form(mainWindow);
  QObject::connect(notifier, &QSocketNotifier::activated, mainWindow, [form] {
    char byte;
    [[maybe_unused]] ssize_t n = read(signalPipe[1], &byte, 1);
    // A box or dialog may be open: closing the main window asks every event
    // loop to end. A box shown before the program's own loop started (an
    // error of the start-up connect) ends that way too, but the loop that
    // starts after it would then run on with no window: the exit is asked
    // again once the program's loop runs.
    if (form) form->close();
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

void RunTestSteps([[maybe_unused]] TSerivox* mainWindow) {
#ifdef SERIVOX_TEST_HOOKS
  const QStringList steps =
      QString::fromLocal8Bit(qgetenv("SERIVOX_TEST_STEPS")).split(QLatin1Char(','), Qt::SkipEmptyParts);
  QPointer<TSerivox> form(mainWindow);
  for (qsizetype i = 0; i < steps.size(); ++i)
    QTimer::singleShot(static_cast<int>(100 * (i + 1)), mainWindow, [form, step = steps[i].trimmed()] {
      if (form) RunStep(form, step);
    });
#endif
}

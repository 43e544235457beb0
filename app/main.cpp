// SPDX-License-Identifier: MIT
// The program's entry: the command line, the framework, the error display and
// the main window.
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "cmdline.h"
#include "errordisplay.h"
#include "probe.h"
#include "serivox.h"
#include "session.h"

namespace {

// Reads the command line before the framework starts, so that help, version
// and a refused option need no display. Returns the exit status when the
// program is to end before any window opens, else -1.
int ReadCommandLine(int argc, char* argv[], CommandLine& options) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  QString output;
  switch (CommandLine::Parse(arguments, options, output)) {
    case CommandLine::Run:
      return -1;
    case CommandLine::ExitOk:
      std::fputs(output.toLocal8Bit().constData(), stdout);
      return 0;
    case CommandLine::ExitBad:
      std::fprintf(stderr, "serivox: %s\nTry 'serivox --help' for more information.\n",
                   output.toLocal8Bit().constData());
      return kBadCommandLine;
  }
  return -1;
}

// While the framework starts, Qt's messages are held back: when no display
// can be opened, Qt would print several lines and abort with advice to
// reinstall; instead one line says what is missing and the status is 1.
struct HeldMessage {
  QtMsgType type;
  QByteArray category;
  QString text;
};
// A platform plugin may log from a thread of its own.
std::mutex heldMutex;
QList<HeldMessage> heldMessages;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    const std::lock_guard<std::mutex> lock(heldMutex);
    heldMessages.append({type, context.category, text});
    return;
  }
  const QByteArray x11 = qgetenv("DISPLAY"), wayland = qgetenv("WAYLAND_DISPLAY");
  if (x11.isEmpty() && wayland.isEmpty())
    std::fputs("serivox: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset)\n", stderr);
  else
    std::fprintf(stderr, "serivox: cannot open the window: the display %s could not be opened\n",
                 (x11.isEmpty() ? wayland : x11).constData());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(1);
}

// Gives the held messages to Qt's own output once the framework runs.
void ReleaseMessages() {
  qInstallMessageHandler(nullptr);
  const std::lock_guard<std::mutex> lock(heldMutex);
  for (const HeldMessage& message : heldMessages)
    qt_message_output(message.type, QMessageLogContext(nullptr, 0, nullptr, message.category.constData()),
                      message.text);
  heldMessages.clear();
}

}  // namespace

int main(int argc, char* argv[]) {
  CommandLine options;
  if (const int status = ReadCommandLine(argc, argv, options); status >= 0) return status;

  qInstallMessageHandler(HoldMessage);
  QApplication app(argc, argv);
  ReleaseMessages();
  // The title of every message box; window captions stay as each window sets them.
  QApplication::setApplicationName(QStringLiteral("Serivox"));
  QApplication::setApplicationVersion(QStringLiteral(SERIVOX_VERSION));
  // Slave windows are hidden, never closed: the main window ends the program itself.
  QApplication::setQuitOnLastWindowClosed(false);
  SetExceptionReporter([](QObject*, const std::exception& error) { ShowError(error); });

  // The first window created is the main window.
  auto* form = new TSerivox;
  InstallTerminationHandler(form);
  form->show();
  options.ApplyTo(*form);
  RunTestSteps(form);
  InstallProbeFromEnvironment(form);
  const int result = QApplication::exec();

  // The main window and any slave windows go before the framework does. The
  // list of top-level widgets also holds the pop-ups the windows own, which
  // die with them: the windows are picked out first and followed by guarded
  // pointers, so nothing already destroyed is touched.
  QList<QPointer<TSerivox>> forms;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<TSerivox*>(widget)) forms.append(window);
  for (const QPointer<TSerivox>& window : forms) delete window.data();
  return result;
}

// The program's entry: the framework, the error display and the main window.
#include <QApplication>
#include <QList>
#include <QPointer>
#include <cstdio>
#include <exception>

#include "cmdline.h"
#include "errordisplay.h"
#include "probe.h"
#include "serivox.h"
#include "session.h"

namespace {

// Reads the command line. Returns the exit status when the program is to end
// before any window opens (help, version, a refused option), else -1.
int ReadCommandLine(CommandLine& options) {
  QString output;
  switch (CommandLine::Parse(QCoreApplication::arguments(), options, output)) {
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

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The title of every message box; window captions stay as each window sets them.
  QApplication::setApplicationName(QStringLiteral("Serivox"));
  QApplication::setApplicationVersion(QStringLiteral("2.5"));
  CommandLine options;
  if (const int status = ReadCommandLine(options); status >= 0) return status;
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

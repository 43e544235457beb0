// The program's entry: the framework, the error display and the main window.
#include <QApplication>
#include <QList>
#include <QPointer>
#include <exception>

#include "errordisplay.h"
#include "probe.h"
#include "serivox.h"
#include "session.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The title of every message box; window captions stay as each window sets them.
  QApplication::setApplicationName(QStringLiteral("Serivox"));
  // Slave windows are hidden, never closed: the main window ends the program itself.
  QApplication::setQuitOnLastWindowClosed(false);
  SetExceptionReporter([](QObject*, const std::exception& error) { ShowError(error); });

  // The first window created is the main window.
  auto* form = new TSerivox;
  InstallTerminationHandler(form);
  form->show();
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

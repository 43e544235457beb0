// The program's entry: the framework, the error display and the main window.
#include <QApplication>
#include <exception>

#include "errordisplay.h"
#include "serivox.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The title of every message box; window captions stay as each window sets them.
  QApplication::setApplicationName(QStringLiteral("Serivox"));
  // Slave windows are hidden, never closed: the main window ends the program itself.
  QApplication::setQuitOnLastWindowClosed(false);
  SetExceptionReporter([](QObject*, const std::exception& error) { ShowError(error); });

  // The first window created is the main window.
  auto* form = new TSerivox;
  form->show();
  const int result = QApplication::exec();

  // The main window and any slave windows go before the framework does.
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (qobject_cast<TSerivox*>(widget) != nullptr) delete widget;
  return result;
}

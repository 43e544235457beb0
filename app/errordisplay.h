// The general error display: every error that ends a handler is shown here,
// in a critical message box titled with the application title.
//
// No exception may cross Qt's own code. Every event binding (signal/slot
// lambda, event override, timer) runs its handler through Guarded, which
// catches the error and hands it to the display; the program then goes on.
#pragma once

#include <QString>
#include <exception>
#include <functional>

// The message as shown: a full stop is added when the last character has a
// code above that of the full stop ("Failed to store settings." but
// "... (win error code: 2)" unchanged).
QString ErrorMessageText(const QString& message);

// Shows the message of an error (its bytes taken as UTF-8).
void ShowError(const std::exception& error);
void ShowErrorText(const QString& message);

// For tests: hands every message (full stop already applied) to `sink`
// instead of showing a modal box. An empty function restores the box.
void SetErrorSink(std::function<void(const QString&)> sink);

// Runs f; any error it raises is shown and goes no further.
template <class F>
void Guarded(F&& f) noexcept {
  try {
    try {
      f();
    } catch (const std::exception& e) {
      ShowError(e);
    } catch (...) {
      ShowErrorText(QStringLiteral("Unknown error"));
    }
  } catch (...) {
    // The display itself failed (out of memory): nothing more can be done.
  }
}

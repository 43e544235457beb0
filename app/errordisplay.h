// SPDX-License-Identifier: MIT
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

// A second, informative line for an error, or "": for a port the user may
// not open (EACCES), the device's group and how to join it; for other failed
// opens, the cause (opencause.h).
QString ErrorDetail(const std::exception& error);

// Shows the message of an error (its bytes taken as UTF-8) with its detail.
void ShowError(const std::exception& error);
void ShowErrorText(const QString& message, const QString& detail = QString());

// For tests: hands every message (full stop already applied), and its detail,
// to `sink` instead of showing a modal box. An empty function restores the box.
void SetErrorSink(std::function<void(const QString& message)> sink);
void SetErrorDetailSink(std::function<void(const QString& message, const QString& detail)> sink);

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

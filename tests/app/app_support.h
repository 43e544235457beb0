// SPDX-License-Identifier: MIT
// What the window tests share: the application object and waiting with the
// event loop running.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <functional>

#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

inline QApplication* EnsureGuiApp() {
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
  }
  return qApp;
}

// Runs the event loop until `done` holds or `limitMs` pass; returns `done()`.
inline bool WaitWithEvents(const std::function<bool()>& done, int limitMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < limitMs) QTest::qWait(10);
  return done();
}

#include <sys/fsuid.h>
#include <unistd.h>

// While it lives, this thread reaches files as an ordinary user ("nobody")
// when the tests run as root, so that file permissions apply as they do for
// a user; run by an ordinary user it changes nothing. The file-system
// identity is the thread's own: other threads keep theirs.
class OrdinaryUser {
 public:
  OrdinaryUser() : root_(geteuid() == 0) {
    if (!root_) return;
    setfsgid(65534);
    setfsuid(65534);
  }
  ~OrdinaryUser() {
    if (!root_) return;
    setfsuid(0);
    setfsgid(0);
  }
  OrdinaryUser(const OrdinaryUser&) = delete;
  OrdinaryUser& operator=(const OrdinaryUser&) = delete;

 private:
  bool root_;
};

// A window with the messages of the error display collected, which must stay
// empty unless a test takes them out.
class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    SetErrorSink([this](const QString& m) { errors.append(m); });
    w = new TSerivox;
    w->ui->Memo1->setFixedWidth(400);
  }
  void TearDown() override {
    delete w;
    SetErrorSink({});
    EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
  }

  TSerivox* w = nullptr;
  QStringList errors;
};

// The messages of the error display, collected while this lives. Declared
// ahead of a test's windows it outlives them, so a test that ends early on a
// failed ASSERT leaves no sink behind that points at a destroyed list.
class CollectedErrors {
 public:
  CollectedErrors() {
    SetErrorSink([this](const QString& m) { list.append(m); });
  }
  ~CollectedErrors() { SetErrorSink({}); }
  CollectedErrors(const CollectedErrors&) = delete;
  CollectedErrors& operator=(const CollectedErrors&) = delete;
  QString joined() const { return list.join(" | "); }

  QStringList list;
};

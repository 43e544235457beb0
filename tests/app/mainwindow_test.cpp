// SPDX-License-Identifier: MIT
// The main window: start-up state, connecting, errors, further windows,
// resizing and the DTR/RTS refresh, on the built-in virtual ports.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <grp.h>
#include <pty.h>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "app_support.h"
#include "errordisplay.h"
#include "portctl.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {



class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    std::remove(TSerivox::ConfigPath().c_str());
    SetErrorSink([this](const QString& message) { errors.append(message); });
    form = std::make_unique<TSerivox>();
  }

  void TearDown() override {
    for (TSerivox* slave : Slaves()) delete slave;
    form.reset();
    SetErrorSink({});
    std::remove(TSerivox::ConfigPath().c_str());
  }

  // The windows made by "Create new instance".
  std::vector<TSerivox*> Slaves() const {
    std::vector<TSerivox*> slaves;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<TSerivox*>(widget); window != nullptr && window != form.get())
        slaves.push_back(window);
    return slaves;
  }

  static bool ShowsOpen(TSerivox* window) {
    return window->ui->Shape1->BrushColor() == clLime && window->ui->Button1->text().remove(QLatin1Char('&')) == "Disconnect";
  }
  static bool ShowsClosed(TSerivox* window) {
    return window->ui->Shape1->BrushColor() == clRed && window->ui->Button1->text().remove(QLatin1Char('&')) == "Connect";
  }

  QStringList errors;
  std::unique_ptr<TSerivox> form;
};

TEST_F(MainWindowTest, StartsWithItsDesignAndPortSettings) {
  EXPECT_EQ(form->windowTitle(), "Zelvar Serivox v2.5");
  EXPECT_EQ(form->size(), QSize(582, 510));
  EXPECT_EQ(form->minimumHeight(), 510);
  EXPECT_EQ(form->objectName(), "Serivox");
  EXPECT_FALSE(form->windowIcon().isNull());
  EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());

  TComPort* port = form->ComPort;
  EXPECT_EQ(port->objectName(), "ComPort");
  EXPECT_EQ(port->parent(), form.get());
  EXPECT_FALSE(port->Loading());
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->Port(), "COM1");
  EXPECT_EQ(port->BaudRate(), br38400);
  EXPECT_EQ(port->StopBits(), sbTwoStopBits);
  EXPECT_EQ(port->DataBits(), dbEight);
  EXPECT_EQ(port->Parity().Bits(), prNone);
  EXPECT_EQ(port->Events(), kAllComEvents);
  EXPECT_EQ(port->SyncMethod(), smWindowSync);
  EXPECT_EQ(port->FlowControl().ControlDTR(), dtrEnable);
  EXPECT_EQ(port->FlowControl().ControlRTS(), rtsDisable);
  EXPECT_EQ(port->FlowControl().FlowControl(), fcNone);

  EXPECT_EQ(form->ui->ComComboBox2->Text(), "38400");
  EXPECT_EQ(form->ui->ComComboBox3->Text(), "None");
  for (TComComboBox* selector : {form->ui->ComComboBox1, form->ui->ComComboBox2, form->ui->ComComboBox3}) {
    EXPECT_EQ(selector->ComPort(), port);
    EXPECT_TRUE(selector->AutoApply());
  }
  const TComLedSignal signals_[] = {lsCTS, lsDSR, lsRing, lsRLSD};
  const TComLed* lamps[] = {form->ui->ComLed1, form->ui->ComLed2, form->ui->ComLed3, form->ui->ComLed4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(lamps[i]->ComPort(), port);
    EXPECT_EQ(lamps[i]->LedSignal(), signals_[i]);
    EXPECT_EQ(lamps[i]->Kind(), lkRedLight);
  }

  for (QComboBox* ending : {form->ui->ComboBox2, form->ui->ComboBox3, form->ui->ComboBox4}) {
    EXPECT_TRUE(ending->isEditable());
    EXPECT_EQ(ending->currentText(), "none");
    ASSERT_EQ(ending->count(), 5);
    EXPECT_EQ(ending->itemText(4), "LFCR");
  }
  EXPECT_EQ(form->ui->ComboBox1->currentText(), "none");
  EXPECT_EQ(form->ui->TrackBar1->minimum(), 1);
  EXPECT_EQ(form->ui->TrackBar1->maximum(), 20);
  EXPECT_EQ(form->Timer2->interval(), 2000);
  EXPECT_EQ(form->Timer3->interval(), 100);
  EXPECT_TRUE(form->Timer1->isActive() && form->Timer2->isActive() && form->Timer3->isActive());
  EXPECT_TRUE(ShowsClosed(form.get()));
  EXPECT_EQ(form->OwnId, 255);
  EXPECT_EQ(form->PeerId, 255);

  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_FALSE(form->ui->VirtualCom->isVisible()) << "no bridge library next to the tests";
  EXPECT_FALSE(form->ui->Panel4->isVisible());
  EXPECT_TRUE(form->ui->GroupBox1->isVisible());
  EXPECT_EQ(form->ui->GroupBox1->height(), 257);
  EXPECT_EQ(form->ui->Panel5->width(), 177);
  EXPECT_EQ(form->ui->Panel2->height(), 41);
  EXPECT_EQ(form->ui->Panel3->height(), 101);
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// The lamps only show signals: Tab passes them by, and they keep their names.
TEST_F(MainWindowTest, TabPassesTheLampsByAndTheyKeepTheirNames) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  // The panes keep Tab as a character; here it moves on, to go round the window.
  for (QPlainTextEdit* pane : form->findChildren<QPlainTextEdit*>()) pane->setTabChangesFocus(true);
  form->ui->ComComboBox1->setFocus(Qt::TabFocusReason);
  QSet<QWidget*> visited;
  for (int i = 0; i < 80; ++i) {
    QWidget* focused = form->focusWidget();
    ASSERT_NE(focused, nullptr);
    visited.insert(focused);
    QTest::keyClick(focused, Qt::Key_Tab);
  }
  EXPECT_TRUE(visited.contains(form->ui->ComComboBox3));
  EXPECT_TRUE(visited.contains(form->ui->Button1));
  for (QWidget* widget : visited) EXPECT_EQ(qobject_cast<TComLed*>(widget), nullptr) << widget->objectName().toStdString();
  const char* names[] = {"CTS", "DSR", "RI", "RLSD"};
  const TComLed* lamps[] = {form->ui->ComLed1, form->ui->ComLed2, form->ui->ComLed3, form->ui->ComLed4};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(lamps[i]->accessibleName(), QString("%1: %2").arg(names[i], lamps[i]->State() == lsOn ? "on" : "off"));
}

// Each selector's field is wide enough for every item of its list, so the
// choice shows whole ("Hardware", "NULLMODEM-B").
TEST_F(MainWindowTest, SelectorsShowTheirLongestItemWhole) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  for (TComComboBox* box : {form->ui->ComComboBox1, form->ui->ComComboBox2, form->ui->ComComboBox3}) {
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.frame = box->hasFrame();
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box);
    ASSERT_GT(box->count(), 0) << box->objectName().toStdString();
    for (int i = 0; i < box->count(); ++i)
      EXPECT_LE(box->fontMetrics().horizontalAdvance(box->itemText(i)), field.width())
          << box->objectName().toStdString() << ": " << box->itemText(i).toStdString();
  }
}

// A port the user may not open: the error keeps its text and its box gets a
// second line naming the device's group and how to join it.
TEST_F(MainWindowTest, AccessDeniedNamesTheDevicesGroup) {
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  int master = -1, slave = -1;
  char name[64] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(::fchown(slave, 0, dialout->gr_gid), 0);
  ASSERT_EQ(::fchmod(slave, 0660), 0);
  QStringList details;
  SetErrorDetailSink([&](const QString& message, const QString& detail) {
    errors.append(message);
    details.append(detail);
  });
  form->show();
  form->ComPort->SetPort(name);
  {
    OrdinaryUser user;
    QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  }
  ::close(slave);
  ::close(master);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(errors[0], "Unable to open com port (win error code: 13)");
  EXPECT_TRUE(details[0].contains(name)) << details[0].toStdString();
  EXPECT_TRUE(details[0].contains("\"dialout\"")) << details[0].toStdString();
  EXPECT_TRUE(details[0].contains("sudo usermod -aG dialout $USER")) << details[0].toStdString();
  EXPECT_TRUE(ShowsClosed(form.get()));

  // Other errors have no second line.
  errors.clear();
  details.clear();
  ShowError(EComPort(CError_WriteFailed, EIO));
  ASSERT_EQ(details.size(), 1);
  EXPECT_EQ(details[0], "");
}

// Every caption reads to assistive technology exactly as given, its keyboard
// accelerator (the underlined letter) apart.
TEST_F(MainWindowTest, CaptionsReadAsGivenToAssistiveTechnology) {
  form->show();
  const std::pair<QWidget*, QString> captions[] = {
      {form->ui->Label5, "Port:"},        {form->ui->Label6, "Baud Rate:"},
      {form->ui->Label7, "Flow Control:"}, {form->ui->DTRCheckBox, "DTR"},
      {form->ui->RTSCheckBox, "RTS"},      {form->ui->CheckBox4, "Echo"},
      {form->ui->CheckBox6, "Show control chars"}, {form->ui->CheckBox5, "Show HEX"},
      {form->ui->Button1, "Connect"},      {form->ui->Button11, "Send File"}};
  for (const auto& [widget, caption] : captions) {
    QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(a11y, nullptr);
    EXPECT_EQ(a11y->text(QAccessible::Name), caption) << widget->objectName().toStdString();
  }
  // The accelerators lead to their controls.
  EXPECT_EQ(form->ui->Label5->buddy(), form->ui->ComComboBox1);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(form->ui->CheckBox5)->actionInterface()->keyBindingsForAction(
                QAccessibleActionInterface::pressAction()),
            QStringList{QKeySequence(Qt::ALT | Qt::Key_H).toString(QKeySequence::NativeText)});
}

TEST_F(MainWindowTest, ConnectButtonFollowsThePortState) {
  form->show();
  form->ComPort->SetPort("LOOPBACK");
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  EXPECT_TRUE(form->ComPort->Connected());
  EXPECT_TRUE(ShowsOpen(form.get()));
  EXPECT_EQ(form->ui->Shape1->accessibleName(), "Port connected: on");

  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_TRUE(ShowsClosed(form.get()));

  // Opened and closed from elsewhere: lamp and caption still follow.
  form->ComPort->SetConnected(true);
  EXPECT_TRUE(ShowsOpen(form.get()));
  form->ComPort->Close();
  EXPECT_TRUE(ShowsClosed(form.get()));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(MainWindowTest, FailedOpenIsShownAndLeavesTheWindowClosed) {
  form->show();
  form->ComPort->SetPort("/dev/ttyNOSUCH");
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(errors[0], "Unable to open com port (win error code: 2)");
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_TRUE(ShowsClosed(form.get()));
}

// The far end of the port's pseudo-terminal goes away, as when a USB adapter
// is pulled: the window closes the port and says so once.
TEST_F(MainWindowTest, LostDeviceClosesThePortAndIsShownOnce) {
  form->show();
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  form->ComPort->SetPort(name);
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  ASSERT_TRUE(form->ComPort->Connected());
  ::close(master);
  ASSERT_TRUE(WaitWithEvents([&] { return !errors.isEmpty(); }));
  EXPECT_EQ(errors[0], QString("The device of port %1 went away (win error code: 5)").arg(name));
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_TRUE(ShowsClosed(form.get()));
  for (TComLed* lamp : {form->ui->ComLed1, form->ui->ComLed2, form->ui->ComLed3, form->ui->ComLed4})
    EXPECT_EQ(lamp->State(), lsOff);
  WaitWithEvents([] { return false; }, 500);  // no further box per tick
  EXPECT_EQ(errors.size(), 1);
}

TEST_F(MainWindowTest, ChangingASelectorClosesThePort) {
  form->show();
  form->ComPort->SetPort("LOOPBACK");
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  ASSERT_TRUE(form->ComPort->Connected());

  TComComboBox* baud = form->ui->ComComboBox2;
  const int index = baud->findText("9600");
  ASSERT_GE(index, 0);
  baud->UserSelect(index);
  EXPECT_EQ(form->ComPort->BaudRate(), br9600);
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_TRUE(ShowsClosed(form.get()));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(MainWindowTest, NewInstancesHaveTheirOwnPorts) {
  form->show();
  QTest::mouseClick(form->ui->Button7, Qt::LeftButton);
  QTest::mouseClick(form->ui->Button7, Qt::LeftButton);
  std::vector<TSerivox*> slaves = Slaves();
  ASSERT_EQ(slaves.size(), 2u);
  for (TSerivox* slave : slaves) {
    EXPECT_EQ(slave->windowTitle(), "Zelvar Serivox - Slave");
    EXPECT_TRUE(slave->isVisible());
    EXPECT_EQ(slave->parent(), nullptr);
    EXPECT_FALSE(slave->testAttribute(Qt::WA_DeleteOnClose));
  }
  ASSERT_NE(slaves[0]->ComPort, slaves[1]->ComPort);
  ASSERT_NE(slaves[0]->ComPort, form->ComPort);

  slaves[0]->ComPort->SetPort("LOOPBACK");
  slaves[1]->ComPort->SetPort("NULLMODEM-A");
  QTest::mouseClick(slaves[0]->ui->Button1, Qt::LeftButton);
  QTest::mouseClick(slaves[1]->ui->Button1, Qt::LeftButton);
  EXPECT_TRUE(ShowsOpen(slaves[0]));
  EXPECT_TRUE(ShowsOpen(slaves[1]));
  EXPECT_TRUE(ShowsClosed(form.get()));

  // The main window cannot take a virtual port a slave holds.
  form->ComPort->SetPort("LOOPBACK");
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  EXPECT_EQ(errors.size(), 1);
  EXPECT_TRUE(ShowsClosed(form.get()));

  // "Exit" of a slave closes its port and hides it; the others go on.
  QTest::mouseClick(slaves[0]->ui->Button5, Qt::LeftButton);
  EXPECT_FALSE(slaves[0]->isVisible());
  EXPECT_FALSE(slaves[0]->ComPort->Connected());
  EXPECT_TRUE(ShowsClosed(slaves[0]));
  EXPECT_TRUE(slaves[1]->ComPort->Connected());
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Slaves().size(), 2u) << "a closed slave is hidden, not destroyed";
}

TEST_F(MainWindowTest, ClosingTheMainWindowClosesItsPort) {
  form->show();
  form->ComPort->SetPort("LOOPBACK");
  form->ComPort->SetConnected(true);
  ASSERT_TRUE(ShowsOpen(form.get()));
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindowTest, NarrowingKeepsTheTerminalWideAndExitFollows) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->resize(200, 510);
  EXPECT_TRUE(WaitWithEvents([&] { return form->ui->Button5->width() == form->width() - 20; }));
  EXPECT_GE(form->ui->Panel1->width(), 340);
  EXPECT_EQ(form->ui->Panel1->minimumWidth(), 340);
  EXPECT_GE(form->height(), 510);

  form->resize(900, 600);
  EXPECT_TRUE(WaitWithEvents([&] { return form->width() == 900 && form->ui->Button5->width() == 880; }));
  // The test column takes its width from the window, not from the terminal's minimum.
  QTest::mouseClick(form->ui->Button10, Qt::LeftButton);
  EXPECT_TRUE(WaitWithEvents([&] { return form->ui->Panel4->isVisible(); }));
  EXPECT_GE(form->ui->Panel1->width(), 340);
  EXPECT_TRUE(WaitWithEvents([&] { return form->ui->Button5->width() == form->width() - 20; }));
}

TEST_F(MainWindowTest, DtrAndRtsFollowTheirCheckBoxes) {
  form->show();
  form->ComPort->SetPort("LOOPBACK");
  QTest::mouseClick(form->ui->Button1, Qt::LeftButton);
  ASSERT_TRUE(form->ComPort->Connected());
  // Both boxes start unchecked, so the next tick drops the lines that open raised.
  EXPECT_TRUE(WaitWithEvents([&] {
    const TComSignals s = form->ComPort->Signals();
    return !s.Contains(sgDSR) && !s.Contains(sgRLSD) && !s.Contains(sgCTS);
  }));

  form->ui->DTRCheckBox->setChecked(true);
  EXPECT_TRUE(WaitWithEvents([&] {
    const TComSignals s = form->ComPort->Signals();
    return s.Contains(sgDSR) && s.Contains(sgRLSD);
  }));
  EXPECT_FALSE(form->ComPort->Signals().Contains(sgCTS));
  EXPECT_TRUE(WaitWithEvents([&] { return form->ui->ComLed2->State() == lsOn && form->ui->ComLed4->State() == lsOn; }));

  form->ui->RTSCheckBox->setChecked(true);
  EXPECT_TRUE(WaitWithEvents([&] { return form->ComPort->Signals().Contains(sgCTS); }));

  form->ui->DTRCheckBox->setChecked(false);
  form->ui->RTSCheckBox->setChecked(false);
  EXPECT_TRUE(WaitWithEvents([&] {
    const TComSignals s = form->ComPort->Signals();
    return !s.Contains(sgDSR) && !s.Contains(sgRLSD) && !s.Contains(sgCTS);
  }));
  EXPECT_TRUE(WaitWithEvents([&] { return form->ui->ComLed2->State() == lsOff; }));
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(MainWindowTest, TimerWithClosedPortTouchesNoDevice) {
  form->ui->DTRCheckBox->setChecked(true);
  form->Timer3Timer(form->Timer3);
  QTest::qWait(300);
  EXPECT_FALSE(form->ComPort->Connected());
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// The Port field shows the port Connect opens: "COM1" as its /dev/ttyS0
// item, and a name the list does not hold as the field's text, outside the list.
TEST(PortFieldTest, ShowsThePortTheWindowOpens) {
  EnsureGuiApp();
  std::remove(TSerivox::ConfigPath().c_str());
  QTemporaryDir sysfs;
  QDir root(sysfs.path());
  root.mkpath("devices/uart");
  for (const char* tty : {"ttyS0", "ttyUSB0"}) {
    root.mkpath(QString("class/tty/%1").arg(tty));
    QFile::link(root.filePath("devices/uart"), root.filePath(QString("class/tty/%1/device").arg(tty)));
  }
  TComSelect::SetSysfsRoot(sysfs.path().toStdString());
  {
    TSerivox first;
    first.show();
    TComComboBox* field = first.ui->ComComboBox1;
    EXPECT_EQ(first.ComPort->Port(), "COM1");
    EXPECT_EQ(field->Text(), "/dev/ttyS0");
    EXPECT_EQ(field->ShownText(), "/dev/ttyS0");

    // A pseudo-terminal read from the settings file: shown, not listed.
    const int items = field->count();
    first.ComPort->SetPort("/dev/pts/7");
    field->SetComPort(nullptr);
    field->SetComPort(first.ComPort);
    EXPECT_EQ(field->currentIndex(), -1);
    EXPECT_EQ(field->Text(), "");
    EXPECT_EQ(field->ShownText(), "/dev/pts/7");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(field)->text(QAccessible::Description), "/dev/pts/7");
    EXPECT_EQ(field->count(), items);
    EXPECT_EQ(field->findText("/dev/pts/7"), -1);
    // Picking a listed port shows that one.
    field->UserSelect(field->findText("/dev/ttyUSB0"));
    EXPECT_EQ(first.ComPort->Port(), "/dev/ttyUSB0");
    EXPECT_EQ(field->ShownText(), "/dev/ttyUSB0");
    EXPECT_EQ(field->accessibleDescription(), "");
  }
  TComSelect::SetSysfsRoot("/sys");
  {
    // Where no /dev/ttyS0 is listed, the field reads "COM1".
    TComSelect::SetSysfsRoot(sysfs.path().toStdString() + "/devices");
    root.mkpath("devices/class/tty");
    TSerivox first;
    EXPECT_EQ(first.ui->ComComboBox1->ShownText(), "COM1");
    EXPECT_EQ(first.ui->ComComboBox1->Text(), "");
  }
  TComSelect::SetSysfsRoot("/sys");
  std::remove(TSerivox::ConfigPath().c_str());
}

TEST(ErrorDisplayTest, FullStopOnlyAfterACharacterAboveIt) {
  EXPECT_EQ(ErrorMessageText("Failed to store settings"), "Failed to store settings.");
  EXPECT_EQ(ErrorMessageText("Unable to open com port (win error code: 2)"),
            "Unable to open com port (win error code: 2)");
  EXPECT_EQ(ErrorMessageText("Done."), "Done.");
  EXPECT_EQ(ErrorMessageText("I/O error 5"), "I/O error 5.");
  EXPECT_EQ(ErrorMessageText("ends in a comma,"), "ends in a comma,");
  EXPECT_EQ(ErrorMessageText(""), "");
}

TEST(ErrorDisplayTest, GuardHandsEveryErrorToTheDisplay) {
  EnsureGuiApp();
  QStringList shown;
  SetErrorSink([&](const QString& message) { shown.append(message); });
  bool ranOn = false;
  Guarded([] { throw std::runtime_error("Cannot change led state if ComPort is selected"); });
  Guarded([] { throw EComPort(CError_OpenFailed, 13); });
  Guarded([] { throw 42; });
  Guarded([&] { ranOn = true; });
  SetErrorSink({});
  ASSERT_EQ(shown.size(), 3);
  EXPECT_EQ(shown[0], "Cannot change led state if ComPort is selected.");
  EXPECT_EQ(shown[1], "Unable to open com port (win error code: 13)");
  EXPECT_EQ(shown[2], "Unknown error.");
  EXPECT_TRUE(ranOn);
}

TEST(ShapeTest, AccessibleNameSaysWhetherTheLampIsOn) {
  EnsureGuiApp();
  TShape shape;
  shape.SetMeaning("Test client running");
  shape.SetBrushColor(clRed);
  EXPECT_EQ(shape.accessibleName(), "Test client running: off");
  shape.SetBrushColor(clLime);
  EXPECT_EQ(shape.accessibleName(), "Test client running: on");
  EXPECT_EQ(shape.BrushColor(), clLime);

  shape.resize(30, 20);
  const QImage image = shape.grab().toImage();
  EXPECT_EQ(QColor(image.pixel(15, 10)), clLime) << "filled in its brush colour";
  EXPECT_EQ(image.pixel(1, 1), shape.grab().toImage().pixel(1, 1));
  EXPECT_NE(QColor(image.pixel(1, 1)), clLime) << "a circle, not a rectangle";
}

}  // namespace

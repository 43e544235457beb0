// SPDX-License-Identifier: MIT
// The virtual COM bridge in the window: two windows in one process on the two
// ends of the built-in null-modem cable, joined through the bridge library.
// The windows bind the built library through the path hook.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge.h"
#include "app_support.h"
#include "errordisplay.h"
#include "portctl.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

namespace {



// What went in and out of one window's port.
struct Traffic {
  std::mutex mutex;
  std::string in, out;
  TComLink link;
  Traffic() {
    link.OnRxBuf = [this](QObject*, const uint8_t* b, int32_t n) {
      std::lock_guard lock(mutex);
      in.append(reinterpret_cast<const char*>(b), size_t(n));
    };
    link.OnTxBuf = [this](QObject*, const uint8_t* b, int32_t n) {
      std::lock_guard lock(mutex);
      out.append(reinterpret_cast<const char*>(b), size_t(n));
    };
  }
  std::string In() {
    std::lock_guard lock(mutex);
    return in;
  }
  std::string Out() {
    std::lock_guard lock(mutex);
    return out;
  }
};

QStringList Lines(const QPlainTextEdit* pane) {
  const QString text = pane->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList Peers(TSerivox* w) {
  QStringList items;
  for (int i = 0; i < w->ui->ComboBox1->count(); ++i) items << w->ui->ComboBox1->itemText(i);
  return items;
}

class BridgeWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    std::remove(TSerivox::ConfigPath().c_str());
    SetErrorSink([this](const QString& m) { errors.append(m); });
    SetBridgeLibraryPath(QStringLiteral(BRIDGE_LIBRARY));
  }
  void TearDown() override {
    for (auto [w, t] : {std::pair{a.get(), &ta}, std::pair{b.get(), &tb}}) {
      if (w == nullptr) continue;
      w->ComPort->SetConnected(false);
      w->ComPort->UnregisterLink(&t->link);
    }
    a.reset();
    b.reset();
    SetBridgeLibraryPath(QString());
    SetErrorSink({});
    std::remove(TSerivox::ConfigPath().c_str());
  }

  std::unique_ptr<TSerivox> Window(Traffic& traffic) {
    auto w = std::make_unique<TSerivox>();
    w->show();  // binds the library
    w->ComPort->RegisterLink(&traffic.link);
    return w;
  }
  // Picks the port in the selector as the user would, then opens it.
  static void Open(TSerivox* w, const QString& port) {
    const int index = w->ui->ComComboBox1->findText(port);
    ASSERT_GE(index, 0) << port.toStdString() << " not listed";
    w->ui->ComComboBox1->UserSelect(index);
    ASSERT_EQ(w->ui->ComComboBox1->Text(), port);
    w->Button1Click(w->ui->Button1);
    ASSERT_TRUE(w->ComPort->Connected());
  }
  static void Join(TSerivox* w, const QString& peer) {
    w->ui->ComboBox1->setEditText(peer);
    QTest::mouseClick(w->ui->Button9, Qt::LeftButton);
  }
  static bool ShowsJoined(TSerivox* w) {
    return w->ui->Button9->text() == "Disconnect" && w->ui->Shape4->BrushColor() == clLime &&
           !w->ui->ComboBox1->isEnabled();
  }
  static bool ShowsUnjoined(TSerivox* w) {
    return w->ui->Button9->text() == "Connect" && w->ui->Shape4->BrushColor() == clRed &&
           w->ui->ComboBox1->isEnabled() && w->PeerId == 255;
  }
  // Both windows open on the two cable ends and joined to each other.
  void OpenAndJoinBoth() {
    a = Window(ta);
    b = Window(tb);
    Open(a.get(), "NULLMODEM-A");
    Open(b.get(), "NULLMODEM-B");
    Join(a.get(), "NULLMODEM-B");
    Join(b.get(), "NULLMODEM-A");
    ASSERT_TRUE(ShowsJoined(a.get()));
    ASSERT_TRUE(ShowsJoined(b.get()));
  }

  std::unique_ptr<TSerivox> a, b;
  Traffic ta, tb;
  QStringList errors;
};

TEST_F(BridgeWindows, EachWindowListsTheOthersPortButNotItsOwn) {
  a = Window(ta);
  b = Window(tb);
  EXPECT_FALSE(a->ui->VirtualCom->isHidden());
  EXPECT_EQ(a->ui->VirtualCom->title(), "Serivox virtual COM bridge");
  EXPECT_EQ(a->OwnId, 255);

  Open(a.get(), "NULLMODEM-A");
  Open(b.get(), "NULLMODEM-B");
  ASSERT_NE(a->OwnId, 255);
  ASSERT_NE(b->OwnId, 255);
  EXPECT_NE(a->OwnId, b->OwnId);

  a->ui->ComboBox1->setEditText("typed");
  a->ui->ComboBox1->showPopup();  // the drop-down refreshes the list
  a->ui->ComboBox1->hidePopup();
  b->ComboBox1DropDown(b->ui->ComboBox1);
  EXPECT_TRUE(Peers(a.get()).contains("NULLMODEM-B"));
  EXPECT_FALSE(Peers(a.get()).contains("NULLMODEM-A"));
  EXPECT_TRUE(Peers(b.get()).contains("NULLMODEM-A"));
  EXPECT_FALSE(Peers(b.get()).contains("NULLMODEM-B"));
  EXPECT_EQ(a->ui->ComboBox1->currentText(), "typed") << "refreshing replaced the typed text";
  EXPECT_EQ(b->ui->ComboBox1->currentText(), "none");

  // A closed port leaves the list (and its own name joins the other's list again).
  b->Button1Click(b->ui->Button1);
  EXPECT_EQ(b->OwnId, 255);
  a->ComboBox1DropDown(a->ui->ComboBox1);
  EXPECT_FALSE(Peers(a.get()).contains("NULLMODEM-B"));
  EXPECT_TRUE(Peers(b.get()).contains("NULLMODEM-A"));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(BridgeWindows, TypedKeyGoesOutOfBothPorts) {
  OpenAndJoinBoth();
  EXPECT_EQ(a->PeerId, b->OwnId);
  EXPECT_EQ(b->PeerId, a->OwnId);
  const QString lampName = QAccessible::queryAccessibleInterface(a->ui->Shape4)->text(QAccessible::Name);
  EXPECT_TRUE(lampName.contains("on")) << lampName.toStdString();

  QTest::keyClick(a->ui->Memo2, 'A');
  // Out of A's own port, over the cable into B's port ...
  ASSERT_TRUE(WaitWithEvents([&] { return tb.In().find('A') != std::string::npos; }));
  EXPECT_EQ(ta.Out().substr(0, 1), "A");
  // ... and through the library out of B's port, back over the cable to A.
  ASSERT_TRUE(WaitWithEvents([&] { return Lines(b->ui->Memo2).contains("In:  #41  A"); }));
  ASSERT_TRUE(WaitWithEvents([&] { return tb.Out() == "A" && ta.In() == "A"; }));
  EXPECT_EQ(a->ui->Memo2->toPlainText(), "A") << "the typed key stays in the pane, no In: line";

  // A control key: logged as its control picture, still one line.
  QTest::keyClick(a->ui->Memo2, Qt::Key_Return);
  const QString cr = QString("In:  #0D  ") + QChar(0x240D);
  ASSERT_TRUE(WaitWithEvents([&] { return Lines(b->ui->Memo2).contains(cr); }));
  EXPECT_EQ(Lines(b->ui->Memo2), (QStringList{"In:  #41  A", cr}));
  ASSERT_TRUE(WaitWithEvents([&] { return tb.Out() == "A\r"; }));

  // The other way round.
  b->Memo2KeyPress(b->ui->Memo2, 'z');
  ASSERT_TRUE(WaitWithEvents([&] { return Lines(a->ui->Memo2).contains("In:  #7A  z"); }));
  ASSERT_TRUE(WaitWithEvents([&] { return ta.Out() == "A\rz"; }));

  // Disconnected: keys go out of the own port only.
  QTest::mouseClick(a->ui->Button9, Qt::LeftButton);
  EXPECT_TRUE(ShowsUnjoined(a.get()));
  a->Memo2KeyPress(a->ui->Memo2, 'q');
  ASSERT_TRUE(WaitWithEvents([&] { return tb.In().find('q') != std::string::npos; }));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(tb.Out(), "A\rz") << "B wrote what A sent after A left";
  EXPECT_FALSE(Lines(b->ui->Memo2).join("").contains("q"));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(BridgeWindows, PeerClosingItsPortDropsTheBridge) {
  OpenAndJoinBoth();
  // The watch leaves a live bridge alone.
  a->Timer2Timer(a->Timer2);
  EXPECT_TRUE(ShowsJoined(a.get()));

  b->Button1Click(b->ui->Button1);  // B's port closes and releases its id
  ASSERT_FALSE(b->ComPort->Connected());
  a->Timer2Timer(a->Timer2);
  EXPECT_TRUE(ShowsUnjoined(a.get()));
  const QString lampName = QAccessible::queryAccessibleInterface(a->ui->Shape4)->text(QAccessible::Name);
  EXPECT_TRUE(lampName.contains("off")) << lampName.toStdString();
  // B keeps showing the bridge: its peer is still there.
  b->Timer2Timer(b->Timer2);
  EXPECT_TRUE(ShowsJoined(b.get()));

  // B opens again and rejoins under its new id once A joins back.
  Open(b.get(), "NULLMODEM-B");
  Join(a.get(), "NULLMODEM-B");
  ASSERT_EQ(b->PeerId, a->OwnId);
  a->Memo2KeyPress(a->ui->Memo2, 'k');
  ASSERT_TRUE(WaitWithEvents([&] { return Lines(b->ui->Memo2).contains("In:  #6B  k"); }));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(BridgeWindows, ByteDeliveredWhilePortClosedIsDropped) {
  a = Window(ta);
  b = Window(tb);
  Open(b.get(), "NULLMODEM-B");
  TSerivox::BridgeReceive(a.get(), 0, 'Z');
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(a->ui->Memo2->toPlainText().isEmpty());
  EXPECT_FALSE(a->ComPort->Connected()) << "the byte opened the port";
  EXPECT_TRUE(ta.Out().empty());
  EXPECT_TRUE(tb.In().empty());

  // The same byte with the port open goes out and is logged; only the low
  // 8 bits count.
  Open(a.get(), "NULLMODEM-A");
  TSerivox::BridgeReceive(a.get(), 12345, 0xFFFFFF00u | 'Z');
  EXPECT_EQ(Lines(a->ui->Memo2), QStringList{"In:  #5A  Z"});
  ASSERT_TRUE(WaitWithEvents([&] { return tb.In() == "Z"; }));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(BridgeWindows, DestroyedWindowLeavesTheBridgeSafely) {
  OpenAndJoinBoth();
  const uint8_t goneId = b->OwnId;
  TSerivox* gone = b.get();
  b->ComPort->UnregisterLink(&tb.link);
  b.reset();  // destroyed with its port open and joined
  EXPECT_STREQ(a->GetComName(goneId), "") << "the destroyed window's id was not released";
  a->Memo2KeyPress(a->ui->Memo2, 'x');
  TSerivox::BridgeReceive(gone, 0, 'y');  // a stale context is not touched
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  a->Timer2Timer(a->Timer2);
  EXPECT_TRUE(ShowsUnjoined(a.get()));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

TEST_F(BridgeWindows, WithoutTheLibraryNothingIsShownAndTypingWorks) {
  SetBridgeLibraryPath(QStringLiteral("/nonexistent/Zelvar_Virtual_COM.DLL"));
  a = Window(ta);
  b = Window(tb);
  EXPECT_TRUE(a->ui->VirtualCom->isHidden());
  EXPECT_TRUE(a->ui->VirtualCom->title().isEmpty());
  EXPECT_EQ(a->IdentifyComDll, nullptr);
  EXPECT_EQ(a->SendByte, nullptr);
  EXPECT_EQ(a->GetComName, nullptr);
  Open(a.get(), "NULLMODEM-A");
  Open(b.get(), "NULLMODEM-B");
  EXPECT_EQ(a->OwnId, 255);
  a->ComboBox1DropDown(a->ui->ComboBox1);
  EXPECT_EQ(a->ui->ComboBox1->count(), 0);
  a->Timer2Timer(a->Timer2);
  QTest::keyClick(a->ui->Memo2, 'H');
  ASSERT_TRUE(WaitWithEvents([&] { return tb.In() == "H"; }));
  EXPECT_EQ(a->ui->Memo2->toPlainText(), "H");
  a->Button1Click(a->ui->Button1);
  EXPECT_FALSE(a->ComPort->Connected());
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

// The window's calls into a library it did not build: a stand-in records
// every call with its arguments (tests/app/standin).
class ForeignBridge : public BridgeWindows {
 protected:
  void SetUp() override {
    BridgeWindows::SetUp();
    SetBridgeLibraryPath(QStringLiteral(STANDIN_LIBRARY));
  }
  // The calls since the last take; GetComName calls are gathered apart as the ids asked.
  std::vector<std::string> Take(std::vector<uint32_t>* namesAsked = nullptr) {
    void* library = dlopen(STANDIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(library, nullptr);
    if (library == nullptr) return {};
    auto take = reinterpret_cast<void (*)(std::vector<std::string>*)>(dlsym(library, "StandInTakeCalls"));
    dlclose(library);  // only drops the reference taken above
    std::vector<std::string> all, calls;
    take(&all);
    for (const std::string& call : all) {
      if (call.rfind("GetComName(", 0) == 0) {
        if (namesAsked != nullptr) namesAsked->push_back(uint32_t(std::stoul(call.substr(11))));
      } else {
        calls.push_back(call);
      }
    }
    return calls;
  }
  static std::vector<uint32_t> Ids(uint32_t first, uint32_t last, uint32_t skip) {
    std::vector<uint32_t> ids;
    for (uint32_t id = first; id <= last; ++id)
      if (id != skip) ids.push_back(id);
    return ids;
  }
  void Deliver(uint32_t byte) {
    void* library = dlopen(STANDIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    auto deliver = reinterpret_cast<void (*)(uint32_t)>(dlsym(library, "StandInDeliverFromThread"));
    dlclose(library);
    deliver(byte);
  }
};

TEST_F(ForeignBridge, CallsIntoTheLibraryCarryTheirArguments) {
  a = Window(ta);
  a->Timer2->stop();  // the peer watch's calls would mix into the log
  EXPECT_EQ(Take(), (std::vector<std::string>{"IdentifyComDll()"}));
  EXPECT_EQ(a->ui->VirtualCom->title(), "Stand-in bridge");

  // Registering: the port's name; of the id only the low byte counts. The
  // peer list asks every id but its own, 255 included while registered.
  std::vector<uint32_t> asked;
  Open(a.get(), "NULLMODEM-A");
  EXPECT_EQ(Take(&asked), (std::vector<std::string>{"AddCom(NULLMODEM-A)"}));
  EXPECT_EQ(a->OwnId, 7);
  EXPECT_EQ(asked, Ids(0, 255, 7));
  EXPECT_EQ(Peers(a.get()), (QStringList{"PEER-A", "HIGH"}));

  // Connecting: the peer's handle reaches Connect with all 32 bits.
  Join(a.get(), "PEER-A");
  const std::string context = QString::asprintf("%p", static_cast<void*>(a.get())).toStdString();
  EXPECT_EQ(Take(), (std::vector<std::string>{"GetComHandle(PEER-A)",
                                              "Connect(7,0xa5a5a503,callback," + context + ")"}));
  EXPECT_EQ(a->PeerId, 3);

  // A typed key goes out of the port and to the library.
  QTest::keyClick(a->ui->Memo2, 'A');
  ASSERT_TRUE(WaitWithEvents([&] { return ta.Out() == "A"; }));
  EXPECT_EQ(Take(), (std::vector<std::string>{"SendByte(7,0x41)"}));

  // A byte from the library's own thread waits for the window's thread, then
  // goes out of the port and is logged; only its low byte counts.
  Deliver('B');
  EXPECT_EQ(ta.Out(), "A") << "the byte was handled on the library's thread";
  ASSERT_TRUE(WaitWithEvents([&] { return Lines(a->ui->Memo2).contains("In:  #42  B"); }));
  EXPECT_EQ(ta.Out(), "AB");

  // Disconnecting and unregistering; afterwards 255 is no longer asked.
  QTest::mouseClick(a->ui->Button9, Qt::LeftButton);
  a->Button1Click(a->ui->Button1);
  asked.clear();
  EXPECT_EQ(Take(&asked), (std::vector<std::string>{"Disconnect(7)", "DeleteCom(7)"}));
  EXPECT_EQ(asked, Ids(0, 254, 255));
  EXPECT_EQ(a->OwnId, 255);
  EXPECT_TRUE(errors.isEmpty()) << errors.join(" | ").toStdString();
}

}  // namespace

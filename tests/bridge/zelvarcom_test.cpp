// SPDX-License-Identifier: MIT
// The bridge library's entry points, loaded with dlopen and looked up by name
// as the program does: registration, names and handles, joining, delivery.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zelvarcom.h"

namespace {

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "bridge_tests";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  return QCoreApplication::instance();
}

// The eight entry points of the built library.
struct Library {
  decltype(&::IdentifyComDll) IdentifyComDll = nullptr;
  decltype(&::SendByte) SendByte = nullptr;
  decltype(&::AddCom) AddCom = nullptr;
  decltype(&::DeleteCom) DeleteCom = nullptr;
  decltype(&::Connect) Connect = nullptr;
  decltype(&::Disconnect) Disconnect = nullptr;
  decltype(&::GetComName) GetComName = nullptr;
  decltype(&::GetComHandle) GetComHandle = nullptr;
};

template <class T>
void Find(void* handle, const char* name, T& entry) {
  entry = reinterpret_cast<T>(dlsym(handle, name));
}

const Library& Lib() {
  static const Library lib = [] {
    Library l;
    void* handle = dlopen(BRIDGE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return l;
    Find(handle, "IdentifyComDll", l.IdentifyComDll);
    Find(handle, "SendByte", l.SendByte);
    Find(handle, "AddCom", l.AddCom);
    Find(handle, "DeleteCom", l.DeleteCom);
    Find(handle, "Connect", l.Connect);
    Find(handle, "Disconnect", l.Disconnect);
    Find(handle, "GetComName", l.GetComName);
    Find(handle, "GetComHandle", l.GetComHandle);
    return l;
  }();
  return lib;
}

// What one endpoint's callback has been given.
struct Inbox {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> senders;
  std::vector<Qt::HANDLE> threads;
  // Set while the test is inside SendByte: a callback then is re-entrant.
  bool* insideSend = nullptr;
  bool calledInsideSend = false;
};

void Receive(void* context, uint32_t unused, uint32_t data) {
  auto* inbox = static_cast<Inbox*>(context);
  if (inbox->insideSend != nullptr && *inbox->insideSend) inbox->calledInsideSend = true;
  inbox->bytes.push_back(uint8_t(data));
  inbox->senders.push_back(unused);
  inbox->threads.push_back(QThread::currentThreadId());
}

template <class P>
bool WaitUntil(P done, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(1);
  }
  return true;
}

// Lets every posted delivery run.
void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_NE(Lib().AddCom, nullptr) << "library not loaded: " << BRIDGE_LIBRARY;
    ASSERT_NE(Lib().IdentifyComDll, nullptr);
    ASSERT_NE(Lib().SendByte, nullptr);
    ASSERT_NE(Lib().DeleteCom, nullptr);
    ASSERT_NE(Lib().Connect, nullptr);
    ASSERT_NE(Lib().Disconnect, nullptr);
    ASSERT_NE(Lib().GetComName, nullptr);
    ASSERT_NE(Lib().GetComHandle, nullptr);
  }
  void TearDown() override {
    Settle();
    for (uint32_t id = 0; id < 255; ++id) Lib().DeleteCom(id);
  }
  const Library& L = Lib();
};

TEST_F(Bridge, IdentifiesItself) {
  const char* text = L.IdentifyComDll();
  ASSERT_NE(text, nullptr);
  EXPECT_GT(std::strlen(text), 0u);
}

// The library's dynamic symbol table names the eight entry points and nothing else.
TEST(BridgeExports, ExactlyTheEightEntryPoints) {
  FILE* nm = popen("nm -D --defined-only --format=posix '" BRIDGE_LIBRARY "' 2>&1", "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> names;
  char line[4096];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::string text(line);
    names.insert(text.substr(0, text.find(' ')));
  }
  ASSERT_EQ(pclose(nm), 0);
  EXPECT_EQ(names, (std::set<std::string>{"AddCom", "Connect", "DeleteCom", "Disconnect", "GetComHandle",
                                          "GetComName", "IdentifyComDll", "SendByte"}));
}

TEST_F(Bridge, RegistersNamesUnderIds) {
  const uint32_t a = L.AddCom("NULLMODEM-A");
  const uint32_t b = L.AddCom("NULLMODEM-B");
  ASSERT_LT(a, 255u);
  ASSERT_LT(b, 255u);
  EXPECT_NE(a, b);
  EXPECT_STREQ(L.GetComName(a), "NULLMODEM-A");
  EXPECT_STREQ(L.GetComName(b), "NULLMODEM-B");
  EXPECT_EQ(L.GetComHandle("NULLMODEM-A"), a);
  EXPECT_EQ(L.GetComHandle("NULLMODEM-B"), b);
  // Names match byte for byte, letter case included.
  EXPECT_EQ(L.GetComHandle("nullmodem-a"), 255u);
  EXPECT_EQ(L.GetComHandle("unknown"), 255u);
  EXPECT_EQ(L.GetComHandle(nullptr), 255u);
  // Only the low 8 bits of an id count.
  EXPECT_STREQ(L.GetComName(0xABCD0000u | a), "NULLMODEM-A");
  // Free ids and 255 give an empty text, never null.
  const char* free = L.GetComName(200);
  ASSERT_NE(free, nullptr);
  EXPECT_STREQ(free, "");
  ASSERT_NE(L.GetComName(255), nullptr);
  EXPECT_STREQ(L.GetComName(255), "");
}

TEST_F(Bridge, RefusesNamesItCannotRegister) {
  EXPECT_EQ(L.AddCom(nullptr), 255u);
  EXPECT_EQ(L.AddCom(""), 255u);
  const uint32_t a = L.AddCom("/dev/ttyUSB0");
  ASSERT_LT(a, 255u);
  EXPECT_EQ(L.AddCom("/dev/ttyUSB0"), 255u) << "a second endpoint under the same name";
  EXPECT_EQ(L.GetComHandle("/dev/ttyUSB0"), a);
}

TEST_F(Bridge, ReleasesIdsAndReusesTheLowestFree) {
  const uint32_t a = L.AddCom("first");
  const uint32_t b = L.AddCom("second");
  const char* oldName = L.GetComName(a);
  EXPECT_EQ(L.DeleteCom(a), 1u);
  EXPECT_STREQ(L.GetComName(a), "");
  EXPECT_EQ(L.GetComHandle("first"), 255u);
  EXPECT_EQ(L.DeleteCom(a), 0u) << "released twice";
  EXPECT_EQ(L.DeleteCom(255), 0u);
  EXPECT_STREQ(L.GetComName(b), "second") << "the other id is untouched";

  const uint32_t c = L.AddCom("third");
  EXPECT_EQ(c, a);
  EXPECT_STREQ(L.GetComName(c), "third");
  // A text handed out earlier is still readable after its id was re-used.
  EXPECT_STREQ(oldName, "first");
  // The name is free again.
  EXPECT_LT(L.AddCom("first"), 255u);
}

TEST_F(Bridge, FullTableGives255) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 255; ++i) {
    const uint32_t id = L.AddCom(("port" + std::to_string(i)).c_str());
    ASSERT_EQ(id, uint32_t(i));
    ids.push_back(id);
  }
  EXPECT_EQ(L.AddCom("one too many"), 255u);
  EXPECT_STREQ(L.GetComName(254), "port254");
  EXPECT_STREQ(L.GetComName(255), "");
  L.DeleteCom(17);
  EXPECT_EQ(L.AddCom("one too many"), 17u);
}

// Two endpoints joined both ways, each with its own inbox.
class Joined : public Bridge {
 protected:
  void SetUp() override {
    Bridge::SetUp();
    if (HasFatalFailure()) return;
    a = L.AddCom("NULLMODEM-A");
    b = L.AddCom("NULLMODEM-B");
    ASSERT_LT(a, 255u);
    ASSERT_LT(b, 255u);
    ASSERT_EQ(L.Connect(a, L.GetComHandle("NULLMODEM-B"), &Receive, &inboxA), 1u);
    ASSERT_EQ(L.Connect(b, L.GetComHandle("NULLMODEM-A"), &Receive, &inboxB), 1u);
  }
  // Sends and records whether the callback ran inside SendByte.
  void Send(uint32_t id, uint32_t byte) {
    inside = true;
    inboxA.insideSend = inboxB.insideSend = &inside;
    L.SendByte(id, byte);
    inside = false;
  }
  bool inside = false;  // outlives every delivery, which comes after Send returns
  uint32_t a = 255, b = 255;
  Inbox inboxA, inboxB;
};

TEST_F(Joined, DeliversToThePeerAfterEventsAreProcessed) {
  Send(a, 'A');
  Send(a, 0x100 | 'B');  // only the low 8 bits are the byte
  Send(b, 0x0D);
  EXPECT_TRUE(inboxA.bytes.empty());
  EXPECT_TRUE(inboxB.bytes.empty()) << "delivered inside SendByte";
  ASSERT_TRUE(WaitUntil([&] { return inboxB.bytes.size() == 2 && inboxA.bytes.size() == 1; }));
  EXPECT_EQ(inboxB.bytes, (std::vector<uint8_t>{'A', 'B'}));
  EXPECT_EQ(inboxB.senders, (std::vector<uint32_t>{a, a}));
  EXPECT_EQ(inboxA.bytes, (std::vector<uint8_t>{0x0D}));
  EXPECT_FALSE(inboxA.calledInsideSend);
  EXPECT_FALSE(inboxB.calledInsideSend);
  Settle();
  EXPECT_EQ(inboxB.bytes.size(), 2u) << "delivered twice";
}

TEST_F(Joined, DeliversOnlyWhileBothSidesAreJoined) {
  // B leaves: nothing reaches it, and nothing comes from it either.
  L.Disconnect(b);
  EXPECT_EQ(L.SendByte(a, 'x'), 0u);
  EXPECT_EQ(L.SendByte(b, 'y'), 0u);
  Settle();
  EXPECT_TRUE(inboxA.bytes.empty());
  EXPECT_TRUE(inboxB.bytes.empty());

  // B joins a third endpoint instead: A's bytes still do not reach it.
  const uint32_t c = L.AddCom("LOOPBACK");
  Inbox inboxC;
  L.Connect(c, b, &Receive, &inboxC);
  L.Connect(b, c, &Receive, &inboxB);
  L.SendByte(a, 'x');
  L.SendByte(c, 'z');
  ASSERT_TRUE(WaitUntil([&] { return !inboxB.bytes.empty(); }));
  Settle();
  EXPECT_EQ(inboxB.bytes, (std::vector<uint8_t>{'z'}));
  EXPECT_TRUE(inboxC.bytes.empty());
  EXPECT_TRUE(inboxA.bytes.empty());
}

TEST_F(Joined, DropsABytePostedBeforeTheReceiverLeft) {
  L.SendByte(a, '1');
  L.Disconnect(b);
  Settle();
  EXPECT_TRUE(inboxB.bytes.empty());

  // Rejoined before the byte is handed over: the byte was meant for the old
  // connection and is not delivered to the new one.
  L.Connect(b, a, &Receive, &inboxB);
  L.SendByte(a, '2');
  L.Connect(b, a, &Receive, &inboxB);
  L.SendByte(a, '3');
  ASSERT_TRUE(WaitUntil([&] { return !inboxB.bytes.empty(); }));
  Settle();
  EXPECT_EQ(inboxB.bytes, (std::vector<uint8_t>{'3'}));
}

TEST_F(Joined, ReleasedIdTakesItsConnectionAlong) {
  L.SendByte(a, 'q');
  L.DeleteCom(b);  // B's port closed while a byte was on its way
  Settle();
  EXPECT_TRUE(inboxB.bytes.empty());
  // A newcomer on B's old id does not inherit B's callback ...
  const uint32_t n = L.AddCom("NEWCOMER");
  ASSERT_EQ(n, b);
  EXPECT_EQ(L.SendByte(a, 'r'), 0u);
  Settle();
  EXPECT_TRUE(inboxB.bytes.empty());
  // ... and receives only once it joins back itself.
  Inbox inboxN;
  L.Connect(n, a, &Receive, &inboxN);
  L.SendByte(a, 's');
  ASSERT_TRUE(WaitUntil([&] { return !inboxN.bytes.empty(); }));
  EXPECT_EQ(inboxN.bytes, (std::vector<uint8_t>{'s'}));
  EXPECT_TRUE(inboxB.bytes.empty());
}

TEST_F(Joined, IgnoresId255AndUnregisteredIds) {
  EXPECT_EQ(L.SendByte(255, 'x'), 0u);
  EXPECT_EQ(L.Disconnect(255), 0u);
  EXPECT_EQ(L.Connect(255, a, &Receive, &inboxB), 0u);
  EXPECT_EQ(L.Connect(100, a, &Receive, &inboxB), 0u) << "an own id that is not registered";
  EXPECT_EQ(L.SendByte(100, 'x'), 0u);
  // Joining the peer 255 (an unknown name) leaves the endpoint unjoined.
  EXPECT_EQ(L.Connect(b, 255, &Receive, &inboxB), 0u);
  EXPECT_EQ(L.SendByte(a, 'x'), 0u);
  Settle();
  EXPECT_TRUE(inboxA.bytes.empty());
  EXPECT_TRUE(inboxB.bytes.empty());
  // The peer handle counts only in its low 8 bits.
  EXPECT_EQ(L.Connect(b, 0xFFFFFF00u | a, &Receive, &inboxB), 1u);
  EXPECT_EQ(L.SendByte(a, 'y'), 1u);
  ASSERT_TRUE(WaitUntil([&] { return !inboxB.bytes.empty(); }));
  EXPECT_EQ(inboxB.bytes, (std::vector<uint8_t>{'y'}));
}

TEST_F(Joined, BytesSentFromAnotherThreadArriveOnTheApplicationThread) {
  std::thread sender([&] {
    for (int i = 0; i < 50; ++i) L.SendByte(a, uint8_t(i));
  });
  sender.join();
  ASSERT_TRUE(WaitUntil([&] { return inboxB.bytes.size() == 50; }));
  for (Qt::HANDLE t : inboxB.threads) EXPECT_EQ(t, QThread::currentThreadId());
}

// A callback may call back into the library (here: an echo that counts up)
// without a deadlock, and the echo is again delivered later, not nested.
struct EchoBox {
  uint32_t ownId = 255;
  std::vector<uint8_t> bytes;
  int depth = 0;
  int deepest = 0;
};

void Echo(void* context, uint32_t, uint32_t data) {
  auto* box = static_cast<EchoBox*>(context);
  box->deepest = std::max(box->deepest, ++box->depth);
  box->bytes.push_back(uint8_t(data));
  if ((data & 0xFF) < 6) Lib().SendByte(box->ownId, (data & 0xFF) + 1);
  --box->depth;
}

TEST_F(Bridge, CallbacksMayCallTheLibrary) {
  EchoBox left, right;
  left.ownId = L.AddCom("left");
  right.ownId = L.AddCom("right");
  L.Connect(left.ownId, right.ownId, &Echo, &left);
  L.Connect(right.ownId, left.ownId, &Echo, &right);
  L.SendByte(left.ownId, 0);
  ASSERT_TRUE(WaitUntil([&] { return right.bytes.size() + left.bytes.size() == 7; }));
  EXPECT_EQ(right.bytes, (std::vector<uint8_t>{0, 2, 4, 6}));
  EXPECT_EQ(left.bytes, (std::vector<uint8_t>{1, 3, 5}));
  EXPECT_EQ(left.deepest, 1);
  EXPECT_EQ(right.deepest, 1);
}

}  // namespace

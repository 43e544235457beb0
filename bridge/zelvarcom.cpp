// SPDX-License-Identifier: MIT
// The virtual COM bridge library: the endpoint table and byte delivery.
#include "zelvarcom.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <array>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

constexpr uint32_t kNone = 255;
constexpr size_t kEndpoints = 255;  // ids 0..254

struct Endpoint {
  const char* name = nullptr;  // interned; null while the id is free
  bool joined = false;
  uint8_t peer = kNone;
  ZelvarReceive callback = nullptr;
  void* context = nullptr;
  // Changes whenever the connection changes, so that a byte already on its
  // way is not handed to a callback set up after it was sent.
  uint64_t generation = 0;
};

struct Table {
  std::mutex mutex;
  std::array<Endpoint, kEndpoints> endpoints;
  // Every name ever registered. Entries are never erased, so a text handed
  // out by GetComName stays valid however the ids change afterwards.
  std::set<std::string, std::less<>> names;
  uint64_t nextGeneration = 1;

  void Unjoin(Endpoint& e) {
    e.joined = false;
    e.peer = kNone;
    e.callback = nullptr;
    e.context = nullptr;
    e.generation = nextGeneration++;
  }
};

// Never destroyed: a call during the process's exit must not meet a dead table.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

// The id in the low 8 bits; null for 255 or a free id.
Endpoint* Registered(Table& t, uint32_t id) {
  const uint32_t i = id & 0xFF;
  if (i >= kEndpoints) return nullptr;
  Endpoint& e = t.endpoints[i];
  return e.name != nullptr ? &e : nullptr;
}

// Runs f, turning any exception into `fallback`: nothing may leave the library.
template <class R, class F>
R NoThrow(R fallback, F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

// Runs on the application's thread: hands the byte over if the receiver still
// has the connection it had when the byte was sent.
void Deliver(uint8_t receiver, uint64_t generation, uint8_t sender, uint8_t data) noexcept {
  ZelvarReceive callback = nullptr;
  void* context = nullptr;
  {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    const Endpoint& e = t.endpoints[receiver];
    if (e.name == nullptr || !e.joined || e.generation != generation) return;
    callback = e.callback;
    context = e.context;
  }
  // Called without the lock, so the callback may call back into the library.
  if (callback != nullptr) {
    try {
      callback(context, sender, data);
    } catch (...) {
      // A callback must not throw; if one does, it stops here.
    }
  }
}

}  // namespace

extern "C" {

const char* IdentifyComDll() { return "Serivox virtual COM bridge"; }

uint32_t SendByte(uint32_t ownId, uint32_t data) {
  return NoThrow<uint32_t>(0, [&]() -> uint32_t {
    Table& t = TheTable();
    uint8_t sender = 0, receiver = 0;
    uint64_t generation = 0;
    {
      std::lock_guard lock(t.mutex);
      const Endpoint* own = Registered(t, ownId);
      if (own == nullptr || !own->joined) return 0;
      const Endpoint* peer = Registered(t, own->peer);
      sender = uint8_t(ownId & 0xFF);
      // Both sides must have chosen each other.
      if (peer == nullptr || !peer->joined || peer->peer != sender || peer->callback == nullptr) return 0;
      receiver = own->peer;
      generation = peer->generation;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return 0;
    const uint8_t byte = uint8_t(data & 0xFF);
    QMetaObject::invokeMethod(
        app, [receiver, generation, sender, byte] { Deliver(receiver, generation, sender, byte); },
        Qt::QueuedConnection);
    return 1;
  });
}

uint32_t AddCom(const char* name) {
  return NoThrow<uint32_t>(kNone, [&]() -> uint32_t {
    if (name == nullptr || *name == '\0') return kNone;
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Endpoint* slot = nullptr;
    for (Endpoint& e : t.endpoints) {
      if (e.name == nullptr) {
        if (slot == nullptr) slot = &e;
      } else if (std::strcmp(e.name, name) == 0) {
        return kNone;  // one endpoint per name, so that GetComHandle is unambiguous
      }
    }
    if (slot == nullptr) return kNone;
    const auto interned = t.names.emplace(name).first;
    slot->name = interned->c_str();
    t.Unjoin(*slot);
    return uint32_t(slot - t.endpoints.data());
  });
}

uint32_t DeleteCom(uint32_t id) {
  return NoThrow<uint32_t>(0, [&]() -> uint32_t {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Endpoint* e = Registered(t, id);
    if (e == nullptr) return 0;
    // The next owner of the id must not inherit this window's callback.
    t.Unjoin(*e);
    e->name = nullptr;
    return 1;
  });
}

uint32_t Connect(uint32_t ownId, uint32_t peerHandle, ZelvarReceive callback, void* context) {
  return NoThrow<uint32_t>(0, [&]() -> uint32_t {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Endpoint* e = Registered(t, ownId);
    if (e == nullptr) return 0;
    t.Unjoin(*e);
    const uint8_t peer = uint8_t(peerHandle & 0xFF);
    if (peer == kNone) return 0;
    e->joined = true;
    e->peer = peer;
    e->callback = callback;
    e->context = context;
    return 1;
  });
}

uint32_t Disconnect(uint32_t ownId) {
  return NoThrow<uint32_t>(0, [&]() -> uint32_t {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    Endpoint* e = Registered(t, ownId);
    if (e == nullptr || !e->joined) return 0;
    t.Unjoin(*e);
    return 1;
  });
}

const char* GetComName(uint32_t id) {
  return NoThrow<const char*>("", [&]() -> const char* {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    const Endpoint* e = Registered(t, id);
    return e != nullptr ? e->name : "";
  });
}

uint32_t GetComHandle(const char* name) {
  return NoThrow<uint32_t>(kNone, [&]() -> uint32_t {
    if (name == nullptr) return kNone;
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    for (size_t i = 0; i < kEndpoints; ++i) {
      const char* n = t.endpoints[i].name;
      if (n != nullptr && std::strcmp(n, name) == 0) return uint32_t(i);
    }
    return kNone;
  });
}

}  // extern "C"

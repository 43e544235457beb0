// SPDX-License-Identifier: MIT
// A stand-in for a foreign bridge library: the eight entry points record each
// call with its arguments, and answer from a fixed table, so that a test can
// check what the window asks of a library it did not build.
//
// Table: the window's own endpoint gets id 7 (AddCom returns 0xFFFFFF07, of
// which only the low byte counts); "PEER-A" is id 3, whose handle
// 0xA5A5A503 carries bits above the id that must reach Connect unchanged;
// "HIGH" answers for id 255.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef void (*Receive)(void* context, uint32_t unused, uint32_t data);

std::mutex mutex;
std::vector<std::string> calls;
std::string ownName;
bool registered = false;
Receive callback = nullptr;
void* callbackContext = nullptr;

void Record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Record(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  calls.emplace_back(text);
}

}  // namespace

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

STANDIN_EXPORT const char* IdentifyComDll() {
  std::lock_guard lock(mutex);
  Record("IdentifyComDll()");
  return "Stand-in bridge";
}

STANDIN_EXPORT uint32_t SendByte(uint32_t ownId, uint32_t data) {
  std::lock_guard lock(mutex);
  Record("SendByte(%u,0x%02x)", ownId, data & 0xFF);
  return 1;
}

STANDIN_EXPORT uint32_t AddCom(const char* name) {
  std::lock_guard lock(mutex);
  Record("AddCom(%s)", name != nullptr ? name : "<null>");
  ownName = name != nullptr ? name : "";
  registered = true;
  return 0xFFFFFF07u;
}

STANDIN_EXPORT uint32_t DeleteCom(uint32_t id) {
  std::lock_guard lock(mutex);
  Record("DeleteCom(%u)", id);
  if ((id & 0xFF) == 7) registered = false;
  return 1;
}

STANDIN_EXPORT uint32_t Connect(uint32_t ownId, uint32_t peerHandle, Receive receive, void* context) {
  std::lock_guard lock(mutex);
  Record("Connect(%u,0x%08x,%s,%p)", ownId, peerHandle, receive != nullptr ? "callback" : "null", context);
  callback = receive;
  callbackContext = context;
  return 1;
}

STANDIN_EXPORT uint32_t Disconnect(uint32_t ownId) {
  std::lock_guard lock(mutex);
  Record("Disconnect(%u)", ownId);
  return 1;
}

STANDIN_EXPORT const char* GetComName(uint32_t id) {
  std::lock_guard lock(mutex);
  Record("GetComName(%u)", id);
  if (id == 3) return "PEER-A";
  if (id == 7 && registered) return ownName.c_str();
  if (id == 255) return "HIGH";
  return "";
}

STANDIN_EXPORT uint32_t GetComHandle(const char* name) {
  std::lock_guard lock(mutex);
  Record("GetComHandle(%s)", name != nullptr ? name : "<null>");
  return name != nullptr && std::string(name) == "PEER-A" ? 0xA5A5A503u : 0xFFFFFFFFu;
}

// For the test: the calls recorded since the last take.
STANDIN_EXPORT void StandInTakeCalls(std::vector<std::string>* out) {
  std::lock_guard lock(mutex);
  out->swap(calls);
  calls.clear();
}

// For the test: delivers a byte to the connected window from a thread of the
// library's own, with the upper 24 bits of the data set, and waits for it.
STANDIN_EXPORT void StandInDeliverFromThread(uint32_t byte) {
  Receive receive;
  void* context;
  {
    std::lock_guard lock(mutex);
    receive = callback;
    context = callbackContext;
  }
  if (receive == nullptr) return;
  std::thread([&] { receive(context, 0x33, 0xABCDEF00u | (byte & 0xFF)); }).join();
}

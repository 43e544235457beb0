// SPDX-License-Identifier: MIT
// Network port names: taking them apart, finding the host within a time
// bound, and handing gensio nothing but numeric addresses.
#include <arpa/inet.h>
#include <gensio/gensio.h>
#include <gensio/gensio_addr.h>
#include <gensio/gensio_err.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "netdevice.h"

namespace serivox::device {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxHost = 253;
constexpr size_t kMaxAddresses = 8;
constexpr std::chrono::milliseconds kUnboundedConnect{10000};  // connect bound while writes have none

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

int LookupError(int eai) {
  switch (eai) {
    case EAI_AGAIN: return EAGAIN;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return errno != 0 ? errno : EIO;
    default: return ENXIO;  // no such host, no address for it, or a permanent name-service failure
  }
}

// The addresses of one getaddrinfo result list, without repeats.
std::vector<NetAddress> Numeric(const addrinfo* list) {
  std::vector<NetAddress> out;
  for (const addrinfo* a = list; a && out.size() < kMaxAddresses; a = a->ai_next) {
    NetAddress entry;
    if (a->ai_family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
      std::memcpy(entry.bytes.data(), &in, sizeof in);
    } else if (a->ai_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
      entry.v6 = true;
      std::memcpy(entry.bytes.data(), &in6, sizeof in6);
    } else {
      continue;
    }
    const bool seen = std::any_of(out.begin(), out.end(),
                                  [&](const NetAddress& o) { return o.v6 == entry.v6 && o.bytes == entry.bytes; });
    if (!seen) out.push_back(entry);
  }
  return out;
}

// One name lookup on a thread of its own: getaddrinfo cannot be interrupted,
// so a caller whose bound runs out leaves it to finish alone.
struct Lookup {
  std::mutex mu;
  std::condition_variable done;
  bool finished = false;
  int error = 0;
  std::vector<NetAddress> addresses;
};

int Resolve(const std::string& host, Clock::time_point deadline, std::vector<NetAddress>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  // A numeric address needs no name service.
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0) {
    addresses = Numeric(list);
    freeaddrinfo(list);
    return addresses.empty() ? ENXIO : 0;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* list = nullptr;
      const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
      std::vector<NetAddress> found;
      if (rc == 0) {
        found = Numeric(list);
        freeaddrinfo(list);
      }
      std::lock_guard lk(lookup->mu);
      lookup->error = rc != 0 ? LookupError(rc) : (found.empty() ? ENXIO : 0);
      lookup->addresses = std::move(found);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return EAGAIN;
  }
  std::unique_lock lk(lookup->mu);
  if (!lookup->done.wait_until(lk, deadline, [&] { return lookup->finished; })) return ETIMEDOUT;
  addresses = lookup->addresses;
  return lookup->error;
}

}  // namespace

int AllocNetStack(gensio_os_funcs* os, const NetTarget& target, NetEventFn cb, void* user, gensio** io) {
  // The stack is fixed here; the name adds binary addresses and a port number only.
  gensio_addr* all = nullptr;
  for (const NetAddress& a : target.addresses) {
    gensio_addr* one = nullptr;
    int rc = gensio_addr_create(os, a.v6 ? GENSIO_NETTYPE_IPV6 : GENSIO_NETTYPE_IPV4, a.bytes.data(),
                                a.v6 ? 16 : 4, target.port, &one);
    if (rc == 0 && all) {
      gensio_addr* both = gensio_addr_cat(all, one);
      gensio_addr_free(one);
      gensio_addr_free(all);
      all = both;
      if (!all) rc = GE_NOMEM;
    } else if (rc == 0) {
      all = one;
    }
    if (rc != 0) {
      if (all) gensio_addr_free(all);
      return rc;
    }
  }
  if (!all) return GE_INVAL;
  const char* const tcpArgs[] = {"nodelay", nullptr};
  const int rc = gensio_terminal_alloc("tcp", all, tcpArgs, os, cb, user, io);
  gensio_addr_free(all);  // the gensio keeps its own copy
  return rc;
}

bool IsNetPortName(const std::string& name) { return name.find("://") != std::string::npos; }

int ParseNetPortName(const std::string& name, NetPortName& out) {
  std::string rest;
  if (StartsWithNoCase(name, "rfc2217://")) {
    out.rfc2217 = true;
    rest = name.substr(10);
  } else if (StartsWithNoCase(name, "tcp://")) {
    out.rfc2217 = false;
    rest = name.substr(6);
  } else {
    return EPROTONOSUPPORT;
  }
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return EINVAL;
  std::string host = rest.substr(0, colon);
  const std::string port = rest.substr(colon + 1);
  if (!host.empty() && host.front() == '[') {
    // An IPv6 address: hex digits, colons and dots only.
    if (host.size() < 3 || host.back() != ']') return EINVAL;
    host = host.substr(1, host.size() - 2);
    for (char c : host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return EINVAL;
  } else {
    if (host.empty() || host.size() > kMaxHost) return EINVAL;
    if (host.front() == '-' || host.front() == '.') return EINVAL;
    for (char c : host)
      if (!IsNameChar(c)) return EINVAL;
  }
  if (port.empty() || port.size() > 5) return EINVAL;
  for (char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return EINVAL;
  const long number = std::stol(port);
  if (number < 1 || number > 65535) return EINVAL;
  out.host = host;
  out.port = static_cast<uint16_t>(number);
  return 0;
}

int OpenNetPort(const std::string& name, const CommTimeouts& timeouts, std::unique_ptr<Device>& device) {
  NetPortName parsed;
  if (int err = ParseNetPortName(name, parsed)) return err;
  const uint64_t bound = uint64_t{timeouts.WriteTotalTimeoutMultiplier} + timeouts.WriteTotalTimeoutConstant;
  const auto deadline =
      Clock::now() + (bound == 0 ? kUnboundedConnect : std::chrono::milliseconds(std::min<uint64_t>(bound, INT_MAX)));
  NetTarget target{parsed.rfc2217, {}, parsed.port};
  if (int err = Resolve(parsed.host, deadline, target.addresses)) return err;

  const int kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (kick < 0) return errno;
  std::unique_ptr<NetDevice> d(new NetDevice(parsed.rfc2217, kick));
  d->setCommTimeouts(timeouts);
  if (int err = d->start()) return err;
  if (int err = d->connect(target, deadline)) return err;
  device = std::move(d);
  return 0;
}

}  // namespace serivox::device

// Host look-ups with getaddrinfo (IPv4): one detached worker thread per asynchronous request.
#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/platform_internal.h"
#include "platform/winsock.h"

namespace platform {
namespace internal {
namespace {

int WsaErrorFromGai(int gaiError) {
  switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return WsaErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

struct Resolved {
  std::string name;  // canonical name, or the name asked for
  std::vector<in_addr> addresses;
};

// Blocking IPv4 resolution; returns a WinSock error number.
int Resolve(const char* name, Resolved& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return WsaErrorFromGai(rc);
  out.name = (list != nullptr && list->ai_canonname != nullptr) ? list->ai_canonname : name;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    in_addr a = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr;
    bool seen = false;
    for (const in_addr& b : out.addresses) seen = seen || b.s_addr == a.s_addr;
    if (!seen) out.addresses.push_back(a);
  }
  ::freeaddrinfo(list);
  return out.addresses.empty() ? WSANO_DATA : 0;
}

// Bytes a hostent for `r` needs: the record, an empty alias list, the address pointer list
// with its terminator, the addresses and the name.
std::size_t HostEntSize(const Resolved& r) {
  return sizeof(hostent) + sizeof(char*) + (r.addresses.size() + 1) * sizeof(char*) +
         r.addresses.size() * sizeof(in_addr) + r.name.size() + 1;
}

// Lays out a hostent for `r` in `buf` (aligned, at least HostEntSize bytes).
void WriteHostEnt(const Resolved& r, char* buf) {
  auto* he = reinterpret_cast<hostent*>(buf);
  char* p = buf + sizeof(hostent);
  auto** aliases = reinterpret_cast<char**>(p);
  aliases[0] = nullptr;
  p += sizeof(char*);
  auto** addrList = reinterpret_cast<char**>(p);
  p += (r.addresses.size() + 1) * sizeof(char*);
  for (std::size_t i = 0; i < r.addresses.size(); ++i) {
    std::memcpy(p, &r.addresses[i], sizeof(in_addr));
    addrList[i] = p;
    p += sizeof(in_addr);
  }
  addrList[r.addresses.size()] = nullptr;
  std::memcpy(p, r.name.c_str(), r.name.size() + 1);
  he->h_name = p;
  he->h_aliases = aliases;
  he->h_addrtype = AF_INET;
  he->h_length = sizeof(in_addr);
  he->h_addr_list = addrList;
}

struct Request {
  enum class State { kRunning, kCancelled, kPosted };
  std::uint64_t id;
  HWND hwnd;
  UINT message;
  char* buf;
  int buflen;
  State state = State::kRunning;
  std::shared_ptr<ThreadContext> owner;
};

struct Lookups {
  std::mutex mu;
  std::unordered_map<std::uint64_t, std::shared_ptr<Request>> requests;
  std::uint64_t nextId = 1;
};

// Never freed: detached workers may finish while the process shuts down.
Lookups& L() {
  static Lookups* lookups = new Lookups;
  return *lookups;
}

void RunLookup(std::shared_ptr<Request> req, std::string name) {
  Resolved result;
  int err = Resolve(name.c_str(), result);
  std::size_t need = err == 0 ? HostEntSize(result) : 0;

  std::lock_guard<std::mutex> lock(L().mu);
  if (req->state == Request::State::kCancelled) {
    L().requests.erase(req->id);
    return;
  }
  // The caller's buffer is written only here, under the lock that cancelling takes and the
  // lock that destroying the window takes: after either, the buffer is never touched (its
  // owner may free it at once).
  std::lock_guard<std::mutex> windowLock(WindowMutex());
  if (!WindowOwnerLocked(req->hwnd)) {
    L().requests.erase(req->id);  // window gone: nobody to answer
    return;
  }
  if (err == 0) {
    if (need > static_cast<std::size_t>(req->buflen)) err = WSAENOBUFS;
    else WriteHostEnt(result, req->buf);
  }
  int reported = static_cast<int>(need > 0xFFFF ? 0xFFFF : need);
  if (!PostTaggedLocked(req->hwnd, req->message, static_cast<WPARAM>(req->id),
                        WSAMAKEASYNCREPLY(reported, err), req->id)) {
    L().requests.erase(req->id);
    return;
  }
  req->state = Request::State::kPosted;
}

struct BlockingEntry {
  hostent entry{};
  std::vector<char> storage;
};

}  // namespace

void ForgetLookup(std::uint64_t tag) {
  std::lock_guard<std::mutex> lock(L().mu);
  L().requests.erase(tag);
}

}  // namespace internal

using namespace internal;

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT message, const char* name, char* buf, int buflen) {
  if (name == nullptr || *name == '\0') {
    WSASetLastError(WSAEINVAL);
    return nullptr;
  }
  if (buf == nullptr || buflen <= 0 ||
      reinterpret_cast<std::uintptr_t>(buf) % alignof(hostent) != 0) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  std::shared_ptr<ThreadContext> owner;
  {
    std::lock_guard<std::mutex> lock(WindowMutex());
    owner = WindowOwnerLocked(hwnd);
  }
  if (!owner) {
    WSASetLastError(WSAEINVAL);
    return nullptr;
  }
  auto req = std::make_shared<Request>();
  req->hwnd = hwnd;
  req->message = message;
  req->buf = buf;
  req->buflen = buflen;
  req->owner = std::move(owner);
  {
    std::lock_guard<std::mutex> lock(L().mu);
    req->id = L().nextId++;
    L().requests[req->id] = req;
  }
  try {
    std::thread(RunLookup, req, std::string(name)).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(L().mu);
    L().requests.erase(req->id);
    WSASetLastError(WSAENOBUFS);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(req->id));
}

int WSACancelAsyncRequest(HANDLE request) {
  auto id = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(request));
  std::lock_guard<std::mutex> lock(L().mu);
  auto it = L().requests.find(id);
  if (it == L().requests.end()) {
    WSASetLastError(id != 0 && id < L().nextId ? WSAEALREADY : WSAEINVAL);
    return SOCKET_ERROR;
  }
  Request& req = *it->second;
  switch (req.state) {
    case Request::State::kRunning:
      req.state = Request::State::kCancelled;  // the worker drops the answer and the record
      return 0;
    case Request::State::kCancelled:
      WSASetLastError(WSAEALREADY);
      return SOCKET_ERROR;
    case Request::State::kPosted: {
      HWND hwnd = req.hwnd;
      UINT message = req.message;
      std::size_t removed = PurgeQueue(*req.owner, [=](const MSG& m) {
        return m.hwnd == hwnd && m.message == message && m.wParam == static_cast<WPARAM>(id);
      });
      L().requests.erase(it);
      if (removed > 0) return 0;
      WSASetLastError(WSAEALREADY);  // retrieved a moment ago
      return SOCKET_ERROR;
    }
  }
  return 0;
}

hostent* gethostbyname(const char* name) {
  static thread_local BlockingEntry tEntry;
  if (name == nullptr || *name == '\0') {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  Resolved result;
  int err = Resolve(name, result);
  if (err != 0) {
    WSASetLastError(err);
    return nullptr;
  }
  // hostent holds pointers, so its storage is allocated as pointers for alignment.
  std::size_t need = HostEntSize(result);
  tEntry.storage.assign(need + sizeof(void*), 0);
  char* base = tEntry.storage.data();
  auto offset = reinterpret_cast<std::uintptr_t>(base) % alignof(hostent);
  if (offset != 0) base += alignof(hostent) - offset;
  WriteHostEnt(result, base);
  return reinterpret_cast<hostent*>(base);
}

}  // namespace platform

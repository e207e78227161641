// Socket calls with WinSock error numbers, and the socket half of the readiness engine that
// turns poll() results into FD_* notifications with the WinSock re-enabling rules.
#include "platform/winsock.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/message_queue.h"
#include "platform/platform_internal.h"

namespace platform {
namespace internal {

// What the engine knows about one socket. Guarded by SocketTableMutex().
struct SocketEntry {
  enum class Phase {
    kIdle,             // created, not connecting: nothing to watch (poll would report HUP)
    kConnecting,       // non-blocking connect in progress: wait for POLLOUT / error
    kConnectFinished,  // connect() finished at once: FD_CONNECT still to be posted
    kConnected,        // established: FD_READ / FD_WRITE / FD_CLOSE
    kListening,        // FD_ACCEPT
    kDone,             // failed connect or close reported: nothing more to say
  };

  SOCKET fd = INVALID_SOCKET;
  Phase phase = Phase::kIdle;
  int connectError = 0;  // errno of a connect that finished inside connect()
  bool closed = false;   // closesocket ran; late poll results are ignored

  ThreadContext* owner = nullptr;  // set while registered with a non-zero mask
  HWND hwnd = nullptr;
  UINT message = 0;
  long mask = 0;
  bool nonBlocking = false;
  bool shutWrite = false;
  bool datagram = false;  // no connection: readable and writable from registration on

  // Every (window, message) this socket has posted to; closing purges them all, also after
  // the registration was switched off or moved to another window.
  std::vector<std::pair<HWND, UINT>> targets;

  bool readArmed = true;
  bool writeArmed = false;  // also set while a new connection's first FD_WRITE is owed
  bool acceptArmed = true;
  bool closeReported = false;  // FD_CLOSE posted: no FD_READ / FD_CLOSE any more
};

namespace {

using Phase = SocketEntry::Phase;

std::unordered_map<SOCKET, std::shared_ptr<SocketEntry>>& Table() {
  static auto* table = new std::unordered_map<SOCKET, std::shared_ptr<SocketEntry>>;
  return *table;
}

// Caller holds SocketTableMutex().
SocketEntry* FindLocked(SOCKET s) {
  auto it = Table().find(s);
  return it == Table().end() ? nullptr : it->second.get();
}

// Caller holds SocketTableMutex().
SocketEntry& FindOrAddLocked(SOCKET s) {
  auto& slot = Table()[s];
  if (!slot) {
    slot = std::make_shared<SocketEntry>();
    slot->fd = s;
  }
  return *slot;
}

// Caller holds SocketTableMutex().
void RemoveFromOwnerLocked(SocketEntry& e) {
  if (e.owner == nullptr) return;
  auto& list = e.owner->sockets;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&e](const std::shared_ptr<SocketEntry>& p) { return p.get() == &e; }),
             list.end());
  e.owner = nullptr;
}

// Drops the notifications of `e` still queued in any window it posted to, so that a socket
// reusing the descriptor number never receives them. Caller holds SocketTableMutex().
void PurgeNotificationsLocked(const SocketEntry& e) {
  const WPARAM s = static_cast<WPARAM>(e.fd);
  for (const auto& [hwnd, message] : e.targets) {
    std::shared_ptr<ThreadContext> owner;
    {
      std::lock_guard<std::mutex> windowLock(WindowMutex());
      owner = WindowOwnerLocked(hwnd);
    }
    if (!owner) continue;  // the window is gone, and its queued messages with it
    const HWND h = hwnd;
    const UINT number = message;
    PurgeQueue(*owner, [=](const MSG& m) { return m.hwnd == h && m.message == number && m.wParam == s; });
  }
}

// The descriptor is closed (by closesocket, or behind our back): stop watching it, drop what
// it left queued and forget it. Caller holds SocketTableMutex().
void ForgetEntryLocked(SocketEntry& e) {
  e.closed = true;
  PurgeNotificationsLocked(e);
  RemoveFromOwnerLocked(e);
  auto it = Table().find(e.fd);
  if (it != Table().end() && it->second.get() == &e) Table().erase(it);
}

// Something the owner's engine watches changed from outside it; make it look again.
// Caller holds SocketTableMutex().
void NudgeOwnerLocked(SocketEntry& e) {
  if (e.owner != nullptr) WakeIfOther(*e.owner);
}

int Fail(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

int FailErrno() { return Fail(WsaErrorFromErrno(errno)); }

int PendingBytes(SOCKET s) {
  int count = 0;
  if (::ioctl(s, FIONREAD, &count) != 0) return 0;
  return count;
}

int TakeSocketError(SOCKET s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Posts one notification of the entry to its window. Caller holds SocketTableMutex().
void Notify(SocketEntry& e, long event, int wsaError) {
  const std::pair<HWND, UINT> target{e.hwnd, e.message};
  if (std::find(e.targets.begin(), e.targets.end(), target) == e.targets.end())
    e.targets.push_back(target);
  PostMessage(e.hwnd, e.message, static_cast<WPARAM>(e.fd), WSAMAKESELECTREPLY(event, wsaError));
}

// A one-byte peek: 1 when a byte waits, 0 at the end of the stream, -1 when nothing is there
// now. Asked when the readable count says 0, which it also says in front of an urgent byte
// with ordinary data behind it.
int PeekStream(SOCKET s) {
  char byte;
  ssize_t r = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return r > 0 ? 1 : r == 0 ? 0 : -1;
}

// Errors that a non-blocking connect() may report at once but that WinSock reports through
// FD_CONNECT (its connect() always answers "would block").
bool IsConnectOutcome(int err) {
  switch (err) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ETIMEDOUT:
    case ECONNRESET:
    case ECONNABORTED:
      return true;
    default:
      return false;
  }
}

// Delivers the result of a finished connect: FD_CONNECT and, on success, the first FD_WRITE
// (kept owed when FD_WRITE is not asked for yet).
void FinishConnectLocked(SocketEntry& e, int err) {
  if (err == 0) {
    e.phase = Phase::kConnected;
    if (e.mask & FD_CONNECT) Notify(e, FD_CONNECT, 0);
    if (e.mask & FD_WRITE) Notify(e, FD_WRITE, 0);
    e.writeArmed = !(e.mask & FD_WRITE);
  } else {
    e.phase = Phase::kDone;
    if (e.mask & FD_CONNECT) Notify(e, FD_CONNECT, WsaErrorFromErrno(err));
  }
}

// poll() events the entry needs now; 0 means "leave it out of the poll set" (a socket that
// has nothing to report must not be polled, or POLLHUP/POLLERR would spin the loop).
short InterestLocked(const SocketEntry& e) {
  switch (e.phase) {
    case Phase::kConnecting:
      return POLLOUT;
    case Phase::kConnected: {
      short ev = 0;
      if (!e.closeReported) {
        if ((e.mask & FD_READ) && e.readArmed) ev |= POLLIN;
        if (e.mask & FD_CLOSE) ev |= POLLRDHUP;
      }
      if ((e.mask & FD_WRITE) && e.writeArmed) ev |= POLLOUT;
      return ev;
    }
    case Phase::kListening:
      return ((e.mask & FD_ACCEPT) && e.acceptArmed) ? POLLIN : 0;
    default:
      return 0;
  }
}

void HandleConnectedLocked(SocketEntry& e, short revents) {
  const bool failed = (revents & (POLLHUP | POLLERR)) != 0;
  if (!e.closeReported) {
    int unread = (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) ? PendingBytes(e.fd) : 0;
    int peek = 1;
    // (Not on a failed connection: the peek would take its error.)
    if (unread == 0 && !e.datagram && !failed && (revents & (POLLIN | POLLRDHUP)))
      peek = PeekStream(e.fd);
    // Readable with nothing counted is the end of the stream only when the peek finds it (for
    // a datagram socket it is an empty datagram).
    bool ended = !e.datagram &&
                 (failed || (revents & POLLRDHUP) || ((revents & POLLIN) && peek == 0));
    if (ended && (e.mask & FD_CLOSE)) {
      int err = (revents & POLLERR) ? TakeSocketError(e.fd) : 0;
      // Data still unread is announced first, so the reader sees it before the close.
      if ((unread > 0 || peek > 0) && (e.mask & FD_READ) && e.readArmed) {
        Notify(e, FD_READ, 0);
        e.readArmed = false;
      }
      Notify(e, FD_CLOSE, WsaErrorFromErrno(err));
      e.closeReported = true;
    } else if ((revents & (POLLIN | POLLHUP | POLLERR)) && (e.mask & FD_READ) && e.readArmed) {
      // Without FD_CLOSE in the mask the end shows as a read that returns 0 or an error.
      Notify(e, FD_READ, 0);
      e.readArmed = false;
    }
  }
  // A dead connection counts as writable: the next send reports the error. Either way the
  // event is disarmed, so a hung-up socket cannot keep poll() returning at once.
  if ((revents & (POLLOUT | POLLHUP | POLLERR)) && (e.mask & FD_WRITE) && e.writeArmed) {
    Notify(e, FD_WRITE, 0);
    e.writeArmed = false;
  }
}

}  // namespace

void CollectSocketInterest(ThreadContext& ctx, std::vector<pollfd>& fds,
                           std::vector<std::shared_ptr<SocketEntry>>& entries) {
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  for (auto& e : ctx.sockets) {
    if (e->phase == Phase::kConnectFinished) FinishConnectLocked(*e, e->connectError);
    short ev = InterestLocked(*e);
    if (ev == 0) continue;
    fds.push_back(pollfd{e->fd, ev, 0});
    entries.push_back(e);
  }
}

void DispatchSocketEvents(ThreadContext& ctx, const std::vector<pollfd>& fds, std::size_t first,
                          const std::vector<std::shared_ptr<SocketEntry>>& entries) {
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SocketEntry& e = *entries[i];
    short revents = fds[first + i].revents;
    // Closed, moved to another thread or switched off while we polled: not ours to report.
    if (revents == 0 || e.closed || e.owner != &ctx || e.mask == 0) continue;
    if (revents & POLLNVAL) {
      // Closed behind our back (::close instead of closesocket): every poll would return at
      // once for it, so it is forgotten like a closed socket.
      ForgetEntryLocked(e);
      continue;
    }
    switch (e.phase) {
      case Phase::kConnecting: {
        if (!(revents & (POLLOUT | POLLERR | POLLHUP))) break;
        int err = TakeSocketError(e.fd);
        if (err == 0 && !(revents & POLLOUT)) err = ECONNREFUSED;
        FinishConnectLocked(e, err);
        break;
      }
      case Phase::kConnected:
        HandleConnectedLocked(e, revents);
        break;
      case Phase::kListening:
        if ((revents & POLLIN) && e.acceptArmed) {
          Notify(e, FD_ACCEPT, 0);
          e.acceptArmed = false;
        }
        break;
      default:
        break;
    }
  }
}

void DetachSocketsOf(ThreadContext& ctx) {
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  for (auto& e : ctx.sockets) {
    e->owner = nullptr;
    e->mask = 0;
  }
  ctx.sockets.clear();
}

}  // namespace internal

using namespace internal;

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

int WsaErrorFromErrno(int errnum) {
  switch (errnum) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EWOULDBLOCK: return WSAEWOULDBLOCK;  // == EAGAIN on Linux
    case EINPROGRESS: return WSAEWOULDBLOCK;  // WinSock's non-blocking connect says "would block"
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
  }
}

SOCKET socket(int af, int type, int protocol) {
  int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  // A stale entry under this number belonged to a descriptor closed behind our back.
  if (SocketEntry* old = FindLocked(fd)) ForgetEntryLocked(*old);
  FindOrAddLocked(fd);
  return fd;
}

int connect(SOCKET s, const sockaddr* name, socklen_t namelen) {
  bool nonBlocking;
  {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    nonBlocking = FindOrAddLocked(s).nonBlocking;
  }
  int r = ::connect(s, name, namelen);
  int err = r == 0 ? 0 : errno;
  if (!nonBlocking) {
    if (r != 0) return Fail(WsaErrorFromErrno(err));
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    SocketEntry& e = FindOrAddLocked(s);
    e.phase = Phase::kConnected;
    e.writeArmed = true;  // established: the first FD_WRITE comes once it is registered
    return 0;
  }

  std::lock_guard<std::mutex> lock(SocketTableMutex());
  SocketEntry& e = FindOrAddLocked(s);
  if (r == 0 || IsConnectOutcome(err)) {
    // Finished at once (loopback may do that): report through FD_CONNECT all the same.
    e.phase = Phase::kConnectFinished;
    e.connectError = err;
    e.readArmed = true;
    NudgeOwnerLocked(e);
    if (r == 0) return 0;
    return Fail(WSAEWOULDBLOCK);
  }
  if (err == EINPROGRESS || err == EINTR) {
    e.phase = Phase::kConnecting;
    e.readArmed = true;
    NudgeOwnerLocked(e);
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(WsaErrorFromErrno(err));
}

int bind(SOCKET s, const sockaddr* name, socklen_t namelen) {
  if (::bind(s, name, namelen) != 0) return FailErrno();
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (::listen(s, backlog) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  SocketEntry& e = FindOrAddLocked(s);
  e.phase = Phase::kListening;
  e.acceptArmed = true;
  NudgeOwnerLocked(e);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* addrlen) {
  int fd = ::accept4(s, addr, addrlen, SOCK_CLOEXEC);
  int err = errno;
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  if (SocketEntry* e = FindLocked(s)) {
    e->acceptArmed = true;
    NudgeOwnerLocked(*e);
  }
  if (fd < 0) {
    Fail(WsaErrorFromErrno(err));
    return INVALID_SOCKET;
  }
  if (SocketEntry* old = FindLocked(fd)) ForgetEntryLocked(*old);
  SocketEntry& e = FindOrAddLocked(fd);
  e.phase = Phase::kConnected;
  e.writeArmed = true;  // established: the first FD_WRITE comes once it is registered
  return fd;
}

namespace {
// The failure half of send() and sendv(): maps the error and re-enables FD_WRITE when the
// send would have blocked.
int SendFailed(SOCKET s, int err) {
  if (err == EAGAIN || err == EWOULDBLOCK || err == EPIPE) {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    SocketEntry* e = FindLocked(s);
    // Linux says EPIPE for three different things WinSock tells apart.
    if (err == EPIPE) {
      if (e != nullptr && e->shutWrite) return Fail(WSAESHUTDOWN);
      if (e != nullptr && (e->phase == Phase::kIdle || e->phase == Phase::kConnecting))
        return Fail(WSAENOTCONN);
      return Fail(WSAECONNRESET);
    }
    if (e != nullptr && !e->writeArmed) {
      e->writeArmed = true;
      NudgeOwnerLocked(*e);
    }
  }
  return Fail(WsaErrorFromErrno(err));
}
}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t r = ::send(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
  if (r >= 0) return static_cast<int>(r);
  return SendFailed(s, errno);
}

int sendv(SOCKET s, const WSABUF* buffers, int count, int flags) {
  if (count < 0 || count > 1024) return Fail(WSAEINVAL);
  iovec pieces[1024];
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = const_cast<char*>(buffers[i].buf);
    pieces[i].iov_len = buffers[i].len;
  }
  msghdr message {};
  message.msg_iov = pieces;
  message.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t r = ::sendmsg(s, &message, flags | MSG_NOSIGNAL);
  if (r >= 0) return r > INT32_MAX ? INT32_MAX : static_cast<int>(r);
  return SendFailed(s, errno);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, socklen_t tolen) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t r = ::sendto(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL, to, tolen);
  if (r >= 0) return static_cast<int>(r);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    if (SocketEntry* e = FindLocked(s); e != nullptr && !e->writeArmed) {
      e->writeArmed = true;
      NudgeOwnerLocked(*e);
    }
  }
  return Fail(WsaErrorFromErrno(err));
}

namespace {
void RearmRead(SOCKET s) {
  std::lock_guard<std::mutex> lock(SocketTableMutex());
  if (SocketEntry* e = FindLocked(s); e != nullptr && !e->readArmed) {
    e->readArmed = true;
    NudgeOwnerLocked(*e);
  }
}
}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t r = ::recv(s, buf, static_cast<std::size_t>(len), flags);
  int err = errno;
  RearmRead(s);  // any receive, even a failed one, re-enables FD_READ
  if (r < 0) return Fail(WsaErrorFromErrno(err));
  return static_cast<int>(r);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, socklen_t* fromlen) {
  if (len < 0) return Fail(WSAEINVAL);
  ssize_t r = ::recvfrom(s, buf, static_cast<std::size_t>(len), flags, from, fromlen);
  int err = errno;
  RearmRead(s);
  if (r < 0) return Fail(WsaErrorFromErrno(err));
  return static_cast<int>(r);
}

int shutdown(SOCKET s, int how) {
  if (::shutdown(s, how) != 0) return FailErrno();
  if (how == SD_SEND || how == SD_BOTH) {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    FindOrAddLocked(s).shutWrite = true;
  }
  return 0;
}

int closesocket(SOCKET s) {
  {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    // The descriptor number is reused by the next socket at once; its predecessor's
    // notifications still queued must not reach whoever gets it, wherever they wait.
    if (SocketEntry* e = FindLocked(s)) ForgetEntryLocked(*e);
  }
  // Outside the lock: with a positive linger time close() may block.
  if (::close(s) != 0) return FailErrno();
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, socklen_t optlen) {
  if (::setsockopt(s, level, optname, optval, optlen) != 0) return FailErrno();
  return 0;
}

int getsockopt(SOCKET s, int level, int optname, void* optval, socklen_t* optlen) {
  if (::getsockopt(s, level, optname, optval, optlen) != 0) return FailErrno();
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, socklen_t* namelen) {
  if (::getsockname(s, name, namelen) != 0) return FailErrno();
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, socklen_t* namelen) {
  if (::getpeername(s, name, namelen) != 0) return FailErrno();
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp) {
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == WSA_FIONREAD || cmd == static_cast<long>(FIONREAD)) {
    int count = 0;
    if (::ioctl(s, FIONREAD, &count) != 0) return FailErrno();
    *argp = static_cast<unsigned long>(count < 0 ? 0 : count);
    return 0;
  }
  if (cmd == WSA_FIONBIO || cmd == static_cast<long>(FIONBIO)) {
    std::lock_guard<std::mutex> lock(SocketTableMutex());
    SocketEntry& e = FindOrAddLocked(s);
    bool wanted = *argp != 0;
    if (!wanted && e.mask != 0) return Fail(WSAEINVAL);
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailErrno();
    flags = wanted ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(s, F_SETFL, flags) != 0) return FailErrno();
    e.nonBlocking = wanted;
    return 0;
  }
  return Fail(WSAEINVAL);
}

int WSAIoctl(SOCKET s, DWORD code, const void* inBuffer, DWORD inLength, void*, DWORD,
             DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (code != SIO_KEEPALIVE_VALS) return Fail(WSAEINVAL);
  if (inBuffer == nullptr || inLength < sizeof(tcp_keepalive)) return Fail(WSAEFAULT);
  tcp_keepalive values;
  std::memcpy(&values, inBuffer, sizeof values);
  int on = values.onoff != 0 ? 1 : 0;
  if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return FailErrno();
  if (!on) return 0;
  // Linux counts these in whole seconds; round up so a short time is not turned into "never".
  int idle = static_cast<int>((values.keepalivetime + 999) / 1000);
  int interval = static_cast<int>((values.keepaliveinterval + 999) / 1000);
  if (idle < 1) idle = 1;
  if (interval < 1) interval = 1;
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return FailErrno();
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
    return FailErrno();
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT message, long mask) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return Fail(WSAENOTSOCK);
  if (!(flags & O_NONBLOCK) && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();

  std::lock_guard<std::mutex> lock(SocketTableMutex());
  SocketEntry& e = FindOrAddLocked(s);
  e.nonBlocking = true;
  if (mask == 0) {
    RemoveFromOwnerLocked(e);
    e.hwnd = hwnd;
    e.message = message;
    e.mask = 0;
    return 0;
  }
  std::shared_ptr<ThreadContext> owner;
  {
    std::lock_guard<std::mutex> windowLock(WindowMutex());
    owner = WindowOwnerLocked(hwnd);
  }
  if (!owner) return Fail(WSAEINVAL);
  if (e.owner != owner.get()) {
    RemoveFromOwnerLocked(e);
    e.owner = owner.get();
    owner->sockets.push_back(Table()[s]);
  }
  e.hwnd = hwnd;
  e.message = message;
  e.mask = mask;
  if (e.phase == Phase::kIdle) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM) {
      e.datagram = true;
      e.phase = Phase::kConnected;
      e.writeArmed = true;  // one FD_WRITE, as for a new connection
    }
  }
  // Level-triggered events are re-evaluated on registration; a recorded FD_WRITE (send hit
  // "would block" while notifications were off) stays pending. A close already reported may
  // have been dropped with the old registration's queued messages (a paused socket ignores
  // them, a window given up purges them): if the connection is still ended it is reported
  // again, or the owner would never learn of it.
  e.readArmed = true;
  e.acceptArmed = true;
  if (!e.datagram) e.closeReported = false;
  NudgeOwnerLocked(e);
  return 0;
}

int gethostname(char* name, int namelen) {
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  if (::gethostname(name, static_cast<std::size_t>(namelen)) != 0) return FailErrno();
  name[namelen - 1] = '\0';
  return 0;
}

}  // namespace platform

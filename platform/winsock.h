// WinSock-shaped socket calls over Linux descriptors, with asynchronous select.
//
// SOCKET values are Linux file descriptors. Every call here records its failure as a WinSock
// error number (errno mapped, see WsaErrorFromErrno) readable with WSAGetLastError, and
// returns SOCKET_ERROR (-1) / INVALID_SOCKET as WinSock does.
//
// ALWAYS call these qualified (platform::send, platform::recv, ...): the unqualified names
// find the C library functions, which bypass the notification re-arming described below and
// so make FD_READ / FD_WRITE stop arriving.
//
// Socket levels, option names and ioctl codes are the native ones (SOL_SOCKET, SO_SNDBUF,
// SO_LINGER with `struct linger`, IPPROTO_TCP/TCP_NODELAY, FIONREAD, FIONBIO); the WinSock
// numbers of FIONREAD (0x4004667F) and FIONBIO (0x8004667E) are accepted as well.
//
// Asynchronous select (WSAAsyncSelect): a socket registered with (window, message, mask) is
// made non-blocking and watched by the readiness engine of the window's owner thread (the
// waits in message_queue.h). Notifications are posted to the window as `message` with
// wParam = the socket and lParam = WSAMAKESELECTREPLY(event, error). Re-enabling rules:
// - FD_CONNECT: once per connect() of a registered socket, with 0 or the error of the failed
//   connection (a refused connection gives WSAECONNREFUSED 10061 here, while connect() itself
//   returned WSAEWOULDBLOCK). A connect that succeeded is followed by one FD_WRITE.
// - FD_READ: posted when data is readable, then not again until recv() or recvfrom() is
//   called on the socket (asking FIONREAD does not re-enable it).
// - FD_WRITE: once after the connection is established (for a socket accepted or connected
//   by a blocking connect() before it was registered: once it is registered with FD_WRITE),
//   then again only after a send() that failed with WSAEWOULDBLOCK, when the socket has become
//   writable again. A send() that took only part of the data does not re-enable it: keep
//   sending until one would block.
// - FD_ACCEPT: for a listening socket, posted when a connection waits, again after accept().
// - FD_CLOSE: once per connection, when the peer closed (error 0) or reset (WSAECONNRESET)
//   the connection. Data still unread at that moment is announced by an FD_READ queued before
//   the FD_CLOSE. An urgent (MSG_OOB) byte from the peer is never taken for the end.
// - A datagram socket counts as connected from registration on: one FD_WRITE, then FD_READ
//   per the rule above; never FD_CONNECT or FD_CLOSE.
// - mask 0 stops notifications (the socket stays non-blocking); registering again replaces
//   window, message and mask, re-enables FD_READ and reports FD_CLOSE again when the
//   connection has ended. FD_WRITE is not re-enabled (re-registering is not a new
//   connection): a sender that may have lost an FD_WRITE simply tries to send again.
// - closesocket() unregisters the socket and drops its notifications still queued (in every
//   window it posted to, also after mask 0), so that a new socket reusing the same descriptor
//   number never receives the old one's messages. A registered descriptor closed with the C
//   library's close() is treated the same way at the next wait that notices it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/win_types.h"

namespace platform {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Notification events (WSAAsyncSelect masks and the low half of the notification lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr LPARAM WSAMAKESELECTREPLY(long event, int error) {
  return static_cast<LPARAM>(MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
}
constexpr WORD WSAGETSELECTEVENT(LPARAM lParam) { return LOWORD(static_cast<std::uintptr_t>(lParam)); }
constexpr WORD WSAGETSELECTERROR(LPARAM lParam) { return HIWORD(static_cast<std::uintptr_t>(lParam)); }
constexpr LPARAM WSAMAKEASYNCREPLY(int buflen, int error) {
  return static_cast<LPARAM>(MAKELONG(static_cast<WORD>(buflen), static_cast<WORD>(error)));
}
constexpr WORD WSAGETASYNCBUFLEN(LPARAM lParam) { return LOWORD(static_cast<std::uintptr_t>(lParam)); }
constexpr WORD WSAGETASYNCERROR(LPARAM lParam) { return HIWORD(static_cast<std::uintptr_t>(lParam)); }

// WinSock error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The calling thread's last error (shared with GetLastError).
int WSAGetLastError();
void WSASetLastError(int error);

// Maps an errno value to the WinSock number (EWOULDBLOCK/EAGAIN 10035, ECONNREFUSED 10061,
// ECONNRESET 10054, EPIPE 10054, ...). 0 maps to 0; an errno with no WinSock counterpart
// maps to WSAEINVAL.
int WsaErrorFromErrno(int errnum);

// ---- socket calls (native arguments, WinSock results) ----

// A new socket (close-on-exec). Blocking until registered with WSAAsyncSelect or put in
// non-blocking mode with ioctlsocket(FIONBIO).
SOCKET socket(int af, int type, int protocol);

// Starts or makes a connection. On a non-blocking socket the result is SOCKET_ERROR with
// WSAEWOULDBLOCK and the outcome comes as FD_CONNECT (also for a refused connection).
int connect(SOCKET s, const sockaddr* name, socklen_t namelen);

int bind(SOCKET s, const sockaddr* name, socklen_t namelen);
int listen(SOCKET s, int backlog);
// Re-enables FD_ACCEPT. The accepted socket is blocking and unregistered.
SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* addrlen);

// Sends without raising SIGPIPE. A WSAEWOULDBLOCK failure re-enables FD_WRITE. Sending on a
// connection the peer has reset fails with WSAECONNRESET; after our own shutdown(SD_SEND)
// with WSAESHUTDOWN.
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, socklen_t tolen);

// One piece of a gathered send.
struct WSABUF {
  unsigned long len;
  const char* buf;
};
// Sends the pieces in order with one system call, under the same rules as send(): returns the
// byte count taken (possibly less than the total) or SOCKET_ERROR. At most 1024 pieces.
int sendv(SOCKET s, const WSABUF* buffers, int count, int flags);

// Receives; every call re-enables FD_READ. 0 means the peer closed.
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, socklen_t* fromlen);

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
int shutdown(SOCKET s, int how);

// Closes the descriptor, unregisters it and drops its queued notifications.
int closesocket(SOCKET s);

int setsockopt(SOCKET s, int level, int optname, const void* optval, socklen_t optlen);
int getsockopt(SOCKET s, int level, int optname, void* optval, socklen_t* optlen);
int getsockname(SOCKET s, sockaddr* name, socklen_t* namelen);
int getpeername(SOCKET s, sockaddr* name, socklen_t* namelen);

// FIONREAD: bytes readable now. FIONBIO: *argp != 0 makes the socket non-blocking (a socket
// registered with WSAAsyncSelect cannot be made blocking: WSAEINVAL, as on Windows).
constexpr long WSA_FIONREAD = 0x4004667F;
constexpr long WSA_FIONBIO = static_cast<long>(0x8004667EL);
int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);

// WSAIoctl supports one code: SIO_KEEPALIVE_VALS with a tcp_keepalive record (times in ms).
constexpr DWORD SIO_KEEPALIVE_VALS = 0x98000004u;
struct tcp_keepalive {
  std::uint32_t onoff;
  std::uint32_t keepalivetime;
  std::uint32_t keepaliveinterval;
};
int WSAIoctl(SOCKET s, DWORD code, const void* inBuffer, DWORD inLength, void* outBuffer,
             DWORD outLength, DWORD* bytesReturned);

// Registers `s` for notifications to `hwnd` (a live window, whose owner thread will watch the
// socket) as message `message` for the events in `mask`; mask 0 stops them. See the rules at
// the top of this file. Fails with WSAENOTSOCK for a bad socket, WSAEINVAL for a dead window.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT message, long mask);

// Local host name into `name` (zero-terminated, cut to `namelen`).
int gethostname(char* name, int namelen);

}  // namespace platform

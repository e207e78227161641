// Asynchronous select over real loopback connections. The peer side is a plain blocking
// socket driven by the test itself.
#include "platform/winsock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <string>
#include <vector>

#include "platform_test_util.h"
#include "tests/support/loopback_listener.h"

using namespace platform;
using namespace platform_test;

namespace {

constexpr UINT kSelectMsg = WM_USER + 1;
constexpr long kAllEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A blocking listener on 127.0.0.1 with an ephemeral port.
struct Listener {
  int fd = -1;
  std::uint16_t port = 0;

  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd, 16), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }

  // Accepts one connection, waiting at most 5 s.
  int Accept() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

// One asynchronous client connection with a recording window.
struct AsyncClient {
  RecordingWindow window;
  SOCKET s = INVALID_SOCKET;

  explicit AsyncClient(long mask = kAllEvents) {
    s = platform::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(WSAAsyncSelect(s, window.hwnd, kSelectMsg, mask), 0);
  }
  ~AsyncClient() {
    if (s != INVALID_SOCKET) platform::closesocket(s);
  }

  int Connect(std::uint16_t port) {
    sockaddr_in a = Loopback(port);
    return platform::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }

  // Notifications received so far, as (event, error) pairs.
  std::vector<std::pair<int, int>> Events() const {
    std::vector<std::pair<int, int>> out;
    for (const MSG& m : window.recorder.messages) {
      if (m.message != kSelectMsg) continue;
      EXPECT_EQ(m.wParam, static_cast<WPARAM>(s));
      out.emplace_back(WSAGETSELECTEVENT(m.lParam), WSAGETSELECTERROR(m.lParam));
    }
    return out;
  }
  std::size_t Count(int event) const {
    std::size_t n = 0;
    for (auto& [e, err] : Events()) n += e == event ? 1 : 0;
    return n;
  }
  bool WaitFor(int event, std::size_t count = 1, DWORD timeoutMs = 5000) {
    return PumpUntil([&] { return Count(event) >= count; }, timeoutMs);
  }
};

// Connects `client` to `listener` and returns the accepted peer, with FD_CONNECT and the
// first FD_WRITE consumed.
int Establish(AsyncClient& client, Listener& listener) {
  int rc = client.Connect(listener.port);
  if (rc != 0) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  int peer = listener.Accept();
  EXPECT_GE(peer, 0);
  EXPECT_TRUE(client.WaitFor(FD_CONNECT));
  EXPECT_TRUE(client.WaitFor(FD_WRITE));
  return peer;
}

TEST(PlatformAsyncSelect, ConnectGivesFdConnectThenExactlyOneFdWrite) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  PumpFor(100);
  auto events = client.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], std::make_pair(static_cast<int>(FD_CONNECT), 0));
  EXPECT_EQ(events[1], std::make_pair(static_cast<int>(FD_WRITE), 0));
  // Sending that does not block does not bring FD_WRITE back.
  EXPECT_EQ(platform::send(client.s, "abc", 3, 0), 3);
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_WRITE), 1u);
  ::close(peer);
}

TEST(PlatformAsyncSelect, RefusedConnectEndsInFdConnectWith10061Only) {
  const test_support::TRefusingPort closed;
  AsyncClient client;
  int rc = client.Connect(closed.Port());
  ASSERT_EQ(rc, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);  // the outcome comes as a message
  ASSERT_TRUE(client.WaitFor(FD_CONNECT));
  PumpFor(100);
  auto events = client.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair(static_cast<int>(FD_CONNECT), WSAECONNREFUSED));
}

TEST(PlatformAsyncSelect, FdReadComesAgainOnlyAfterAReceive) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);

  ASSERT_EQ(::send(peer, "0123456789", 10, 0), 10);
  ASSERT_TRUE(client.WaitFor(FD_READ));
  ASSERT_EQ(::send(peer, "more", 4, 0), 4);
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_READ), 1u) << "no new FD_READ before recv";

  char buf[64];
  ASSERT_EQ(platform::recv(client.s, buf, 5, 0), 5);  // partial read: data remains
  ASSERT_TRUE(client.WaitFor(FD_READ, 2));
  ASSERT_EQ(platform::recv(client.s, buf, sizeof buf, 0), 9);
  EXPECT_EQ(std::string(buf, 9), "56789more");
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_READ), 2u) << "re-armed, but nothing to read";

  ASSERT_EQ(::send(peer, "x", 1, 0), 1);
  ASSERT_TRUE(client.WaitFor(FD_READ, 3));

  // Nothing to read now: would block, and the call re-arms all the same.
  ASSERT_EQ(platform::recv(client.s, buf, sizeof buf, 0), 1);
  EXPECT_EQ(platform::recv(client.s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(client.Count(FD_CLOSE), 0u);
  ::close(peer);
}

TEST(PlatformAsyncSelect, PeerCloseGivesOneFdCloseAfterUnreadDataWasAnnounced) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  std::string payload(3000, 'p');
  ASSERT_EQ(::send(peer, payload.data(), payload.size(), 0), static_cast<ssize_t>(payload.size()));
  ::close(peer);

  ASSERT_TRUE(client.WaitFor(FD_CLOSE));
  PumpFor(100);
  auto events = client.Events();
  std::size_t readAt = events.size(), closeAt = events.size();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].first == FD_READ && readAt == events.size()) readAt = i;
    if (events[i].first == FD_CLOSE) closeAt = i;
  }
  ASSERT_LT(readAt, closeAt) << "FD_READ must precede FD_CLOSE";
  EXPECT_EQ(client.Count(FD_CLOSE), 1u);
  EXPECT_EQ(events[closeAt].second, 0);

  // Every byte is still there after the close notification.
  std::string got;
  char buf[1024];
  int n;
  while ((n = platform::recv(client.s, buf, sizeof buf, 0)) > 0) got.append(buf, n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got, payload);
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_CLOSE), 1u);
}

TEST(PlatformAsyncSelect, PeerResetGivesFdCloseWith10054AndSendFailsWithoutSignal) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  linger hard{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(peer);  // sends RST

  ASSERT_TRUE(client.WaitFor(FD_CLOSE));
  auto events = client.Events();
  EXPECT_EQ(events.back(), std::make_pair(static_cast<int>(FD_CLOSE), WSAECONNRESET));

  // Writing to the dead connection reports an error instead of killing the process.
  int rc = platform::send(client.s, "x", 1, 0);
  EXPECT_EQ(rc, SOCKET_ERROR);
  int err = WSAGetLastError();
  EXPECT_TRUE(err == WSAECONNRESET || err == WSAECONNABORTED) << err;
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_CLOSE), 1u);
}

TEST(PlatformAsyncSelect, FdWriteReturnsOnceAfterSendWouldBlock) {
  Listener listener;
  AsyncClient client;
  int small = 4096;
  platform::setsockopt(client.s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  int peer = Establish(client, listener);
  ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  std::vector<char> chunk(65536, 'w');
  long long queued = 0;
  int rc;
  for (int i = 0; i < 10000; ++i) {
    rc = platform::send(client.s, chunk.data(), chunk.size(), 0);
    if (rc == SOCKET_ERROR) break;
    queued += rc;
  }
  ASSERT_EQ(rc, SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_WRITE), 1u) << "no FD_WRITE while the peer reads nothing";

  // The peer drains everything; the network takes data again: one FD_WRITE.
  long long drained = 0;
  std::vector<char> buf(65536);
  while (drained < queued) {
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ssize_t n = ::recv(peer, buf.data(), buf.size(), 0);
    ASSERT_GT(n, 0);
    drained += n;
  }
  ASSERT_TRUE(client.WaitFor(FD_WRITE, 2));
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_WRITE), 2u);
  ::close(peer);
}

TEST(PlatformAsyncSelect, MaskZeroStopsNotificationsAndReRegisteringResumesThem) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ASSERT_EQ(WSAAsyncSelect(client.s, client.window.hwnd, 0, 0), 0);
  ASSERT_EQ(::send(peer, "data", 4, 0), 4);
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_READ), 0u);

  ASSERT_EQ(WSAAsyncSelect(client.s, client.window.hwnd, kSelectMsg, kAllEvents), 0);
  ASSERT_TRUE(client.WaitFor(FD_READ));
  EXPECT_EQ(client.Count(FD_WRITE), 1u) << "re-registering is not a new connection";
  ::close(peer);
}

TEST(PlatformAsyncSelect, ReRegisteringReportsAnEndedConnectionOnceMore) {
  // The first FD_CLOSE may have been dropped with the old registration's messages.
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ::close(peer);
  ASSERT_TRUE(client.WaitFor(FD_CLOSE));
  ASSERT_EQ(WSAAsyncSelect(client.s, client.window.hwnd, kSelectMsg, kAllEvents), 0);
  ASSERT_TRUE(client.WaitFor(FD_CLOSE, 2));
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_CLOSE), 2u) << "once per registration";
  EXPECT_EQ(client.Count(FD_WRITE), 1u);
}

// Waits (bounded) until a notification `event` for `hwnd` sits in the queue, leaving every
// queued notification there in its order.
bool WaitUntilQueued(HWND hwnd, int event, DWORD timeoutMs = 5000) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    bool queued = false;
    std::vector<MSG> held;
    while (PeekMessage(&msg, hwnd, kSelectMsg, kSelectMsg, PM_REMOVE)) held.push_back(msg);
    for (const MSG& m : held) {
      queued = queued || WSAGETSELECTEVENT(m.lParam) == event;
      PostMessage(m.hwnd, m.message, m.wParam, m.lParam);  // put them back, in order
    }
    if (queued) return true;
    if (TicksSince(start) > timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, 0, 50, QS_ALLINPUT);
  }
}

TEST(PlatformAsyncSelect, ClosesocketDropsQueuedNotificationsOfTheOldDescriptor) {
  // Also when notifications were switched off first: the queue still holds what was posted
  // before, and the next socket usually gets the same number.
  for (bool switchedOff : {false, true}) {
    SCOPED_TRACE(switchedOff ? "after mask 0" : "while registered");
    Listener listener;
    AsyncClient client;
    int peer = Establish(client, listener);
    ASSERT_EQ(::send(peer, "data", 4, 0), 4);
    ::close(peer);
    ASSERT_TRUE(WaitUntilQueued(client.window.hwnd, FD_CLOSE)) << "FD_READ and FD_CLOSE queued";
    if (switchedOff) {
      ASSERT_EQ(WSAAsyncSelect(client.s, client.window.hwnd, 0, 0), 0);
    }
    std::size_t before = client.Events().size();
    ASSERT_EQ(platform::closesocket(client.s), 0);
    client.s = INVALID_SOCKET;
    MSG msg;
    EXPECT_FALSE(PeekMessage(&msg, client.window.hwnd, kSelectMsg, kSelectMsg, PM_NOREMOVE))
        << "notifications of the closed socket left in the queue";

    SOCKET reused = platform::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(reused, client.window.hwnd, kSelectMsg, kAllEvents), 0);
    PumpFor(100);
    EXPECT_EQ(client.window.recorder.messages.size(), before);
    platform::closesocket(reused);
  }
}

TEST(PlatformAsyncSelect, AnUrgentByteIsNotTheEndOfTheStream) {
  // The kernel's count of readable bytes stops at the urgent mark: with an urgent byte in
  // front of ordinary data the socket is readable while the count says 0.
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ASSERT_EQ(::send(peer, "!", 1, MSG_OOB), 1);
  ASSERT_EQ(::send(peer, "tail", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return client.Count(FD_READ) + client.Count(FD_CLOSE) > 0; }));
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_CLOSE), 0u) << "a live connection reported closed";
  char buf[16];
  ASSERT_EQ(platform::recv(client.s, buf, sizeof buf, 0), 4);  // the urgent byte is not inline
  EXPECT_EQ(std::string(buf, 4), "tail");
  PumpFor(100);
  EXPECT_EQ(client.Count(FD_READ), 1u);

  ::close(peer);
  ASSERT_TRUE(client.WaitFor(FD_CLOSE));
  PumpFor(60);
  EXPECT_EQ(client.Count(FD_CLOSE), 1u);
  EXPECT_EQ(platform::recv(client.s, buf, sizeof buf, 0), 0);

  // The peer closes right behind: the data after the urgent byte is announced before the close.
  AsyncClient closing;
  int closingPeer = Establish(closing, listener);
  ASSERT_EQ(::send(closingPeer, "!", 1, MSG_OOB), 1);
  ASSERT_EQ(::send(closingPeer, "last", 4, 0), 4);
  ::close(closingPeer);
  ASSERT_TRUE(closing.WaitFor(FD_CLOSE));
  PumpFor(60);
  auto events = closing.Events();
  ASSERT_EQ(events.size(), 4u);  // FD_CONNECT, FD_WRITE, FD_READ, FD_CLOSE
  EXPECT_EQ(events[2].first, FD_READ);
  EXPECT_EQ(events[3].first, FD_CLOSE);
  ASSERT_EQ(platform::recv(closing.s, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "last");
}

TEST(PlatformAsyncSelect, EveryNewConnectionGetsItsFirstFdWrite) {
  // Accepted, and connected by a blocking connect that succeeded at once: both are
  // established before they are registered, and both are owed one FD_WRITE.
  SOCKET ls = platform::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(platform::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(platform::listen(ls, 8), 0);
  socklen_t len = sizeof a;
  platform::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
  SOCKET connected = platform::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(platform::connect(connected, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  SOCKET accepted = platform::accept(ls, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);

  RecordingWindow connectedWindow, acceptedWindow;
  ASSERT_EQ(WSAAsyncSelect(connected, connectedWindow.hwnd, kSelectMsg, kAllEvents), 0);
  ASSERT_EQ(WSAAsyncSelect(accepted, acceptedWindow.hwnd, kSelectMsg, kAllEvents), 0);
  ASSERT_TRUE(PumpUntil([&] {
    return connectedWindow.recorder.Count(kSelectMsg) >= 1 && acceptedWindow.recorder.Count(kSelectMsg) >= 1;
  }));
  PumpFor(100);
  for (RecordingWindow* w : {&connectedWindow, &acceptedWindow}) {
    ASSERT_EQ(w->recorder.messages.size(), 1u);
    EXPECT_EQ(WSAGETSELECTEVENT(w->recorder.messages[0].lParam), FD_WRITE);
    EXPECT_EQ(WSAGETSELECTERROR(w->recorder.messages[0].lParam), 0);
  }
  // The connection works both ways after that.
  char buf[8];
  ASSERT_EQ(platform::send(connected, "ping", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return acceptedWindow.recorder.Count(kSelectMsg) >= 2; }));
  EXPECT_EQ(platform::recv(accepted, buf, sizeof buf, 0), 4);
  platform::closesocket(accepted);
  platform::closesocket(connected);
  platform::closesocket(ls);
}

TEST(PlatformWinsock, ADescriptorClosedBehindTheLayersBackIsNoLongerWatched) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ASSERT_EQ(::close(client.s), 0);  // not closesocket: the layer does not know
  client.s = INVALID_SOCKET;
  DrainQueue();
  double cpuBefore = ThreadCpuMs();
  DWORD start = GetTickCount();
  int wakeUps = 0;
  while (TicksSince(start) < 300) {
    MsgWaitForMultipleObjects(0, nullptr, 0, 300 - TicksSince(start), QS_ALLINPUT);
    DrainQueue();
    ++wakeUps;
  }
  EXPECT_LT(ThreadCpuMs() - cpuBefore, 30.0) << "CPU ms used during a 300 ms idle wait";
  EXPECT_LT(wakeUps, 10);
  // A socket that gets the number next works normally.
  AsyncClient next;
  int nextPeer = Establish(next, listener);
  ASSERT_EQ(::send(nextPeer, "n", 1, 0), 1);
  EXPECT_TRUE(next.WaitFor(FD_READ));
  ::close(nextPeer);
  ::close(peer);
}

TEST(PlatformAsyncSelect, ListeningSocketGetsFdAcceptAgainAfterAccept) {
  RecordingWindow window;
  SOCKET ls = platform::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(platform::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(platform::listen(ls, 8), 0);
  ASSERT_EQ(WSAAsyncSelect(ls, window.hwnd, kSelectMsg, FD_ACCEPT), 0);
  socklen_t len = sizeof a;
  platform::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);

  int c1 = ::socket(AF_INET, SOCK_STREAM, 0), c2 = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(c1, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::connect(c2, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return window.recorder.Count(kSelectMsg) >= 1; }));
  PumpFor(60);
  EXPECT_EQ(window.recorder.Count(kSelectMsg), 1u) << "one FD_ACCEPT until accept()";
  SOCKET s1 = platform::accept(ls, nullptr, nullptr);
  ASSERT_NE(s1, INVALID_SOCKET);
  ASSERT_TRUE(PumpUntil([&] { return window.recorder.Count(kSelectMsg) >= 2; }));
  EXPECT_EQ(WSAGETSELECTEVENT(window.recorder.messages.back().lParam), FD_ACCEPT);
  SOCKET s2 = platform::accept(ls, nullptr, nullptr);
  ASSERT_NE(s2, INVALID_SOCKET);
  platform::closesocket(s1);
  platform::closesocket(s2);
  platform::closesocket(ls);
  ::close(c1);
  ::close(c2);
}

TEST(PlatformAsyncSelect, ReceiveOnAnotherThreadReArmsTheOwnersWait) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ASSERT_EQ(::send(peer, "ab", 2, 0), 2);
  ASSERT_TRUE(client.WaitFor(FD_READ));
  ASSERT_EQ(::send(peer, "cd", 2, 0), 2);
  char buf[8];
  int got = 0;
  std::thread reader([&] { got = platform::recv(client.s, buf, 1, 0); });
  reader.join();
  EXPECT_EQ(got, 1);
  // The owner must notice the re-arm while it waits.
  ASSERT_TRUE(client.WaitFor(FD_READ, 2, 3000));
  ::close(peer);
}

TEST(PlatformAsyncSelect, DatagramSocketReportsWritableThenEachArrival) {
  RecordingWindow window;
  SOCKET s = platform::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(platform::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  platform::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_EQ(WSAAsyncSelect(s, window.hwnd, kSelectMsg, kAllEvents), 0);
  auto events = [&](int event) {
    std::size_t n = 0;
    for (const MSG& m : window.recorder.messages) n += WSAGETSELECTEVENT(m.lParam) == event;
    return n;
  };
  ASSERT_TRUE(PumpUntil([&] { return events(FD_WRITE) == 1; }));

  int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(::sendto(peer, "", 0, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return events(FD_READ) == 1; }));
  char buf[16];
  EXPECT_EQ(platform::recvfrom(s, buf, sizeof buf, 0, nullptr, nullptr), 0);  // empty datagram
  ASSERT_EQ(::sendto(peer, "dg", 2, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 2);
  ASSERT_TRUE(PumpUntil([&] { return events(FD_READ) == 2; }));
  EXPECT_EQ(platform::recvfrom(s, buf, sizeof buf, 0, nullptr, nullptr), 2);
  PumpFor(50);
  EXPECT_EQ(events(FD_CLOSE), 0u);
  EXPECT_EQ(events(FD_WRITE), 1u);
  ::close(peer);
  platform::closesocket(s);
}

TEST(PlatformWinsock, ErrorsAreWinSockNumbers) {
  EXPECT_EQ(WsaErrorFromErrno(0), 0);
  EXPECT_EQ(WsaErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
  EXPECT_EQ(WsaErrorFromErrno(EAGAIN), WSAEWOULDBLOCK);
  EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
  EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), WSAECONNRESET);
  EXPECT_EQ(WsaErrorFromErrno(ECONNABORTED), WSAECONNABORTED);
  EXPECT_EQ(WsaErrorFromErrno(ENOTCONN), WSAENOTCONN);
  EXPECT_EQ(WsaErrorFromErrno(ENOTSOCK), WSAENOTSOCK);
  EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
  EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
  EXPECT_EQ(WsaErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
  EXPECT_EQ(WsaErrorFromErrno(EPIPE), WSAECONNRESET);
  EXPECT_EQ(WsaErrorFromErrno(ENOENT), WSAEINVAL);  // no WinSock counterpart

  // Calls record their failure where WSAGetLastError finds it.
  char buf[4];
  EXPECT_EQ(platform::recv(-1, buf, 4, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEBADF);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(platform::recv(pipeFds[0], buf, 4, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  SOCKET s = platform::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(platform::send(s, "x", 1, 0), SOCKET_ERROR);  // never connected
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  unsigned long pending = 99;
  EXPECT_EQ(platform::ioctlsocket(s, WSA_FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 0u);
  EXPECT_EQ(platform::ioctlsocket(s, 12345, &pending), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  platform::closesocket(s);

  // A blocking socket reports a refused connection from connect() itself.
  SOCKET b = platform::socket(AF_INET, SOCK_STREAM, 0);
  const test_support::TRefusingPort closed;
  sockaddr_in a = Loopback(closed.Port());
  EXPECT_EQ(platform::connect(b, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  platform::closesocket(b);
}

TEST(PlatformWinsock, SendAfterOwnShutdownReportsShutdown) {
  Listener listener;
  AsyncClient client;
  int peer = Establish(client, listener);
  ASSERT_EQ(platform::shutdown(client.s, SD_SEND), 0);
  EXPECT_EQ(platform::send(client.s, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
  ::close(peer);
}

TEST(PlatformWinsock, IdleWaitWithQuietSocketsUsesNoCpu) {
  // Sockets in every state that could make poll() spin if handled carelessly.
  Listener listener;
  AsyncClient quiet;  // connected, nothing happens
  int quietPeer = Establish(quiet, listener);

  AsyncClient unread;  // FD_READ announced but never received
  int unreadPeer = Establish(unread, listener);
  ASSERT_EQ(::send(unreadPeer, "zz", 2, 0), 2);
  ASSERT_TRUE(unread.WaitFor(FD_READ));

  AsyncClient closed;  // FD_CLOSE announced, socket left open
  int closedPeer = Establish(closed, listener);
  ::close(closedPeer);
  ASSERT_TRUE(closed.WaitFor(FD_CLOSE));
  ASSERT_EQ(platform::shutdown(closed.s, SD_BOTH), 0);  // now fully hung up

  const test_support::TRefusingPort nobody;
  AsyncClient refused;  // connect failed
  refused.Connect(nobody.Port());
  ASSERT_TRUE(refused.WaitFor(FD_CONNECT));

  AsyncClient blocked;  // a send hit "would block" and the peer never reads
  int blockedPeer = Establish(blocked, listener);
  std::vector<char> chunk(65536, 'b');
  for (int i = 0; i < 10000 && platform::send(blocked.s, chunk.data(), chunk.size(), 0) > 0; ++i) {
  }
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

  DrainQueue();
  std::size_t before = unread.Events().size() + closed.Events().size() + quiet.Events().size();
  double cpuBefore = ThreadCpuMs();
  DWORD start = GetTickCount();
  while (TicksSince(start) < 2000) {
    MsgWaitForMultipleObjects(0, nullptr, 0, 2000 - TicksSince(start), QS_ALLINPUT);
    DrainQueue();
  }
  double used = ThreadCpuMs() - cpuBefore;
  EXPECT_LT(used, 20.0) << "CPU ms used during a 2 s idle wait";
  EXPECT_EQ(unread.Events().size() + closed.Events().size() + quiet.Events().size(), before);
  ::close(quietPeer);
  ::close(unreadPeer);
  ::close(blockedPeer);
}

}  // namespace

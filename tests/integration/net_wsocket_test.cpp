// The asynchronous socket against real servers on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/application.h"
#include "net/timeout_wsocket.h"
#include "net/winsock_library.h"
#include "tests/integration/net_test_server.h"
#include "tests/unit/net/net_test_pump.h"

namespace {

using net::TSocketState;
using net::TWSocket;
using net_test::PumpFor;
using net_test::PumpUntil;
using net_test::TLoopbackServer;

// Records every event of one socket in order and keeps what arrived.
struct TRecorder {
  explicit TRecorder(TWSocket& socket, bool readData = true) {
    socket.OnSessionConnected = [this](net::TCustomWSocket*, int error) {
      Log.push_back("connected " + std::to_string(error));
      ++Connected;
    };
    socket.OnSessionClosed = [this](net::TCustomWSocket*, int error) {
      Log.push_back("closed " + std::to_string(error));
      ++Closed;
      ClosedAfterBytes = Data.size();
    };
    socket.OnDataSent = [this](net::TCustomWSocket*, int error) {
      Log.push_back("sent " + std::to_string(error));
      ++Sent;
      EXPECT_FALSE(InsideSend) << "OnDataSent fired from inside Send";
    };
    if (readData)
      socket.OnDataAvailable = [this](net::TCustomWSocket* s, int) {
        char buf[16384];
        const int n = s->Receive(buf, sizeof buf);
        if (n > 0) Data.append(buf, static_cast<size_t>(n));
        ++DataEvents;
      };
    socket.OnDnsLookupDone = [this](net::TCustomWSocket*, int error) {
      Log.push_back("dns " + std::to_string(error));
      ++Lookups;
      LookupError = error;
    };
  }

  int SendTracked(TWSocket& socket, const std::string& bytes) {
    InsideSend = true;
    const int result = socket.Send(bytes.data(), static_cast<int>(bytes.size()));
    InsideSend = false;
    return result;
  }

  std::vector<std::string> Log;
  std::string Data;
  size_t ClosedAfterBytes = 0;
  int Connected = 0, Closed = 0, Sent = 0, DataEvents = 0, Lookups = 0, LookupError = -1;
  bool InsideSend = false;
};

void ConnectTo(TWSocket& socket, uint16_t port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  socket.SetProto("tcp");
  socket.Connect();
}

auto EchoHandler() {
  return [](int fd, const std::atomic<bool>& stopping) {
    net_test::ReadToEnd(fd, stopping, [fd](const char* p, size_t n) { net_test::WriteAll(fd, p, n); });
  };
}

TEST(NetWSocket, RefusedConnectionReportsConnectedWithTheErrorThenClosedOnce) {
  TWSocket socket;
  TRecorder rec(socket);
  const test_support::TRefusingPort closed;
  ConnectTo(socket, closed.Port());
  EXPECT_EQ(TSocketState::wsConnecting, socket.State());
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
  PumpFor(50);
  EXPECT_EQ((std::vector<std::string>{"connected 10061", "closed 0"}), rec.Log);
  EXPECT_EQ(TSocketState::wsClosed, socket.State());
  EXPECT_EQ(platform::INVALID_SOCKET, socket.HSocket());
}

TEST(NetWSocket, EchoRoundTripWithDataSentOnlyFromTheMessageLoop) {
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  socket.CreateActivityCounter();
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  EXPECT_EQ(TSocketState::wsConnected, socket.State());
  EXPECT_NE(0u, socket.ActivityCounter()->ConnectedTick);

  // The connection's first FD_WRITE finds the chain empty and reports it.
  ASSERT_TRUE(PumpUntil([&] { return rec.Sent == 1; }));
  EXPECT_EQ(5, rec.SendTracked(socket, "hello"));
  EXPECT_EQ(1, rec.Sent);  // accepted at once, yet reported only later
  ASSERT_TRUE(PumpUntil([&] { return rec.Data == "hello" && rec.Sent == 2; }));
  EXPECT_EQ(5, socket.BytesSent());
  EXPECT_EQ(5, socket.BytesReceived());
  EXPECT_NE(0u, socket.ActivityCounter()->LastReadTick);
  EXPECT_NE(0u, socket.ActivityCounter()->LastWriteTick);

  // PutDataInSendBuffer only queues; Send with no data writes it.
  socket.PutDataInSendBuffer("abc", 3);
  EXPECT_EQ(3, socket.QueuedByteCount());
  PumpFor(50);
  EXPECT_EQ("hello", rec.Data);
  EXPECT_EQ(0, rec.SendTracked(socket, ""));
  ASSERT_TRUE(PumpUntil([&] { return rec.Data == "helloabc" && rec.Sent == 3; }));
  EXPECT_EQ(0, socket.QueuedByteCount());

  socket.Close();
  EXPECT_EQ(1, rec.Closed);
  socket.Close();  // a second close does nothing
  PumpFor(50);
  EXPECT_EQ(1, rec.Closed);
  EXPECT_EQ("closed 0", rec.Log.back());
  EXPECT_EQ("", socket.Addr());  // defaults re-applied after a close
}

TEST(NetWSocket, EveryByteReachesDataAvailableBeforeSessionClosed) {
  const std::string payload = net_test::Pattern(1 << 20);
  struct TCase {
    const char* Name;
    TLoopbackServer::THandler Handler;
  };
  const TCase cases[] = {
      {"send all then close", [&](int fd, const std::atomic<bool>&) { net_test::WriteAll(fd, payload.data(), payload.size()); }},
      {"slow drip then close",
       [&](int fd, const std::atomic<bool>&) {
         const size_t chunk = payload.size() / 16;
         for (size_t off = 0; off < payload.size(); off += chunk) {
           net_test::WriteAll(fd, payload.data() + off, std::min(chunk, payload.size() - off));
           std::this_thread::sleep_for(std::chrono::milliseconds(15));
         }
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackServer server(c.Handler);
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }, 10000));
    PumpFor(50);
    EXPECT_EQ(1, rec.Closed);
    EXPECT_EQ(payload.size(), rec.ClosedAfterBytes);
    EXPECT_TRUE(rec.Data == payload);
    EXPECT_EQ(static_cast<int64_t>(payload.size()), socket.BytesReceived());
  }
}

TEST(NetWSocket, ServerThatClosesAtOnceOrResetsEndsInOneSessionClosed) {
  {
    TLoopbackServer server([](int, const std::atomic<bool>&) {});
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
    PumpFor(50);
    EXPECT_EQ("connected 0", rec.Log.front());
    EXPECT_EQ("closed 0", rec.Log.back());
    EXPECT_EQ(1, rec.Closed);
  }
  {
    TLoopbackServer server([](int fd, const std::atomic<bool>&) {
      net_test::WriteAll(fd, "partial", 7);
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);  // close sends a reset
    });
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
    PumpFor(50);
    EXPECT_EQ(1, rec.Closed);
    EXPECT_EQ(TSocketState::wsClosed, socket.State());
    // Whether "partial" can still be read after the reset is the kernel's business; what
    // matters is one close with the reset's code or 0.
    const std::string last = rec.Log.back();
    EXPECT_TRUE(last == "closed 10054" || last == "closed 0") << last;
  }
}

TEST(NetWSocket, SendWhileConnectingIsRefusedWith10057) {
  TLoopbackServer server(EchoHandler());
  {
    TWSocket socket;
    TRecorder rec(socket);
    int errors = 0;
    socket.OnError = [&](net::TCustomWSocket*) { ++errors; };
    ConnectTo(socket, server.Port());
    ASSERT_EQ(TSocketState::wsConnecting, socket.State());
    EXPECT_EQ(-1, socket.Send("x", 1));
    EXPECT_EQ(1, errors);
    EXPECT_EQ(10057, socket.LastError());
  }
  {
    TWSocket socket;
    ConnectTo(socket, server.Port());
    try {
      socket.Send("x", 1);
      FAIL() << "no exception";
    } catch (const net::ESocketException& e) {
      EXPECT_STREQ("Socket is not connected (#10057 in Send)", e.what());
    }
  }
}

TEST(NetWSocket, CloseInsideSessionClosedAndPropertyRules) {
  TLoopbackServer server([](int, const std::atomic<bool>&) {});
  TWSocket socket;
  TRecorder rec(socket);
  auto recorded = socket.OnSessionClosed;
  socket.OnSessionClosed = [&](net::TCustomWSocket* s, int error) {
    recorded(s, error);
    s->Close();
    s->Close();
  };
  ConnectTo(socket, server.Port());
  try {
    socket.SetAddr("127.0.0.2");
    FAIL() << "no exception";
  } catch (const net::ESocketException& e) {
    EXPECT_STREQ("Cannot change Addr if not closed", e.what());
  }
  try {
    socket.Connect();
    FAIL() << "no exception";
  } catch (const net::ESocketException& e) {
    EXPECT_STREQ("Connect: Socket already in use", e.what());
  }
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
  PumpFor(50);
  EXPECT_EQ(1, rec.Closed);

  TWSocket fresh;
  for (auto [setup, text] : std::vector<std::pair<std::function<void()>, std::string>>{
           {[&] { fresh.SetAddr("127.0.0.1"); }, "Connect: No Port Specified"},
           {[&] { fresh.SetAddr(""); fresh.SetPort("80"); }, "Connect: No IP Address Specified"},
           {[&] { fresh.SetAddr("127.0.0.1"); fresh.SetProto(""); }, "Connect: No Protocol Specified"},
           {[&] { fresh.SetProto("tcp"); fresh.SetPort("http-nonexistent-service"); },
            "connect: Winsock Resolve Port: Cannot convert port 'http-nonexistent-service' - No Data (#11004)"},
       }) {
    setup();
    try {
      fresh.Connect();
      ADD_FAILURE() << "no exception for " << text;
    } catch (const net::ESocketException& e) {
      EXPECT_EQ(text, e.what());
    }
  }
  try {
    fresh.SetSendFlags(7);
    FAIL() << "no exception";
  } catch (const net::ESocketException& e) {
    EXPECT_STREQ("Invalid SendFlags", e.what());
  }
}

TEST(NetWSocket, LargeSendReachesTheSinkIntactAndDataSentComesOnceAtTheEnd) {
  const std::string payload = net_test::Pattern(8 << 20, 7);
  std::string received;
  std::atomic<bool> readAll{false};
  TLoopbackServer server([&](int fd, const std::atomic<bool>& stopping) {
    net_test::ReadToEnd(fd, stopping, [&](const char* p, size_t n) { received.append(p, n); });
    readAll = true;
  });
  TWSocket socket;
  TRecorder rec(socket);
  int64_t reported = 0;
  socket.OnSendData = [&](net::TCustomWSocket*, int n) { reported += n; };
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  // Handed over in odd-sized pieces, as a caller with its own blocks would.
  size_t off = 0;
  while (off < payload.size()) {
    const size_t n = std::min<size_t>(100000, payload.size() - off);
    ASSERT_EQ(static_cast<int>(n), rec.SendTracked(socket, payload.substr(off, n)));
    off += n;
  }
  ASSERT_TRUE(PumpUntil([&] { return socket.AllSent() && rec.Sent >= 1; }, 20000));
  PumpFor(50);
  EXPECT_EQ(0, socket.QueuedByteCount());
  EXPECT_EQ(static_cast<int64_t>(payload.size()), socket.BytesSent());
  EXPECT_EQ(static_cast<int64_t>(payload.size()), reported);
  socket.Close();
  ASSERT_TRUE(PumpUntil([&] { return readAll.load(); }, 20000));
  server.Stop();
  EXPECT_TRUE(received == payload) << received.size();
}

TEST(NetWSocket, AStreamFedFromDataSentRunsToTheEnd) {
  // The pattern of a body upload: each OnDataSent hands over the next pieces. Partial sends
  // happen all the time here; none may leave the stream waiting for a notification that
  // never comes.
  constexpr int64_t kTotal = 48 << 20;
  const std::string chunk = net_test::Pattern(65536, 5);
  std::atomic<int64_t> sunk{0};
  TLoopbackServer server([&](int fd, const std::atomic<bool>& stopping) {
    net_test::ReadToEnd(fd, stopping, [&](const char*, size_t n) { sunk += static_cast<int64_t>(n); });
  });
  TWSocket socket;
  int64_t handed = 0;
  bool closed = false;
  auto feed = [&](net::TCustomWSocket* s, int) {
    if (handed >= kTotal) return;
    for (int i = 0; i < 4; ++i, handed += 65536) s->PutDataInSendBuffer(chunk.data(), 65536);
    s->Send(nullptr, 0);
  };
  socket.OnSessionConnected = [&](net::TCustomWSocket* s, int error) { if (error == 0) feed(s, 0); };
  socket.OnDataSent = feed;
  socket.OnSessionClosed = [&](net::TCustomWSocket*, int) { closed = true; };
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return handed >= kTotal && socket.AllSent(); }, 30000))
      << handed << " handed, " << socket.QueuedByteCount() << " queued";
  socket.Close();
  EXPECT_TRUE(PumpUntil([&] { return sunk.load() == kTotal; }, 10000)) << sunk.load();
  EXPECT_TRUE(closed);
}

TEST(NetWSocket, ConnectionLostDuringASendEndsInOneSessionClosed) {
  TLoopbackServer server([](int fd, const std::atomic<bool>& stopping) {
    char buf[4096];
    net_test::WaitReadable(fd, stopping);
    ::recv(fd, buf, sizeof buf, 0);
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);  // reset with data unread
  });
  TWSocket socket;
  TRecorder rec(socket);
  int errors = 0;
  socket.OnError = [&](net::TCustomWSocket*) { ++errors; };
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  const std::string block = net_test::Pattern(1 << 20);
  for (int i = 0; i < 64 && rec.Closed == 0; ++i) {
    socket.Send(block.data(), static_cast<int>(block.size()));
    PumpFor(5);
  }
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
  PumpFor(50);
  EXPECT_EQ(1, rec.Closed);
  EXPECT_EQ(TSocketState::wsClosed, socket.State());
  const std::string last = rec.Log.back();
  EXPECT_TRUE(last == "closed 10054" || last == "closed 0") << last;
}

TEST(NetWSocket, ConnectTimeoutFiresWhenTheServerNeverAnswers) {
  // A listener whose accept queue is full drops further SYNs: the connect hangs.
  uint16_t port = 0;
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(fd);
  }
  TWSocket socket;
  TRecorder rec(socket);
  socket.TimeoutConnect = 300;
  socket.TimeoutSampling = 100;
  std::vector<net::TTimeoutReason> reasons;
  socket.OnTimedOut = [&](net::TCustomWSocket* s, net::TTimeoutReason reason) {
    reasons.push_back(reason);
    s->Abort();
  };
  ConnectTo(socket, port);
  const bool timedOut = PumpUntil([&] { return !reasons.empty() || rec.Connected > 0; }, 5000);
  for (int fd : fillers) ::close(fd);
  ::close(listener);
  ASSERT_TRUE(timedOut);
  if (rec.Connected > 0) GTEST_SKIP() << "the kernel accepted the connection anyway";
  EXPECT_EQ(net::TTimeoutReason::torConnect, reasons[0]);
  EXPECT_EQ(TSocketState::wsClosed, socket.State());
}

TEST(NetWSocket, AnExceptionInAHandlerAbortsTheSocketUnlessOnBgExceptionKeepsIt) {
  std::vector<std::string> shown;
  auto old = net::SetApplicationExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  socket.OnSessionConnected = [](net::TCustomWSocket*, int) { throw std::runtime_error("handler failed"); };
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed > 0; }));
  EXPECT_EQ(TSocketState::wsClosed, socket.State());
  EXPECT_EQ(std::vector<std::string>{"handler failed"}, shown);

  // The test message raises inside the socket's own message handling.
  bool kept = false;
  socket.OnBgException = [&](net::TNetWndControl*, const std::exception& e, bool& canClose) {
    kept = std::string(e.what()) == "Test exception in WSocket";
    canClose = false;
  };
  socket.PostTestException();
  ASSERT_TRUE(PumpUntil([&] { return kept; }));
  EXPECT_EQ(1u, shown.size());
  net::SetApplicationExceptionHandler(old);
}

TEST(NetWSocket, AnOpenSocketMovesToAnotherThread) {
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  socket.DetachThread();
  platform::DWORD eventsThread = 0;
  socket.OnDataAvailable = [&](net::TCustomWSocket* s, int) {
    eventsThread = platform::GetCurrentThreadId();
    rec.Data += s->ReceiveText();
  };
  std::thread([&] {
    socket.AttachThread();
    socket.SendText("moved");
    PumpUntil([&] { return rec.Data == "moved"; }, 5000);
    socket.DetachThread();
  }).join();
  EXPECT_EQ("moved", rec.Data);
  EXPECT_NE(0u, eventsThread);
  EXPECT_NE(platform::GetCurrentThreadId(), eventsThread);
  socket.AttachThread();
  socket.Close();
  EXPECT_EQ(1, rec.Closed);
}

TEST(NetWSocket, ADelayedCloseNeverEndsTheNextConnection) {
  TLoopbackServer server(EchoHandler(), 2);
  TWSocket socket;
  TRecorder rec(socket);
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  socket.CloseLater();
  socket.CloseLater();  // two asked, the first one closes
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 2; }));
  PumpFor(100);
  EXPECT_EQ(TSocketState::wsConnected, socket.State());
  EXPECT_EQ(1, rec.Closed);
  socket.Close();
}

TEST(NetWSocket, ANewConnectionStartedInsideSessionClosedSurvivesTheClose) {
  // The relocation pattern: close later, and connect again from the closed event.
  TLoopbackServer server(EchoHandler(), 2);
  TWSocket socket;
  TRecorder rec(socket);
  auto recordClosed = socket.OnSessionClosed;
  socket.OnSessionClosed = [&](net::TCustomWSocket* s, int error) {
    recordClosed(s, error);
    if (rec.Closed == 1) ConnectTo(socket, server.Port());
  };
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  socket.CloseLater();
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 2; }));
  EXPECT_EQ(TSocketState::wsConnected, socket.State());
  EXPECT_EQ("127.0.0.1", socket.Addr());
  socket.SendText("again");
  ASSERT_TRUE(PumpUntil([&] { return rec.Data == "again"; }));
  socket.Close();
  EXPECT_EQ(2, rec.Closed);
}

TEST(NetWSocket, DnsLookupOfDottedAddressesCompletesInsideTheCall) {
  TWSocket socket;
  TRecorder rec(socket);
  for (const char* text : {"192.168.1.10", "  192.168.1.10  "}) {
    rec.Lookups = 0;
    socket.DnsLookup(text);
    EXPECT_EQ(1, rec.Lookups) << text;
    EXPECT_EQ(0, rec.LookupError);
    EXPECT_EQ("192.168.1.10", socket.LookupResult());
    EXPECT_EQ(std::vector<std::string>{"192.168.1.10"}, socket.LookupResultList());
  }
  // Not dotted by the rule: looked up as names, answered later.
  for (const char* text : {"1.2.3", "256.1.1.1", "localhost"}) {
    rec.Lookups = 0;
    socket.DnsLookup(text);
    EXPECT_EQ(0, rec.Lookups) << text;
    EXPECT_TRUE(socket.LookupPending());
    ASSERT_TRUE(PumpUntil([&] { return rec.Lookups == 1; })) << text;
  }
  EXPECT_EQ(0, rec.LookupError);
  EXPECT_EQ("127.0.0.1", socket.LookupResult());

  // A second look-up replaces the first without an event for it; a cancel reports 10004.
  rec.Lookups = 0;
  socket.DnsLookup("localhost");
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return rec.Lookups >= 1; }));
  PumpFor(100);
  EXPECT_EQ(1, rec.Lookups);
  socket.DnsLookup("localhost");
  socket.CancelLookup();
  EXPECT_EQ(2, rec.Lookups);
  EXPECT_EQ(10004, rec.LookupError);
  PumpFor(100);
  EXPECT_EQ(2, rec.Lookups);

  // An empty name is reported, then the event fires with 10022.
  int errors = 0;
  socket.OnError = [&](net::TCustomWSocket*) { ++errors; };
  socket.DnsLookup("");
  EXPECT_EQ(1, errors);
  EXPECT_EQ(10022, rec.LookupError);
  socket.OnError = nullptr;
  try {
    socket.DnsLookup("");
    FAIL() << "no exception";
  } catch (const net::ESocketException& e) {
    EXPECT_STREQ("DNS lookup: invalid host name.", e.what());
  }
}

TEST(NetWSocket, ConnectByNameResolvesWithABlockingCall) {
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  socket.SetAddr("localhost");
  socket.SetPort(server.PortText());
  socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  EXPECT_EQ("connected 0", rec.Log.front());
  socket.Close();
}

TEST(NetWSocket, CloseLaterAndReleaseFromInsideHandlers) {
  struct TWatchedSocket : TWSocket {
    bool* Flag = nullptr;
    ~TWatchedSocket() override { *Flag = true; }
  };
  TLoopbackServer server(EchoHandler());
  bool destroyed = false;
  auto* socket = new TWatchedSocket;
  socket->Flag = &destroyed;
  TRecorder rec(*socket);
  socket->OnDataAvailable = [&](net::TCustomWSocket* s, int) {
    char buf[64];
    const int n = s->Receive(buf, sizeof buf);
    if (n > 0) rec.Data.append(buf, static_cast<size_t>(n));
    s->CloseLater();
    EXPECT_EQ(TSocketState::wsConnected, s->State());  // not closed yet
  };
  auto recordClosed = socket->OnSessionClosed;
  socket->OnSessionClosed = [&](net::TCustomWSocket* s, int error) {
    recordClosed(s, error);
    s->Release();
    EXPECT_FALSE(destroyed);  // only from the message loop
  };
  ConnectTo(*socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  socket->SendText("ping");
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
  EXPECT_EQ("ping", rec.Data);
  EXPECT_EQ(1, rec.Closed);
}

TEST(NetWSocket, PauseHoldsNotificationsUntilResume) {
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  socket.Pause();
  socket.SendText("held");
  PumpFor(200);
  EXPECT_EQ("", rec.Data);
  EXPECT_EQ(4, socket.PendingCount());
  socket.Resume();
  ASSERT_TRUE(PumpUntil([&] { return rec.Data == "held"; }));
  EXPECT_EQ(0, socket.PendingCount());
  char byte;
  EXPECT_EQ(-1, socket.Receive(&byte, 1));
  EXPECT_EQ(10035, socket.LastError());
  socket.Close();
}

// Waits (bounded) until a notification for the socket's window is queued, without taking it.
bool WaitUntilQueued(TWSocket& socket, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    platform::MSG msg;
    if (platform::PeekMessage(&msg, socket.WindowHandle(), 0, 0, platform::PM_NOREMOVE)) return true;
    platform::MsgWaitForMultipleObjects(0, nullptr, false, 20, platform::QS_ALLINPUT);
  }
  return false;
}

// Bounded wait for a flag set by the test thread.
void WaitForFlag(const std::atomic<bool>& flag, const std::atomic<bool>& stopping, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!flag && !stopping && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(NetWSocket, NotificationsIgnoredWhilePausedAreNotLost) {
  {
    SCOPED_TRACE("a close that arrived while paused");
    std::atomic<bool> closeNow{false};
    TLoopbackServer server([&](int, const std::atomic<bool>& stopping) { WaitForFlag(closeNow, stopping); });
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1 && rec.Sent == 1; }));
    closeNow = true;
    ASSERT_TRUE(WaitUntilQueued(socket));  // the close notification waits in the queue
    socket.Pause();
    PumpFor(100);  // ... and is ignored
    EXPECT_EQ(0, rec.Closed);
    socket.Resume();
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
    EXPECT_EQ(TSocketState::wsClosed, socket.State());
  }
  {
    SCOPED_TRACE("room to send that came while paused");
    const std::string payload = net_test::Pattern(16 << 20);  // far more than the kernel buffers
    std::atomic<bool> drain{false};
    std::atomic<size_t> received{0};
    TLoopbackServer server([&](int fd, const std::atomic<bool>& stopping) {
      WaitForFlag(drain, stopping);
      net_test::ReadToEnd(fd, stopping, [&](const char*, size_t n) { received += n; });
    });
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1 && rec.Sent == 1; }));
    ASSERT_EQ(static_cast<int>(payload.size()), socket.Send(payload.data(), static_cast<int>(payload.size())));
    ASSERT_GT(socket.QueuedByteCount(), 0);  // the network would block: FD_WRITE will say when
    drain = true;
    ASSERT_TRUE(WaitUntilQueued(socket));
    socket.Pause();
    PumpFor(100);  // the FD_WRITE is ignored
    socket.Resume();
    ASSERT_TRUE(PumpUntil([&] { return rec.Sent == 2; }, 10000))
        << "queued " << socket.QueuedByteCount() << ", received " << received.load() << ", sent events " << rec.Sent;
    EXPECT_EQ(0, socket.QueuedByteCount());
    socket.Close();
    EXPECT_TRUE(PumpUntil([&] { return received.load() == payload.size(); }, 10000)) << received.load();
  }
}

// How a test takes notifications away from a socket for a while and gives them back.
struct TSuspension {
  const char* Name;
  void (*Suspend)(TWSocket&);
  void (*Restore)(TWSocket&);
};
const TSuspension kSuspensions[] = {
    {"pause", [](TWSocket& s) { s.Pause(); }, [](TWSocket& s) { s.Resume(); }},
    {"thread move", [](TWSocket& s) { s.DetachThread(); }, [](TWSocket& s) { s.AttachThread(); }},
};

TEST(NetWSocket, AConnectResultQueuedBeforeAPauseOrThreadMoveArrivesOnceAfterwards) {
  for (const TSuspension& suspension : kSuspensions) {
    for (bool refused : {false, true}) {
      SCOPED_TRACE(std::string(suspension.Name) + (refused ? ", refused" : ", accepted"));
      std::atomic<bool> closeNow{false};
      TLoopbackServer server([&](int, const std::atomic<bool>& stopping) { WaitForFlag(closeNow, stopping); });
      TWSocket socket;
      TRecorder rec(socket);
      const test_support::TRefusingPort closed;
      ConnectTo(socket, refused ? closed.Port() : server.Port());
      ASSERT_TRUE(WaitUntilQueued(socket));  // the connect result waits in the queue
      suspension.Suspend(socket);
      PumpFor(100);
      EXPECT_EQ(0, rec.Connected);
      suspension.Restore(socket);
      if (refused) {
        ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
        PumpFor(100);
        EXPECT_EQ((std::vector<std::string>{"connected 10061", "closed 0"}), rec.Log);
        continue;
      }
      ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1 && rec.Sent == 1; }));
      EXPECT_EQ(TSocketState::wsConnected, socket.State());
      closeNow = true;  // and the peer's close is heard
      ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
      PumpFor(100);
      EXPECT_EQ((std::vector<std::string>{"connected 0", "sent 0", "closed 0"}), rec.Log);
    }
  }
}

TEST(NetWSocket, DataSentOfASendBeforeOrDuringAPauseOrThreadMoveIsOwedUntilAfterwards) {
  for (const TSuspension& suspension : kSuspensions) {
    SCOPED_TRACE(suspension.Name);
    TLoopbackServer server(EchoHandler());
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1 && rec.Sent == 1; }));
    EXPECT_EQ(5, rec.SendTracked(socket, "first"));  // taken at once: the event is posted
    suspension.Suspend(socket);
    PumpFor(100);
    EXPECT_EQ(1, rec.Sent);
    suspension.Restore(socket);
    ASSERT_TRUE(PumpUntil([&] { return rec.Sent == 2 && rec.Data == "first"; }));
    // The same for a Send made while suspended: the bytes go, the event waits.
    suspension.Suspend(socket);
    EXPECT_EQ(6, rec.SendTracked(socket, "second"));
    PumpFor(100);
    EXPECT_EQ(2, rec.Sent);
    suspension.Restore(socket);
    ASSERT_TRUE(PumpUntil([&] { return rec.Sent == 3 && rec.Data == "firstsecond"; }));
    PumpFor(100);
    EXPECT_EQ(3, rec.Sent);
    EXPECT_EQ(0, rec.Closed);
    socket.Close();
  }
}

TEST(NetWSocket, ADelayedCloseAndALookupPendingAtAThreadMoveCompleteAfterIt) {
  {
    SCOPED_TRACE("delayed close");
    TLoopbackServer server(EchoHandler());
    TWSocket socket;
    TRecorder rec(socket);
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
    socket.CloseLater();
    socket.DetachThread();
    socket.AttachThread();
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
    EXPECT_EQ(TSocketState::wsClosed, socket.State());
  }
  // The answer already queued in the old window, or still being looked up when it went.
  for (bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "look-up answered before the move" : "look-up running at the move");
    TWSocket socket;
    TRecorder rec(socket);
    socket.DnsLookup("localhost");
    if (answered) {
      ASSERT_TRUE(WaitUntilQueued(socket));
    }
    socket.DetachThread();
    EXPECT_TRUE(socket.LookupPending());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a running look-up ends meanwhile
    socket.AttachThread();
    ASSERT_TRUE(PumpUntil([&] { return rec.Lookups == 1; }));
    PumpFor(100);
    EXPECT_EQ(1, rec.Lookups);
    EXPECT_EQ(0, rec.LookupError);
    EXPECT_EQ("127.0.0.1", socket.LookupResult());
    EXPECT_FALSE(socket.LookupPending());
  }
}

TEST(NetWSocket, AnUrgentByteFromThePeerDoesNotEndTheConnection) {
  // The urgent byte is not part of the stream; what follows it is.
  std::atomic<bool> closeNow{false};
  TLoopbackServer server([&](int fd, const std::atomic<bool>& stopping) {
    ::send(fd, "!", 1, MSG_OOB);
    net_test::WriteAll(fd, "after", 5);
    WaitForFlag(closeNow, stopping);
  });
  TWSocket socket;
  TRecorder rec(socket);
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Data == "after" || rec.Closed > 0; }));
  PumpFor(100);
  EXPECT_EQ(0, rec.Closed);
  EXPECT_EQ("after", rec.Data);
  EXPECT_EQ(TSocketState::wsConnected, socket.State());
  closeNow = true;
  ASSERT_TRUE(PumpUntil([&] { return rec.Closed == 1; }));
}

TEST(NetWSocket, ANewConnectionOpenedWhenASendFoundTheOldOneGoneGetsNoDataSent) {
  // The old connection takes a little, then resets while the client still has data queued
  // and has been told (FD_WRITE, not yet handled) that it may send again.
  std::atomic<bool> readSome{false}, readDone{false}, resetNow{false};
  TLoopbackServer first([&](int fd, const std::atomic<bool>& stopping) {
    WaitForFlag(readSome, stopping);
    std::vector<char> buf(1 << 20);
    size_t got = 0;
    while (got < (4u << 20) && net_test::WaitReadable(fd, stopping, 200)) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    readDone = true;
    WaitForFlag(resetNow, stopping);
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);  // the close resets
  });
  TLoopbackServer second([](int fd, const std::atomic<bool>& stopping) { net_test::WaitReadable(fd, stopping, 3000); });
  TWSocket socket;
  TRecorder rec(socket);
  auto recordClosed = socket.OnSessionClosed;
  socket.OnSessionClosed = [&](net::TCustomWSocket* s, int error) {
    recordClosed(s, error);
    if (rec.Closed == 1) ConnectTo(socket, second.Port());
  };
  ConnectTo(socket, first.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1 && rec.Sent == 1; }));
  const std::string payload = net_test::Pattern(16 << 20);
  socket.Send(payload.data(), static_cast<int>(payload.size()));
  ASSERT_GT(socket.QueuedByteCount(), 0);
  readSome = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!readDone && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(readDone);
  ASSERT_TRUE(WaitUntilQueued(socket));  // the FD_WRITE waits; the reset comes behind it
  resetNow = true;
  first.Stop();  // the handler has returned and the descriptor is closed: reset sent
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 2 && rec.Sent == 2; }));
  PumpFor(100);
  // Whichever noticed the reset (the send or the close notification), the new connection
  // starts with its own connected event, with no data-sent report left over from the old one.
  const auto closedAt = std::find_if(rec.Log.begin(), rec.Log.end(),
                                     [](const std::string& e) { return e.rfind("closed", 0) == 0; });
  ASSERT_NE(rec.Log.end(), closedAt);
  ASSERT_NE(rec.Log.end(), closedAt + 1);
  EXPECT_EQ("connected 0", *(closedAt + 1)) << ::testing::PrintToString(rec.Log);
  EXPECT_EQ(2, rec.Sent) << ::testing::PrintToString(rec.Log);
  EXPECT_EQ(1, rec.Closed);
  socket.Close();
}

TEST(NetWSocket, AHandlerThatClosesOnEndOfStreamGetsOneSessionClosedAndMayConnectAgain) {
  // The common reader: Receive gives 0 when the peer has closed, and the handler closes too;
  // the second time it also connects again at once, and that connection is not the one closed.
  TLoopbackServer server([](int fd, const std::atomic<bool>&) { net_test::WriteAll(fd, "hello", 5); }, 3);
  for (const bool reconnect : {false, true}) {
    SCOPED_TRACE(reconnect ? "connecting again" : "closing only");
    TWSocket socket;
    TRecorder rec(socket);
    socket.OnDataAvailable = [&](net::TCustomWSocket* s, int) {
      char buf[256];
      const int n = s->Receive(buf, sizeof buf);
      if (n > 0) rec.Data.append(buf, static_cast<size_t>(n));
      if (n != 0) return;
      s->Close();
      if (reconnect && rec.Connected == 1) ConnectTo(socket, server.Port());
    };
    ConnectTo(socket, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return rec.Closed > (reconnect ? 1 : 0); }));
    PumpFor(100);
    EXPECT_EQ(reconnect ? "hellohello" : "hello", rec.Data);
    std::vector<std::string> expected{"connected 0", "sent 0", "closed 0"};
    if (reconnect) expected.insert(expected.end(), {"connected 0", "sent 0", "closed 0"});
    EXPECT_EQ(expected, rec.Log);
    EXPECT_EQ(TSocketState::wsClosed, socket.State());
  }
}

TEST(NetWSocket, ANewAttemptStartedFromAFailedConnectIsKept) {
  // A refused connect, and the handler closes and tries elsewhere at once.
  TLoopbackServer server(EchoHandler());
  TWSocket socket;
  TRecorder rec(socket);
  auto recordConnected = socket.OnSessionConnected;
  socket.OnSessionConnected = [&](net::TCustomWSocket* s, int error) {
    recordConnected(s, error);
    if (error != 0) {
      s->Close();
      ConnectTo(socket, server.Port());
    }
  };
  const test_support::TRefusingPort closed;
  ConnectTo(socket, closed.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 2; }));
  PumpFor(100);
  EXPECT_EQ((std::vector<std::string>{"connected 10061", "closed 0", "connected 0", "sent 0"}), rec.Log);
  EXPECT_EQ(TSocketState::wsConnected, socket.State());
  socket.Close();
}

TEST(NetWSocket, AbortDiscardsQueuedDataAndClosesOnce) {
  TLoopbackServer server([](int fd, const std::atomic<bool>& stopping) {
    net_test::WaitReadable(fd, stopping, 3000);  // never reads: the client's queue fills
  });
  TWSocket socket;
  TRecorder rec(socket);
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return rec.Connected == 1; }));
  const std::string big = net_test::Pattern(32 << 20);
  socket.Send(big.data(), static_cast<int>(big.size()));
  EXPECT_GT(socket.QueuedByteCount(), 0);
  socket.Abort();
  EXPECT_EQ(0, socket.QueuedByteCount());
  EXPECT_EQ(TSocketState::wsClosed, socket.State());
  EXPECT_EQ(1, rec.Closed);
  PumpFor(100);
  EXPECT_EQ(1, rec.Closed);
}

TEST(NetWSocket, IdleTimeoutFiresAfterSilenceAndTrafficRestartsIt) {
  TLoopbackServer server([](int fd, const std::atomic<bool>& stopping) {
    for (int i = 0; i < 4 && !stopping; ++i) {  // a byte every 150 ms, then silence
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      net_test::WriteAll(fd, "z", 1);
    }
    net_test::WaitReadable(fd, stopping, 5000);
  });
  TWSocket socket;
  TRecorder rec(socket);
  socket.TimeoutIdle = 400;
  socket.TimeoutSampling = 100;
  std::vector<net::TTimeoutReason> reasons;
  std::string dataAtTimeout;
  socket.OnTimedOut = [&](net::TCustomWSocket*, net::TTimeoutReason reason) {
    reasons.push_back(reason);
    dataAtTimeout = rec.Data;
  };
  const auto start = std::chrono::steady_clock::now();
  ConnectTo(socket, server.Port());
  ASSERT_TRUE(PumpUntil([&] { return !reasons.empty(); }, 5000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(net::TTimeoutReason::torIdle, reasons[0]);
  EXPECT_EQ("zzzz", dataAtTimeout);  // the bytes kept it alive
  EXPECT_GE(ms, 4 * 150 + 400);
  EXPECT_LE(ms, 4 * 150 + 400 + 1500);  // one sampling interval plus slack for a busy machine
  PumpFor(300);
  EXPECT_EQ(1u, reasons.size());  // the timer stopped
  socket.Close();
}

TEST(NetWSocket, IdleTimeoutCountsFromTheStartWhenTheCounterIsNew) {
  // No connection yet and no counter: the idle measure must start now, not at the clock's
  // origin (a slow connect would otherwise time out as idle at the first sample).
  TWSocket socket;
  socket.TimeoutIdle = 400;
  socket.TimeoutSampling = 100;
  std::vector<net::TTimeoutReason> reasons;
  socket.OnTimedOut = [&](net::TCustomWSocket*, net::TTimeoutReason reason) { reasons.push_back(reason); };
  ASSERT_EQ(nullptr, socket.ActivityCounter());
  const auto start = std::chrono::steady_clock::now();
  socket.TimeoutStartSampling();
  ASSERT_NE(nullptr, socket.ActivityCounter());
  EXPECT_NE(0u, socket.ActivityCounter()->LastAliveTick());
  ASSERT_TRUE(PumpUntil([&] { return !reasons.empty(); }, 5000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(net::TTimeoutReason::torIdle, reasons[0]);
  EXPECT_GE(ms, 400);
}

TEST(NetWSocket, SocketCountReleasesTheLibraryWithTheLastSocket) {
  ASSERT_EQ(0, net::WinSockLiveSocketCount());
  {
    TWSocket a, b;
    EXPECT_EQ(2, net::WinSockLiveSocketCount());
    a.SetReqVerLow(1);  // unchanged: accepted
    a.SetAddr("127.0.0.1");
    const test_support::TRefusingPort closed;
    a.SetPort(closed.PortText());
    a.Connect();  // starts the library
    EXPECT_TRUE(net::WinSockLoaded());
    try {
      b.SetReqVerLow(2);
      FAIL() << "no exception";
    } catch (const net::ESocketException& e) {
      EXPECT_NE(nullptr, std::strstr(e.what(), " in SetReqVerLow: WinSock version can't be changed now)"));
    }
    a.Abort();
  }
  EXPECT_EQ(0, net::WinSockLiveSocketCount());
  EXPECT_FALSE(net::WinSockLoaded());
  EXPECT_FALSE(TWSocket::LocalHostName().empty());
  EXPECT_FALSE(net::WinSockLoaded());
}

}  // namespace

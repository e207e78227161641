#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/winsock.h"
#include "platform_test_util.h"

using namespace platform;
using namespace platform_test;

namespace {

constexpr UINT kLookupMsg = WM_USER + 2;

std::set<std::string> Addresses(const hostent* he) {
  std::set<std::string> out;
  for (char** p = he->h_addr_list; *p != nullptr; ++p) {
    in_addr a;
    std::memcpy(&a, *p, sizeof a);
    out.insert(inet_ntoa(a));
  }
  return out;
}

struct LookupFixture {
  RecordingWindow window;
  alignas(hostent) char buf[MAXGETHOSTSTRUCT];

  LookupFixture() { std::memset(buf, 0xAB, sizeof buf); }

  // Waits for the answer; returns its lParam, or -1 when none came.
  LPARAM Await(HANDLE request, DWORD timeoutMs = 20000) {
    bool ok = PumpUntil([&] { return window.recorder.Count(kLookupMsg) > 0; }, timeoutMs);
    if (!ok) return -1;
    const MSG& m = window.recorder.messages.back();
    EXPECT_EQ(m.wParam, reinterpret_cast<WPARAM>(request));
    return m.lParam;
  }
};

TEST(PlatformHostLookup, ResolvesANameAsynchronouslyIntoTheCallersBuffer) {
  LookupFixture f;
  HANDLE request = WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "localhost", f.buf, sizeof f.buf);
  ASSERT_NE(request, nullptr);
  LPARAM reply = f.Await(request);
  ASSERT_NE(reply, -1);
  EXPECT_EQ(WSAGETASYNCERROR(reply), 0);
  EXPECT_GT(WSAGETASYNCBUFLEN(reply), sizeof(hostent));
  EXPECT_LE(WSAGETASYNCBUFLEN(reply), sizeof f.buf);
  auto* he = reinterpret_cast<hostent*>(f.buf);
  EXPECT_EQ(he->h_addrtype, AF_INET);
  EXPECT_EQ(he->h_length, 4);
  EXPECT_EQ(he->h_aliases[0], nullptr);
  EXPECT_TRUE(Addresses(he).count("127.0.0.1"));
  // Every pointer stays inside the caller's buffer.
  for (char** p = he->h_addr_list; *p != nullptr; ++p) {
    EXPECT_GE(*p, f.buf);
    EXPECT_LT(*p, f.buf + sizeof f.buf);
  }

  // A dotted address goes through the same path.
  LookupFixture g;
  request = WSAAsyncGetHostByName(g.window.hwnd, kLookupMsg, "10.1.2.3", g.buf, sizeof g.buf);
  reply = g.Await(request);
  ASSERT_EQ(WSAGETASYNCERROR(reply), 0);
  EXPECT_EQ(Addresses(reinterpret_cast<hostent*>(g.buf)), std::set<std::string>{"10.1.2.3"});
}

TEST(PlatformHostLookup, UnknownNamesAndSmallBuffersReportWinSockErrors) {
  LookupFixture f;
  HANDLE request =
      WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "no-such-host.invalid", f.buf, sizeof f.buf);
  ASSERT_NE(request, nullptr);
  LPARAM reply = f.Await(request);
  ASSERT_NE(reply, -1);
  int err = WSAGETASYNCERROR(reply);
  // Not found, or "try again" when no name server answers.
  EXPECT_TRUE(err == WSAHOST_NOT_FOUND || err == WSATRY_AGAIN) << err;

  alignas(hostent) char tiny[16];
  LookupFixture g;
  request = WSAAsyncGetHostByName(g.window.hwnd, kLookupMsg, "localhost", tiny, sizeof tiny);
  reply = g.Await(request);
  EXPECT_EQ(WSAGETASYNCERROR(reply), WSAENOBUFS);
  EXPECT_GT(WSAGETASYNCBUFLEN(reply), sizeof tiny);  // what would have been needed
}

TEST(PlatformHostLookup, RejectsBadArgumentsAtOnce) {
  LookupFixture f;
  EXPECT_EQ(WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "", f.buf, sizeof f.buf), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "localhost", f.buf + 1, 100), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "localhost", f.buf, 0), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  HWND dead = CreateWindow(RecordingProc);
  DestroyWindow(dead);
  EXPECT_EQ(WSAAsyncGetHostByName(dead, kLookupMsg, "localhost", f.buf, sizeof f.buf), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(PlatformHostLookup, CancelledRequestsNeverAnswerNorWriteTheBuffer) {
  // Cancel at once (usually while the worker still runs), and cancel after the answer was
  // queued but not retrieved: both drop the answer.
  for (int round = 0; round < 20; ++round) {
    LookupFixture f;
    HANDLE request = WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "localhost", f.buf, sizeof f.buf);
    ASSERT_NE(request, nullptr);
    if (round % 2 == 1) MsgWaitForMultipleObjects(0, nullptr, 0, 200, QS_ALLINPUT);
    ASSERT_EQ(WSACancelAsyncRequest(request), 0) << "round " << round;
    char snapshot[sizeof f.buf];
    std::memcpy(snapshot, f.buf, sizeof f.buf);
    PumpFor(round == 0 ? 300 : 20);
    EXPECT_EQ(f.window.recorder.Count(kLookupMsg), 0u) << "round " << round;
    EXPECT_EQ(std::memcmp(snapshot, f.buf, sizeof f.buf), 0) << "round " << round;
    EXPECT_EQ(WSACancelAsyncRequest(request), SOCKET_ERROR);
  }
}

TEST(PlatformHostLookup, CancelAfterRetrievalOrWithAForeignHandleFails) {
  LookupFixture f;
  HANDLE request = WSAAsyncGetHostByName(f.window.hwnd, kLookupMsg, "localhost", f.buf, sizeof f.buf);
  ASSERT_NE(f.Await(request), -1);
  EXPECT_EQ(WSACancelAsyncRequest(request), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
  EXPECT_EQ(WSACancelAsyncRequest(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(1) << 40)),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(PlatformHostLookup, AnswerForADestroyedWindowIsDropped) {
  auto* buf = new (std::align_val_t(alignof(hostent))) char[MAXGETHOSTSTRUCT];
  Recorder recorder;
  HWND hwnd = CreateWindow(RecordingProc, reinterpret_cast<LONG_PTR>(&recorder));
  HANDLE request = WSAAsyncGetHostByName(hwnd, kLookupMsg, "localhost", buf, MAXGETHOSTSTRUCT);
  ASSERT_NE(request, nullptr);
  DestroyWindow(hwnd);
  PumpFor(300);
  EXPECT_TRUE(recorder.messages.empty());
  ::operator delete[](buf, std::align_val_t(alignof(hostent)));
}

TEST(PlatformHostLookup, BlockingLookup) {
  hostent* he = platform::gethostbyname("localhost");
  ASSERT_NE(he, nullptr);
  EXPECT_TRUE(Addresses(he).count("127.0.0.1"));
  EXPECT_EQ(platform::gethostbyname("no-such-host.invalid"), nullptr);
  int err = WSAGetLastError();
  EXPECT_TRUE(err == WSAHOST_NOT_FOUND || err == WSATRY_AGAIN) << err;
  EXPECT_EQ(platform::gethostbyname(""), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

}  // namespace

// Cost of the readiness engine: a loopback transfer driven by WSAAsyncSelect messages against
// the same transfer over plain blocking sockets, both directions, and connection set-up.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/winsock.h"

namespace {

using namespace platform;

constexpr long long kTotal = 512LL * 1024 * 1024;
constexpr UINT kSelectMsg = WM_USER + 1;

struct Pair {
  int listenFd = -1;
  sockaddr_in addr{};
};

Pair MakeListener() {
  Pair p;
  p.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  p.addr.sin_family = AF_INET;
  p.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(p.listenFd, reinterpret_cast<sockaddr*>(&p.addr), sizeof p.addr);
  ::listen(p.listenFd, 64);
  socklen_t len = sizeof p.addr;
  ::getsockname(p.listenFd, reinterpret_cast<sockaddr*>(&p.addr), &len);
  return p;
}

// The peer: sends or swallows kTotal bytes with blocking calls in big chunks.
void Source(int fd) {
  std::vector<char> buf(256 * 1024, 's');
  long long left = kTotal;
  while (left > 0) {
    ssize_t n = ::send(fd, buf.data(), std::min<long long>(left, buf.size()), MSG_NOSIGNAL);
    if (n <= 0) break;
    left -= n;
  }
  ::shutdown(fd, SHUT_WR);
}

void Sink(int fd) {
  std::vector<char> buf(256 * 1024);
  while (::recv(fd, buf.data(), buf.size(), 0) > 0) {
  }
}

struct TransferState {
  SOCKET s;
  long long done = 0;
  int chunk;
  std::vector<char> buf;
  bool finished = false;
};

LRESULT ReceiverProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
  auto* st = reinterpret_cast<TransferState*>(GetWindowLongPtr(hwnd, 0));
  if (message != kSelectMsg) return 0;
  int event = WSAGETSELECTEVENT(lParam);
  if (event == FD_READ || event == FD_CLOSE) {
    // The socket layer's receive loop: one receive, then ask what is left.
    for (;;) {
      int n = platform::recv(st->s, st->buf.data(), st->chunk, 0);
      if (n > 0) st->done += n;
      if (n == 0) st->finished = true;
      if (n <= 0) break;
      unsigned long pending = 0;
      if (platform::ioctlsocket(st->s, WSA_FIONREAD, &pending) != 0 || pending == 0) break;
    }
    if (event == FD_CLOSE) st->finished = true;
  }
  return 0;
}

LRESULT SenderProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
  auto* st = reinterpret_cast<TransferState*>(GetWindowLongPtr(hwnd, 0));
  if (message != kSelectMsg || WSAGETSELECTEVENT(lParam) != FD_WRITE) return 0;
  while (st->done < kTotal) {
    int n = platform::send(st->s, st->buf.data(), std::min<long long>(st->chunk, kTotal - st->done), 0);
    if (n <= 0) return 0;  // would block: FD_WRITE comes back
    st->done += n;
  }
  st->finished = true;
  return 0;
}

void RunAsync(benchmark::State& state, bool receive) {
  const int chunk = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Pair p = MakeListener();
    TransferState st;
    st.chunk = chunk;
    st.buf.assign(chunk, 'a');
    HWND hwnd = CreateWindow(receive ? ReceiverProc : SenderProc, reinterpret_cast<LONG_PTR>(&st));
    st.s = platform::socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(st.s, hwnd, kSelectMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    platform::connect(st.s, reinterpret_cast<sockaddr*>(&p.addr), sizeof p.addr);
    int peer = ::accept(p.listenFd, nullptr, nullptr);
    std::thread other(receive ? Source : Sink, peer);
    MSG msg;
    while (!st.finished && GetMessage(&msg, nullptr, 0, 0) > 0) DispatchMessage(&msg);
    platform::closesocket(st.s);
    other.join();
    ::close(peer);
    ::close(p.listenFd);
    DestroyWindow(hwnd);
    if (st.done != kTotal) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void RunBlocking(benchmark::State& state, bool receive) {
  const int chunk = static_cast<int>(state.range(0));
  std::vector<char> buf(chunk, 'b');
  for (auto _ : state) {
    Pair p = MakeListener();
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&p.addr), sizeof p.addr);
    int peer = ::accept(p.listenFd, nullptr, nullptr);
    std::thread other(receive ? Source : Sink, peer);
    long long done = 0;
    if (receive) {
      ssize_t n;
      while ((n = ::recv(s, buf.data(), chunk, 0)) > 0) done += n;
    } else {
      while (done < kTotal) {
        ssize_t n = ::send(s, buf.data(), std::min<long long>(chunk, kTotal - done), MSG_NOSIGNAL);
        if (n <= 0) break;
        done += n;
      }
      ::shutdown(s, SHUT_WR);
    }
    other.join();
    ::close(s);
    ::close(peer);
    ::close(p.listenFd);
    if (done != kTotal) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_AsyncReceive(benchmark::State& s) { RunAsync(s, true); }
void BM_BlockingReceive(benchmark::State& s) { RunBlocking(s, true); }
void BM_AsyncSend(benchmark::State& s) { RunAsync(s, false); }
void BM_BlockingSend(benchmark::State& s) { RunBlocking(s, false); }

// Sequential connect, FD_CONNECT, send, close cycles through the engine.
LRESULT CycleProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
  auto* done = reinterpret_cast<int*>(GetWindowLongPtr(hwnd, 0));
  if (message == kSelectMsg && WSAGETSELECTEVENT(lParam) == FD_CONNECT) *done = 1;
  return 0;
}

void BM_AsyncConnectSendClose(benchmark::State& state) {
  Pair p = MakeListener();
  int done = 0;
  HWND hwnd = CreateWindow(CycleProc, reinterpret_cast<LONG_PTR>(&done));
  std::thread acceptor([&] {
    for (;;) {
      int c = ::accept(p.listenFd, nullptr, nullptr);
      if (c < 0) return;
      char b[16];
      while (::recv(c, b, sizeof b, 0) > 0) {
      }
      ::close(c);
    }
  });
  for (auto _ : state) {
    done = 0;
    SOCKET s = platform::socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(s, hwnd, kSelectMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    platform::connect(s, reinterpret_cast<sockaddr*>(&p.addr), sizeof p.addr);
    MSG msg;
    while (!done && GetMessage(&msg, nullptr, 0, 0) > 0) DispatchMessage(&msg);
    platform::send(s, "GET / HTTP/1.0\r\n\r\n", 18, 0);
    platform::shutdown(s, SD_SEND);
    platform::closesocket(s);
  }
  ::shutdown(p.listenFd, SHUT_RDWR);
  acceptor.join();
  ::close(p.listenFd);
  DestroyWindow(hwnd);
  state.SetItemsProcessed(state.iterations());
}

// The same cycles with a blocking connect, for comparison.
void BM_BlockingConnectSendClose(benchmark::State& state) {
  Pair p = MakeListener();
  std::thread acceptor([&] {
    for (;;) {
      int c = ::accept(p.listenFd, nullptr, nullptr);
      if (c < 0) return;
      char b[16];
      while (::recv(c, b, sizeof b, 0) > 0) {
      }
      ::close(c);
    }
  });
  for (auto _ : state) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&p.addr), sizeof p.addr);
    ::send(s, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
    ::shutdown(s, SHUT_WR);
    ::close(s);
  }
  ::shutdown(p.listenFd, SHUT_RDWR);
  acceptor.join();
  ::close(p.listenFd);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BlockingReceive)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AsyncReceive)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlockingSend)->Arg(1460)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AsyncSend)->Arg(1460)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlockingConnectSendClose)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_AsyncConnectSendClose)->Iterations(2000)->UseRealTime();

BENCHMARK_MAIN();

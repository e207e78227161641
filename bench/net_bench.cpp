// Throughput of the asynchronous socket against plain blocking sockets over loopback, and
// sequential connect-send-close cycles.
//
// Each transfer moves 512 MB. The peer (sink or source) is a plain blocking socket on its own
// thread in every variant, so the variants differ only in the side being measured.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/timeout_wsocket.h"
#include "platform/message_queue.h"

namespace {

constexpr int64_t kTransferBytes = int64_t{512} << 20;
constexpr int kChunk = 64 * 1024;

int Listener(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 4096);  // the sink accepts one at a time: a full queue would drop SYNs for 1 s
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

int BlockingConnect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

// A thread that accepts `connections` connections one after the other and runs `serve` on each.
class TPeer {
 public:
  TPeer(int connections, std::function<void(int)> serve) {
    FListener = Listener(&FPort);
    FThread = std::thread([this, connections, serve] {
      for (int i = 0; i < connections; ++i) {
        pollfd p{FListener, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return;
        const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        serve(fd);
        ::close(fd);
      }
    });
  }
  ~TPeer() {
    FThread.join();
    ::close(FListener);
  }
  uint16_t Port() const { return FPort; }

 private:
  int FListener = -1;
  uint16_t FPort = 0;
  std::thread FThread;
};

void Sink(int fd) {
  static thread_local std::vector<char> buf(kChunk);
  while (::recv(fd, buf.data(), buf.size(), 0) > 0) {
  }
}

void Source(int fd) {
  std::vector<char> buf(kChunk, 'x');
  int64_t left = kTransferBytes;
  while (left > 0) {
    const ssize_t n = ::send(fd, buf.data(), static_cast<size_t>(std::min<int64_t>(left, kChunk)), MSG_NOSIGNAL);
    if (n <= 0) return;
    left -= n;
  }
}

// Runs the calling thread's messages until `done`; gives up after 60 s.
void Pump(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  platform::MSG msg;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) {
      platform::DispatchMessage(&msg);
      continue;
    }
    platform::MsgWaitForMultipleObjects(0, nullptr, false, 100, platform::QS_ALLINPUT);
  }
}

void Connect(net::TWSocket& socket, uint16_t port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  socket.Connect();
}

// ---- sending 512 MB ----

void BM_SendAsync(benchmark::State& state) {
  const int blockSize = static_cast<int>(state.range(0));
  const std::vector<char> chunk(kChunk, 'x');
  for (auto _ : state) {
    TPeer sink(1, Sink);
    net::TWSocket socket;
    socket.SetBufSize(blockSize);
    int64_t handed = 0;
    bool closed = false;
    // Keep a few chunks queued: the chain is topped up each time it runs empty.
    auto feed = [&](net::TCustomWSocket* s, int) {
      if (handed >= kTransferBytes) {
        s->Close();
        return;
      }
      for (int i = 0; i < 16 && handed < kTransferBytes; ++i) {
        s->PutDataInSendBuffer(chunk.data(), kChunk);
        handed += kChunk;
      }
      s->Send(nullptr, 0);
    };
    socket.OnSessionConnected = [&](net::TCustomWSocket* s, int error) {
      if (error == 0) feed(s, 0);
    };
    socket.OnDataSent = feed;
    socket.OnSessionClosed = [&](net::TCustomWSocket*, int) { closed = true; };
    Connect(socket, sink.Port());
    Pump([&] { return closed; });
    if (!closed || socket.BytesSent() != kTransferBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// The argument is the size of each write: 65536 is the baseline; 1460 shows what writing
// in blocks of the send chain's default size costs without any asynchronous machinery.
void BM_SendBlocking(benchmark::State& state) {
  const int writeSize = static_cast<int>(state.range(0));
  const std::vector<char> chunk(static_cast<size_t>(writeSize), 'x');
  for (auto _ : state) {
    TPeer sink(1, Sink);
    const int fd = BlockingConnect(sink.Port());
    int64_t left = kTransferBytes;
    while (left > 0) {
      const ssize_t n = ::send(fd, chunk.data(), static_cast<size_t>(std::min<int64_t>(left, writeSize)), MSG_NOSIGNAL);
      if (n <= 0) break;
      left -= n;
    }
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// ---- receiving 512 MB ----

void BM_ReceiveAsync(benchmark::State& state) {
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    TPeer source(1, Source);
    net::TWSocket socket;
    int64_t received = 0;
    bool closed = false;
    socket.OnDataAvailable = [&](net::TCustomWSocket* s, int) {
      const int n = s->Receive(buf.data(), kChunk);
      if (n > 0) received += n;
    };
    socket.OnSessionClosed = [&](net::TCustomWSocket*, int) { closed = true; };
    Connect(socket, source.Port());
    Pump([&] { return closed; });
    if (received != kTransferBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void BM_ReceiveBlocking(benchmark::State& state) {
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    TPeer source(1, Source);
    const int fd = BlockingConnect(source.Port());
    int64_t received = 0;
    for (;;) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      received += n;
    }
    ::close(fd);
    if (received != kTransferBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// ---- 2,000 sequential connect-send-close cycles ----

void BM_ConnectSendClose(benchmark::State& state) {
  constexpr int kCycles = 2000;
  const std::string request(200, 'r');
  for (auto _ : state) {
    TPeer sink(kCycles, Sink);
    net::TWSocket socket;
    int done = 0;
    bool closed = false;
    socket.OnSessionConnected = [&](net::TCustomWSocket* s, int error) {
      if (error == 0) s->SendText(request);
    };
    socket.OnDataSent = [&](net::TCustomWSocket* s, int) { s->CloseLater(); };
    socket.OnSessionClosed = [&](net::TCustomWSocket*, int) { closed = true; };
    for (int i = 0; i < kCycles; ++i) {
      closed = false;
      Connect(socket, sink.Port());
      Pump([&] { return closed; });
      if (!closed) break;
      ++done;
    }
    if (done != kCycles) state.SkipWithError("cycles did not complete");
  }
  state.SetItemsProcessed(state.iterations() * kCycles);
}

void BM_ConnectSendCloseBlocking(benchmark::State& state) {
  constexpr int kCycles = 2000;
  const std::string request(200, 'r');
  for (auto _ : state) {
    TPeer sink(kCycles, Sink);
    for (int i = 0; i < kCycles; ++i) {
      const int fd = BlockingConnect(sink.Port());
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      ::close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * kCycles);
}

}  // namespace

BENCHMARK(BM_SendAsync)->Arg(1460)->Arg(16384)->Arg(65536)->Arg(262144)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SendBlocking)->Arg(65536)->Arg(1460)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReceiveAsync)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReceiveBlocking)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConnectSendClose)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConnectSendCloseBlocking)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

#pragma once
// A small loopback server for the socket-layer tests: listens on 127.0.0.1 (port chosen by the
// system) and runs one handler per accepted connection on its own thread, with plain blocking
// calls. Every wait is bounded, so a fault fails the test instead of hanging it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include "tests/support/loopback_listener.h"

namespace net_test {

class TLoopbackServer {
 public:
  // `handler` runs on the server thread for each connection; the descriptor is closed when it
  // returns (unless the handler closed it and returned -1 via TakeOwnership).
  using THandler = std::function<void(int fd, const std::atomic<bool>& stopping)>;

  explicit TLoopbackServer(THandler handler, int maxConnections = 1, int backlog = 16)
      : FHandler(std::move(handler)), FMax(maxConnections) {
    FListener = test_support::OpenLoopbackListener(FPort, backlog);
    FThread = std::thread([this] { Run(); });
  }

  ~TLoopbackServer() { Stop(); }

  void Stop() {
    FStopping = true;
    if (FThread.joinable()) FThread.join();
    if (FListener >= 0) ::close(FListener);
    FListener = -1;
  }

  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  int Accepted() const { return FAccepted; }

 private:
  void Run() {
    while (!FStopping && FAccepted < FMax) {
      pollfd p{FListener, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++FAccepted;
      FHandler(fd, FStopping);
      ::close(fd);
    }
  }

  THandler FHandler;
  int FMax;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAccepted{0};
  std::thread FThread;
};

// Waits until `fd` is readable (or the peer closed) for at most `ms`; false on time-out/stop.
inline bool WaitReadable(int fd, const std::atomic<bool>& stopping, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) return true;
  }
  return false;
}

// Reads until the peer closes (or time-out); calls `sink` with each piece.
inline void ReadToEnd(int fd, const std::atomic<bool>& stopping,
                      const std::function<void(const char*, size_t)>& sink, int ms = 10000) {
  static thread_local char buf[65536];
  while (WaitReadable(fd, stopping, ms)) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    sink(buf, static_cast<size_t>(n));
  }
}

inline bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Deterministic test bytes.
inline std::string Pattern(size_t length, uint32_t seed = 1) {
  std::string s(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace net_test

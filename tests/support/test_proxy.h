#pragma once
// An HTTP proxy on 127.0.0.1 for the client's proxy tests: one thread per connection, every
// request recorded, and a handler that decides per request what the proxy does: answer
// itself (a challenge, a refusal, a scripted tunnel answer), forward a plain request to the
// origin named in its absolute address, or open a tunnel to the host of a CONNECT request.
//
// Forwarding drops the proxy's own headers (Proxy-Authorization, Proxy-Connection) as a
// proxy must, asks the origin to close, relays the answer and closes the client connection.
// The per-connection `State` text lets a handler run exchanges that span requests (NTLM).
// Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/loopback_listener.h"

namespace proxy_test {

struct TProxyRequest {
  int Connection = 0;  // 1-based number of the client connection it came on
  std::string Method, Target, Version;
  std::string Head;                            // request line and header lines as received
  std::map<std::string, std::string> Headers;  // names lower-cased, last occurrence
  std::string Body;
  std::string Header(const std::string& lowerName) const {
    auto it = Headers.find(lowerName);
    return it == Headers.end() ? std::string() : it->second;
  }
  bool Has(const std::string& lowerName) const { return Headers.count(lowerName) != 0; }
};

struct TProxyAction {
  enum TKind { Answer, Forward, Tunnel } Kind = Answer;
  std::string Bytes;   // Answer: the whole answer; Tunnel: what precedes the relayed bytes
  bool Close = false;  // Answer: close the connection afterwards
  int DripMs = -1;     // >= 0: send Bytes one byte at a time with this pause
};

// A complete answer with a length, keeping the connection.
inline std::string ProxyAnswer(const std::string& statusLine, const std::vector<std::string>& lines,
                               const std::string& body = "") {
  std::string out = statusLine + "\r\n";
  for (const std::string& l : lines) out += l + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return out;
}

class TTestProxy {
 public:
  using THandler = std::function<TProxyAction(const TProxyRequest&, std::string& state)>;

  explicit TTestProxy(THandler handler) : FHandler(std::move(handler)) {
    FListener = test_support::OpenLoopbackListener(FPort, 64);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TTestProxy() { Stop(); }
  TTestProxy(const TTestProxy&) = delete;
  TTestProxy& operator=(const TTestProxy&) = delete;

  void Stop() {
    FStopping = true;
    if (FAcceptor.joinable()) FAcceptor.join();
    std::list<std::thread> workers;
    {
      std::lock_guard<std::mutex> hold(FLock);
      workers.swap(FWorkers);
    }
    for (auto& t : workers) t.join();
    if (FListener >= 0) ::close(FListener);
    FListener = -1;
  }

  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  int Connections() const { return FConnections; }
  std::vector<TProxyRequest> Requests() const {
    std::lock_guard<std::mutex> hold(FLock);
    return FRequests;
  }

 private:
  void AcceptLoop() {
    while (!FStopping) {
      pollfd p{FListener, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int number = ++FConnections;
      std::lock_guard<std::mutex> hold(FLock);
      FWorkers.emplace_back([this, fd, number] {
        Serve(fd, number);
        ::close(fd);
      });
    }
  }

  bool WaitReadable(int fd, int ms) {
    for (int waited = 0; waited <= ms; waited += 50) {
      if (FStopping) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }

  // Reads until `buffer` holds `want` bytes or a whole head (want == 0); false on close,
  // stop or 10 s of silence.
  bool Fill(int fd, std::string& buffer, size_t want, size_t& headEnd) {
    for (;;) {
      if (want == 0) {
        headEnd = buffer.find("\r\n\r\n");
        if (headEnd != std::string::npos) return true;
      } else if (buffer.size() >= want) {
        return true;
      }
      if (!WaitReadable(fd, 10000)) return false;
      char chunk[65536];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  static bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool SendBytes(int fd, const TProxyAction& action) {
    if (action.DripMs < 0) return SendAll(fd, action.Bytes);
    for (char ch : action.Bytes) {
      if (FStopping || !SendAll(fd, std::string(1, ch))) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(action.DripMs));
    }
    return true;
  }

  static int ConnectTo(const std::string& hostPort) {
    const size_t colon = hostPort.rfind(':');
    const std::string host = hostPort.substr(0, colon);
    const int port = colon == std::string::npos ? 80 : std::stoi(hostPort.substr(colon + 1));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    // Only loopback targets: a test never sends traffic anywhere else.
    if (::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) >> 24) != 127 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Copies bytes both ways until one side closes or 10 s pass in silence.
  void Relay(int a, int b) {
    char chunk[65536];
    for (;;) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      int waited = 0;
      while (::poll(p, 2, 50) <= 0) {
        if (FStopping || (waited += 50) > 10000) return;
      }
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(p[i].fd, chunk, sizeof chunk, 0);
        if (n <= 0 || !SendAll(p[1 - i].fd, std::string(chunk, static_cast<size_t>(n)))) return;
      }
    }
  }

  void Forward(int client, const TProxyRequest& r) {
    // http://host:port/path -> host:port and /path
    const size_t hostAt = r.Target.find("://");
    const size_t pathAt = r.Target.find('/', hostAt == std::string::npos ? 0 : hostAt + 3);
    const std::string hostPort = r.Target.substr(hostAt + 3, pathAt - hostAt - 3);
    const int origin = ConnectTo(hostPort);
    if (origin < 0) {
      SendAll(client, ProxyAnswer("HTTP/1.0 502 Bad Gateway", {"Connection: close"}));
      return;
    }
    std::string out = r.Method + " " + (pathAt == std::string::npos ? "/" : r.Target.substr(pathAt)) +
                      " " + r.Version + "\r\n";
    size_t at = r.Head.find("\r\n") + 2;
    while (at < r.Head.size()) {
      const size_t end = r.Head.find("\r\n", at);
      const std::string line = r.Head.substr(at, end - at);
      at = end + 2;
      std::string name = line.substr(0, line.find(':'));
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      if (line.empty() || name == "proxy-authorization" || name == "proxy-connection" || name == "connection")
        continue;
      out += line + "\r\n";
    }
    out += "Connection: close\r\n\r\n" + r.Body;
    if (SendAll(origin, out)) {
      char chunk[65536];
      while (WaitReadable(origin, 10000)) {
        const ssize_t n = ::recv(origin, chunk, sizeof chunk, 0);
        if (n <= 0 || !SendAll(client, std::string(chunk, static_cast<size_t>(n)))) break;
      }
    }
    ::close(origin);
  }

  void Serve(int fd, int number) {
    std::string buffer, state;
    for (;;) {
      size_t headEnd = 0;
      if (!Fill(fd, buffer, 0, headEnd)) return;
      TProxyRequest r;
      r.Connection = number;
      r.Head = buffer.substr(0, headEnd + 4);
      const size_t lineEnd = r.Head.find("\r\n");
      const std::string requestLine = r.Head.substr(0, lineEnd);
      const size_t s1 = requestLine.find(' '), s2 = requestLine.rfind(' ');
      r.Method = requestLine.substr(0, s1);
      r.Target = requestLine.substr(s1 + 1, s2 - s1 - 1);
      r.Version = requestLine.substr(s2 + 1);
      for (size_t at = lineEnd + 2; at < headEnd;) {
        const size_t end = r.Head.find("\r\n", at);
        const std::string line = r.Head.substr(at, end - at);
        at = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.Headers[name] = value;
      }
      buffer.erase(0, headEnd + 4);
      const size_t length = r.Has("content-length") ? std::stoul(r.Header("content-length")) : 0;
      if (length > 0 && !Fill(fd, buffer, length, headEnd)) return;
      r.Body = buffer.substr(0, length);
      buffer.erase(0, length);
      {
        std::lock_guard<std::mutex> hold(FLock);
        FRequests.push_back(r);
      }

      const TProxyAction action = FHandler(r, state);
      if (action.Kind == TProxyAction::Forward) {
        Forward(fd, r);
        return;
      }
      if (action.Kind == TProxyAction::Tunnel) {
        const int target = ConnectTo(r.Target);
        if (target < 0) {
          SendAll(fd, ProxyAnswer("HTTP/1.0 502 Bad Gateway", {"Connection: close"}));
          return;
        }
        if (SendBytes(fd, action)) Relay(fd, target);
        ::close(target);
        return;
      }
      if (!SendBytes(fd, action) || action.Close) return;
    }
  }

  THandler FHandler;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FConnections{0};
  std::thread FAcceptor;
  mutable std::mutex FLock;
  std::list<std::thread> FWorkers;
  std::vector<TProxyRequest> FRequests;
};

}  // namespace proxy_test

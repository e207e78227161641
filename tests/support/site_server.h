#pragma once
// A loopback stand-in of the listing site for tests and benchmarks that run the program: an
// HTTP/1.x server on 127.0.0.1 (port chosen by the system), one thread per connection, that
// records every request and answers it through a handler. Keep-alive is honoured as HTTP/1.0
// and 1.1 define it, so the same server measures a client that reuses connections and one
// that does not. Every wait is bounded.

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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/loopback_listener.h"

namespace site_test {

struct TRequest {
  std::string Method, Target, Version;
  std::string Head;                            // the request line and header lines as received
  std::map<std::string, std::string> Headers;  // names lower-cased, first occurrence
  std::string Body;
  std::chrono::steady_clock::time_point Arrived;  // when its head was complete
  std::string Header(const std::string& lowerName) const {
    auto it = Headers.find(lowerName);
    return it == Headers.end() ? std::string() : it->second;
  }
  bool Has(const std::string& lowerName) const { return Headers.count(lowerName) != 0; }
};

struct TReply {
  int Status = 200;
  std::string Reason = "OK";
  std::vector<std::string> HeaderLines;  // extra lines, without CR LF
  std::string Body;
};

// One accepted connection's byte transport: plain by default, TLS when the server is given a
// factory for it (see tls_site.h).
class TTransport {
 public:
  explicit TTransport(int fd) : FFd(fd) {}
  virtual ~TTransport() = default;
  // False when the handshake (if any) failed; the connection is then dropped.
  virtual bool Start() { return true; }
  // Bytes already decoded and waiting, so that polling the descriptor would miss them.
  virtual bool Pending() { return false; }
  virtual ssize_t Recv(char* data, size_t size) { return ::recv(FFd, data, size, 0); }
  virtual ssize_t Send(const char* data, size_t size) { return ::send(FFd, data, size, MSG_NOSIGNAL); }
  int Fd() const { return FFd; }

 private:
  int FFd;
};

class TSiteServer {
 public:
  using THandler = std::function<TReply(const TRequest&)>;
  using TTransportFactory = std::function<std::unique_ptr<TTransport>(int fd)>;

  explicit TSiteServer(THandler handler, TTransportFactory transport = {})
      : FHandler(std::move(handler)), FTransport(std::move(transport)) {
    FListener = test_support::OpenLoopbackListener(FPort, 64);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TSiteServer() { Stop(); }
  TSiteServer(const TSiteServer&) = delete;
  TSiteServer& operator=(const TSiteServer&) = delete;

  void Stop() {
    FStopping = true;
    if (FAcceptor.joinable()) FAcceptor.join();
    std::list<TWorker> workers;
    {
      std::lock_guard<std::mutex> hold(FLock);
      workers.swap(FWorkers);
    }
    for (auto& w : workers) w.Thread.join();
    if (FListener >= 0) ::close(FListener);
    FListener = -1;
  }

  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  int Connections() const { return FConnections; }

  std::vector<TRequest> Requests() const {
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
      ++FConnections;
      std::lock_guard<std::mutex> hold(FLock);
      // A finished thread keeps its stack until joined: a long benchmark would run out of them.
      for (auto w = FWorkers.begin(); w != FWorkers.end();) {
        if (*w->Done) {
          w->Thread.join();
          w = FWorkers.erase(w);
        } else {
          ++w;
        }
      }
      auto done = std::make_shared<std::atomic<bool>>(false);
      FWorkers.push_back({std::thread([this, fd, done] {
                            std::unique_ptr<TTransport> t =
                                FTransport ? FTransport(fd) : std::make_unique<TTransport>(fd);
                            if (t->Start()) Serve(*t);
                            t.reset();
                            ::close(fd);
                            *done = true;
                          }),
                          done});
    }
  }

  // Reads until `buffer` holds `want` bytes or a CR LF CR LF (want == 0); false on close,
  // stop or 10 s of silence.
  bool Fill(TTransport& t, std::string& buffer, size_t want, size_t& headEnd) {
    for (;;) {
      if (want == 0) {
        headEnd = buffer.find("\r\n\r\n");
        if (headEnd != std::string::npos) return true;
      } else if (buffer.size() >= want) {
        return true;
      }
      int waited = 0;
      while (!t.Pending()) {
        if (FStopping) return false;
        pollfd p{t.Fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) break;
        if ((waited += 50) > 10000) return false;
      }
      char chunk[65536];
      const ssize_t n = t.Recv(chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  static bool SendAll(TTransport& t, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = t.Send(bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void Serve(TTransport& t) {
    std::string buffer;
    for (;;) {
      size_t headEnd = 0;
      if (!Fill(t, buffer, 0, headEnd)) return;
      TRequest r;
      r.Arrived = std::chrono::steady_clock::now();
      r.Head = buffer.substr(0, headEnd + 4);
      size_t lineEnd = r.Head.find("\r\n");
      const std::string requestLine = r.Head.substr(0, lineEnd);
      const size_t s1 = requestLine.find(' '), s2 = requestLine.rfind(' ');
      r.Method = requestLine.substr(0, s1);
      r.Target = requestLine.substr(s1 + 1, s2 - s1 - 1);
      r.Version = requestLine.substr(s2 + 1);
      for (size_t at = lineEnd + 2; at < headEnd;) {
        size_t end = r.Head.find("\r\n", at);
        const std::string line = r.Head.substr(at, end - at);
        at = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.Headers.emplace(name, value);
      }
      buffer.erase(0, headEnd + 4);
      const size_t length = r.Has("content-length") ? std::stoul(r.Header("content-length")) : 0;
      if (length > 0 && !Fill(t, buffer, length, headEnd)) return;
      r.Body = buffer.substr(0, length);
      buffer.erase(0, length);
      {
        std::lock_guard<std::mutex> hold(FLock);
        FRequests.push_back(r);
      }

      std::string connection = r.Header("connection");
      std::transform(connection.begin(), connection.end(), connection.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      const bool keep = r.Version == "HTTP/1.1" ? connection != "close" : connection == "keep-alive";
      const TReply reply = FHandler(r);
      std::string out = r.Version + " " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
      for (const std::string& line : reply.HeaderLines) out += line + "\r\n";
      out += "Content-Length: " + std::to_string(reply.Body.size()) + "\r\n";
      if (r.Version != "HTTP/1.1" && keep) out += "Connection: keep-alive\r\n";
      if (!keep) out += "Connection: close\r\n";
      out += "\r\n";
      out += reply.Body;
      if (!SendAll(t, out) || !keep) return;
    }
  }

  THandler FHandler;
  TTransportFactory FTransport;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FConnections{0};
  std::thread FAcceptor;
  mutable std::mutex FLock;
  struct TWorker {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };
  std::list<TWorker> FWorkers;
  std::vector<TRequest> FRequests;
};

}  // namespace site_test

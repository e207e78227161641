#include "tests/support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include "tests/support/loopback_listener.h"

namespace http_test {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string TRecordedRequest::Header(const std::string& name) const {
  const std::string wanted = Lower(name);
  size_t pos = Head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < Head.size()) {
    const size_t start = pos + 2;
    const size_t end = Head.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    const std::string line = Head.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == wanted) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
    pos = end;
  }
  return std::string();
}

bool TRecordedRequest::HasHeader(const std::string& name) const {
  const std::string wanted = "\r\n" + Lower(name) + ":";
  return Lower(Head).find(wanted) != std::string::npos;
}

bool SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

bool WaitReadable(int fd, const std::atomic<bool>& stopping, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) return true;
  }
  return false;
}

void Pause(int ms, const std::atomic<bool>& stopping) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10)));
}

std::string LengthReply(const std::string& statusLine, const std::string& body, const std::string& extraHeaders) {
  return statusLine + "\r\n" + extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

THttpTestServer::THttpTestServer(THandler handler) : FHandler(std::move(handler)) {
  FListener = test_support::OpenLoopbackListener(FPort, 64);
  FThread = std::thread([this] { Run(); });
}

THttpTestServer::~THttpTestServer() { Stop(); }

void THttpTestServer::Stop() {
  FStopping = true;
  if (FThread.joinable()) FThread.join();
  if (FListener >= 0) ::close(FListener);
  FListener = -1;
}

std::string THttpTestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + PortText() + path;
}

std::vector<TRecordedRequest> THttpTestServer::Requests() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FRequests;
}

void THttpTestServer::Run() {
  while (!FStopping) {
    pollfd p{FListener, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Serve(fd, ++FConnections);
    ::close(fd);
  }
}

void THttpTestServer::Serve(int fd, int connection) {
  std::string pending;
  char buf[65536];
  for (int index = 0; !FStopping; ++index) {
    // The head: up to the empty line.
    size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
      if (!WaitReadable(fd, FStopping, 10000)) return;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;  // the client closed (or reset) the connection
      pending.append(buf, static_cast<size_t>(n));
    }
    TRecordedRequest request;
    request.Connection = connection;
    request.IndexOnConnection = index;
    request.Head = pending.substr(0, headEnd + 4);
    pending.erase(0, headEnd + 4);
    const size_t sp1 = request.Head.find(' ');
    const size_t sp2 = request.Head.find(' ', sp1 + 1);
    if (sp1 != std::string::npos) request.Method = request.Head.substr(0, sp1);
    if (sp2 != std::string::npos) request.Target = request.Head.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string lengthText = request.Header("Content-Length");
    const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    while (pending.size() < length) {
      if (!WaitReadable(fd, FStopping, 10000)) return;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
    }
    request.Body = pending.substr(0, std::min(length, pending.size()));
    pending.erase(0, request.Body.size());
    {
      std::lock_guard<std::mutex> guard(FLock);
      FRequests.push_back(request);
    }

    TScriptedReply reply = FHandler(request);
    if (reply.Custom) {
      reply.Custom(fd, FStopping);
      return;
    }
    if (reply.Silent) {
      // Hold the connection until the client gives up on it.
      while (!FStopping) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
          if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
        }
      }
      return;
    }
    bool ok = true;
    if (reply.DripMs >= 0) {
      for (size_t i = 0; ok && i < reply.Bytes.size() && !FStopping; ++i) {
        ok = SendAll(fd, &reply.Bytes[i], 1);
        Pause(reply.DripMs, FStopping);
      }
    } else {
      size_t from = 0;
      std::vector<size_t> cuts = reply.Splits;
      cuts.push_back(reply.Bytes.size());
      for (size_t cut : cuts) {
        cut = std::min(cut, reply.Bytes.size());
        if (cut <= from) continue;
        if (from > 0) Pause(reply.PauseMs, FStopping);
        ok = ok && SendAll(fd, reply.Bytes.data() + from, cut - from);
        from = cut;
      }
    }
    if (reply.Reset) {
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      return;
    }
    if (!ok || reply.Close) {
      ::shutdown(fd, SHUT_WR);
      // Let the client read to the end before the descriptor goes (no reset on close).
      while (WaitReadable(fd, FStopping, 2000))
        if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
      return;
    }
  }
}

}  // namespace http_test

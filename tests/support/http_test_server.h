#pragma once
// A scripted HTTP server on 127.0.0.1 for the client tests (and any test that needs a site).
//
// Usage:
//   http_test::THttpTestServer server([](const http_test::TRecordedRequest& rq) {
//     http_test::TScriptedReply reply;
//     reply.Bytes = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi";
//     reply.Splits = {5, 20};   // sent as [0,5) [5,20) [20,end) with PauseMs between pieces
//     return reply;
//   });
//   client.SetURL(server.Url("/page"));  ... run the request ...
//   EXPECT_EQ(server.Requests()[0].Head, "GET /page HTTP/1.0\r\n...\r\n\r\n");
//
// The server runs on its own thread and serves one connection at a time: it reads a request
// (head up to the empty line, then Content-Length bytes of body), records it, asks the handler
// for the reply and plays it: in pieces, one byte at a time (DripMs), then closes, resets or
// keeps the connection for the next request. Silent reads the request and never answers;
// Custom takes over the connection (endless headers, CONNECT, anything hostile). Every wait
// is bounded and Stop() (or the destructor) ends everything within a fraction of a second.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace http_test {

struct TRecordedRequest {
  int Connection = 0;       // 1 for the first accepted connection, and so on
  int IndexOnConnection = 0;  // 0 for the first request on its connection
  std::string Head;         // request line and header lines, up to and including the empty line
  std::string Body;
  std::string Method, Target;
  // The value of the first header line of that name (without regard to case); "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct TScriptedReply {
  std::string Bytes;             // the reply as sent on the wire
  std::vector<size_t> Splits;    // piece boundaries (offsets into Bytes, ascending)
  int PauseMs = 2;               // pause between pieces
  int DripMs = -1;               // >= 0: one byte at a time with this pause
  bool Close = true;             // close the connection after the reply
  bool Reset = false;            // end the connection with a reset instead of an orderly close
  bool Silent = false;           // never answer; hold the connection until the peer or Stop ends it
  // Takes over the connection after the request was read (the reply fields are then unused).
  std::function<void(int fd, const std::atomic<bool>& stopping)> Custom;
};

class THttpTestServer {
 public:
  using THandler = std::function<TScriptedReply(const TRecordedRequest& request)>;

  explicit THttpTestServer(THandler handler);
  ~THttpTestServer();
  THttpTestServer(const THttpTestServer&) = delete;
  THttpTestServer& operator=(const THttpTestServer&) = delete;

  void Stop();
  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  // "http://127.0.0.1:<port>" + path
  std::string Url(const std::string& path = "/") const;
  std::vector<TRecordedRequest> Requests() const;
  int Connections() const { return FConnections; }

 private:
  void Run();
  void Serve(int fd, int connection);

  THandler FHandler;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FConnections{0};
  mutable std::mutex FLock;
  std::vector<TRecordedRequest> FRequests;
  std::thread FThread;
};

// Helpers for handlers.
bool SendAll(int fd, const char* data, size_t length);
bool SendAll(int fd, const std::string& text);
// Waits up to `ms` for `fd` to become readable (or the peer to close); false on time-out/stop.
bool WaitReadable(int fd, const std::atomic<bool>& stopping, int ms);
// Pauses for `ms` unless stopping.
void Pause(int ms, const std::atomic<bool>& stopping);
// A reply with Content-Length: "HTTP/1.x <status>\r\n" + extra header lines + body.
std::string LengthReply(const std::string& statusLine, const std::string& body,
                        const std::string& extraHeaders = "");

}  // namespace http_test

#pragma once
// A TLS server on 127.0.0.1 for tests, and the throw-away certificates it presents.
//
// Usage:
//   const tls_test::TTestPki& pki = tls_test::TTestPki::Get();   // CA + certificates, made once
//   setenv("SSL_CERT_FILE", pki.CaFile.c_str(), 1);               // or TSslContext::SetSslCAFile
//   tls_test::TTlsTestServer server([](tls_test::TTlsConnection& c) {
//     std::string request;
//     if (!c.ReadUntil("\r\n\r\n", request)) return;             // bounded by the time limit
//     c.Write("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
//   });                                                           // valid "localhost" certificate
//   ... connect to 127.0.0.1:server.Port() with server name "localhost" ...
//
// Each connection runs on the server's thread, one after the other: the handshake first (its
// failures are counted, not handled), then the handler; when the handler returns the server
// sends its close alert and closes, unless the handler ended the connection itself. Every
// wait is bounded (TimeoutMs), so a fault fails the test instead of hanging it. The server
// side links the TLS libraries directly; only the program under test must not.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace tls_test {

// Certificates made when first asked for, as PEM files in a temporary folder.
struct TTestPki {
  static const TTestPki& Get();

  std::string Dir;
  std::string CaFile;                                // the throw-away authority (trust this)
  std::string ServerCertFile, ServerKeyFile;         // "localhost" and 127.0.0.1, issued by the CA
  std::string ExpiredCertFile, ExpiredKeyFile;       // the same names, expired yesterday
  std::string UntrustedCertFile, UntrustedKeyFile;   // "localhost", self-signed
  std::string SharedCertFile, SharedKeyFile;         // "shared.example" only, issued by the CA
};

enum class TServerCert { Valid, Expired, Untrusted, OtherName };

// A server context presenting `cert` (free with SSL_CTX_free); for tests that run the TLS
// connection themselves (after a plain-text start, for example) with TTlsConnection.
ssl_ctx_st* NewServerContext(TServerCert cert);

// The server side of one connection (used from the handler, on the server's thread).
class TTlsConnection {
 public:
  TTlsConnection(int fd, ssl_ctx_st* ctx, int timeoutMs, int chunk, int chunkDelayUs);
  ~TTlsConnection();
  TTlsConnection(const TTlsConnection&) = delete;
  TTlsConnection& operator=(const TTlsConnection&) = delete;

  bool Handshake();
  const std::string& Error() const { return FError; }

  // Appends what arrives (at least one byte); false on the peer's close, an error or time-out.
  bool ReadSome(std::string& out);
  // Reads until `out` holds `count` bytes (or the marker); false when the stream ended first.
  bool ReadExactly(size_t count, std::string& out);
  bool ReadUntil(const std::string& marker, std::string& out);
  // Reads until the peer ends the stream; true when it ended with its close alert.
  bool ReadToEnd(std::string& out);
  bool Write(const std::string& data) { return Write(data.data(), data.size()); }
  bool Write(const char* data, size_t length);
  // Sends the close alert (the connection stays open to read the peer's).
  void Shutdown();
  // Closes the TCP connection without a close alert (a cut-short stream).
  void CloseWithoutNotify();
  bool Closed() const { return FFd < 0; }
  bool PeerSentCloseNotify() const { return FPeerCloseNotify; }

 private:
  bool Flush();
  int Fill();  // 1 read something, 0 end of stream, -1 error or time-out

  int FFd;
  ssl_st* FSsl = nullptr;
  bio_st* FIn = nullptr;
  bio_st* FOut = nullptr;
  int FTimeoutMs, FChunk, FChunkDelayUs;
  bool FPeerCloseNotify = false;
  bool FEof = false;
  std::string FError;
};

class TTlsTestServer {
 public:
  using THandler = std::function<void(TTlsConnection& connection)>;

  struct TOptions {
    TServerCert Cert = TServerCert::Valid;
    int MaxConnections = 1;
    int TimeoutMs = 10000;
    // Records go out in pieces of this many bytes (0: as they come), each after a pause, so
    // the client sees them split across many reads.
    int Chunk = 0;
    int ChunkDelayUs = 0;
  };

  explicit TTlsTestServer(THandler handler) : TTlsTestServer(std::move(handler), TOptions{}) {}
  TTlsTestServer(THandler handler, TOptions options);
  ~TTlsTestServer();

  void Stop();
  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  int Accepted() const { return FAccepted; }
  int Handshakes() const { return FHandshakes; }
  int HandshakeFailures() const { return FFailures; }
  std::string LastHandshakeError() const;

 private:
  void Run();

  THandler FHandler;
  TOptions FOptions;
  ssl_ctx_st* FCtx = nullptr;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAccepted{0}, FHandshakes{0}, FFailures{0};
  mutable std::mutex FLock;
  std::string FLastError;
  std::thread FThread;
};

}  // namespace tls_test

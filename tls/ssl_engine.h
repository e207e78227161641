#pragma once
// The TLS engine of one connection: a TLS object whose records pass through a pair of memory
// buffers, never through a socket. Bytes from the network go in with FeedNetwork, records for
// the network come out with TakeOutput, application bytes go in with Write and come out with
// Read; every call reports what the engine needs next. The socket (ssl_wsocket) moves the
// bytes between the engine and the network.

#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace tls {

// The buffer size of each half of the pair: two full records, so one network read feeds the
// engine whole records (a quarter of this took a third more processor time per byte).
constexpr int kTlsBioPairSize = 32768;

enum class TTlsStatus {
  Ok,         // progress made
  WantInput,  // nothing to do until more network bytes arrive
  WantOutput, // the outgoing buffer is full: take the output first
  Closed,     // the peer sent its close alert
  Failed,     // a fatal TLS error (ErrorText says which)
};

class TTlsEngine {
 public:
  // Creates the TLS object and its buffers from `ctx`; `owner` goes into the object's
  // ex-data slot 0 (callbacks find the socket there). Throws EOpenSslError with the texts
  // "Error on creating the Ssl object", "Creating BIOs failed", "SSL_set_ex_data failed".
  TTlsEngine(ssl_ctx_st* ctx, bool client, void* owner);
  // Frees everything without sending anything more.
  ~TTlsEngine();
  TTlsEngine(const TTlsEngine&) = delete;
  TTlsEngine& operator=(const TTlsEngine&) = delete;

  ssl_st* Ssl() const { return FSsl; }
  bool Client() const { return FClient; }

  // ---- network side ----
  // How many network bytes the engine takes now (0: process first).
  int InputRoom() const;
  // Takes up to `length` bytes; returns the count taken.
  int FeedNetwork(const char* data, int length);
  // Encrypted bytes waiting for the network.
  int PendingOutput() const;
  int TakeOutput(char* buffer, int length);

  // ---- engine ----
  // Drives the handshake: Ok once it is complete, WantInput while it waits for the peer,
  // Failed when it failed.
  TTlsStatus Handshake();
  bool HandshakeDone() const;
  // Decrypted bytes into `buffer`: the count (> 0), or 0 with the status in `status`.
  int Read(char* buffer, int length, TTlsStatus& status);
  // Application bytes into the engine: the count taken (> 0), or 0 with the status.
  int Write(const char* data, int length, TTlsStatus& status);
  // Queues our close alert (once).
  void Shutdown();
  bool ShutdownSent() const { return FShutdownSent; }

  // The library's error text of the last failure (verification result included).
  const std::string& ErrorText() const { return FErrorText; }
  // The library's code of the oldest error of the last failure.
  unsigned long ErrorCode() const { return FErrorCode; }
  // The peer-verification result (0: accepted or not checked).
  long VerifyResult() const;

 private:
  TTlsStatus Classify(int result, const char* what);

  ssl_st* FSsl = nullptr;
  bio_st* FNetwork = nullptr;  // our half of the pair (the TLS object owns the other)
  bool FClient;
  bool FShutdownSent = false;
  std::string FErrorText;
  unsigned long FErrorCode = 0;
};

}  // namespace tls

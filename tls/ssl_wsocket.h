#pragma once
// TLS over the asynchronous socket, keeping the socket's contract: with SslEnable set, the
// caller still calls Connect, Send and Receive and still gets OnSessionConnected,
// OnDataAvailable, OnDataSent and OnSessionClosed, but the bytes on the wire are TLS records
// and the bytes at the interface are the application's.
//
// Four places hold bytes: the network, the ordinary send chain (encrypted bytes the network
// has not taken yet), the TLS engine (ssl_engine.h) and the application (the plaintext chain
// going out, the decrypted buffer coming in). The socket's notifications, and notifications
// it posts to itself, move bytes between them:
//   FD_READ   network -> engine -> decrypted buffer -> OnDataAvailable
//   FD_WRITE  ordinary chain / engine output -> network; plaintext chain -> engine
//   FD_CLOSE  the rest of the peer's records first, then OnSessionClosed
// Buffers are bounded: while the application does not read, the network is not read either;
// while the network does not take encrypted bytes, plaintext stays in its chain.
//
// OnSessionConnected fires as soon as TCP is up; the handshake starts right after the handler
// returns, and what the handler sends waits until the handshake is done. OnSslHandshakeDone
// reports the end of the handshake (error 0: done; non-zero: failed, and OnSessionClosed
// follows). A connection that ends without the peer's close alert after the handshake is
// reported as closed with 10053: it may have been cut short.

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/timeout_wsocket.h"
#include "tls/ssl_context.h"
#include "tls/ssl_engine.h"
#include "tls/x509_base.h"

struct x509_store_ctx_st;

namespace tls {

enum class TSslMode { sslModeClient, sslModeServer };

// Where the handshake stands (values as reported).
enum class TSslHandshakeState : int {
  sslHandshakeNone = 0,        // no TLS on this connection (yet)
  sslHandshakeStarting = 1,    // TLS asked for; the engine is being set up
  sslHandshakeInProgress = 2,  // handshake records are being exchanged
  sslHandshakeFailed = 3,      // the handshake failed; the connection is being closed
  sslHandshakeDone = 4,        // the handshake succeeded: application data flows
  sslHandshakePeerClosed = 5,  // the peer sent its close alert
  sslHandshakeShutDown = 6,    // the TLS session is closed (alerts exchanged or connection gone)
};

// Thrown (ESslContextException) when TLS is started without a context.
inline constexpr const char* kSslContextRequired = "SSL requires a context object";

class TCustomSslWSocket : public net::TWSocket {
 public:
  using TSslVerifyPeerEvent = std::function<void(TCustomSslWSocket* sender, bool& ok, const TX509Base& cert)>;
  using TSslHandshakeDoneEvent = std::function<void(TCustomSslWSocket* sender, int error,
                                                    const TX509Base& peerCert, bool& disconnect)>;
  using TSslCliGetSessionEvent =
      std::function<void(TCustomSslWSocket* sender, ssl_session_st*& session, bool& freeSession)>;
  using TSslCliNewSessionEvent =
      std::function<void(TCustomSslWSocket* sender, ssl_session_st* session, bool reused, bool& addRef)>;
  using TSslShutDownCompleteEvent =
      std::function<void(TCustomSslWSocket* sender, bool bidirectional, int error)>;

  TCustomSslWSocket();
  ~TCustomSslWSocket() override;

  int MsgCount() const override { return net::TWSocket::MsgCount() + 2; }

  // ---- properties ----
  TSslContext* SslContext() const { return FSslContext; }
  void SetSslContext(TSslContext* value);
  // Set before each Connect (cleared when a TLS connection ends).
  bool SslEnable() const { return FSslEnable; }
  void SetSslEnable(bool value) { FSslEnable = value; }
  TSslMode SslMode = TSslMode::sslModeClient;
  std::vector<std::string> SslAcceptableHosts;
  // The host name the peer must prove when the context verifies, also sent to the peer as the
  // server name. Empty: the name last given to DnsLookup.
  std::string SslServerName;

  // ---- results of the handshake ("Unknown" and 0 without a TLS connection) ----
  TSslHandshakeState SslHandshakeState() const { return FHandshakeState; }
  const std::string& SslVersion() const { return FSslVersion; }
  int SslVersionNumber() const { return FSslVersionNumber; }
  const std::string& SslCipher() const { return FSslCipher; }
  int SslSecretBits() const { return FSslSecretBits; }
  int SslTotalBits() const { return FSslTotalBits; }
  bool SslSecureRenegotiation() const { return FSslSecureRenegotiation; }
  const TX509Base& SslPeerCert() const { return FPeerCert; }
  const TX509List& SslCertChain() const { return FCertChain; }
  // The verification result of the last connection (0: accepted or not checked).
  long SslVerifyResult() const { return FSslVerifyResult; }
  // Why the last handshake or connection failed, in the library's words ("" when it did not).
  const std::string& SslErrorText() const { return FSslErrorText; }
  unsigned long LastSslError() const { return FLastSslError; }

  // Starts the client handshake on the open connection (also after a proxy tunnel). Does
  // nothing unless SslEnable. Throws ESslContextException kSslContextRequired.
  void StartSslHandshake();
  // The server form.
  void AcceptSslHandshake();

  // ---- the socket's contract, through TLS when enabled ----
  int Send(const void* data, int length) override;
  void PutDataInSendBuffer(const void* data, int length) override;
  int Receive(void* buffer, int length) override;
  void DnsLookup(const std::string& hostName) override;

  // ---- events ----
  TSslVerifyPeerEvent OnSslVerifyPeer;
  TSslHandshakeDoneEvent OnSslHandshakeDone;
  TSslCliGetSessionEvent OnSslCliGetSession;
  TSslCliNewSessionEvent OnSslCliNewSession;
  TSslShutDownCompleteEvent OnSslShutDownComplete;

 protected:
  void ComponentWndProc(net::TMessage& msg) override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void Do_FD_READ(int error) override;
  void Do_FD_WRITE(int error) override;
  void Do_FD_CLOSE(int error) override;
  void InternalClose(bool shutdownWanted, int error) override;
  // With TLS: moves what it can from the plaintext chain through the engine to the network.
  void TryToSend() override;
  void TriggerSessionConnected(int error) override;

  virtual void TriggerSslVerifyPeer(bool& ok, const TX509Base& cert);
  virtual void TriggerSslHandshakeDone(int error, const TX509Base& peerCert, bool& disconnect);
  virtual void TriggerSslShutDownComplete(bool bidirectional, int error);

 private:
  friend class TSslContext;
  friend int SslVerifyCallback(int ok, x509_store_ctx_st* store);
  friend struct TSslSocketCallbacks;

  bool TlsActive() const { return FSslEnable && FEngine != nullptr; }
  void InitSslConnection(bool client);
  void ResetSslSession();
  void PostSslEvent(long kind, int error = 0);
  // The four movements; each returns false when the socket was destroyed meanwhile.
  bool ReadFromNetwork();
  bool ProcessEngine();
  bool FlushToNetwork();
  bool MovePlaintext();
  bool DeliverDecrypted();
  bool CheckDataSent();
  void HandshakeDoneStep(int error);
  void FinishClose();
  bool OrdinaryChainEmpty();
  int DecryptedCount() const { return static_cast<int>(FPlainIn.size() - FPlainInPos); }
  int VerifyPeer(int ok, x509_store_ctx_st* store);
  void InfoCallback(int where, int ret);
  void ContextDestroyed(TSslContext* context);

  TSslContext* FSslContext = nullptr;
  bool FSslEnable = false;
  std::unique_ptr<TTlsEngine> FEngine;
  // Freed from the message loop: the engine of a connection closed from inside a callback.
  std::unique_ptr<TTlsEngine> FRetiredEngine;
  bool FTlsLoaded = false;

  std::unique_ptr<net::TNetBufferHandler> FPlainOut;  // application bytes not yet in the engine
  std::string FPlainIn;                               // decrypted, not yet received
  size_t FPlainInPos = 0;
  bool FReadStalled = false;  // the network was left unread because FPlainIn is full

  // A handshake that succeeded, whatever became of the connection since.
  bool HandshakeSucceeded() const { return FHandshakeState >= TSslHandshakeState::sslHandshakeDone; }
  // Neither succeeded nor failed: not started, starting or running.
  bool HandshakeUnsettled() const { return FHandshakeState < TSslHandshakeState::sslHandshakeFailed; }

  // How far our side has closed the TLS session.
  enum class TShutdownState {
    None,         // not closing
    AlertQueued,  // our close alert is queued, the peer's may follow
    Completed,    // the session is closed
  };

  TSslHandshakeState FHandshakeState = TSslHandshakeState::sslHandshakeNone;
  TShutdownState FShutdownState = TShutdownState::None;
  int FNetError = 0;       // a stored network error (or 10053 for a broken TLS stream)
  bool FClosePending = false;
  bool FPeerEof = false;
  bool FDataSentPending = false;
  bool FInsideCallback = false;
  int FHandshakeCount = 0;
  std::array<bool, 3> FPosted{};  // read, write, close notifications queued

  std::string FSslVersion = "Unknown", FSslCipher = "Unknown";
  int FSslVersionNumber = 0, FSslSecretBits = 0, FSslTotalBits = 0;
  bool FSslSecureRenegotiation = false;
  TX509Base FPeerCert;
  TX509List FCertChain;
  long FSslVerifyResult = 0;
  std::string FSslErrorText;
  unsigned long FLastSslError = 0;
  std::string FLookupHost;

  net::UINT FMsg_WM_TLS_NOTIFY = 0;
  net::UINT FMsg_WM_TLS_RESET = 0;
};

// The published form.
class TSslWSocket : public TCustomSslWSocket {
 public:
  TSslWSocket() = default;
};

}  // namespace tls

#pragma once
// The HTTP client over TLS for "https" addresses. It is THttpCli with a TLS socket whose
// context the caller supplies (SslContext), and the socket's TLS events relayed as its own.
//
// The plain THttpCli speaks TLS as well when an address (or a relocation) leads to "https":
// it then uses a shared context that verifies the peer against the system's trusted
// authorities and the host name; its socket's context can be replaced through CtrlSocket().

#include <functional>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "tls/ssl_context.h"
#include "tls/ssl_wsocket.h"

namespace http {

// The context a client uses for "https" when it has been given none: peer and host name
// verified against the system's trusted authorities (SSL_CERT_FILE / SSL_CERT_DIR honoured).
tls::TSslContext& DefaultTlsContext();

class TSslHttpCli : public THttpCli {
 public:
  using TSslVerifyPeerEvent = std::function<void(TSslHttpCli* sender, bool& ok, const tls::TX509Base& cert)>;
  using TSslHandshakeDoneEvent =
      std::function<void(TSslHttpCli* sender, int error, const tls::TX509Base& peerCert, bool& disconnect)>;
  using TSslCliGetSessionEvent =
      std::function<void(TSslHttpCli* sender, ssl_session_st*& session, bool& freeSession)>;
  using TSslCliNewSessionEvent =
      std::function<void(TSslHttpCli* sender, ssl_session_st* session, bool reused, bool& addRef)>;

  TSslHttpCli() = default;

  // The context of the socket (not owned; cleared when the context is destroyed).
  tls::TSslContext* SslContext();
  void SetSslContext(tls::TSslContext* value);
  std::vector<std::string>& SslAcceptableHosts();
  // Why the last handshake failed, in the TLS library's words ("" when it did not).
  std::string SslErrorText();
  tls::TSslWSocket* SslSocket();

  TSslVerifyPeerEvent OnSslVerifyPeer;
  TSslCliGetSessionEvent OnSslCliGetSession;
  TSslCliNewSessionEvent OnSslCliNewSession;
  TSslHandshakeDoneEvent OnSslHandshakeDone;

 protected:
  std::unique_ptr<net::TWSocket> CreateSocket() override;
  void PrepareConnection(bool tlsWanted) override;
};

}  // namespace http

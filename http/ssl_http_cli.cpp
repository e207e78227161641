#include "http/ssl_http_cli.h"

namespace http {

namespace {

constexpr const char* kHandshakeFailed = "SSL handshake failed";
constexpr const char* kCustomAbort = "SSL custom abort";

tls::TCustomSslWSocket* TlsSocketOf(net::TWSocket* socket) {
  return dynamic_cast<tls::TCustomSslWSocket*>(socket);
}

}  // namespace

tls::TSslContext& DefaultTlsContext() {
  // Never destroyed: clients held by statics may still use it at exit.
  static tls::TSslContext* context = [] {
    auto* made = new tls::TSslContext;
    made->SetSslVerifyPeer(true);
    return made;
  }();
  return *context;
}

// ---- TLS for every client: the hooks' defaults ----

std::unique_ptr<net::TWSocket> THttpCli::CreateSocket() { return std::make_unique<tls::TSslWSocket>(); }

bool THttpCli::ProtocolSupported(const std::string& protocol) const {
  return protocol == "http" || protocol == "https";
}

void THttpCli::PrepareConnection(bool tlsWanted) {
  tls::TCustomSslWSocket* s = TlsSocketOf(CtrlSocket());
  if (!s) return;
  s->SetSslEnable(tlsWanted);
  if (!tlsWanted) return;
  if (!s->SslContext()) s->SetSslContext(&DefaultTlsContext());
  // The certificate must be the one of the server the address names (not of a proxy).
  s->SslServerName = FTargetHost;
  s->OnSslHandshakeDone = [this](tls::TCustomSslWSocket*, int error, const tls::TX509Base&, bool&) {
    if (error != 0)
      TlsHandshakeFailed(kHandshakeFailed);
    else
      TlsHandshakeSucceeded();
  };
}

void THttpCli::StartTunnelTls() {
  PrepareConnection(true);
  if (tls::TCustomSslWSocket* s = TlsSocketOf(CtrlSocket())) s->StartSslHandshake();
}

// ---- TSslHttpCli ----

std::unique_ptr<net::TWSocket> TSslHttpCli::CreateSocket() {
  auto socket = std::make_unique<tls::TSslWSocket>();
  socket->SetSslEnable(true);
  return socket;
}

tls::TSslWSocket* TSslHttpCli::SslSocket() { return static_cast<tls::TSslWSocket*>(CtrlSocket()); }

tls::TSslContext* TSslHttpCli::SslContext() { return SslSocket()->SslContext(); }

void TSslHttpCli::SetSslContext(tls::TSslContext* value) { SslSocket()->SetSslContext(value); }

std::vector<std::string>& TSslHttpCli::SslAcceptableHosts() { return SslSocket()->SslAcceptableHosts; }

std::string TSslHttpCli::SslErrorText() { return SslSocket()->SslErrorText(); }

void TSslHttpCli::PrepareConnection(bool tlsWanted) {
  tls::TSslWSocket* s = SslSocket();
  // The context is the caller's: without one the handshake fails with the socket's message
  // rather than falling back to another context.
  tls::TSslContext* own = s->SslContext();
  THttpCli::PrepareConnection(tlsWanted);
  if (!own && s->SslContext() == &DefaultTlsContext()) s->SetSslContext(nullptr);
  s->OnSslVerifyPeer = [this](tls::TCustomSslWSocket*, bool& ok, const tls::TX509Base& cert) {
    if (OnSslVerifyPeer) OnSslVerifyPeer(this, ok, cert);  // may re-enter
  };
  s->OnSslCliGetSession = [this](tls::TCustomSslWSocket*, ssl_session_st*& session, bool& freeSession) {
    if (OnSslCliGetSession) OnSslCliGetSession(this, session, freeSession);
  };
  s->OnSslCliNewSession = [this](tls::TCustomSslWSocket*, ssl_session_st* session, bool reused, bool& addRef) {
    if (OnSslCliNewSession) OnSslCliNewSession(this, session, reused, addRef);
  };
  s->OnSslHandshakeDone = [this](tls::TCustomSslWSocket*, int error, const tls::TX509Base& cert, bool& disconnect) {
    auto alive = AliveToken();
    if (OnSslHandshakeDone) OnSslHandshakeDone(this, error, cert, disconnect);  // may re-enter
    if (!*alive) return;
    if (error != 0)
      TlsHandshakeFailed(kHandshakeFailed);
    else if (disconnect)
      TlsHandshakeFailed(kCustomAbort);
    else
      TlsHandshakeSucceeded();
  };
}

}  // namespace http

// Talking through an HTTP proxy. Plain "http" requests only change the address in the request
// line (done where the request starts); an "https" request first asks the proxy for a tunnel
// with CONNECT and then speaks TLS through it.

#include "http/http_cli.h"
#include "http/http_tunnel.h"

namespace http {

// Called with the bytes of the proxy's answer to CONNECT held in the reply reader. Returns
// true while the answer is still incomplete (wait for more) and when it opened the tunnel;
// false hands the held answer to the reply reader as an ordinary reply (a 407 then starts an
// authentication round, a 403 ends the request with its status).
bool THttpCli::TunnelAnswer() {
  const std::string_view held = FReply.HeldBytes();
  if (!TunnelAnswerComplete(held) && held.size() < THttpReplyReader::kMaxHeaderSize) return true;
  if (!TunnelAnswerOpens(held)) return false;

  // Only an open tunnel counts as established: after a refusal the connection must never
  // carry the request itself, which would reach the proxy unencrypted.
  FTunnelEstablished = true;
  FTunnelTarget = FTargetHost + ":" + FTargetPort;
  FAuth.TunnelOpened();
  FCurrProxyConnection.clear();
  Trace("Start SSL handshake");
  FReply.DropHeld();
  SetState(THttpState::httpWaitingHeader);
  try {
    StartTunnelTls();
  } catch (const std::exception& e) {
    // No TLS on this connection (no context, say): the request fails here, not in the
    // socket's event handling, and the connection goes.
    TlsHandshakeFailed(e.what());
    FCtrlSocket->Close();
  }
  return true;
}

void THttpCli::TlsHandshakeFailed(const std::string& reason) {
  FStatusCode = 404;
  FReasonPhrase = reason;
  FRequestDoneError = httperrAborted;
  FRequestFailed = true;
  FConnected = false;
}

void THttpCli::TlsHandshakeSucceeded() {
  if (!FTunnelEstablished) return;
  FReply.StartReply(FRequestType == THttpRequest::httpHEAD, FRequestVer);
  FReply.SetMaxBodySize(FReplyLimit);
  StartRequestOnConnection();
}

}  // namespace http

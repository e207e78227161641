// Talking through an HTTP proxy. Plain "http" requests only change the address in the request
// line (done where the request starts); an "https" request first asks the proxy for a tunnel
// with CONNECT and then speaks TLS through it.

#include "http/http_cli.h"
#include "http/http_tunnel.h"

namespace http {

// Called with the bytes of the proxy's answer to CONNECT held in the reply reader. Returns
// true while the answer is still incomplete (wait for more), when it opened the tunnel and
// when it refused it; false hands a 407 to the reply reader, which starts an authentication
// round. Any other answer is the proxy's, not the site's: it ends the request with an error,
// and nothing of it (body, cookie, relocation) is used.
bool THttpCli::TunnelAnswer() {
  const std::string_view held = FReply.HeldBytes();
  if (!TunnelAnswerComplete(held) && held.size() < THttpReplyReader::kMaxHeaderSize) return true;
  if (!TunnelAnswerOpens(held)) {
    if (TunnelAnswerCode(held) == 407) {
      FTunnelAnswerRead = true;
      return false;
    }
    RefuseTunnel(TunnelAnswerStatus(held));
    return true;
  }

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

void THttpCli::RefuseTunnel(const std::string& statusLine) {
  // The connection goes with the answer: its body's framing is the proxy's word alone.
  FailReply("proxy refused the tunnel: " + statusLine, httperrTunnelRefused);
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

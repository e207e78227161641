// Talking through an HTTP proxy. Plain "http" requests only change the address in the request
// line (done where the request starts); an "https" request first asks the proxy for a tunnel
// with CONNECT and then speaks TLS through it.

#include "http/http_cli.h"

namespace http {

// The answer to CONNECT is held in the reply reader. Until the tunnel is opened here, every
// answer is read as an ordinary reply (a 407 or 403 then ends the request with its status).
bool THttpCli::TunnelAnswer() { return false; }

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

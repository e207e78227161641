// Server and proxy authentication. The states and the places where the engine consults them
// are here; without a scheme configured (ServerAuth / ProxyAuth httpAuthNone) and without
// challenges answered, every function leaves the request as it is.
//
// The Basic, Digest and NTLM schemes fill these functions: the presets at request start,
// the Authorization / Proxy-Authorization lines, and the answer to a 401 / 407 challenge
// when the request returns to httpReady.

#include "http/http_cli.h"

namespace http {

void THttpCli::AuthResetStates() {
  FServerAuthNtlmState = FServerAuthDigestState = FServerAuthBasicState = 0;
  FProxyAuthNtlmState = FProxyAuthDigestState = FProxyAuthBasicState = 0;
}

void THttpCli::AuthPrepare(bool reusingConnection) {}

void THttpCli::AuthHeaderLines(const std::string& method, std::vector<std::string>& lines) {}

bool THttpCli::AuthNegotiating() const { return FServerAuthNtlmState == 1 || FProxyAuthNtlmState == 1; }

bool THttpCli::ProxyAuthInProgress() const {
  return FProxyAuthNtlmState == 1 || FProxyAuthNtlmState == 3 || FProxyAuthDigestState == 1 ||
         FProxyAuthBasicState == 1;
}

bool THttpCli::AuthAfterReply() { return false; }

}  // namespace http

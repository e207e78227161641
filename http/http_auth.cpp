// Server and proxy authentication of the client: the presets at request start, the
// Authorization / Proxy-Authorization lines of each request, and the answer to a 401 or
// 407 challenge when the request returns to httpReady. The rules themselves live in
// THttpAuthState (http_auth_state.h); this file feeds it the request's facts and acts on
// its answers.

#include "http/http_cli.h"
#include "net/wsocket.h"

namespace http {
namespace {

// The Connection header an NTLM exchange needs from a peer that would otherwise close.
constexpr const char* kKeepAlive = "Keep-alive";

// The path a Digest answer covers: with a proxy the request path is an absolute address.
std::string DigestUri(const std::string& path, bool proxied) {
  if (!proxied) return path;
  const size_t scheme = path.find("://");
  if (scheme == std::string::npos) return path;
  const size_t slash = path.find('/', scheme + 3);
  return slash == std::string::npos ? "/" : path.substr(slash);
}

}  // namespace

void THttpCli::AuthResetStates() { FAuth.Reset(); }

void THttpCli::AuthPrepare(bool reusingConnection) {
  FAuth.OnTrace = [this](const std::string& text) { Trace(text); };
  // Keep-alive for an NTLM exchange: all its messages must travel on one connection. An
  // HTTP/1.1 peer keeps connections anyway.
  const bool oldPeer = FRequestVer == "1.0" || FLastReplyVer != "1.1";
  if (!FProxy.empty() && !FProxyUsername.empty() && !FProxyPassword.empty() &&
      FProxyAuth != THttpAuthType::httpAuthNone) {
    if (FAuth.PresetProxy(FProxyAuth, reusingConnection) && oldPeer) FCurrProxyConnection = kKeepAlive;
  }
  if (FServerAuth != THttpAuthType::httpAuthNone && !FCurrUsername.empty() && !FCurrPassword.empty()) {
    if (FAuth.PresetServer(FServerAuth) && oldPeer) FCurrConnection = kKeepAlive;
  }
}

void THttpCli::AuthHeaderLines(const std::string& method, std::vector<std::string>& lines) {
  TAuthLineRequest request;
  request.Method = method;
  request.Uri = DigestUri(FPath, !FProxy.empty());
  request.TunnelEstablished = FTunnelEstablished;
  // Inside a tunnel the proxy only passes bytes on: what is written there reaches the origin.
  request.ToProxy = !FProxy.empty() && (method == "CONNECT" || FProtocol != "https");
  request.Server = {FCurrUsername, FCurrPassword};
  request.Proxy = {FProxyUsername, FProxyPassword};
  if (FAuth.ServerNtlm == kNtlmAuthenticate || FAuth.ProxyNtlm == kNtlmAuthenticate)
    request.Workstation = net::TWSocket::LocalHostName();
  for (std::string& line : FAuth.AuthorizationLines(request)) lines.push_back(std::move(line));
}

bool THttpCli::AuthNegotiating() const { return FAuth.NtlmNegotiating(FTunnelEstablished); }

bool THttpCli::ProxyAuthInProgress() const { return FAuth.ProxyRoundInProgress(); }

bool THttpCli::AuthAfterReply() {
  TAuthReply reply;
  reply.Status = FStatusCode;
  reply.ServerAuth = FServerAuth;
  reply.ProxyAuth = FProxyAuth;
  reply.Options.NoBasic = (FOptions & httpoNoBasicAuth) != 0;
  reply.Options.NoNtlm = (FOptions & httpoNoNTLMAuth) != 0;
  reply.Options.NoDigest = (FOptions & httpoNoDigestAuth) != 0;
  reply.Server = {FCurrUsername, FCurrPassword};
  reply.Proxy = {FProxyUsername, FProxyPassword};
  reply.FromProxy = !FProxy.empty() && FAuth.LastRequestToProxy;
  reply.ConnectionGone = FReply.CloseReq || !FCtrlSocket ||
                         FCtrlSocket->State() != net::TSocketState::wsConnected;

  FAuth.OnBeforeAuth = [this](THttpAuthType scheme, bool proxy, const std::string& line) {
    bool allow = true;
    TriggerBeforeAuth(scheme, proxy, line, allow);  // may re-enter
    return allow;
  };
  FAuth.OnStateError = [](const std::string& message) {
    throw EHttpException(message, httperrAuthState);
  };
  const TAuthReadyResult result = FAuth.ReplyDone(reply, FReply.AuthChallenges);
  if (result.Outcome != TAuthOutcome::NewRound) return false;

  const bool oldPeer = FRequestVer == "1.0" || FLastReplyVer != "1.1";
  if (result.ServerKeepAlive && oldPeer) FCurrConnection = kKeepAlive;
  if (result.ProxyKeepAlive && oldPeer) FCurrProxyConnection = kKeepAlive;
  PostRestart();
  return true;
}

}  // namespace http

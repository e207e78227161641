#include "http/http_auth_state.h"

#include <stdexcept>

#include "http/url.h"
#include "http/http_basic.h"
#include "runtime/ascii_text.h"

namespace http {
namespace {

const char* SchemeName(THttpAuthType scheme) {
  switch (scheme) {
    case THttpAuthType::httpAuthNtlm: return "NTLM";
    case THttpAuthType::httpAuthDigest: return "Digest";
    case THttpAuthType::httpAuthBasic: return "Basic";
    default: return "";
  }
}

using runtime::StartsWithNoCase;

std::string Tail(const std::string& text, size_t from) {
  return text.size() > from ? text.substr(from) : std::string();
}

}  // namespace

void THttpAuthState::Trace(const std::string& text) {
  if (OnTrace) OnTrace(text);
}

void THttpAuthState::StateError(const std::string& message) {
  if (OnStateError) OnStateError(message);
  throw std::logic_error(message);
}

void THttpAuthState::Reset() {
  ServerNtlm = ProxyNtlm = kNtlmNone;
  ServerDigest = ServerBasic = ProxyDigest = ProxyBasic = kAuthNone;
}

bool THttpAuthState::PresetProxy(THttpAuthType type, bool reusedConnection) {
  switch (type) {
    case THttpAuthType::httpAuthNtlm:
      ProxyNtlm = reusedConnection ? kNtlmDone : kNtlmNegotiate;
      return true;
    case THttpAuthType::httpAuthDigest:
      // Nothing to answer before the proxy has sent a nonce.
      ProxyDigest = kAuthDone;
      break;
    case THttpAuthType::httpAuthBasic:
      ProxyBasic = reusedConnection ? kAuthDone : kAuthSend;
      break;
    default:
      break;
  }
  return false;
}

bool THttpAuthState::PresetServer(THttpAuthType type) {
  switch (type) {
    case THttpAuthType::httpAuthNtlm:
      ServerNtlm = kNtlmNegotiate;
      return true;
    case THttpAuthType::httpAuthDigest:
      ServerDigest = kAuthDone;
      break;
    case THttpAuthType::httpAuthBasic:
      ServerBasic = kAuthSend;
      break;
    default:
      break;
  }
  return false;
}

bool THttpAuthState::ProxyRoundInProgress() const {
  return ProxyNtlm == kNtlmNegotiate || ProxyNtlm == kNtlmAuthenticate ||
         ProxyDigest == kAuthSend || ProxyBasic == kAuthSend;
}

bool THttpAuthState::NtlmNegotiating(bool tunnelEstablished) const {
  return ServerNtlm == kNtlmNegotiate || ProxyNtlm == kNtlmNegotiate ||
         (!tunnelEstablished && ProxyNtlm == kNtlmDone);
}

void THttpAuthState::TunnelOpened() {
  if (ProxyNtlm != kNtlmNone) ProxyNtlm = kNtlmDone;
  if (ProxyDigest != kAuthNone) ProxyDigest = kAuthDone;
  if (ProxyBasic != kAuthNone) ProxyBasic = kAuthDone;
}

std::vector<std::string> THttpAuthState::AuthorizationLines(const TAuthLineRequest& request) {
  std::vector<std::string> lines;
  LastRequestToProxy = request.ToProxy;
  // Without a tunnel every new connection to the proxy starts the NTLM exchange again.
  if (!request.TunnelEstablished && ProxyNtlm == kNtlmDone) ProxyNtlm = kNtlmNegotiate;

  auto digestLine = [&](const char* header, TDigestChallenge& challenge,
                        const TAuthCredentials& who) {
    // A Digest answer without a usable challenge would only be refused.
    if (!DigestChallengeUsable(challenge)) return;
    std::string cnonce = DigestClientNonce();
    lines.push_back(std::string(header) + "Digest " +
                    DigestAuthorization(challenge, who.User, who.Password, request.Method,
                                        request.Uri,
                                        DigestNonceCountText(challenge.NonceCount), cnonce));
  };

  // The origin's credentials never go in the tunnel request: the proxy would read them
  // in clear text although the user asked for an encrypted connection.
  bool serverLines = request.Method != "CONNECT";
  if (ProxyNtlm != kNtlmNegotiate && serverLines) {
    if (ServerNtlm == kNtlmNegotiate) {
      lines.push_back("Authorization: NTLM " + Base64Encode(NtlmType1Message()));
    } else if (ServerNtlm == kNtlmAuthenticate) {
      lines.push_back("Authorization: NTLM " +
                      Base64Encode(NtlmType3Message(ServerNtlmChallenge, request.Server.User,
                                                    request.Server.Password,
                                                    request.Workstation)));
    } else if (ServerDigest == kAuthSend) {
      ServerDigestChallenge.NonceCount = 1;
      digestLine("Authorization: ", ServerDigestChallenge, request.Server);
    } else if (ServerBasic == kAuthSend) {
      lines.push_back("Authorization: Basic " +
                      BasicAuthorization(request.Server.User, request.Server.Password));
    }
  }

  if (request.ToProxy) {
    if (ProxyNtlm == kNtlmNegotiate) {
      lines.push_back("Proxy-Authorization: NTLM " + Base64Encode(NtlmType1Message()));
    } else if (ProxyNtlm == kNtlmAuthenticate) {
      lines.push_back("Proxy-Authorization: NTLM " +
                      Base64Encode(NtlmType3Message(ProxyNtlmChallenge, request.Proxy.User,
                                                    request.Proxy.Password,
                                                    request.Workstation)));
    } else if (ProxyDigest == kAuthSend) {
      ++ProxyDigestChallenge.NonceCount;
      digestLine("Proxy-Authorization: ", ProxyDigestChallenge, request.Proxy);
    } else if (ProxyBasic == kAuthSend) {
      lines.push_back("Proxy-Authorization: Basic " +
                      BasicAuthorization(request.Proxy.User, request.Proxy.Password));
    }
  }
  return lines;
}

THttpAuthState::TStep THttpAuthState::Answer(THttpAuthType scheme, const TAuthReply& reply,
                                   std::vector<std::string>& challenges,
                                   TAuthReadyResult& result) {
  const bool proxy = reply.Status == 407;
  if (!proxy && reply.Status != 401) return TStep::NoLine;

  bool switchedOff = (scheme == THttpAuthType::httpAuthBasic && reply.Options.NoBasic) ||
                     (scheme == THttpAuthType::httpAuthNtlm && reply.Options.NoNtlm) ||
                     (scheme == THttpAuthType::httpAuthDigest && reply.Options.NoDigest);
  if (switchedOff && (proxy ? reply.ProxyAuth : reply.ServerAuth) == scheme) return TStep::NoLine;

  int& ntlm = proxy ? ProxyNtlm : ServerNtlm;
  int& digest = proxy ? ProxyDigest : ServerDigest;
  int& basic = proxy ? ProxyBasic : ServerBasic;
  const TAuthCredentials& who = proxy ? reply.Proxy : reply.Server;
  if (challenges.empty() || !who.Given()) return TStep::NoLine;
  // A 407 that did not come from the proxy is not answered with the proxy's credentials.
  if (proxy && !reply.FromProxy) return TStep::NoLine;
  int others = scheme == THttpAuthType::httpAuthNtlm     ? digest + basic
               : scheme == THttpAuthType::httpAuthDigest ? ntlm + basic
                                                         : ntlm + digest;
  if (others != 0) return TStep::NoLine;

  // The last acceptable challenge line of this scheme.
  const char* name = SchemeName(scheme);
  const std::string* chosen = nullptr;
  TDigestChallenge digestChallenge;
  for (auto it = challenges.rbegin(); it != challenges.rend(); ++it) {
    if (!StartsWithNoCase(*it, name)) continue;
    if (OnBeforeAuth && !OnBeforeAuth(scheme, proxy, *it)) continue;  // may re-enter
    if (scheme == THttpAuthType::httpAuthDigest) {
      digestChallenge = ParseDigestChallenge(Tail(*it, 7));
      if (!DigestChallengeUsable(digestChallenge)) continue;
    }
    chosen = &*it;
    break;
  }
  if (!chosen) return TStep::NoLine;

  const std::string prefix = proxy ? "Proxy " : "";
  auto giveUp = [&](int& state) {
    challenges.clear();
    state = kAuthNone;
    return TStep::Ended;
  };

  switch (scheme) {
    case THttpAuthType::httpAuthNtlm:
      if (ntlm == kNtlmNone) {
        Trace("Starting " + prefix + "NTLM authentication");
        ntlm = kNtlmNegotiate;
        basic = kAuthNone;
        if (proxy) digest = kAuthNone;
        (proxy ? result.ProxyKeepAlive : result.ServerKeepAlive) = true;
        return TStep::NewRound;
      }
      if (ntlm == kNtlmNegotiate) {
        std::optional<TNtlmChallenge> parsed =
            ParseNtlmType2Message(Base64Decode(Tail(*chosen, 5)));
        // No type 3 message from a challenge that cannot be one: the request ends with
        // this reply rather than sending responses computed from garbage.
        if (!parsed) return giveUp(ntlm);
        (proxy ? ProxyNtlmChallenge : ServerNtlmChallenge) = *parsed;
        ntlm = kNtlmAuthenticate;
        return TStep::NewRound;
      }
      if (ntlm == kNtlmAuthenticate) return giveUp(ntlm);
      StateError(proxy ? "Unexpected ProxyAuthNTLMState" : "Unexpected AuthNTLMState");

    case THttpAuthType::httpAuthDigest:
      if (digest == kAuthNone) {
        Trace("Starting " + prefix + "Digest authentication");
        digest = kAuthSend;
        ntlm = kNtlmNone;
        basic = kAuthNone;
        (proxy ? ProxyDigestChallenge : ServerDigestChallenge) = digestChallenge;
        return TStep::NewRound;
      }
      if (digest == kAuthSend) return giveUp(digest);
      StateError(proxy ? "Unexpected ProxyAuthDigestState" : "Unexpected AuthDigestState");

    default:
      if (basic == kAuthNone) {
        Trace("Starting " + prefix + "Basic authentication");
        basic = kAuthSend;
        ntlm = kNtlmNone;
        digest = kAuthNone;
        return TStep::NewRound;
      }
      if (basic == kAuthSend) return giveUp(basic);
      StateError(proxy ? "Unexpected ProxyAuthBasicState" : "Unexpected AuthBasicState");
  }
}

TAuthReadyResult THttpAuthState::ReplyDone(const TAuthReply& reply,
                                      std::vector<std::string>& challenges) {
  const int s = reply.Status;
  const bool refused = s == 401 || s == 407;
  if (ServerNtlm == kNtlmAuthenticate && !refused) ServerNtlm = kNtlmDone;
  else if (ServerNtlm == kNtlmDone && s == 401) ServerNtlm = kNtlmNone;
  if (ProxyNtlm == kNtlmAuthenticate && s != 407) ProxyNtlm = kNtlmDone;
  else if (ProxyNtlm == kNtlmDone && s == 407) ProxyNtlm = kNtlmNone;
  for (int* state : {&ServerDigest, &ServerBasic}) {
    if (*state == kAuthSend && !refused) *state = kAuthDone;
    else if (*state == kAuthDone && s == 401) *state = kAuthNone;
  }
  for (int* state : {&ProxyDigest, &ProxyBasic}) {
    if (*state == kAuthSend && s != 407) *state = kAuthDone;
    else if (*state == kAuthDone && s == 407) *state = kAuthNone;
  }

  TAuthReadyResult result;
  TStep step = TStep::NoLine;
  for (THttpAuthType scheme : {THttpAuthType::httpAuthNtlm, THttpAuthType::httpAuthDigest,
                               THttpAuthType::httpAuthBasic}) {
    step = Answer(scheme, reply, challenges, result);
    if (step != TStep::NoLine) break;
  }
  if (step == TStep::NoLine) return result;

  if (s == 401) {
    if (reply.ConnectionGone) {
      // A new connection to the proxy needs the proxy's authorization again.
      if (ProxyNtlm == kNtlmDone) ProxyNtlm = kNtlmNegotiate;
      else if (ProxyDigest == kAuthDone) ProxyDigest = kAuthSend;
      else if (ProxyBasic == kAuthDone) ProxyBasic = kAuthSend;
    } else {
      if (ProxyNtlm < kNtlmDone) ProxyNtlm = kNtlmNone;
      else if (ProxyDigest < kAuthDone) ProxyDigest = kAuthNone;
      else if (ProxyBasic < kAuthDone) ProxyBasic = kAuthNone;
    }
  }
  result.Outcome = step == TStep::NewRound ? TAuthOutcome::NewRound : TAuthOutcome::Ended;
  return result;
}

}  // namespace http

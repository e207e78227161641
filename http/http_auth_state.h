#pragma once
// The authentication state machine of the HTTP client: one state per scheme (Basic, Digest,
// NTLM) and direction (server, proxy), the presets at request start, the authorization
// lines of each request, and the reaction to a finished reply (advance the states, answer
// a 401 or 407 challenge with a new round, or let the request end).
//
// It owns no socket and posts no message: the client asks it and acts on the answers, so
// every rule can be exercised without a network.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/http_digest.h"
#include "http/http_ntlm.h"

namespace http {

enum class THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };

// The option switches that turn an automatic answer off (only for the scheme that the
// direction's preset also names).
struct TAuthOptions {
  bool NoBasic = false;
  bool NoNtlm = false;
  bool NoDigest = false;
};

struct TAuthCredentials {
  std::string User;
  std::string Password;
  bool Given() const { return !User.empty() && !Password.empty(); }
};

// NTLM states.
constexpr int kNtlmNone = 0;          // no NTLM exchange
constexpr int kNtlmNegotiate = 1;     // the next request carries a type 1 message
constexpr int kNtlmAuthenticate = 3;  // the next request carries a type 3 message
constexpr int kNtlmDone = 4;          // the exchange succeeded on this connection
// Digest and Basic states.
constexpr int kAuthNone = 0;  // nothing to send
constexpr int kAuthSend = 1;  // the next request carries the answer
constexpr int kAuthDone = 2;  // accepted, or (Digest preset) waiting for a challenge

// What the authorization lines of one request depend on.
struct TAuthLineRequest {
  std::string Method;  // "GET", "POST", "PUT", "HEAD" or "CONNECT"
  std::string Uri;     // the path a Digest answer covers
  bool TunnelEstablished = false;
  // The proxy reads this request itself: a plain request through the proxy, or the tunnel
  // request. False without a proxy and for requests inside an open tunnel, so proxy
  // credentials never reach the origin server.
  bool ToProxy = false;
  TAuthCredentials Server;
  TAuthCredentials Proxy;
  std::string Workstation;  // local host name, for NTLM
};

// A finished reply, as far as authentication cares.
struct TAuthReply {
  int Status = 0;
  THttpAuthType ServerAuth = THttpAuthType::httpAuthNone;
  THttpAuthType ProxyAuth = THttpAuthType::httpAuthNone;
  TAuthOptions Options;
  TAuthCredentials Server;
  TAuthCredentials Proxy;
  // The proxy itself sent this reply (not the origin through a tunnel, and a proxy is set):
  // only then may a 407 be answered with the proxy credentials.
  bool FromProxy = false;
  // The connection will not carry the next request (close after reply, or already closed).
  bool ConnectionGone = false;
};

enum class TAuthOutcome {
  NotAnswered,  // no scheme took the challenge: the request ends with this reply
  NewRound,     // the request must be sent again with the new authorization
  Ended,        // a scheme gave up (second refusal, unusable challenge): the request ends
};

struct TAuthReadyResult {
  TAuthOutcome Outcome = TAuthOutcome::NotAnswered;
  bool ServerKeepAlive = false;  // an NTLM exchange with the server starts: keep the connection
  bool ProxyKeepAlive = false;   // the same with the proxy
};

class THttpAuthState {
 public:
  // Trace lines ("Starting Basic authentication", ...). May be unset.
  std::function<void(const std::string&)> OnTrace;
  // Fired before a challenge line is answered; returning false skips that line.
  std::function<bool(THttpAuthType scheme, bool proxy, const std::string& line)> OnBeforeAuth;
  // Raised for a state outside the tables (message, code 6); the client turns it into its
  // own exception. Unset: a std::logic_error is thrown.
  std::function<void(const std::string& message)> OnStateError;

  // All six states to none, at the start of every request.
  void Reset();

  // Presets at request start. Each returns true when NTLM was preset, so the client keeps
  // the connection alive (the exchange needs one connection for all its messages).
  bool PresetProxy(THttpAuthType type, bool reusedConnection);
  bool PresetServer(THttpAuthType type);

  // A proxy authentication round is running: the tunnel request must be sent (again).
  bool ProxyRoundInProgress() const;
  // An NTLM negotiate message goes out in either direction with the next request: a POST
  // or PUT then announces an empty body and does not send it. Without a tunnel a finished
  // proxy exchange starts again on the next request, so it counts as negotiating too (the
  // length announced must match the body sent).
  bool NtlmNegotiating(bool tunnelEstablished) const;
  // The tunnel opened: every proxy scheme in use counts as done.
  void TunnelOpened();

  // The "Authorization: ..." and "Proxy-Authorization: ..." lines due for this request, in
  // that order (zero, one or two lines).
  std::vector<std::string> AuthorizationLines(const TAuthLineRequest& request);

  // A reply is complete: advance the states by its status and answer its challenges.
  // `challenges` (the values of the authenticate headers, in order) may be cleared.
  TAuthReadyResult ReplyDone(const TAuthReply& reply, std::vector<std::string>& challenges);

  // The states, for the client's decisions and for tests.
  int ServerNtlm = kNtlmNone, ServerDigest = kAuthNone, ServerBasic = kAuthNone;
  int ProxyNtlm = kNtlmNone, ProxyDigest = kAuthNone, ProxyBasic = kAuthNone;
  TDigestChallenge ServerDigestChallenge, ProxyDigestChallenge;
  // The last request built was read by the proxy itself (see TAuthLineRequest::ToProxy).
  bool LastRequestToProxy = false;
  TNtlmChallenge ServerNtlmChallenge, ProxyNtlmChallenge;

 private:
  enum class TStep { NoLine, NewRound, Ended };
  TStep Answer(THttpAuthType scheme, const TAuthReply& reply,
               std::vector<std::string>& challenges, TAuthReadyResult& result);
  void Trace(const std::string& text);
  [[noreturn]] void StateError(const std::string& message);
};

}  // namespace http

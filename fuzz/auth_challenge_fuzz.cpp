// Feeds arbitrary challenge lines to the authentication state machine as a proxy or server
// would send them, round after round, and reads the same bytes as a Digest challenge, an
// NTLM challenge message and a tunnel answer. The lines the client would send must never
// hold a byte that ends a header line, and an NTLM answer must be a type 1 or type 3 message.
//
// Input: byte 0 chooses the status (bit 0: 407, else 401) and the scheme presets (bits 1-2),
// the rest is challenge lines separated by LF.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_auth_state.h"
#include "http/http_digest.h"
#include "http/http_ntlm.h"
#include "http/http_tunnel.h"
#include "http/url.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    Require(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    // (a Digest answer may repeat ": NTLM " inside a quoted value; only the header counts)
    const size_t ntlm = line.rfind("Authorization: NTLM ", 6);
    if (ntlm != std::string::npos) {
      const std::string message = http::Base64Decode(line.substr(ntlm + 20));
      Require(message.size() >= 32 && message.compare(0, 8, std::string("NTLMSSP\0", 8)) == 0);
      Require(message[8] == 1 || message[8] == 3);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // The same bytes as each kind of thing a peer sends.
  http::TDigestChallenge digest = http::ParseDigestChallenge(text);
  if (http::DigestChallengeUsable(digest))
    CheckLines({http::DigestAuthorization(digest, "user", "pass", "GET", "/", "00000001", "0000ABCD")});
  for (const std::string& message : {text, http::Base64Decode(text)})
    if (auto challenge = http::ParseNtlmType2Message(message)) {
      const std::string type3 = http::NtlmType3Message(*challenge, "DOM\\user", "pass", "HOST");
      Require(type3.size() >= 64 + 48);
    }
  (void)http::TunnelAnswerOpens(text);

  std::vector<std::string> challenges;
  size_t at = 0;
  while (at <= text.size() && challenges.size() < 16) {
    const size_t end = text.find('\n', at);
    challenges.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }

  http::THttpAuthState auth;
  const http::THttpAuthType presets[] = {http::THttpAuthType::httpAuthNone, http::THttpAuthType::httpAuthBasic,
                                         http::THttpAuthType::httpAuthNtlm, http::THttpAuthType::httpAuthDigest};
  const http::THttpAuthType preset = presets[(flags >> 1) & 3];
  auth.PresetProxy(preset, false);
  auth.PresetServer(preset);

  http::TAuthReply reply;
  reply.Status = (flags & 1) ? 407 : 401;
  reply.Server = {"user", "pass"};
  reply.Proxy = {"DOM\\proxy", "secret"};
  reply.FromProxy = true;
  http::TAuthLineRequest request;
  request.Method = "GET";
  request.Uri = "/";
  request.ToProxy = true;
  request.Server = reply.Server;
  request.Proxy = reply.Proxy;
  request.Workstation = "HOST";
  CheckLines(auth.AuthorizationLines(request));
  // A peer that keeps answering with the same challenges: the client must give up.
  int rounds = 0;
  for (;;) {
    std::vector<std::string> copy = challenges;
    const http::TAuthReadyResult result = auth.ReplyDone(reply, copy);
    if (result.Outcome != http::TAuthOutcome::NewRound) break;
    Require(++rounds <= 3);
    CheckLines(auth.AuthorizationLines(request));
  }
  return 0;
}

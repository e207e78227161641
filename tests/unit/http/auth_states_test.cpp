// The authentication state machine, driven as the client drives it: presets, the lines of
// each request, and the reaction to each reply, over whole exchanges.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/url.h"
#include "http/http_auth_state.h"
#include "http/http_tunnel.h"

using namespace http;

namespace {

std::string Type2Line(uint32_t flags, size_t length = 48) {
  std::string m(length, '\0');
  m.replace(0, 8, std::string("NTLMSSP\0", 8));
  m[8] = 2;
  m[20] = static_cast<char>(flags);
  m.replace(24, 8, "\x01\x23\x45\x67\x89\xab\xcd\xef");
  return "NTLM " + Base64Encode(m);
}

struct TRig {
  THttpAuthState auth;
  std::vector<std::string> traces;
  TAuthReply reply;
  TAuthLineRequest request;

  TRig() {
    auth.OnTrace = [this](const std::string& t) { traces.push_back(t); };
    reply.Proxy = {"dom\\proxyuser", "proxypass"};
    reply.Server = {"webuser", "webpass"};
    reply.FromProxy = true;
    request.Method = "GET";
    request.Uri = "/page";
    request.ToProxy = true;
    request.Proxy = reply.Proxy;
    request.Server = reply.Server;
    request.Workstation = "HOST";
  }

  TAuthOutcome Reply(int status, std::vector<std::string> challenges) {
    reply.Status = status;
    return auth.ReplyDone(reply, challenges).Outcome;
  }
  std::vector<std::string> Lines() { return auth.AuthorizationLines(request); }
  // The one line of the request starting with `header`, or "".
  std::string Line(const std::string& header) {
    for (const std::string& l : Lines())
      if (l.rfind(header, 0) == 0) return l;
    return "";
  }
};

}  // namespace

TEST(AuthStates, ProxyBasicRoundThenSecondRefusalEnds) {
  TRig rig;
  EXPECT_TRUE(rig.Lines().empty());
  EXPECT_EQ(rig.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::NewRound);
  EXPECT_EQ(rig.traces, std::vector<std::string>{"Starting Proxy Basic authentication"});
  EXPECT_TRUE(rig.auth.ProxyRoundInProgress());
  EXPECT_EQ(rig.Lines(), std::vector<std::string>{"Proxy-Authorization: Basic " +
                                                  Base64Encode("dom\\proxyuser:proxypass")});
  // The proxy refuses again: the request ends with its 407.
  EXPECT_EQ(rig.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::Ended);
  EXPECT_EQ(rig.auth.ProxyBasic, kAuthNone);

  // Accepted this time: done, and nothing more is sent on the next build.
  TRig ok;
  ok.Reply(407, {"Basic realm=\"p\""});
  ok.Lines();
  EXPECT_EQ(ok.Reply(200, {}), TAuthOutcome::NotAnswered);
  EXPECT_EQ(ok.auth.ProxyBasic, kAuthDone);
  EXPECT_TRUE(ok.Lines().empty());
}

TEST(AuthStates, ProxyCredentialsStayWithTheProxy) {
  // A 407 from the origin (no proxy set, or through the tunnel) is not answered.
  TRig rig;
  rig.reply.FromProxy = false;
  EXPECT_EQ(rig.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::NotAnswered);
  EXPECT_EQ(rig.auth.ProxyBasic, kAuthNone);

  // A request that the proxy does not read itself never carries its credentials.
  TRig tunnel;
  tunnel.Reply(407, {"Basic realm=\"p\""});
  tunnel.request.ToProxy = false;
  EXPECT_TRUE(tunnel.Lines().empty());

  // The tunnel request carries the proxy line but never the origin's credentials.
  TRig connect;
  connect.auth.PresetServer(THttpAuthType::httpAuthBasic);
  connect.auth.PresetProxy(THttpAuthType::httpAuthBasic, false);
  connect.request.Method = "CONNECT";
  std::vector<std::string> lines = connect.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Proxy-Authorization: Basic ", 0), 0u);
  connect.auth.TunnelOpened();
  EXPECT_EQ(connect.auth.ProxyBasic, kAuthDone);
  connect.request.Method = "GET";
  connect.request.ToProxy = false;
  connect.request.TunnelEstablished = true;
  EXPECT_EQ(connect.Lines(), std::vector<std::string>{"Authorization: Basic " +
                                                      Base64Encode("webuser:webpass")});
}

TEST(AuthStates, DigestChallengesParsedCountedAndSkippedWhenUnusable) {
  TRig rig;
  // auth-int offered beside auth is not answerable; the Basic line before it is taken.
  EXPECT_EQ(rig.Reply(407, {"Basic realm=\"p\"", "Digest realm=\"p\", nonce=\"n1\", qop=\"auth,auth-int\""}),
            TAuthOutcome::NewRound);
  EXPECT_EQ(rig.auth.ProxyBasic, kAuthSend);
  EXPECT_EQ(rig.auth.ProxyDigest, kAuthNone);
  TRig none;
  EXPECT_EQ(none.Reply(407, {"Digest realm=\"p\", nonce=\"n1\", qop=\"auth,auth-int\""}),
            TAuthOutcome::NotAnswered);

  TRig digest;
  EXPECT_EQ(digest.Reply(407, {"Digest realm=\"p\", nonce=\"n1\", qop=\"auth\""}),
            TAuthOutcome::NewRound);
  EXPECT_EQ(digest.traces, std::vector<std::string>{"Starting Proxy Digest authentication"});
  // The proxy's nonce count goes up with every request.
  EXPECT_NE(digest.Line("Proxy-Authorization: Digest ").find(",nc=00000001,"), std::string::npos);
  EXPECT_NE(digest.Line("Proxy-Authorization: Digest ").find(",nc=00000002,"), std::string::npos);
  std::string line = digest.Line("Proxy-Authorization: Digest ");
  EXPECT_NE(line.find("username=\"dom\\proxyuser\",realm=\"p\",nonce=\"n1\",uri=\"/page\""),
            std::string::npos) << line;

  // The server's count is 1 for every request.
  TRig server;
  EXPECT_EQ(server.Reply(401, {"Digest realm=\"s\", nonce=\"n2\", qop=auth"}), TAuthOutcome::NewRound);
  EXPECT_NE(server.Line("Authorization: Digest ").find(",nc=00000001,"), std::string::npos);
  EXPECT_NE(server.Line("Authorization: Digest ").find(",nc=00000001,"), std::string::npos);
  EXPECT_EQ(server.Reply(401, {"Digest realm=\"s\", nonce=\"n3\""}), TAuthOutcome::Ended);
}

TEST(AuthStates, NtlmExchangeWithTheProxy) {
  TRig rig;
  TAuthReply reply = rig.reply;
  reply.Status = 407;
  std::vector<std::string> challenges = {"Basic realm=\"p\"", "NTLM"};
  TAuthReadyResult r = rig.auth.ReplyDone(reply, challenges);
  // NTLM is preferred over Basic, and keeps the connection for the next message.
  EXPECT_EQ(r.Outcome, TAuthOutcome::NewRound);
  EXPECT_TRUE(r.ProxyKeepAlive);
  EXPECT_TRUE(rig.auth.NtlmNegotiating(false));
  std::string type1 = rig.Line("Proxy-Authorization: NTLM ");
  EXPECT_EQ(Base64Decode(type1.substr(26)).substr(0, 9), std::string("NTLMSSP\0\x01", 9));

  EXPECT_EQ(rig.Reply(407, {Type2Line(1)}), TAuthOutcome::NewRound);
  EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmAuthenticate);
  EXPECT_FALSE(rig.auth.NtlmNegotiating(false));
  std::string type3 = Base64Decode(rig.Line("Proxy-Authorization: NTLM ").substr(26));
  ASSERT_GT(type3.size(), 64u);
  EXPECT_EQ(type3[8], 3);
  // Domain "dom" then user "proxyuser", both in UTF-16 as the challenge asked.
  EXPECT_EQ(type3.substr(64, 6), std::string("d\0o\0m\0", 6));
  EXPECT_EQ(type3.substr(70, 18), std::string("p\0r\0o\0x\0y\0u\0s\0e\0r\0", 18));

  EXPECT_EQ(rig.Reply(200, {}), TAuthOutcome::NotAnswered);
  EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmDone);
  // Without a tunnel the next connection negotiates again.
  EXPECT_FALSE(rig.Line("Proxy-Authorization: NTLM ").empty());
  EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmNegotiate);
}

TEST(AuthStates, NtlmGivesUpOnUnusableChallengeOrSecondRefusal) {
  for (const std::string& bad : {Type2Line(1, 47), std::string("NTLM"), std::string("NTLM !!!")}) {
    TRig rig;
    rig.Reply(407, {"NTLM"});
    rig.Lines();
    EXPECT_EQ(rig.Reply(407, {bad}), TAuthOutcome::Ended) << bad;
    EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmNone);
    EXPECT_TRUE(rig.Lines().empty()) << "no type 3 message from " << bad;
  }
  TRig rig;
  rig.Reply(401, {"NTLM"});
  EXPECT_FALSE(rig.Line("Authorization: NTLM ").empty());
  rig.Reply(401, {Type2Line(0)});
  EXPECT_FALSE(rig.Line("Authorization: NTLM ").empty());
  EXPECT_EQ(rig.Reply(401, {"NTLM"}), TAuthOutcome::Ended);
  EXPECT_EQ(rig.auth.ServerNtlm, kNtlmNone);
}

TEST(AuthStates, HandlerOptionsAndPreconditionsDecideWhatIsAnswered) {
  // The handler refuses the last Basic line: the earlier one is taken.
  TRig rig;
  std::vector<std::string> seen;
  rig.auth.OnBeforeAuth = [&](THttpAuthType scheme, bool proxy, const std::string& line) {
    seen.push_back(std::string(proxy ? "proxy " : "server ") + line);
    return line != "Basic realm=\"second\"";
  };
  EXPECT_EQ(rig.Reply(401, {"Basic realm=\"first\"", "Basic realm=\"second\""}), TAuthOutcome::NewRound);
  EXPECT_EQ(seen, (std::vector<std::string>{"server Basic realm=\"second\"", "server Basic realm=\"first\""}));

  // Refusing every line leaves the challenge unanswered.
  TRig refused;
  refused.auth.OnBeforeAuth = [](THttpAuthType, bool, const std::string&) { return false; };
  EXPECT_EQ(refused.Reply(407, {"Basic realm=\"p\"", "NTLM"}), TAuthOutcome::NotAnswered);

  // An option switches the automatic answer off only for the scheme the preset names.
  TRig off;
  off.reply.Options.NoBasic = true;
  off.reply.ProxyAuth = THttpAuthType::httpAuthBasic;
  EXPECT_EQ(off.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::NotAnswered);
  off.reply.ProxyAuth = THttpAuthType::httpAuthNone;
  EXPECT_EQ(off.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::NewRound);

  // No credentials, no challenge, or a status that is no refusal: nothing to answer.
  TRig noCreds;
  noCreds.reply.Proxy.Password.clear();
  EXPECT_EQ(noCreds.Reply(407, {"Basic realm=\"p\""}), TAuthOutcome::NotAnswered);
  EXPECT_EQ(noCreds.Reply(401, {}), TAuthOutcome::NotAnswered);
  EXPECT_EQ(noCreds.Reply(403, {"Basic realm=\"p\""}), TAuthOutcome::NotAnswered);
}

TEST(AuthStates, PresetsAndTheProxyAfterAServerRefusal) {
  TRig rig;
  EXPECT_TRUE(rig.auth.PresetProxy(THttpAuthType::httpAuthNtlm, false));
  EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmNegotiate);
  EXPECT_TRUE(rig.auth.PresetProxy(THttpAuthType::httpAuthNtlm, true));
  EXPECT_EQ(rig.auth.ProxyNtlm, kNtlmDone);
  rig.auth.Reset();
  EXPECT_FALSE(rig.auth.PresetProxy(THttpAuthType::httpAuthDigest, false));
  EXPECT_EQ(rig.auth.ProxyDigest, kAuthDone);  // waits for the proxy's nonce
  rig.auth.Reset();
  rig.auth.PresetProxy(THttpAuthType::httpAuthBasic, true);
  EXPECT_EQ(rig.auth.ProxyBasic, kAuthDone);
  rig.auth.Reset();
  EXPECT_TRUE(rig.auth.PresetServer(THttpAuthType::httpAuthNtlm));
  EXPECT_EQ(rig.auth.ServerNtlm, kNtlmNegotiate);
  // While the server negotiates NTLM the proxy's own negotiation goes first.
  rig.auth.ProxyNtlm = kNtlmNegotiate;
  EXPECT_EQ(rig.Lines().size(), 1u);
  EXPECT_FALSE(rig.Line("Proxy-Authorization: NTLM ").empty());

  // Proxy accepted, then the server asks: on a connection that goes away the proxy's
  // credentials are sent again; on a kept connection they are not.
  for (bool gone : {true, false}) {
    TRig p;
    p.Reply(407, {"Basic realm=\"p\""});
    p.reply.ConnectionGone = gone;
    EXPECT_EQ(p.Reply(401, {"Basic realm=\"s\""}), TAuthOutcome::NewRound);
    EXPECT_EQ(p.auth.ProxyBasic, gone ? kAuthSend : kAuthDone);
    EXPECT_EQ(p.Lines().size(), gone ? 2u : 1u);
  }
}

TEST(ProxyTunnel, AnswersThatOpenTheTunnel) {
  struct Case { const char* answer; bool opens; };
  const Case cases[] = {
      {"HTTP/1.0 200 Connection established\r\n\r\n", true},
      {"HTTP/1.1 200 Connection established\r\nProxy-Agent: x\r\n\r\n", true},
      {"http/1.1  200 whatever\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nhello, world", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc", false},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", false},
      {"HTTP/2 200\r\n\r\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(TunnelAnswerOpens(c.answer), c.opens) << c.answer;
  EXPECT_FALSE(TunnelAnswerComplete("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(TunnelAnswerComplete("HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_TRUE(TunnelAnswerComplete("HTTP/1.0 200 OK\n\n"));
}

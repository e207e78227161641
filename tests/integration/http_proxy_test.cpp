// The client through in-test proxies on 127.0.0.1, and against servers that ask for
// credentials: forwarding with the absolute address, the tunnel answers, and Basic, Digest
// and NTLM rounds with proxies and servers that check every answer independently.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "http/md5.h"
#include "http/ssl_http_cli.h"
#include "http/url.h"
#include "runtime/byte_stream.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_proxy.h"

using http::EHttpException;
using http::THttpAuthType;
using http::THttpCli;
using http::THttpRequest;
using proxy_test::ProxyAnswer;
using proxy_test::TProxyAction;
using proxy_test::TProxyRequest;
using proxy_test::TTestProxy;

namespace {

enum class TScheme { Basic, Digest, Ntlm };
const char* Name(TScheme s) { return s == TScheme::Basic ? "Basic" : s == TScheme::Digest ? "Digest" : "NTLM"; }

constexpr const char* kPassword = "Password";
const std::string kChallenge("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);

// name=value pairs of a Digest answer, quotes removed.
std::map<std::string, std::string> DigestParams(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t eq = text.find('=', at);
    if (eq == std::string::npos) break;
    std::string name = text.substr(at, eq - at);
    name.erase(0, name.find_first_not_of(" ,"));
    std::string value;
    size_t next;
    if (eq + 1 < text.size() && text[eq + 1] == '"') {
      const size_t close = text.find('"', eq + 2);
      value = text.substr(eq + 2, close - eq - 2);
      next = close + 1;
    } else {
      next = text.find(',', eq);
      value = text.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1);
    }
    out[name] = value;
    if (next == std::string::npos) break;
    at = next + 1;
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  return http::DigestToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

uint32_t Le(const std::string& m, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(m[at + i]);
  return v;
}

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

std::string NtlmType2(bool unicode, size_t length = 48) {
  std::string m(length, '\0');
  m.replace(0, 8, std::string("NTLMSSP\0", 8));
  m[8] = 2;
  m[20] = unicode ? 0x01 : 0x02;
  m[21] = static_cast<char>(0x82);
  if (length >= 32) m.replace(24, 8, kChallenge);
  return m.substr(0, length);
}

// A peer (proxy or server) that asks for one scheme and checks each answer on its own,
// without the client's code. What it found wrong goes to `Problems`.
struct TChecker {
  explicit TChecker(TScheme scheme, bool proxy = true, std::string user = "DOM\\alice")
      : Scheme(scheme), Proxy(proxy), User(std::move(user)) {}

  TScheme Scheme;
  bool Proxy;                 // 407 / Proxy-Authorization, else 401 / Authorization
  std::string User;
  std::string Password = kPassword;
  std::string Uri;            // the path a Digest answer must cover
  std::string DigestChallenge = "realm=\"tamvirel\", nonce=\"b1f2c3\", qop=\"auth\"";
  size_t Type2Length = 48;
  std::vector<std::string> Problems;
  int LastNc = 0;

  std::string Refusal(const std::string& challenge) const {
    const std::string keep = Proxy ? "Proxy-Connection: keep-alive" : "Connection: keep-alive";
    if (Proxy)
      return ProxyAnswer("HTTP/1.0 407 Proxy Authentication Required",
                         {"Proxy-Authenticate: " + challenge, keep}, "denied");
    return ProxyAnswer("HTTP/1.0 401 Unauthorized", {"WWW-Authenticate: " + challenge, keep}, "denied");
  }

  // Returns true when the request carries valid credentials; else fills `answer`.
  bool Check(const TProxyRequest& r, std::string& state, std::string& answer) {
    const std::string value = r.Header(Proxy ? "proxy-authorization" : "authorization");
    const std::string other = r.Header(Proxy ? "authorization" : "proxy-authorization");
    if (!other.empty()) Problems.push_back("unexpected credentials: " + other);
    switch (Scheme) {
      case TScheme::Basic:
        if (value == "Basic " + http::Base64Encode(User + ":" + Password)) return true;
        if (!value.empty()) Problems.push_back("wrong Basic answer " + value);
        answer = Refusal("Basic realm=\"tamvirel\"");
        return false;
      case TScheme::Digest: {
        answer = Refusal("Digest " + DigestChallenge);
        if (value.empty()) return false;
        auto p = DigestParams(value.substr(7));
        const std::string ha1 = http::Md5Hex(User + ":tamvirel:" + Password);
        const std::string ha2 = http::Md5Hex(r.Method + ":" + p["uri"]);
        const std::string expect =
            http::Md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
        const int nc = std::stoi(p["nc"].empty() ? "0" : p["nc"], nullptr, 16);
        if (p["username"] != User || p["realm"] != "tamvirel" || p["nonce"] != "b1f2c3" ||
            p["uri"] != Uri || p["qop"] != "auth" || p["cnonce"].size() != 8 || nc <= LastNc ||
            p["response"] != expect) {
          Problems.push_back("wrong Digest answer " + value);
          return false;
        }
        LastNc = nc;
        return true;
      }
      case TScheme::Ntlm: {
        const std::string message = value.size() > 5 ? http::Base64Decode(value.substr(5)) : "";
        if (value.rfind("NTLM ", 0) != 0 || message.size() < 12 || message.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0) {
          state.clear();
          answer = Refusal("NTLM");
          return false;
        }
        if (message[8] == 1) {
          state = "challenged";
          answer = Refusal("NTLM " + http::Base64Encode(NtlmType2(true, Type2Length)));
          return false;
        }
        answer = Refusal("NTLM");
        if (message[8] != 3 || state != "challenged" || message.size() < 64) {
          Problems.push_back("type 3 out of turn");
          return false;
        }
        auto field = [&](size_t at) { return message.substr(Le(message, at + 4, 4), Le(message, at, 2)); };
        const size_t slash = User.find('\\');
        const std::string domain = slash == std::string::npos ? "" : User.substr(0, slash);
        const std::string user = slash == std::string::npos ? User : User.substr(slash + 1);
        if (field(28) != Utf16(domain) || field(36) != Utf16(user) ||
            Hex(field(12)) != "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13" ||
            Hex(field(20)) != "67c43011f30298a2ad35ece64f16331c44bdbed927841f94") {
          Problems.push_back("wrong type 3 message for " + User);
          return false;
        }
        return true;
      }
    }
    return false;
  }
};

// The client with the TLS step replaced by a note: the tunnel logic runs over plain TCP.
class TTunnelCli : public THttpCli {
 public:
  int TlsStarts = 0;

 protected:
  bool ProtocolSupported(const std::string& protocol) const override {
    return protocol == "http" || protocol == "https";
  }
  void StartTunnelTls() override {
    ++TlsStarts;
    TlsHandshakeSucceeded();
  }
};

struct TOutcome {
  bool Raised = false;
  int Code = 0;
  int Status = 0;
  std::string Body, Reason;
};

class HttpProxy : public ::testing::Test {
 protected:
  void SetUp() override { Use(std::make_unique<TTunnelCli>()); }

  void Use(std::unique_ptr<TTunnelCli> cli) {
    Cli = std::move(cli);
    Cli->SetName("HttpCli1");
    Cli->SetTimeout(10);
    Cli->SetReplyStream(&Reply_);
  }

  void ViaProxy(const TTestProxy& proxy, const std::string& user = "DOM\\alice",
                const std::string& password = kPassword) {
    Cli->SetProxy("127.0.0.1");
    Cli->SetProxyPort(proxy.PortText());
    Cli->SetProxyUsername(user);
    Cli->SetProxyPassword(password);
  }

  TOutcome Get(const std::string& url) {
    Cli->SetURL(url);
    Reply_.Clear();
    TOutcome out;
    try {
      Cli->SyncGet();
    } catch (const EHttpException& e) {
      out.Raised = true;
      out.Code = e.ErrorCode();
      out.Reason = e.what();
    }
    out.Status = Cli->StatusCode();
    if (!out.Raised) out.Reason = Cli->ReasonPhrase();
    out.Body = std::string(Reply_.Bytes());
    return out;
  }

  std::unique_ptr<TTunnelCli> Cli;
  runtime::TMemoryStream Reply_;
};

http_test::TScriptedReply Hello() {
  http_test::TScriptedReply r;
  r.Bytes = http_test::LengthReply("HTTP/1.0 200 OK", "hello");
  return r;
}

const TScheme kSchemes[] = {TScheme::Basic, TScheme::Digest, TScheme::Ntlm};

}  // namespace

TEST_F(HttpProxy, ForwardsWithAbsoluteAddressAfterEachSchemeAndKeepsCredentialsFromTheOrigin) {
  for (TScheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    http_test::THttpTestServer origin([](const http_test::TRecordedRequest&) { return Hello(); });
    const std::string url = origin.Url("/dir/page?x=1");
    TChecker checker(scheme);
    checker.Uri = "/dir/page?x=1";
    TTestProxy proxy([&](const TProxyRequest& r, std::string& state) {
      TProxyAction a;
      if (checker.Check(r, state, a.Bytes)) a.Kind = TProxyAction::Forward;
      return a;
    });
    SetUp();
    ViaProxy(proxy);
    Cli->SetCookie("session=42");
    const TOutcome out = Get(url);
    EXPECT_FALSE(out.Raised);
    EXPECT_EQ(out.Status, 200);
    EXPECT_EQ(out.Body, "hello");
    EXPECT_TRUE(checker.Problems.empty()) << checker.Problems.front();

    const auto seen = proxy.Requests();
    ASSERT_EQ(seen.size(), scheme == TScheme::Ntlm ? 3u : 2u);
    EXPECT_FALSE(seen.front().Has("proxy-authorization"));
    EXPECT_EQ(seen.back().Header("proxy-authorization").rfind(std::string(Name(scheme)) + " ", 0), 0u);
    for (const auto& r : seen) {
      EXPECT_EQ(r.Method + " " + r.Target + " " + r.Version, "GET " + url + " HTTP/1.0");
      EXPECT_EQ(r.Header("host"), "127.0.0.1:" + origin.PortText());
      EXPECT_EQ(r.Connection, 1) << "every message of the exchange on one connection";
    }
    const auto reached = origin.Requests();
    ASSERT_EQ(reached.size(), 1u);
    EXPECT_EQ(reached[0].Target, "/dir/page?x=1");
    EXPECT_FALSE(reached[0].HasHeader("Proxy-Authorization"));
    EXPECT_FALSE(reached[0].HasHeader("Authorization"));
    EXPECT_EQ(reached[0].Header("Cookie"), "session=42");
  }
}

TEST_F(HttpProxy, RefusalsAndUnusableChallengesEndTheRequestWithTheProxysReply) {
  struct Case {
    const char* what;
    TScheme scheme;
    std::string clientPassword;
    std::string digestChallenge;
    size_t type2Length;
    bool refuseInHandler;
    size_t requests;
  };
  const std::string usual = "realm=\"tamvirel\", nonce=\"b1f2c3\", qop=\"auth\"";
  const Case cases[] = {
      {"second 407 after Basic", TScheme::Basic, "wrong", usual, 48, false, 2},
      {"second 407 after Digest", TScheme::Digest, "wrong", usual, 48, false, 2},
      {"second 407 after NTLM type 3", TScheme::Ntlm, "wrong", usual, 48, false, 3},
      {"Digest with auth-int offered", TScheme::Digest, kPassword,
       "realm=\"tamvirel\", nonce=\"b1f2c3\", qop=\"auth,auth-int\"", 48, false, 1},
      {"NTLM challenge too short", TScheme::Ntlm, kPassword, usual, 40, false, 2},
      {"handler refuses", TScheme::Basic, kPassword, usual, 48, true, 1},
      {"no password given", TScheme::Basic, "", usual, 48, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TChecker checker(c.scheme);
    checker.Password = kPassword;
    checker.Uri = "/p";
    checker.DigestChallenge = c.digestChallenge;
    checker.Type2Length = c.type2Length;
    TTestProxy proxy([&](const TProxyRequest& r, std::string& state) {
      TProxyAction a;
      if (checker.Check(r, state, a.Bytes)) a.Bytes = ProxyAnswer("HTTP/1.0 500 Unexpected", {});
      return a;
    });
    SetUp();
    ViaProxy(proxy, "DOM\\alice", c.clientPassword);
    std::vector<std::string> asked;
    if (c.refuseInHandler)
      Cli->OnBeforeAuth = [&](THttpCli*, THttpAuthType type, bool isProxy, const std::string& line, bool& allow) {
        asked.push_back(std::string(isProxy ? "proxy " : "server ") + line);
        allow = false;
      };
    const TOutcome out = Get("http://127.0.0.1:9/p");
    EXPECT_FALSE(out.Raised) << "a 407 ends the request without an error";
    EXPECT_EQ(out.Status, 407);
    EXPECT_EQ(out.Body, "denied");
    EXPECT_EQ(proxy.Requests().size(), c.requests);
    if (c.refuseInHandler) {
      EXPECT_EQ(asked, std::vector<std::string>{"proxy Basic realm=\"tamvirel\""});
    }
    if (std::string(c.what) == "NTLM challenge too short") {
      EXPECT_EQ(http::Base64Decode(proxy.Requests().back().Header("proxy-authorization").substr(5))[8], 1)
          << "no type 3 message after an unusable challenge";
    }
  }
}

TEST_F(HttpProxy, ServersAskingForEachSchemeAndDomainUserNames) {
  struct Case { TScheme scheme; std::string user; };
  const Case cases[] = {{TScheme::Basic, "alice"},       {TScheme::Digest, "alice"},
                        {TScheme::Ntlm, "DOM\\alice"},   {TScheme::Ntlm, "alice@dom.example"},
                        {TScheme::Ntlm, "alice"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(Name(c.scheme)) + " " + c.user);
    TChecker checker(c.scheme, false, c.user);
    checker.Uri = "/secret";
    TTestProxy server([&](const TProxyRequest& r, std::string& state) {
      TProxyAction a;
      if (checker.Check(r, state, a.Bytes)) a.Bytes = ProxyAnswer("HTTP/1.0 200 OK", {}, "inside");
      return a;
    });
    SetUp();
    Cli->SetUsername(c.user);
    Cli->SetPassword(kPassword);
    const TOutcome out = Get("http://127.0.0.1:" + server.PortText() + "/secret");
    EXPECT_EQ(out.Status, 200);
    EXPECT_EQ(out.Body, "inside");
    EXPECT_TRUE(checker.Problems.empty()) << checker.Problems.front();
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), c.scheme == TScheme::Ntlm ? 3u : 2u);
    // The exchange runs on one connection kept alive for it.
    if (c.scheme == TScheme::Ntlm) {
      EXPECT_EQ(seen.back().Connection, 1);
      EXPECT_EQ(seen[1].Header("connection"), "Keep-alive");
    }
  }
}

TEST_F(HttpProxy, TunnelAnswersOpenOrEndTheRequestAsTheProxysRefusal) {
  http_test::THttpTestServer origin([](const http_test::TRecordedRequest&) { return Hello(); });
  const std::string target = "127.0.0.1:" + origin.PortText();
  struct Case {
    const char* what;
    std::string answer;
    bool tunnel;
    int drip;
    bool opens;
    int status;
    std::string body;  // or the reason of the failure
  };
  // The proxy's own answer is never taken for the site's: neither its page, nor its cookie.
  const std::string extras = "Set-Cookie: s=proxy\r\nLocation: http://127.0.0.1:9/\r\nContent-Length: 5\r\n\r\nproxy";
  const Case cases[] = {
      {"1.0 established", "HTTP/1.0 200 Connection established\r\n\r\n", true, -1, true, 200, "hello"},
      {"established in single bytes", "HTTP/1.1 200 Connection established\r\nVia: t\r\n\r\n", true, 3, true,
       200, "hello"},
      {"200 OK with a body", "HTTP/1.1 200 OK\r\n" + extras, false, -1, false, 404, "proxy refused the tunnel: 200 OK"},
      {"forbidden", "HTTP/1.1 403 Forbidden\r\nContent-Length: 2\r\n\r\nno", false, -1, false, 404,
       "proxy refused the tunnel: 403 Forbidden"},
      {"407 to the end", "HTTP/1.0 407 Auth\r\nProxy-Authenticate: Basic realm=\"r\"\r\n" + extras, false, -1, false,
       404, "proxy refused the tunnel: 407 Auth"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TTestProxy proxy([&](const TProxyRequest& r, std::string&) {
      TProxyAction a;
      a.Kind = c.tunnel ? TProxyAction::Tunnel : TProxyAction::Answer;
      a.Bytes = c.answer;
      a.DripMs = c.drip;
      return a;
    });
    SetUp();
    ViaProxy(proxy);
    Cli->SetCookie("session=42");
    int cookies = 0;
    Cli->OnCookie = [&](THttpCli*, const std::string&, bool&) { ++cookies; };
    const size_t before = origin.Requests().size();
    const TOutcome out = Get("https://" + target + "/p");
    EXPECT_EQ(out.Status, c.status);
    EXPECT_EQ(out.Raised, c.status >= 400);
    EXPECT_EQ(c.status < 400 ? out.Body : out.Reason + out.Body, c.body);
    EXPECT_EQ(cookies, 0);
    EXPECT_EQ(Cli->TlsStarts, c.opens ? 1 : 0);
    const auto seen = proxy.Requests();
    ASSERT_GE(seen.size(), 1u);
    const TProxyRequest& connect = seen[0];
    EXPECT_EQ(connect.Method + " " + connect.Target + " " + connect.Version, "CONNECT " + target + " HTTP/1.0");
    EXPECT_EQ(connect.Header("content-length"), "0");
    EXPECT_EQ(connect.Header("proxy-connection"), "Keep-Alive");
    EXPECT_EQ(connect.Header("host"), target);
    for (const char* absent : {"cookie", "accept", "referer", "proxy-authorization", "authorization"})
      EXPECT_FALSE(connect.Has(absent)) << absent;
    const auto reached = origin.Requests();
    ASSERT_EQ(reached.size(), before + (c.opens ? 1 : 0));
    if (c.opens) {
      EXPECT_EQ(reached.back().Target, "https://" + target + "/p");
      EXPECT_EQ(reached.back().Header("Cookie"), "session=42");
      EXPECT_FALSE(reached.back().HasHeader("Proxy-Authorization"));
      EXPECT_FALSE(reached.back().HasHeader("Proxy-Connection"));
    }
  }
}

TEST_F(HttpProxy, TunnelAfterProxyAuthenticationAndNeverAPlainRequestAfterARefusal) {
  for (TScheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    http_test::THttpTestServer origin([](const http_test::TRecordedRequest&) { return Hello(); });
    TChecker checker(scheme);
    checker.Uri = "/p";
    TTestProxy proxy([&](const TProxyRequest& r, std::string& state) {
      TProxyAction a;
      if (r.Method == "CONNECT" && checker.Check(r, state, a.Bytes)) {
        a.Kind = TProxyAction::Tunnel;
        a.Bytes = "HTTP/1.0 200 Connection established\r\n\r\n";
      }
      return a;
    });
    SetUp();
    ViaProxy(proxy);
    const TOutcome out = Get("https://127.0.0.1:" + origin.PortText() + "/p");
    EXPECT_EQ(out.Status, 200);
    EXPECT_EQ(out.Body, "hello");
    EXPECT_EQ(Cli->TlsStarts, 1);
    EXPECT_TRUE(checker.Problems.empty()) << checker.Problems.front();
    const auto seen = proxy.Requests();
    ASSERT_EQ(seen.size(), scheme == TScheme::Ntlm ? 3u : 2u);
    for (const auto& r : seen) EXPECT_EQ(r.Method, "CONNECT");
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_FALSE(origin.Requests().back().HasHeader("Proxy-Authorization"));
  }

  // A proxy that refuses and keeps the connection: the next https request asks again.
  TTestProxy refusing([&](const TProxyRequest& r, std::string&) {
    TProxyAction a;
    a.Bytes = ProxyAnswer("HTTP/1.1 403 Forbidden", {"Connection: keep-alive"}, "no");
    return a;
  });
  SetUp();
  Cli->SetRequestVer("1.1");
  ViaProxy(refusing);
  const std::string target = "127.0.0.1:9";  // never reached: the proxy refuses
  EXPECT_EQ(Get("https://" + target + "/p").Reason, "proxy refused the tunnel: 403 Forbidden");
  EXPECT_TRUE(Get("https://" + target + "/q").Raised);
  const auto seen = refusing.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].Method, "CONNECT");
}

TEST_F(HttpProxy, PresetSchemesAndAPostWhoseBodyWaitsForTheNtlmExchange) {
  http_test::THttpTestServer origin([](const http_test::TRecordedRequest&) { return Hello(); });
  // A scheme named in advance: Basic goes with the first request, NTLM starts with its
  // negotiate message, Digest still waits for the proxy's nonce.
  struct Case { TScheme scheme; THttpAuthType preset; size_t requests; };
  const Case cases[] = {{TScheme::Basic, THttpAuthType::httpAuthBasic, 1},
                        {TScheme::Ntlm, THttpAuthType::httpAuthNtlm, 2},
                        {TScheme::Digest, THttpAuthType::httpAuthDigest, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Name(c.scheme));
    TChecker checker(c.scheme);
    checker.Uri = "/p";
    TTestProxy proxy([&](const TProxyRequest& r, std::string& state) {
      TProxyAction a;
      if (checker.Check(r, state, a.Bytes)) a.Kind = TProxyAction::Forward;
      return a;
    });
    SetUp();
    ViaProxy(proxy);
    Cli->SetProxyAuth(c.preset);
    EXPECT_EQ(Get(origin.Url("/p")).Body, "hello");
    EXPECT_TRUE(checker.Problems.empty()) << checker.Problems.front();
    EXPECT_EQ(proxy.Requests().size(), c.requests);
    EXPECT_EQ(proxy.Requests()[0].Has("proxy-authorization"), c.scheme != TScheme::Digest);
  }

  // POST: while NTLM negotiates the body is announced empty and held back; it goes with the
  // authenticated request, once, and reaches the origin whole.
  TChecker checker(TScheme::Ntlm);
  TTestProxy proxy([&](const TProxyRequest& r, std::string& state) {
    TProxyAction a;
    if (checker.Check(r, state, a.Bytes)) a.Kind = TProxyAction::Forward;
    return a;
  });
  SetUp();
  ViaProxy(proxy);
  runtime::TMemoryStream body;
  body.Write(std::string("a=1&b=%C4%8D"));
  body.Seek(0, runtime::TMemoryStream::TSeekOrigin::Beginning);
  Cli->SetBodyStream(&body);
  Cli->SetURL(origin.Url("/post"));
  Cli->SyncPost();
  EXPECT_EQ(Cli->StatusCode(), 200);
  EXPECT_TRUE(checker.Problems.empty()) << checker.Problems.front();
  const auto seen = proxy.Requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].Header("content-length"), "12");
  EXPECT_EQ(seen[0].Body, "a=1&b=%C4%8D");
  EXPECT_EQ(seen[1].Header("content-length"), "0");
  EXPECT_EQ(seen[1].Body, "");
  EXPECT_EQ(seen[2].Header("content-length"), "12");
  EXPECT_EQ(seen[2].Body, "a=1&b=%C4%8D");
  EXPECT_EQ(origin.Requests().back().Body, "a=1&b=%C4%8D");
  EXPECT_EQ(origin.Requests().back().Method, "POST");
}

TEST_F(HttpProxy, ATunnelWithoutTlsContextFailsTheRequestAtOnce) {
  http_test::THttpTestServer origin([](const http_test::TRecordedRequest&) { return Hello(); });
  TTestProxy proxy([](const TProxyRequest&, std::string&) {
    TProxyAction a;
    a.Kind = TProxyAction::Tunnel;
    a.Bytes = "HTTP/1.0 200 Connection established\r\n\r\n";
    return a;
  });
  http::TSslHttpCli cli;  // its context is the caller's, and none was given
  runtime::TMemoryStream reply;
  cli.SetReplyStream(&reply);
  cli.SetTimeout(10);
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(proxy.PortText());
  cli.SetURL("https://127.0.0.1:" + origin.PortText() + "/p");
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  try {
    cli.SyncGet();
  } catch (const EHttpException& e) {
    error = e.what();
  }
  EXPECT_EQ(error, tls::kSslContextRequired);
  EXPECT_EQ(cli.StatusCode(), 404);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << "ended, not timed out";
  EXPECT_TRUE(origin.Requests().empty());
}

TEST_F(HttpProxy, ARelocationOrTheNextRequestToAnotherHostGetsATunnelOfItsOwnCredentialsOnlyForItsOwnSiteAndNeedsAHost) {
  std::string location;
  auto site = [&](const http_test::TRecordedRequest& r) {
    http_test::TScriptedReply out;
    out.Bytes = r.Target.ends_with("/go")
                    ? http_test::LengthReply("HTTP/1.0 302 Found", "", "Connection: keep-alive\r\nLocation: " + location + "\r\n")
                : r.Header("Authorization") == "Basic " + http::Base64Encode("alice:secret")
                    ? http_test::LengthReply("HTTP/1.0 200 OK", "in")
                    : http_test::LengthReply("HTTP/1.0 401 No", "", "WWW-Authenticate: Basic realm=\"r\"\r\n");
    out.Close = false;
    return out;
  };
  http_test::THttpTestServer a(site), b(site);
  TTestProxy proxy([](const TProxyRequest&, std::string&) {
    return TProxyAction{TProxyAction::Tunnel, "HTTP/1.0 200 Connection established\r\n\r\n"};
  });
  const std::string ta = "127.0.0.1:" + a.PortText(), tb = "127.0.0.1:" + b.PortText();
  const struct { bool tunnel; std::string to, outcome; } cases[] = {
      {true, "https://" + tb + "/s", "No"},  // B asks, through a tunnel to B
      {true, "https://:" + b.PortText() + "/s", "relocation to an address without a host"},
      {false, a.Url("/s"), "inOK"},  // the same site: credentials stay
      {false, b.Url("/s"), "No"}};
  for (const auto& c : cases) {
    location = c.to;
    SetUp();
    if (c.tunnel) ViaProxy(proxy);
    Cli->SetUsername("alice");
    Cli->SetPassword("secret");
    const TOutcome out = Get(c.tunnel ? "https://" + ta + "/go" : a.Url("/go"));
    EXPECT_EQ(out.Body + out.Reason, c.outcome) << c.to;
  }
  std::vector<std::string> tunnels;
  for (const auto& r : proxy.Requests()) tunnels.push_back(r.Target);
  EXPECT_EQ(tunnels, (std::vector<std::string>{ta, tb, ta}));
  for (const auto& r : b.Requests()) EXPECT_FALSE(r.HasHeader("Authorization")) << r.Head;
  // Nor does a request go to an address without a host: it fails before any connection.
  EXPECT_EQ(Get(cases[1].to).Reason, "no host in the address");
  EXPECT_EQ(proxy.Requests().size(), 3u);

  // Requests in a row: the kept tunnel to C carries C's next request, but D gets its own.
  auto kept = [](const http_test::TRecordedRequest&) {
    http_test::TScriptedReply out;
    out.Bytes = http_test::LengthReply("HTTP/1.0 200 OK", "kept", "Connection: keep-alive\r\n");
    out.Close = false;
    return out;
  };
  http_test::THttpTestServer c(kept), d(kept);
  SetUp();
  ViaProxy(proxy);
  for (const auto* site : {&c, &c, &d}) EXPECT_EQ(Get("https://127.0.0.1:" + site->PortText() + "/k").Body, "kept");
  tunnels.clear();
  for (const auto& r : proxy.Requests()) tunnels.push_back(r.Target);
  EXPECT_EQ(tunnels, (std::vector<std::string>{ta, tb, ta, "127.0.0.1:" + c.PortText(), "127.0.0.1:" + d.PortText()}));
  EXPECT_EQ(c.Requests().size(), 2u);
  EXPECT_EQ(d.Requests().size(), 1u);
}

TEST_F(HttpProxy, ARequestThatNeverEndsIsCutAtItsLimit) {
  http_test::THttpTestServer slow([](const http_test::TRecordedRequest&) {
    http_test::TScriptedReply r = Hello();
    r.DripMs = 400;  // 40 bytes: 16 s, never silent for long
    return r;
  });
  TTestProxy proxy([](const TProxyRequest&, std::string&) {
    return TProxyAction{TProxyAction::Answer, "HTTP/1.0 200 Connection established\r\nVia: a b c\r\n\r\n", false, 400};
  });
  for (bool viaProxy : {false, true}) {
    SetUp();
    if (viaProxy) ViaProxy(proxy);
    Cli->SetRequestLimit(2);
    EXPECT_EQ(Get(viaProxy ? "https://127.0.0.1:9/p" : slow.Url("/p")).Reason, "request took longer than 2 s");
  }
}

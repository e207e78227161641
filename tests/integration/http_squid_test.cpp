// The client through a real proxy: the system's squid on 127.0.0.1, asking in turn for Basic,
// Digest and NTLM, forwarding to an HTTP site and tunnelling to an HTTPS site of the test.
// squid checks the answers with its own helpers (NTLM's accepts any credentials, so there it
// proves the message exchange). If squid cannot start the test fails with its logs.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "http/ssl_http_cli.h"
#include "runtime/byte_stream.h"
#include "tests/support/http_test_server.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tls_test_server.h"

namespace {

using proxy_test::TSquidProxy;
using proxy_test::TSquidScheme;

struct TOutcome {
  std::string Error;
  int Status = 0;
  std::string Body;
};

TOutcome Get(http::THttpCli& cli, const std::string& url) {
  runtime::TMemoryStream reply;
  cli.SetReplyStream(&reply);
  cli.SetURL(url);
  cli.SetTimeout(20);
  TOutcome out;
  try {
    cli.SyncGet();
  } catch (const http::EHttpException& e) {
    out.Error = e.what();
  }
  out.Status = cli.StatusCode();
  out.Body = std::string(reply.Bytes());
  cli.SetReplyStream(nullptr);
  return out;
}

void ViaSquid(http::THttpCli& cli, const TSquidProxy& squid, const std::string& user, const std::string& password) {
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(squid.PortText());
  cli.SetProxyUsername(user);
  cli.SetProxyPassword(password);
}

}  // namespace

TEST(HttpSquid, EachSchemeForwardsToHttpAndTunnelsToHttps) {
  tls::TSslContext context;
  context.SetSslCAFile(tls_test::TTestPki::Get().CaFile);
  context.SetSslVerifyPeer(true);

  struct Case { TSquidScheme scheme; const char* name; std::string user; std::string logged; };
  const Case cases[] = {
      {TSquidScheme::Basic, "Basic", proxy_test::kSquidUser, proxy_test::kSquidUser},
      {TSquidScheme::Digest, "Digest", proxy_test::kSquidUser, proxy_test::kSquidUser},
      // squid logs the NTLM user with its domain, the backslash escaped.
      {TSquidScheme::Ntlm, "NTLM", std::string("FIELD\\") + proxy_test::kSquidUser,
       std::string("FIELD\\\\") + proxy_test::kSquidUser},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSquidProxy squid(c.scheme);
    const std::string failure = squid.Start();
    ASSERT_EQ(failure, "") << "squid did not start";

    http_test::THttpTestServer site([](const http_test::TRecordedRequest&) {
      http_test::TScriptedReply r;
      r.Bytes = http_test::LengthReply("HTTP/1.0 200 OK", "listing page");
      return r;
    });
    std::mutex lock;
    std::vector<std::string> tlsRequests;
    tls_test::TTlsTestServer::TOptions options;
    options.MaxConnections = 4;
    tls_test::TTlsTestServer tlsSite(
        [&](tls_test::TTlsConnection& conn) {
          std::string request;
          if (!conn.ReadUntil("\r\n\r\n", request)) return;
          {
            std::lock_guard<std::mutex> hold(lock);
            tlsRequests.push_back(request);
          }
          conn.Write("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nsigned in");
        },
        options);

    // A wrong password is refused and ends with the proxy's 407, not an error.
    if (c.scheme != TSquidScheme::Ntlm) {
      http::THttpCli refused;
      ViaSquid(refused, squid, c.user, "not-the-password");
      const TOutcome out = Get(refused, site.Url("/geocache/GC1"));
      EXPECT_EQ(out.Error, "");
      EXPECT_EQ(out.Status, 407) << squid.Logs();
    }

    http::THttpCli plain;
    ViaSquid(plain, squid, c.user, proxy_test::kSquidPassword);
    plain.SetCookie("ASP.NET_SessionId=abc");
    TOutcome out = Get(plain, site.Url("/geocache/GC1"));
    EXPECT_EQ(out.Error, "");
    EXPECT_EQ(out.Status, 200) << squid.Logs();
    EXPECT_EQ(out.Body, "listing page");
    // Each request answers the proxy anew (a Digest nonce count must not go back).
    out = Get(plain, site.Url("/geocache/GC2"));
    EXPECT_EQ(out.Status, 200) << squid.Logs();
    const auto reached = site.Requests();
    ASSERT_EQ(reached.size(), 2u) << squid.Logs();
    EXPECT_EQ(reached[0].Target, "/geocache/GC1");
    EXPECT_EQ(reached[0].Header("Cookie"), "ASP.NET_SessionId=abc");
    EXPECT_FALSE(reached[0].HasHeader("Proxy-Authorization"));

    http::TSslHttpCli secure;
    secure.SetSslContext(&context);
    ViaSquid(secure, squid, c.user, proxy_test::kSquidPassword);
    secure.SetCookie("ASP.NET_SessionId=abc");
    out = Get(secure, "https://localhost:" + tlsSite.PortText() + "/account/login");
    EXPECT_EQ(out.Error, "");
    EXPECT_EQ(out.Status, 200) << squid.Logs();
    EXPECT_EQ(out.Body, "signed in");
    tlsSite.Stop();
    ASSERT_EQ(tlsRequests.size(), 1u) << squid.Logs();
    EXPECT_EQ(tlsRequests[0].find("GET https://localhost:" + tlsSite.PortText() + "/account/login HTTP/1.0\r\n"), 0u)
        << tlsRequests[0];
    EXPECT_NE(tlsRequests[0].find("\r\nCookie: ASP.NET_SessionId=abc\r\n"), std::string::npos);
    EXPECT_EQ(tlsRequests[0].find("Proxy-Authorization"), std::string::npos);

    // squid's own record: the forwarded request and the tunnel, each under the user's name.
    const std::string log = squid.AccessLogWith({"TCP_TUNNEL/200", "CONNECT localhost:" + tlsSite.PortText()});
    EXPECT_NE(log.find("TCP_MISS/200"), std::string::npos) << log;
    EXPECT_NE(log.find("GET " + site.Url("/geocache/GC1") + " " + c.logged), std::string::npos) << log;
    EXPECT_NE(log.find("TCP_TUNNEL/200"), std::string::npos) << log;
    EXPECT_NE(log.find("CONNECT localhost:" + tlsSite.PortText()), std::string::npos) << log;
  }
}

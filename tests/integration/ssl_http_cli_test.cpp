// HTTPS requests: TSslHttpCli with the caller's context, and the plain client following a
// relocation to "https", against TLS servers on 127.0.0.1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "http/ssl_http_cli.h"
#include "runtime/byte_stream.h"
#include "tests/support/http_test_server.h"
#include "tests/support/tls_test_server.h"

namespace {

using http::EHttpException;
using http::THttpRequest;
using tls_test::TServerCert;
using tls_test::TTlsConnection;
using tls_test::TTlsTestServer;

// An HTTPS site: answers every request with `body`, and records the requests.
struct TTlsSite {
  explicit TTlsSite(const std::string& body, TServerCert cert = TServerCert::Valid, int connections = 4)
      : Server(
            [this, body](TTlsConnection& c) {
              std::string request;
              if (!c.ReadUntil("\r\n\r\n", request)) return;
              const size_t at = request.find("Content-Length: ");
              const size_t head = request.find("\r\n\r\n") + 4;
              if (at != std::string::npos) c.ReadExactly(head + std::stoul(request.substr(at + 16)), request);
              {
                std::lock_guard<std::mutex> guard(Lock);
                Requests.push_back(request);
              }
              c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            },
            Options(cert, connections)) {}

  static TTlsTestServer::TOptions Options(TServerCert cert, int connections) {
    TTlsTestServer::TOptions o;
    o.Cert = cert;
    o.MaxConnections = connections;
    return o;
  }
  std::string Url(const std::string& path) const { return "https://localhost:" + Server.PortText() + path; }
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> guard(Lock);
    return Requests;
  }

  std::mutex Lock;
  std::vector<std::string> Requests;
  TTlsTestServer Server;
};

struct TOutcome {
  std::string Error;  // the exception's message, "" when none
  int Status = 0;
  std::string Body;
};

TOutcome Request(http::THttpCli& cli, const std::string& url, THttpRequest kind = THttpRequest::httpGET,
             const std::string& body = "") {
  runtime::TMemoryStream reply, post;
  post.Write(body);
  post.Seek(0, runtime::TMemoryStream::TSeekOrigin::Beginning);
  cli.SetReplyStream(&reply);
  cli.SetBodyStream(&post);
  cli.SetURL(url);
  cli.SetTimeout(10);
  TOutcome out;
  try {
    cli.SetLocationChangeCurCount(0);
    cli.SyncRequest(kind);
  } catch (const EHttpException& e) {
    out.Error = e.what();
  }
  out.Status = cli.StatusCode();
  out.Body = std::string(reply.Bytes());
  cli.SetReplyStream(nullptr);
  cli.SetBodyStream(nullptr);
  return out;
}

TEST(SslHttpClient, GetAndPostGoOutOnlyOverAVerifiedConnection) {
  tls::TSslContext context;
  context.SetSslCAFile(tls_test::TTestPki::Get().CaFile);
  context.SetSslVerifyPeer(true);
  {
    TTlsSite site("<html>signed in</html>");
    http::TSslHttpCli cli;
    cli.SetSslContext(&context);
    int handshakes = 0;
    cli.OnSslHandshakeDone = [&](http::TSslHttpCli*, int error, const tls::TX509Base& cert, bool&) {
      EXPECT_EQ(0, error);
      EXPECT_EQ("/O=Test PKI/CN=localhost", cert.SubjectOneLine());
      ++handshakes;
    };
    TOutcome get = Request(cli, site.Url("/login"));
    EXPECT_EQ("", get.Error);
    EXPECT_EQ(200, get.Status);
    EXPECT_EQ("<html>signed in</html>", get.Body);
    TOutcome post = Request(cli, site.Url("/login"), THttpRequest::httpPOST, "user=a&pass=%C4%8D");
    EXPECT_EQ(200, post.Status);
    EXPECT_EQ(2, handshakes);
    const auto requests = site.Taken();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(0u, requests[0].find("GET /login HTTP/1.0\r\n"));
    EXPECT_NE(std::string::npos, requests[0].find("\r\nHost: localhost:" + site.Server.PortText() + "\r\n"));
    EXPECT_EQ(0u, requests[1].find("POST /login HTTP/1.0\r\n"));
    EXPECT_EQ("user=a&pass=%C4%8D", requests[1].substr(requests[1].size() - 18));
  }
  for (TServerCert cert : {TServerCert::Untrusted, TServerCert::Expired}) {
    // A certificate that does not check out: the request (and a password in it) never leaves.
    TTlsSite site("secret page", cert);
    http::TSslHttpCli cli;
    cli.SetSslContext(&context);
    TOutcome out = Request(cli, site.Url("/login"), THttpRequest::httpPOST, "password=x");
    EXPECT_EQ("SSL handshake failed", out.Error);
    EXPECT_EQ(404, out.Status);
    EXPECT_EQ(3, cli.RequestDoneError());
    EXPECT_NE(std::string::npos, cli.SslErrorText().find("certificate verify failed")) << cli.SslErrorText();
    site.Server.Stop();
    EXPECT_TRUE(site.Taken().empty());
    EXPECT_EQ(0, site.Server.Handshakes());
  }
  {
    // Verification off accepts the same certificate; a handler may still call the connection off.
    tls::TSslContext lax;
    TTlsSite site("page", TServerCert::Untrusted);
    http::TSslHttpCli cli;
    cli.SetSslContext(&lax);
    EXPECT_EQ("page", Request(cli, site.Url("/")).Body);
    cli.OnSslHandshakeDone = [](http::TSslHttpCli*, int, const tls::TX509Base&, bool& disconnect) {
      disconnect = true;
    };
    TOutcome out = Request(cli, site.Url("/"));
    EXPECT_EQ("SSL custom abort", out.Error);
    site.Server.Stop();
    EXPECT_EQ(1u, site.Taken().size());
  }
}

// A body that runs to the close is complete only when the server ends the stream with its
// close alert; a connection cut without it may have lost the end of the page.
TEST(SslHttpClient, ABodyEndingAtTheCloseNeedsTheCloseAlert) {
  tls::TSslContext context;
  context.SetSslCAFile(tls_test::TTestPki::Get().CaFile);
  context.SetSslVerifyPeer(true);
  struct TCase {
    const char* Name;
    std::string Reply;
    bool Alert;  // the server ends with its close alert
    std::string Error;
    bool CloseAtOnce = false;  // and closes without waiting for the client's alert
  };
  const std::string page = "<html>" + std::string(20000, 'p') + "</html>";
  const std::vector<TCase> cases = {
      {"to the close, with alert", "HTTP/1.0 200 OK\r\n\r\n" + page, true, ""},
      {"to the close, alert and gone", "HTTP/1.0 200 OK\r\n\r\n" + page, true, "", true},
      {"to the close, cut", "HTTP/1.0 200 OK\r\n\r\n" + page, false,
       "Connection closed before the end of the reply body"},
      {"header-less, cut", page, false, "Connection closed before the end of the reply body"},
      {"with length, cut after it", "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
                                        "\r\n\r\n" + page, false, ""},
  };
  for (const TCase& c : cases) {
    TTlsTestServer server(
        [&](TTlsConnection& conn) {
          std::string request;
          if (!conn.ReadUntil("\r\n\r\n", request)) return;
          conn.Write(c.Reply);
          if (c.Alert && c.CloseAtOnce) conn.Shutdown();
          if (!c.Alert || c.CloseAtOnce) conn.CloseWithoutNotify();
        },
        TTlsSite::Options(TServerCert::Valid, 1));
    http::TSslHttpCli cli;
    cli.SetSslContext(&context);
    const TOutcome out = Request(cli, "https://localhost:" + server.PortText() + "/page");
    EXPECT_EQ(c.Error, out.Error) << c.Name;
    if (c.Error.empty()) {
      EXPECT_EQ(page, out.Body) << c.Name;
    }
  }
}

TEST(SslHttpClient, ThePlainClientFollowsARelocationToHttpsWithTheSameVerification) {
  // The plain client's context trusts what the system trusts: here, the test authority.
  ::setenv("SSL_CERT_FILE", tls_test::TTestPki::Get().CaFile.c_str(), 1);
  for (TServerCert cert : {TServerCert::Valid, TServerCert::Expired}) {
    TTlsSite site("listing over TLS", cert);
    http_test::THttpTestServer plain([&](const http_test::TRecordedRequest&) {
      http_test::TScriptedReply r;
      r.Bytes = "HTTP/1.0 302 Found\r\nLocation: " + site.Url("/geocache/GC1") + "\r\nContent-Length: 0\r\n\r\n";
      return r;
    });
    http::THttpCli cli;
    TOutcome out = Request(cli, plain.Url("/geocache/GC1"));
    site.Server.Stop();
    if (cert == TServerCert::Valid) {
      EXPECT_EQ("", out.Error);
      EXPECT_EQ(200, out.Status);
      EXPECT_EQ("listing over TLS", out.Body);
      ASSERT_EQ(1u, site.Taken().size());
      EXPECT_EQ(0u, site.Taken()[0].find("GET /geocache/GC1 HTTP/1.0\r\n"));
    } else {
      EXPECT_EQ("SSL handshake failed", out.Error);
      EXPECT_TRUE(site.Taken().empty());
    }
  }
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace

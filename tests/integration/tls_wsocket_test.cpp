// TLS over the asynchronous socket against TLS servers on 127.0.0.1.

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/integration/net_test_server.h"
#include "tests/support/tls_test_server.h"
#include "tests/unit/net/net_test_pump.h"
#include "tls/ssl_context.h"
#include "tls/ssl_wsocket.h"

namespace {

using net_test::PumpFor;
using net_test::PumpUntil;
using tls::TCustomSslWSocket;
using tls_test::TServerCert;
using tls_test::TTlsConnection;
using tls_test::TTlsTestServer;

// One client socket with a context trusting the test authority, and a log of its events.
struct TClient {
  explicit TClient(bool verify = true, const std::string& serverName = "localhost") {
    Context.SetSslCAFile(tls_test::TTestPki::Get().CaFile);
    Context.SetSslVerifyPeer(verify);
    Socket.SetSslContext(&Context);
    Socket.SslServerName = serverName;
    Socket.OnSessionConnected = [this](net::TCustomWSocket*, int error) {
      Log.push_back("connected " + std::to_string(error));
      for (const std::string& piece : EarlySends) Socket.Send(piece.data(), static_cast<int>(piece.size()));
    };
    Socket.OnSslHandshakeDone = [this](TCustomSslWSocket*, int error, const tls::TX509Base& cert, bool& disconnect) {
      Log.push_back("handshake " + std::to_string(error));
      HandshakeError = error;
      PeerSubject = cert.SubjectOneLine();
      Version = Socket.SslVersion();
      disconnect = DisconnectOnHandshake;
    };
    Socket.OnDataAvailable = [this](net::TCustomWSocket* s, int) {
      char buf[5000];  // smaller than a record: several receives per record
      const int n = s->Receive(buf, sizeof buf);
      if (n > 0) Data.append(buf, static_cast<size_t>(n));
      if (n > 0 && (Log.empty() || Log.back() != "data")) Log.push_back("data");
    };
    Socket.OnDataSent = [this](net::TCustomWSocket*, int) { ++Sent; };
    Socket.OnSessionClosed = [this](net::TCustomWSocket*, int error) {
      Log.push_back("closed " + std::to_string(error));
      ++Closed;
      CloseError = error;
    };
    Socket.OnSslShutDownComplete = [this](TCustomSslWSocket*, bool bidirectional, int) {
      ShutdownBidirectional = bidirectional;
      ++Shutdowns;
    };
  }

  void Connect(uint16_t port) {
    Socket.SetSslEnable(true);
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(std::to_string(port));
    Socket.SetProto("tcp");
    Socket.Connect();
  }

  void SendText(const std::string& text) { Socket.Send(text.data(), static_cast<int>(text.size())); }

  tls::TSslContext Context;
  tls::TSslWSocket Socket;
  std::vector<std::string> Log;
  std::vector<std::string> EarlySends;
  std::string Data, PeerSubject, Version;
  bool DisconnectOnHandshake = false, ShutdownBidirectional = false;
  int HandshakeError = -1, Sent = 0, Closed = 0, CloseError = -1, Shutdowns = 0;
};

TEST(TlsSocket, HandshakeAndDataSplitIntoManySmallPiecesBothWays) {
  // The server sends every record in 7-byte pieces with pauses between them; the client sends
  // 300 small pieces, all queued from OnSessionConnected, before the handshake.
  TTlsTestServer::TOptions options;
  options.Chunk = 7;
  options.ChunkDelayUs = 50;
  std::string expected;
  TClient client;
  for (int i = 0; i < 300; ++i) {
    client.EarlySends.push_back(net_test::Pattern(1 + i % 13, i));
    expected += client.EarlySends.back();
  }
  std::string serverGot;
  TTlsTestServer server(
      [&](TTlsConnection& c) {
        if (c.ReadExactly(expected.size(), serverGot)) c.Write(serverGot);
      },
      options);
  client.Connect(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return client.Data.size() >= expected.size(); }, 30000)) << client.Data.size();
  EXPECT_EQ(expected, serverGot);
  EXPECT_EQ(expected, client.Data);
  EXPECT_EQ(0, client.HandshakeError);
  EXPECT_EQ("/O=Test PKI/CN=localhost", client.PeerSubject);
  EXPECT_EQ("TLSv1.3", client.Socket.SslVersion());
  EXPECT_NE("Unknown", client.Socket.SslCipher());
  EXPECT_GE(client.Sent, 1);
  ASSERT_GE(client.Log.size(), 3u);
  EXPECT_EQ("connected 0", client.Log[0]);
  EXPECT_EQ("handshake 0", client.Log[1]);
  EXPECT_EQ("data", client.Log[2]);
  // The server's close alert ends the connection properly.
  ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 10000));
  PumpFor(50);
  EXPECT_EQ(1, client.Closed);
  EXPECT_EQ(0, client.CloseError);
  EXPECT_TRUE(client.ShutdownBidirectional);
  EXPECT_FALSE(client.Socket.SslEnable());  // set again for each connection
}

TEST(TlsSocket, LargeTransfersBothWaysArriveIntactAndAllDataPrecedesTheClose) {
  const size_t kSize = 8u << 20;
  const std::string upload = net_test::Pattern(kSize, 7);
  const std::string download = net_test::Pattern(kSize, 8);
  std::string serverGot;
  TTlsTestServer server([&](TTlsConnection& c) {
    if (!c.ReadExactly(kSize, serverGot)) return;
    c.Write(download);
    c.Shutdown();  // the close alert right after the last record
    std::string rest;
    c.ReadToEnd(rest);
  });
  TClient client;
  // Protocol 1.2 here (1.3 in the other tests): its handshake has a flight more.
  client.Context.SetSslOptions({tls::TSslOption::sslOpt_NO_TLSv1_3});
  client.Socket.OnSessionConnected = [&](net::TCustomWSocket*, int) { client.SendText(upload); };
  client.Connect(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 60000)) << client.Data.size();
  EXPECT_EQ("TLSv1.2", client.Version);
  EXPECT_EQ(kSize, serverGot.size());
  EXPECT_TRUE(serverGot == upload);
  EXPECT_EQ(kSize, client.Data.size());
  EXPECT_TRUE(client.Data == download);
  EXPECT_EQ(0, client.CloseError);
  EXPECT_EQ(1, client.Sent);  // once, after the network took the last encrypted byte
}

TEST(TlsSocket, StreamsEndingWithoutOrWithCloseAlert) {
  struct TCase {
    const char* Name;
    bool ServerNotifies;  // the server ends with its close alert
    bool ClientCloses;    // the client closes first
    int ExpectedError;
  };
  const TCase cases[] = {
      {"cut short", false, false, 10053},
      {"server close alert", true, false, 0},
      {"client close", false, true, 0},
  };
  // More than the socket reads per notification: the close is seen while most of it is unread.
  const std::string reply = net_test::Pattern(3u << 20, 3);
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    bool serverSawAlert = false;
    TTlsTestServer server([&](TTlsConnection& c) {
      c.Write(reply);
      if (tc.ClientCloses) {
        std::string rest;
        serverSawAlert = c.ReadToEnd(rest);
        return;
      }
      if (tc.ServerNotifies) c.Shutdown();
      c.CloseWithoutNotify();
    });
    TClient client;
    client.Connect(server.Port());
    if (tc.ClientCloses) {
      ASSERT_TRUE(PumpUntil([&] { return client.Data.size() == reply.size(); }, 20000));
      client.Socket.Close();
    }
    ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 20000));
    PumpFor(50);
    EXPECT_EQ(1, client.Closed);
    EXPECT_EQ(reply.size(), client.Data.size());
    EXPECT_TRUE(client.Data == reply);
    EXPECT_EQ(tc.ExpectedError, client.CloseError);
    EXPECT_EQ("closed " + std::to_string(tc.ExpectedError), client.Log.back());
    server.Stop();
    if (tc.ClientCloses) {
      EXPECT_TRUE(serverSawAlert);
    }
  }
}

TEST(TlsSocket, CertificateChecksRefuseWithAClearErrorAndAcceptWhenOff) {
  struct TCase {
    const char* Name;
    TServerCert Cert;
    const char* ServerName;
    long VerifyResult;
    const char* Reason;
  };
  const TCase cases[] = {
      {"untrusted", TServerCert::Untrusted, "localhost", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, "self-signed certificate"},
      {"expired", TServerCert::Expired, "localhost", X509_V_ERR_CERT_HAS_EXPIRED, "certificate has expired"},
      {"wrong host", TServerCert::Valid, "www.example.org", X509_V_ERR_HOSTNAME_MISMATCH, "hostname mismatch"},
      {"wrong address", TServerCert::Valid, "127.0.0.2", X509_V_ERR_IP_ADDRESS_MISMATCH, "IP address mismatch"},
  };
  for (const TCase& tc : cases) {
    for (bool verify : {true, false}) {
      SCOPED_TRACE(std::string(tc.Name) + (verify ? " verified" : " not verified"));
      TTlsTestServer::TOptions options;
      options.Cert = tc.Cert;
      std::string request;
      TTlsTestServer server([&](TTlsConnection& c) { c.ReadUntil("\n", request); c.Write("welcome"); }, options);
      TClient client(verify, tc.ServerName);
      client.EarlySends = {"secret password\n"};
      client.Connect(server.Port());
      ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 10000));
      PumpFor(50);
      server.Stop();
      if (verify) {
        EXPECT_EQ(1, client.HandshakeError);
        EXPECT_EQ(10053, client.CloseError);
        EXPECT_EQ(tc.VerifyResult, client.Socket.SslVerifyResult());
        EXPECT_NE(std::string::npos, client.Socket.SslErrorText().find(std::string("certificate verify failed: ") + tc.Reason))
            << client.Socket.SslErrorText();
        EXPECT_EQ("", request);  // nothing queued went out
        EXPECT_EQ(0, server.Handshakes());
      } else {
        EXPECT_EQ(0, client.HandshakeError);
        EXPECT_EQ("secret password\n", request);
        EXPECT_EQ("welcome", client.Data);
      }
    }
  }
}

TEST(TlsSocket, AVerifyHandlerSeesEachCertificateAndMayAcceptOne) {
  TTlsTestServer::TOptions options;
  options.Cert = TServerCert::Untrusted;
  TTlsTestServer server([](TTlsConnection& c) { c.Write("pinned"); }, options);
  TClient client;
  std::vector<std::string> seen;
  client.Socket.OnSslVerifyPeer = [&](TCustomSslWSocket*, bool& ok, const tls::TX509Base& cert) {
    seen.push_back(cert.SubjectOneLine() + " " + std::to_string(cert.VerifyResult()) + (ok ? " ok" : " refused"));
    ok = true;  // the caller knows this certificate
    PumpFor(20);  // a handler that runs the message loop (asking the user, say) is safe
  };
  client.Connect(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return client.Data == "pinned"; }, 10000));
  EXPECT_EQ(0, client.HandshakeError);
  EXPECT_EQ(0, client.Socket.SslVerifyResult());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ("/O=Test PKI/CN=localhost 18 refused", seen[0]);
  ASSERT_EQ(1u, client.Socket.SslCertChain().Items().size());
  EXPECT_EQ(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, client.Socket.SslCertChain().Items()[0].FirstVerifyResult());
}

TEST(TlsSocket, AServerThatSpeaksNoTlsFailsTheHandshakeThenCloses) {
  net_test::TLoopbackServer server([](int fd, const std::atomic<bool>& stopping) {
    net_test::WaitReadable(fd, stopping);
    net_test::WriteAll(fd, "HTTP/1.0 400 Bad Request\r\n\r\n", 28);
  });
  TClient client;
  client.Connect(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 10000));
  PumpFor(50);
  ASSERT_EQ(3u, client.Log.size());
  EXPECT_EQ("connected 0", client.Log[0]);
  EXPECT_EQ("handshake 1", client.Log[1]);
  EXPECT_EQ("closed 10053", client.Log[2]);
  EXPECT_EQ("", client.Data);
  EXPECT_NE("", client.Socket.SslErrorText());
}

TEST(TlsSocket, HandshakeOnAnOpenPlainConnectionAndDisconnectFromTheHandshakeReport) {
  // The server speaks plain text first, as a proxy answering a tunnel request would.
  SSL_CTX* serverCtx = tls_test::NewServerContext(TServerCert::Valid);
  std::string afterHandshake;
  net_test::TLoopbackServer server(
      [&](int fd, const std::atomic<bool>& stopping) {
        std::string line;
        while (line.find('\n') == std::string::npos && net_test::WaitReadable(fd, stopping)) {
          char buf[256];
          const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0) return;
          line.append(buf, static_cast<size_t>(n));
        }
        net_test::WriteAll(fd, "200 tunnel open\n", 16);
        TTlsConnection tls(::dup(fd), serverCtx, 10000, 0, 0);
        if (!tls.Handshake()) return;
        tls.ReadSome(afterHandshake);  // nothing: the client disconnects at the report
      },
      2);
  TClient client;
  client.Socket.SetAddr("127.0.0.1");
  client.Socket.SetPort(server.PortText());
  client.Socket.OnSessionConnected = [&](net::TCustomWSocket* s, int) { s->SendText("CONNECT localhost\n"); };
  client.Socket.OnDataAvailable = [&](net::TCustomWSocket* s, int) {
    char buf[256];
    const int n = s->Receive(buf, sizeof buf);
    if (n > 0) client.Data.append(buf, static_cast<size_t>(n));
  };
  client.Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return client.Data == "200 tunnel open\n"; }));
  client.DisconnectOnHandshake = true;
  client.Socket.SetSslEnable(true);
  client.Socket.StartSslHandshake();
  char nothing[16];
  EXPECT_EQ(-1, client.Socket.Receive(nothing, sizeof nothing));  // nothing decrypted yet
  EXPECT_EQ(10035, client.Socket.LastError());
  client.SendText("never sent\n");
  ASSERT_TRUE(PumpUntil([&] { return client.Closed > 0; }, 10000));
  EXPECT_EQ(0, client.HandshakeError);
  EXPECT_EQ(0, client.CloseError);
  EXPECT_EQ(1, client.Shutdowns);
  server.Stop();
  EXPECT_EQ("", afterHandshake);
  SSL_CTX_free(serverCtx);

  // Without a context the handshake cannot start.
  tls::TSslWSocket bare;
  bare.SetSslEnable(true);
  try {
    bare.StartSslHandshake();
    ADD_FAILURE() << "no exception";
  } catch (const tls::ESslContextException& e) {
    EXPECT_STREQ(tls::kSslContextRequired, e.what());
  }
}

}  // namespace

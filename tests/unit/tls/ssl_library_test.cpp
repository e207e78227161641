// The run-time loader of the TLS libraries: its messages for files it cannot use, and the
// load count shared by contexts and sockets. This program does not link the libraries.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/integration/net_test_server.h"
#include "tests/unit/net/net_test_pump.h"
#include "tls/ssl_context.h"
#include "tls/ssl_library.h"
#include "tls/ssl_wsocket.h"

namespace {

using tls::GSslCryptoLibName;
using tls::GSslLibName;

// Points the loader at other files for one test and back afterwards.
struct TLibNames {
  TLibNames(std::string crypto, std::string ssl) {
    GSslCryptoLibName = std::move(crypto);
    GSslLibName = std::move(ssl);
  }
  ~TLibNames() {
    GSslCryptoLibName = "libcrypto.so.3";
    GSslLibName = "libssl.so.3";
  }
};

template <class E>
std::string LoadError() {
  try {
    tls::LoadTls();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception: ") + e.what();
  }
  tls::UnloadTls();
  return "loaded";
}

TEST(TlsLibrary, FilesItCannotUseAreRefusedWithTheirMessagesAndLeaveNothingLoaded) {
  {
    // Versions either side of the supported range name the version, the range and the file.
    for (const char* path : {FAKE_TLS_OLD, FAKE_TLS_NEW}) {
      TLibNames names(path, "libssl.so.3");
      const std::string message = LoadError<tls::ECryptoLibException>();
      const std::string version = std::string(path) == FAKE_TLS_OLD ? "2FFFFFFF" : "40000000";
      EXPECT_EQ("Unsupported OpenSSL version (0x" + version +
                    ") !\r\nSupported versions are 0x30000000 - 0x3FFFFFFF\r\nFileName: " + path,
                message);
    }
  }
  {
    // The lowest supported version passes the check; every missing entry point is listed, the
    // list cut to 512 characters ending in "..".
    TLibNames names(FAKE_TLS_BARE, "libssl.so.3");
    const std::string message = LoadError<tls::ECryptoLibException>();
    const std::string prefix = "Unable to load LIBEAY DLL. Can't find ";
    ASSERT_EQ(0u, message.find(prefix)) << message;
    const std::string list = message.substr(prefix.size());
    EXPECT_EQ(512u, list.size());
    EXPECT_EQ(" OpenSSL_version ERR_get_error_line_data ERR_peek_error", list.substr(0, 55));
    EXPECT_EQ("..", list.substr(510));
  }
  {
    // A usable crypto library with an ssl library that has none of its entry points.
    TLibNames names("libcrypto.so.3", FAKE_TLS_BARE);
    const std::string message = LoadError<tls::ESslLibException>();
    EXPECT_EQ(0u, message.find("Unable to load SSLEAY DLL. Can't find  SSL_do_handshake SSL_renegotiate "))
        << message;
    EXPECT_EQ("..", message.substr(message.size() - 2));
  }
  {
    TLibNames names("libcrypto.so.3", "/nonexistent/libssl.so.3");
    EXPECT_EQ("File not found: /nonexistent/libssl.so.3", LoadError<tls::ESslLibException>());
  }
  {
    TLibNames names("/nonexistent/libcrypto.so.3", "libssl.so.3");
    EXPECT_EQ(0u, LoadError<tls::ECryptoLibException>().find(
                      "Unable to load /nonexistent/libcrypto.so.3. Error #0\r\n"));
  }
  EXPECT_EQ(0, tls::TlsLoadCount());
  EXPECT_FALSE(tls::TlsLoaded());
  EXPECT_EQ("*NOT LOADED*", tls::TlsCryptoLibPath());
  EXPECT_EQ("*NOT_LOADED*", tls::TlsSslLibPath());
}

TEST(TlsLibrary, TwoContextsAndASocketLoadOnceAndUnloadWhenAllLetGoAndLoadingAgainWorks) {
  // A plain server: the socket loads the libraries when its handshake is set up.
  net_test::TLoopbackServer server([](int fd, const std::atomic<bool>& stopping) {
    net_test::WaitReadable(fd, stopping, 3000);
  });
  auto first = std::make_unique<tls::TSslContext>();
  auto second = std::make_unique<tls::TSslContext>();
  auto socket = std::make_unique<tls::TSslWSocket>();
  first->BuildContext();
  EXPECT_TRUE(tls::TlsLoaded());
  EXPECT_NE(std::string::npos, tls::TlsSslLibPath().find("libssl.so.3"));
  EXPECT_GE(tls::TlsVersionNumber(), 0x30000000u);
  second->BuildContext();
  second->BuildContext();  // one reference per component, however often it builds
  socket->SetSslContext(second.get());
  socket->SetSslEnable(true);
  socket->SetAddr("127.0.0.1");
  socket->SetPort(server.PortText());
  int handshakes = 0;
  socket->OnSslHandshakeDone = [&](tls::TCustomSslWSocket*, int, const tls::TX509Base&, bool&) { ++handshakes; };
  socket->Connect();
  ASSERT_TRUE(net_test::PumpUntil([&] { return socket->SslHandshakeState() == tls::TSslHandshakeState::sslHandshakeInProgress; }));
  EXPECT_EQ(3, tls::TlsLoadCount());

  first.reset();
  EXPECT_EQ(2, tls::TlsLoadCount());
  second.reset();  // the socket forgets the context, keeps its own reference
  EXPECT_EQ(nullptr, socket->SslContext());
  EXPECT_EQ(1, tls::TlsLoadCount());
  EXPECT_TRUE(tls::TlsLoaded());
  socket.reset();
  EXPECT_EQ(0, tls::TlsLoadCount());
  EXPECT_FALSE(tls::TlsLoaded());

  tls::TSslContext again;
  again.BuildContext();
  EXPECT_NE(nullptr, again.SslCtx());
  EXPECT_EQ(1, tls::TlsLoadCount());
  again.FreeContext();
  EXPECT_EQ(0, tls::TlsLoadCount());
}

}  // namespace

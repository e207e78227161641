// The TLS context: what BuildContext makes of the settings, and its failures.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <string>

#include "tests/support/tls_test_server.h"
#include "tls/ssl_context.h"

namespace {

using tls::ESslContextException;
using tls::TSslContext;

std::string BuildError(TSslContext& ctx) {
  try {
    ctx.BuildContext();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "built";
}

TEST(SslContext, DefaultsBuildAClientContextWithoutAnonymousSuitesOrTickets) {
  TSslContext ctx;
  EXPECT_FALSE(ctx.SslVerifyPeer());
  EXPECT_EQ(9, ctx.SslVerifyDepth());
  EXPECT_EQ("ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH:!aNULL", ctx.SslCipherList());
  ctx.BuildContext();
  SSL_CTX* c = ctx.SslCtx();
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(SSL_VERIFY_NONE, SSL_CTX_get_verify_mode(c));
  EXPECT_NE(0u, SSL_CTX_get_options(c) & SSL_OP_NO_TICKET);
  EXPECT_EQ(20480, SSL_CTX_sess_get_cache_size(c));  // the library's own default, untouched
  EXPECT_EQ(0, SSL_CTX_get_session_cache_mode(c));
  STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(c);
  ASSERT_GT(sk_SSL_CIPHER_num(ciphers), 0);
  for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
    const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
    EXPECT_NE(NID_auth_null, SSL_CIPHER_get_auth_nid(cipher)) << SSL_CIPHER_get_name(cipher);
  }

  // Verification turned on for a built context applies at once: mode, depth, callback.
  ctx.SetSslVerifyPeer(true);
  EXPECT_EQ(SSL_VERIFY_PEER, SSL_CTX_get_verify_mode(c));
  EXPECT_EQ(9, SSL_CTX_get_verify_depth(c));
  EXPECT_NE(nullptr, SSL_CTX_get_verify_callback(c));
  ctx.SetSslVerifyPeer(false);
  EXPECT_EQ(SSL_VERIFY_NONE, SSL_CTX_get_verify_mode(c));

  ctx.SetSslDefaultSessionIDContext(std::string(40, 'x'));
  EXPECT_EQ(std::string(32, 'x'), ctx.SslDefaultSessionIDContext());
}

TEST(SslContext, SettingsReachTheLibraryAndFailuresLeaveNoContext) {
  {
    TSslContext ctx;
    ctx.SetSslSessionCacheSize(1000);
    ctx.SetSslOptions({tls::TSslOption::sslOpt_NO_TLSv1_1, tls::TSslOption::sslOpt_CIPHER_SERVER_PREFERENCE});
    ctx.BuildContext();
    EXPECT_EQ(1000, SSL_CTX_sess_get_cache_size(ctx.SslCtx()));
    const uint64_t options = SSL_CTX_get_options(ctx.SslCtx());
    EXPECT_NE(0u, options & SSL_OP_NO_TLSv1_1);
    EXPECT_NE(0u, options & SSL_OP_CIPHER_SERVER_PREFERENCE);
  }
  {
    TSslContext ctx;
    ctx.SetSslCipherList("");
    EXPECT_EQ("Cipher list empty", BuildError(ctx));
    EXPECT_EQ(nullptr, ctx.SslCtx());
    ctx.SetSslCipherList("NO-SUCH-CIPHER");
    const std::string message = BuildError(ctx);
    EXPECT_EQ(0u, message.find("\r\nError loading cipher list\r\nerror:")) << message;
    EXPECT_EQ(nullptr, ctx.SslCtx());
    ctx.SetSslCipherList(tls::kDefaultSslCipherList);
    EXPECT_EQ("built", BuildError(ctx));  // the next attempt starts afresh
  }
  {
    TSslContext ctx;
    ctx.SetSslCAFile("/nonexistent/ca.pem");
    EXPECT_EQ(std::string(tls::kSslFileNotFound) + "\"/nonexistent/ca.pem\"", BuildError(ctx));
    EXPECT_EQ(nullptr, ctx.SslCtx());
    ctx.SetSslCAFile("");
    ctx.SetSslCAPath("/nonexistent");
    EXPECT_EQ("Directory not found \"/nonexistent\"", BuildError(ctx));
    ctx.SetSslCAPath("");
    ctx.SetSslVersionMethod(tls::TSslVersionMethod::sslV2);
    EXPECT_EQ(tls::kSslUnknownVersionMethod, BuildError(ctx));
  }
}

TEST(SslContext, AnEncryptedKeyLoadsWithItsPassPhraseOnly) {
  const tls_test::TTestPki& pki = tls_test::TTestPki::Get();
  // The server key, written again encrypted.
  FILE* in = std::fopen(pki.ServerKeyFile.c_str(), "r");
  ASSERT_NE(nullptr, in);
  EVP_PKEY* key = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  ASSERT_NE(nullptr, key);
  const std::string encrypted = pki.Dir + "/encrypted.key";
  FILE* out = std::fopen(encrypted.c_str(), "w");
  char phrase[] = "correct horse";
  PEM_write_PrivateKey(out, key, EVP_aes_128_cbc(), nullptr, 0, nullptr, phrase);
  std::fclose(out);
  EVP_PKEY_free(key);

  TSslContext ctx;
  ctx.SetSslCertFile(pki.ServerCertFile);
  ctx.SetSslPrivKeyFile(encrypted);
  ctx.SetSslPassPhrase("wrong");
  const std::string message = BuildError(ctx);
  EXPECT_EQ(0u, message.find("\r\nCan't load private key file \"" + encrypted + "\"\r\n")) << message;
  EXPECT_EQ(nullptr, ctx.SslCtx());
  ctx.SetSslPassPhrase("correct horse");
  EXPECT_EQ("built", BuildError(ctx));
  EXPECT_EQ(1, SSL_CTX_check_private_key(ctx.SslCtx()));
  std::remove(encrypted.c_str());
}

}  // namespace

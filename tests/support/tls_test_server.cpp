#include "tests/support/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include "tests/support/loopback_listener.h"

namespace tls_test {

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  Check(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `cn`, valid from `fromDays` to `toDays` relative to now, signed by
// `issuerKey` (self-signed when `issuer` is null).
X509* MakeCert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca, long fromDays,
               long toDays, long serial, const char* names = "DNS:localhost,IP:127.0.0.1") {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert), toDays * 86400L);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test PKI"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert;
  if (ca) {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert, signer, NID_basic_constraints, "CA:FALSE");
    AddExtension(cert, signer, NID_subject_alt_name, names);
    AddExtension(cert, signer, NID_ext_key_usage, "serverAuth");
  }
  AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  Check(X509_sign(cert, issuerKey, EVP_sha256()) > 0, "signing");
  return cert;
}

void WritePem(const std::string& file, X509* cert) {
  FILE* f = std::fopen(file.c_str(), "w");
  Check(f != nullptr, "writing a certificate");
  PEM_write_X509(f, cert);
  std::fclose(f);
}

void WritePem(const std::string& file, EVP_PKEY* key) {
  FILE* f = std::fopen(file.c_str(), "w");
  Check(f != nullptr, "writing a key");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

TTestPki MakePki() {
  TTestPki pki;
  char dir[] = "/tmp/tamvirel-tls-XXXXXX";
  Check(::mkdtemp(dir) != nullptr, "temporary folder");
  pki.Dir = dir;
  EVP_PKEY* caKey = NewKey();
  X509* ca = MakeCert("Test Authority", caKey, nullptr, caKey, true, -1, 30, 1);
  EVP_PKEY* serverKey = NewKey();
  X509* server = MakeCert("localhost", serverKey, ca, caKey, false, -1, 30, 2);
  X509* expired = MakeCert("localhost", serverKey, ca, caKey, false, -10, -1, 3);
  EVP_PKEY* selfKey = NewKey();
  X509* self = MakeCert("localhost", selfKey, nullptr, selfKey, false, -1, 30, 4);
  X509* shared = MakeCert("shared.example", serverKey, ca, caKey, false, -1, 30, 5, "DNS:shared.example");
  pki.CaFile = pki.Dir + "/ca.pem";
  pki.ServerCertFile = pki.Dir + "/server.pem";
  pki.ServerKeyFile = pki.Dir + "/server.key";
  pki.ExpiredCertFile = pki.Dir + "/expired.pem";
  pki.ExpiredKeyFile = pki.ServerKeyFile;
  pki.UntrustedCertFile = pki.Dir + "/untrusted.pem";
  pki.UntrustedKeyFile = pki.Dir + "/untrusted.key";
  pki.SharedCertFile = pki.Dir + "/shared.pem";
  pki.SharedKeyFile = pki.ServerKeyFile;
  WritePem(pki.CaFile, ca);
  WritePem(pki.ServerCertFile, server);
  WritePem(pki.ServerKeyFile, serverKey);
  WritePem(pki.ExpiredCertFile, expired);
  WritePem(pki.UntrustedCertFile, self);
  WritePem(pki.UntrustedKeyFile, selfKey);
  WritePem(pki.SharedCertFile, shared);
  for (X509* c : {ca, server, expired, self, shared}) X509_free(c);
  for (EVP_PKEY* k : {caKey, serverKey, selfKey}) EVP_PKEY_free(k);
  return pki;
}

void RemovePki() {
  const TTestPki& pki = TTestPki::Get();
  for (const std::string& f : {pki.CaFile, pki.ServerCertFile, pki.ServerKeyFile, pki.ExpiredCertFile,
                               pki.UntrustedCertFile, pki.UntrustedKeyFile, pki.SharedCertFile})
    ::unlink(f.c_str());
  ::rmdir(pki.Dir.c_str());
}

std::string ErrorQueueText() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

}  // namespace

const TTestPki& TTestPki::Get() {
  static const TTestPki pki = [] {
    TTestPki made = MakePki();
    return made;
  }();
  static const bool cleanup = [] { return std::atexit(RemovePki) == 0; }();
  (void)cleanup;
  return pki;
}

// ---- one connection ----

TTlsConnection::TTlsConnection(int fd, ssl_ctx_st* ctx, int timeoutMs, int chunk, int chunkDelayUs)
    : FFd(fd), FTimeoutMs(timeoutMs), FChunk(chunk), FChunkDelayUs(chunkDelayUs) {
  FSsl = SSL_new(ctx);
  FIn = BIO_new(BIO_s_mem());
  FOut = BIO_new(BIO_s_mem());
  SSL_set_bio(FSsl, FIn, FOut);
  SSL_set_accept_state(FSsl);
}

TTlsConnection::~TTlsConnection() {
  SSL_free(FSsl);
  if (FFd >= 0) ::close(FFd);
}

bool TTlsConnection::Flush() {
  char buf[16384];
  for (;;) {
    const int n = BIO_read(FOut, buf, sizeof buf);
    if (n <= 0) return true;
    int done = 0;
    while (done < n) {
      const int piece = FChunk > 0 ? std::min(FChunk, n - done) : n - done;
      if (FFd < 0) return false;
      const ssize_t sent = ::send(FFd, buf + done, static_cast<size_t>(piece), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<int>(sent);
      if (FChunkDelayUs > 0) ::usleep(static_cast<useconds_t>(FChunkDelayUs));
    }
  }
}

int TTlsConnection::Fill() {
  if (FFd < 0 || FEof) return 0;
  pollfd p{FFd, POLLIN, 0};
  if (::poll(&p, 1, FTimeoutMs) <= 0) {
    FError = "time-out";
    return -1;
  }
  char buf[16384];
  const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
  if (n == 0) {
    FEof = true;
    return 0;
  }
  if (n < 0) return -1;
  BIO_write(FIn, buf, static_cast<int>(n));
  return 1;
}

bool TTlsConnection::Handshake() {
  for (;;) {
    const int r = SSL_accept(FSsl);
    Flush();
    if (r == 1) return true;
    const int e = SSL_get_error(FSsl, r);
    if (e != SSL_ERROR_WANT_READ) {
      FError = ErrorQueueText();
      return false;
    }
    if (Fill() <= 0) {
      if (FError.empty()) FError = "connection closed during the handshake";
      return false;
    }
  }
}

bool TTlsConnection::ReadSome(std::string& out) {
  char buf[16384];
  for (;;) {
    const int n = SSL_read(FSsl, buf, sizeof buf);
    Flush();
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      return true;
    }
    const int e = SSL_get_error(FSsl, n);
    if (e == SSL_ERROR_ZERO_RETURN) {
      FPeerCloseNotify = true;
      return false;
    }
    if (e != SSL_ERROR_WANT_READ) {
      FError = ErrorQueueText();
      return false;
    }
    if (Fill() <= 0) return false;
  }
}

bool TTlsConnection::ReadExactly(size_t count, std::string& out) {
  while (out.size() < count)
    if (!ReadSome(out)) return false;
  return true;
}

bool TTlsConnection::ReadUntil(const std::string& marker, std::string& out) {
  while (out.find(marker) == std::string::npos)
    if (!ReadSome(out)) return false;
  return true;
}

bool TTlsConnection::ReadToEnd(std::string& out) {
  while (ReadSome(out)) {
  }
  return FPeerCloseNotify;
}

bool TTlsConnection::Write(const char* data, size_t length) {
  while (length > 0) {
    const int piece = static_cast<int>(std::min<size_t>(length, 1 << 20));
    if (SSL_write(FSsl, data, piece) != piece) return false;
    if (!Flush()) return false;
    data += piece;
    length -= static_cast<size_t>(piece);
  }
  return true;
}

void TTlsConnection::Shutdown() {
  SSL_shutdown(FSsl);
  Flush();
}

void TTlsConnection::CloseWithoutNotify() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

// ---- the server ----

ssl_ctx_st* NewServerContext(TServerCert which) {
  const TTestPki& pki = TTestPki::Get();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  std::string cert = pki.ServerCertFile, key = pki.ServerKeyFile;
  if (which == TServerCert::Expired) cert = pki.ExpiredCertFile, key = pki.ExpiredKeyFile;
  if (which == TServerCert::Untrusted) cert = pki.UntrustedCertFile, key = pki.UntrustedKeyFile;
  if (which == TServerCert::OtherName) cert = pki.SharedCertFile, key = pki.SharedKeyFile;
  Check(SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) == 1, "server certificate");
  Check(SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1, "server key");
  return ctx;
}

TTlsTestServer::TTlsTestServer(THandler handler, TOptions options)
    : FHandler(std::move(handler)), FOptions(options) {
  FCtx = NewServerContext(options.Cert);
  FListener = test_support::OpenLoopbackListener(FPort, 16);
  FThread = std::thread([this] { Run(); });
}

TTlsTestServer::~TTlsTestServer() {
  Stop();
  SSL_CTX_free(FCtx);
}

void TTlsTestServer::Stop() {
  FStopping = true;
  if (FThread.joinable()) FThread.join();
  if (FListener >= 0) ::close(FListener);
  FListener = -1;
}

std::string TTlsTestServer::LastHandshakeError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastError;
}

void TTlsTestServer::Run() {
  while (!FStopping && FAccepted < FOptions.MaxConnections) {
    pollfd p{FListener, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++FAccepted;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    TTlsConnection connection(fd, FCtx, FOptions.TimeoutMs, FOptions.Chunk, FOptions.ChunkDelayUs);
    if (!connection.Handshake()) {
      ++FFailures;
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = connection.Error();
      continue;
    }
    ++FHandshakes;
    FHandler(connection);
    if (!connection.Closed()) {
      connection.Shutdown();
      // Give the client a moment to answer with its alert before the close.
      std::string rest;
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 200) > 0) connection.ReadSome(rest);
    }
  }
}

}  // namespace tls_test

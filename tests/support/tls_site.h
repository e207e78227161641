#pragma once
// TLS for the loopback site of tests: a transport for TSiteServer that speaks TLS over each
// accepted connection with one of the throw-away certificates of tls_test_server.h (a valid
// "localhost" certificate issued by the test authority, an expired one, or a self-signed one).
// Server side only; links the TLS libraries directly.

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/site_server.h"
#include "tests/support/tls_test_server.h"

namespace site_test {

class TTlsSite {
 public:
  // `closeNotify` false closes connections without the TLS close alert, as many web servers do.
  explicit TTlsSite(tls_test::TServerCert cert = tls_test::TServerCert::Valid, bool closeNotify = true)
      : FCtx(tls_test::NewServerContext(cert)), FCloseNotify(closeNotify) {}
  // A site whose certificate carries a 20-byte serial number, as public authorities issue them:
  // self-signed for "localhost" and 127.0.0.1, written as PEM to `trustFile` (for SSL_CERT_FILE).
  explicit TTlsSite(const std::string& trustFile) : FCtx(SSL_CTX_new(TLS_server_method())), FCloseNotify(true) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    unsigned char serial[20];
    for (size_t i = 0; i < sizeof serial; ++i) serial[i] = static_cast<unsigned char>(0x41 + i);
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"}}) {
      X509V3_CTX ctx;
      X509V3_set_ctx_nodb(&ctx);
      X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(FCtx, cert);
    SSL_CTX_use_PrivateKey(FCtx, key);
    if (FILE* f = std::fopen(trustFile.c_str(), "w")) {
      PEM_write_X509(f, cert);
      std::fclose(f);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  // Two sites on one address, as a shared host serves them: the "localhost" certificate for a
  // client that names that host in its hello (SNI), the "shared.example" one for any other.
  struct TSharedHost {};
  explicit TTlsSite(TSharedHost)
      : FCtx(tls_test::NewServerContext(tls_test::TServerCert::OtherName)),
        FNamedCtx(tls_test::NewServerContext(tls_test::TServerCert::Valid)),
        FCloseNotify(true) {
    SSL_CTX_set_tlsext_servername_callback(FCtx, &ChooseByName);
    SSL_CTX_set_tlsext_servername_arg(FCtx, this);
  }
  ~TTlsSite() {
    SSL_CTX_free(FCtx);
    SSL_CTX_free(FNamedCtx);
  }
  TTlsSite(const TTlsSite&) = delete;
  TTlsSite& operator=(const TTlsSite&) = delete;

  // The authority to trust (for SSL_CERT_FILE).
  static const std::string& CaFile() { return tls_test::TTestPki::Get().CaFile; }

  // The host name of each hello a shared host received, in order; "" when it named none.
  std::vector<std::string> ServerNames() const {
    std::lock_guard<std::mutex> hold(FNamesLock);
    return FServerNames;
  }

  TSiteServer::TTransportFactory Transport() const {
    SSL_CTX* ctx = FCtx;
    const bool closeNotify = FCloseNotify;
    return [ctx, closeNotify](int fd) -> std::unique_ptr<TTransport> {
      return std::make_unique<TTlsTransport>(fd, ctx, closeNotify);
    };
  }

 private:
  static int ChooseByName(SSL* ssl, int*, void* arg) {
    auto* site = static_cast<TTlsSite*>(arg);
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    {
      std::lock_guard<std::mutex> hold(site->FNamesLock);
      site->FServerNames.push_back(name ? name : "");
    }
    if (name && std::string(name) == "localhost") SSL_set_SSL_CTX(ssl, site->FNamedCtx);
    return SSL_TLSEXT_ERR_OK;
  }

  class TTlsTransport : public TTransport {
   public:
    TTlsTransport(int fd, SSL_CTX* ctx, bool closeNotify)
        : TTransport(fd), FSsl(SSL_new(ctx)), FCloseNotify(closeNotify) {
      SSL_set_fd(FSsl, fd);
    }
    ~TTlsTransport() override {
      if (FCloseNotify) SSL_shutdown(FSsl);
      SSL_free(FSsl);
    }
    bool Start() override {
      // The descriptor is blocking; a client that never speaks is cut off by the receive limit.
      timeval limit{10, 0};
      ::setsockopt(Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      return SSL_accept(FSsl) == 1;
    }
    bool Pending() override { return SSL_pending(FSsl) > 0; }
    ssize_t Recv(char* data, size_t size) override {
      const int n = SSL_read(FSsl, data, static_cast<int>(size));
      return n > 0 ? n : -1;
    }
    ssize_t Send(const char* data, size_t size) override {
      const int n = SSL_write(FSsl, data, static_cast<int>(size));
      return n > 0 ? n : -1;
    }

   private:
    SSL* FSsl;
    bool FCloseNotify;
  };

  SSL_CTX* FCtx;
  SSL_CTX* FNamedCtx = nullptr;
  bool FCloseNotify;
  mutable std::mutex FNamesLock;
  std::vector<std::string> FServerNames;
};

}  // namespace site_test

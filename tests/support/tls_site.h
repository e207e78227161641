#pragma once
// TLS for the loopback site of tests: a transport for TSiteServer that speaks TLS over each
// accepted connection with one of the throw-away certificates of tls_test_server.h (a valid
// "localhost" certificate issued by the test authority, an expired one, or a self-signed one).
// Server side only; links the TLS libraries directly.

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <memory>

#include "tests/support/site_server.h"
#include "tests/support/tls_test_server.h"

namespace site_test {

class TTlsSite {
 public:
  explicit TTlsSite(tls_test::TServerCert cert = tls_test::TServerCert::Valid)
      : FCtx(tls_test::NewServerContext(cert)) {}
  ~TTlsSite() { SSL_CTX_free(FCtx); }
  TTlsSite(const TTlsSite&) = delete;
  TTlsSite& operator=(const TTlsSite&) = delete;

  // The authority to trust (for SSL_CERT_FILE).
  static const std::string& CaFile() { return tls_test::TTestPki::Get().CaFile; }

  TSiteServer::TTransportFactory Transport() const {
    SSL_CTX* ctx = FCtx;
    return [ctx](int fd) -> std::unique_ptr<TTransport> { return std::make_unique<TTlsTransport>(fd, ctx); };
  }

 private:
  class TTlsTransport : public TTransport {
   public:
    TTlsTransport(int fd, SSL_CTX* ctx) : TTransport(fd), FSsl(SSL_new(ctx)) { SSL_set_fd(FSsl, fd); }
    ~TTlsTransport() override {
      SSL_shutdown(FSsl);
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
  };

  SSL_CTX* FCtx;
};

}  // namespace site_test

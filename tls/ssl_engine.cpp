#include "tls/ssl_engine.h"

#include "tls/ssl_api.h"
#include "tls/ssl_library.h"

namespace tls {

TTlsEngine::TTlsEngine(ssl_ctx_st* ctx, bool client, void* owner) : FClient(client) {
  const TSslApi& api = Api();
  FSsl = api.SSL_new(ctx);
  if (!FSsl) throw EOpenSslError("Error on creating the Ssl object " + OpenSslErrorText(true));
  BIO* internal = nullptr;
  if (api.BIO_new_bio_pair(&internal, kTlsBioPairSize, &FNetwork, kTlsBioPairSize) != 1 || !internal ||
      !FNetwork) {
    api.SSL_free(FSsl);
    FSsl = nullptr;
    throw EOpenSslError("Creating BIOs failed");
  }
  api.SSL_set_bio(FSsl, internal, internal);  // the TLS object owns the internal half now
  if (api.SSL_set_ex_data(FSsl, 0, owner) != 1) {
    api.SSL_free(FSsl);
    api.BIO_free(FNetwork);
    FSsl = nullptr;
    FNetwork = nullptr;
    throw EOpenSslError("SSL_set_ex_data failed");
  }
  // Records may be written in parts and the write retried from a moved buffer: the caller's
  // plaintext lives in a chain whose blocks move.
  api.SSL_ctrl(FSsl, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
               nullptr);
  if (client)
    api.SSL_set_connect_state(FSsl);
  else
    api.SSL_set_accept_state(FSsl);
}

TTlsEngine::~TTlsEngine() {
  const TSslApi& api = Api();
  if (FSsl) {
    // Freeing must not queue a close alert for a connection that is gone.
    api.SSL_set_shutdown(FSsl, SSL_SENT_SHUTDOWN);
    api.SSL_free(FSsl);
  }
  if (FNetwork) api.BIO_free(FNetwork);
}

int TTlsEngine::InputRoom() const {
  const TSslApi& api = Api();
  size_t room = api.BIO_ctrl_get_read_request(FNetwork);
  if (room == 0) room = api.BIO_ctrl_get_write_guarantee(FNetwork);
  return static_cast<int>(room);
}

int TTlsEngine::FeedNetwork(const char* data, int length) {
  if (length <= 0) return 0;
  const int n = Api().BIO_write(FNetwork, data, length);
  return n > 0 ? n : 0;
}

int TTlsEngine::PendingOutput() const { return static_cast<int>(Api().BIO_ctrl_pending(FNetwork)); }

int TTlsEngine::TakeOutput(char* buffer, int length) {
  if (length <= 0) return 0;
  const int n = Api().BIO_read(FNetwork, buffer, length);
  return n > 0 ? n : 0;
}

bool TTlsEngine::HandshakeDone() const { return Api().SSL_is_init_finished(FSsl) == 1; }

long TTlsEngine::VerifyResult() const { return Api().SSL_get_verify_result(FSsl); }

TTlsStatus TTlsEngine::Classify(int result, const char* what) {
  const TSslApi& api = Api();
  const int error = api.SSL_get_error(FSsl, result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return TTlsStatus::WantInput;
    case SSL_ERROR_WANT_WRITE:
      return TTlsStatus::WantOutput;
    case SSL_ERROR_ZERO_RETURN:
      api.ERR_clear_error();
      return TTlsStatus::Closed;
    default: {
      FErrorCode = api.ERR_peek_error();
      std::string text = OpenSslErrorText(true);
      const long verify = api.SSL_get_verify_result(FSsl);
      if (verify != X509_V_OK) {
        if (!text.empty()) text += "\r\n";
        text += std::string("certificate verify failed: ") + api.X509_verify_cert_error_string(verify);
      }
      if (text.empty()) text = std::string(what) + " failed";
      FErrorText = text;
      return TTlsStatus::Failed;
    }
  }
}

TTlsStatus TTlsEngine::Handshake() {
  if (HandshakeDone()) return TTlsStatus::Ok;
  const int result = Api().SSL_do_handshake(FSsl);
  if (result == 1) return TTlsStatus::Ok;
  return Classify(result, "handshake");
}

int TTlsEngine::Read(char* buffer, int length, TTlsStatus& status) {
  const int n = Api().SSL_read(FSsl, buffer, length);
  if (n > 0) {
    status = TTlsStatus::Ok;
    return n;
  }
  status = Classify(n, "read");
  return 0;
}

int TTlsEngine::Write(const char* data, int length, TTlsStatus& status) {
  const int n = Api().SSL_write(FSsl, data, length);
  if (n > 0) {
    status = TTlsStatus::Ok;
    return n;
  }
  status = Classify(n, "write");
  return 0;
}

void TTlsEngine::Shutdown() {
  if (FShutdownSent) return;
  FShutdownSent = true;
  const TSslApi& api = Api();
  api.SSL_shutdown(FSsl);
  api.ERR_clear_error();
}

}  // namespace tls

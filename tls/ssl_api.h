#pragma once
// The typed entry points of the TLS libraries, filled in by the loader (ssl_library.cpp).
// Only this folder includes the libraries' headers; they supply the types, never a link.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace tls {

// Every entry point the TLS layer calls. X(name) is one call, typed by its declaration.
#define TAMVIREL_TLS_CRYPTO_CALLS(X)                                                          \
  X(OpenSSL_version_num) X(OpenSSL_version) X(ERR_get_error) X(ERR_peek_error)                \
  X(ERR_error_string_n) X(ERR_clear_error) X(RAND_seed) X(BIO_new_bio_pair) X(BIO_ctrl)      \
  X(BIO_ctrl_pending) X(BIO_ctrl_get_write_guarantee) X(BIO_ctrl_get_read_request)             \
  X(BIO_read) X(BIO_write) X(BIO_free) X(BIO_new_file) X(X509_STORE_CTX_get_ex_data)          \
  X(X509_STORE_CTX_get_current_cert) X(X509_STORE_CTX_get_error)                               \
  X(X509_STORE_CTX_get_error_depth) X(X509_verify_cert_error_string) X(X509_get_subject_name)  \
  X(X509_get_issuer_name) X(X509_NAME_oneline) X(X509_get_serialNumber) X(X509_free)           \
  X(X509_STORE_set_flags) X(X509_STORE_add_crl) X(PEM_X509_INFO_read_bio) X(X509_INFO_free)    \
  X(OPENSSL_sk_num) X(OPENSSL_sk_value) X(OPENSSL_sk_free) X(ASN1_INTEGER_get) X(X509_VERIFY_PARAM_set1_ip_asc)

#define TAMVIREL_TLS_SSL_CALLS(X)                                                             \
  X(OPENSSL_init_ssl) X(TLS_method) X(TLS_client_method) X(TLS_server_method) X(SSL_CTX_new)  \
  X(SSL_CTX_free) X(SSL_CTX_set_options) X(SSL_CTX_ctrl) X(SSL_CTX_set_cipher_list)           \
  X(SSL_CTX_set_verify) X(SSL_CTX_get_verify_mode) X(SSL_CTX_set_verify_depth)                 \
  X(SSL_CTX_set_default_passwd_cb) X(SSL_CTX_set_default_passwd_cb_userdata)                   \
  X(SSL_CTX_use_PrivateKey_file) X(SSL_CTX_use_certificate_chain_file)                         \
  X(SSL_CTX_load_verify_locations) X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_get_cert_store) \
  X(SSL_CTX_set_ex_data) X(SSL_CTX_get_ex_data) X(SSL_CTX_sess_set_remove_cb)                  \
  X(SSL_CTX_set_timeout) X(SSL_CTX_set_session_id_context) X(SSL_CTX_set_client_cert_cb)       \
  X(SSL_CTX_get_client_cert_cb) X(SSL_new) X(SSL_free) X(SSL_set_bio) X(SSL_set_ex_data)       \
  X(SSL_get_ex_data) X(SSL_get_ex_data_X509_STORE_CTX_idx) X(SSL_set_connect_state)            \
  X(SSL_set_accept_state) X(SSL_set_info_callback) X(SSL_do_handshake) X(SSL_read) X(SSL_write) \
  X(SSL_get_error) X(SSL_shutdown) X(SSL_get_shutdown) X(SSL_set_shutdown)      \
  X(SSL_ctrl) X(SSL_set_session) X(SSL_get_session) X(SSL_session_reused) X(SSL_get_version)   \
  X(SSL_version) X(SSL_get_current_cipher) X(SSL_CIPHER_get_name) X(SSL_CIPHER_get_bits)       \
  X(SSL_get1_peer_certificate) X(SSL_get_verify_result) X(SSL_set1_host) X(SSL_get0_param)     \
  X(SSL_is_init_finished) X(SSL_get_options) X(SSL_renegotiate_pending)                        \
  X(SSL_set_session_id_context) X(SSL_SESSION_free) X(SSL_CTX_get_verify_depth) X(SSL_SESSION_up_ref)

struct TSslApi {
#define TAMVIREL_TLS_MEMBER(name) decltype(&::name) name = nullptr;
  TAMVIREL_TLS_CRYPTO_CALLS(TAMVIREL_TLS_MEMBER)
  TAMVIREL_TLS_SSL_CALLS(TAMVIREL_TLS_MEMBER)
#undef TAMVIREL_TLS_MEMBER
  // Kept by the older interface only, and called at unload when present.
  void (*ERR_remove_thread_state)(void*) = nullptr;
  void (*ERR_remove_state)(unsigned long) = nullptr;
  // The protocol-1.0-only methods (declared only with the deprecated interface).
  const SSL_METHOD* (*TLSv1_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_client_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_server_method)() = nullptr;
};

// The loaded entry points. Valid while a load reference is held.
const TSslApi& Api();

}  // namespace tls

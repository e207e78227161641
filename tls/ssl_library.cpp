#include "tls/ssl_library.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/tick_count.h"
#include "tls/ssl_api.h"

namespace tls {

std::string GSslCryptoLibName = "libcrypto.so.3";
std::string GSslLibName = "libssl.so.3";

namespace {

struct TEntry {
  const char* Name;
  bool Optional;
};

// Every entry point of the ssl library, required, in lookup order. The list is the whole
// interface the layer was designed against, in the names the current generation gives it;
// calls the libraries now make on their own (locking, final clean-up, string loading) have
// no entry any more.
const TEntry kSslEntries[] = {
    {"SSL_do_handshake", false}, {"SSL_renegotiate", false}, {"SSL_renegotiate_pending", false},
    {"OPENSSL_init_ssl", false}, {"TLS_method", false}, {"TLS_client_method", false},
    {"TLS_server_method", false}, {"TLSv1_method", false}, {"TLSv1_client_method", false},
    {"TLSv1_server_method", false}, {"SSL_CTX_new", false}, {"SSL_new", false},
    {"SSL_set_bio", false}, {"SSL_set_session", false}, {"SSL_get_session", false},
    {"SSL_get_rbio", false}, {"SSL_get_wbio", false}, {"SSL_get1_session", false},
    {"SSL_SESSION_free", false}, {"SSL_SESSION_set_timeout", false},
    {"SSL_SESSION_get_timeout", false}, {"SSL_SESSION_set_time", false},
    {"SSL_SESSION_get_time", false}, {"d2i_SSL_SESSION", false}, {"i2d_SSL_SESSION", false},
    {"SSL_CTX_set_session_id_context", false}, {"SSL_set_session_id_context", false},
    {"SSL_accept", false}, {"SSL_connect", false}, {"SSL_ctrl", false}, {"SSL_read", false},
    {"SSL_want", false}, {"SSL_write", false}, {"SSL_get_error", false},
    {"SSL_get_shutdown", false}, {"SSL_shutdown", false}, {"SSL_clear", false}, {"SSL_free", false},
    {"SSL_set_ex_data", false}, {"SSL_get_ex_data", false}, {"SSL_get1_peer_certificate", false},
    {"SSL_get_peer_cert_chain", false}, {"SSL_get_verify_depth", false},
    {"SSL_get_verify_result", false}, {"SSL_set_verify_result", false},
    {"SSL_set_info_callback", false}, {"SSL_set_connect_state", false}, {"SSL_set_shutdown", false},
    {"SSL_set_accept_state", false}, {"SSL_get_version", false}, {"SSL_version", false},
    {"SSL_get_current_cipher", false}, {"SSL_get_state", false}, {"SSL_state_string_long", false},
    {"SSL_alert_type_string_long", false}, {"SSL_alert_desc_string_long", false},
    {"SSL_CIPHER_get_bits", false}, {"SSL_CIPHER_get_name", false},
    {"SSL_CIPHER_description", false}, {"SSL_CTX_free", false},
    {"SSL_CTX_set_info_callback", false}, {"SSL_CTX_set_timeout", false},
    {"SSL_CTX_use_certificate_chain_file", false}, {"SSL_CTX_use_certificate_file", false},
    {"SSL_CTX_set_default_passwd_cb", false}, {"SSL_CTX_set_default_passwd_cb_userdata", false},
    {"SSL_CTX_use_PrivateKey_file", false}, {"SSL_CTX_use_PrivateKey", false},
    {"SSL_CTX_load_verify_locations", false}, {"SSL_CTX_set_default_verify_paths", false},
    {"SSL_CTX_set_verify", false}, {"SSL_set_verify", false}, {"SSL_CTX_get_verify_mode", false},
    {"SSL_CTX_get_verify_depth", false}, {"SSL_CTX_set_verify_depth", false},
    {"SSL_CTX_ctrl", false}, {"SSL_CTX_set_cipher_list", false}, {"SSL_CTX_set_ex_data", false},
    {"SSL_CTX_get_ex_data", false}, {"SSL_CTX_get_cert_store", false}, {"SSL_CTX_set_trust", false},
    {"SSL_CTX_set_client_cert_cb", false}, {"SSL_CTX_get_client_cert_cb", false},
    {"SSL_CTX_sess_set_remove_cb", false}, {"SSL_CTX_sess_get_remove_cb", false},
    {"SSL_CTX_sess_set_get_cb", false}, {"SSL_CTX_sess_get_get_cb", false},
    {"SSL_CTX_sess_set_new_cb", false}, {"SSL_CTX_sess_get_new_cb", false},
    {"SSL_SESSION_get_id", false}, {"SSL_CTX_add_client_CA", false}, {"SSL_add_client_CA", false},
    {"SSL_CTX_set_client_CA_list", false}, {"SSL_set_client_CA_list", false},
    {"SSL_load_client_CA_file", false}, {"SSL_get_ex_data_X509_STORE_CTX_idx", false},
    {"BIO_f_ssl", false}, {"SSL_set_fd", false}, {"SSL_set_rfd", false}, {"SSL_set_wfd", false},
    {"SSL_get_fd", false}, {"SSL_get_rfd", false}, {"SSL_get_wfd", false},
    {"SSL_get_SSL_CTX", false}, {"SSL_get_client_CA_list", false}, {"SSL_CTX_set_options", false},
    {"SSL_get_options", false}, {"SSL_set1_host", false}, {"SSL_get0_param", false},
    {"SSL_is_init_finished", false}, {"SSL_session_reused", false}, {"SSL_SESSION_up_ref", false},
};

// Every entry point of the crypto library; the optional ones exist only in some builds.
const TEntry kCryptoEntries[] = {
    {"OpenSSL_version_num", false}, {"OpenSSL_version", false}, {"ERR_get_error_line_data", false},
    {"ERR_peek_error", false}, {"ERR_peek_last_error", false}, {"ERR_get_error", false},
    {"ERR_error_string", false}, {"ERR_error_string_n", false}, {"ERR_clear_error", false},
    {"ERR_remove_state", false}, {"ERR_remove_thread_state", true}, {"RAND_seed", false},
    {"BIO_new", false}, {"BIO_new_socket", false}, {"BIO_new_fd", false}, {"BIO_new_file", false},
    {"BIO_new_mem_buf", false}, {"BIO_new_bio_pair", false}, {"BIO_ctrl", false},
    {"BIO_ctrl_pending", false}, {"BIO_ctrl_get_write_guarantee", false},
    {"BIO_ctrl_get_read_request", false}, {"BIO_read", false}, {"BIO_nread", false},
    {"BIO_nread0", false}, {"BIO_nwrite", false}, {"BIO_nwrite0", false}, {"BIO_write", false},
    {"BIO_free", false}, {"BIO_gets", false}, {"BIO_puts", false}, {"BIO_push", false},
    {"BIO_s_mem", false}, {"BIO_get_retry_BIO", false}, {"BIO_get_retry_reason", false},
    {"d2i_X509_bio", false}, {"i2d_X509_bio", false}, {"d2i_PrivateKey_bio", false},
    {"i2d_PrivateKey_bio", false}, {"d2i_X509", false}, {"d2i_PKCS12_bio", false},
    {"i2d_PKCS12_bio", false}, {"d2i_PKCS7_bio", false}, {"X509_dup", false},
    {"X509_check_ca", false}, {"X509_STORE_new", false}, {"X509_STORE_free", false},
    {"X509_STORE_add_cert", false}, {"X509_STORE_add_crl", false}, {"X509_STORE_add_lookup", false},
    {"X509_STORE_set_flags", false}, {"X509_STORE_CTX_new", false}, {"X509_STORE_CTX_free", false},
    {"X509_STORE_CTX_init", false}, {"X509_STORE_CTX_cleanup", false},
    {"X509_STORE_CTX_get_ex_data", false}, {"X509_STORE_CTX_get_current_cert", false},
    {"X509_STORE_CTX_get_error", false}, {"X509_STORE_CTX_set_error", false},
    {"X509_STORE_CTX_get_error_depth", false}, {"X509_STORE_CTX_get0_chain", false},
    {"X509_STORE_CTX_set0_trusted_stack", false}, {"X509_STORE_CTX_set_purpose", false},
    {"X509_STORE_CTX_set_verify_cb", false}, {"X509_STORE_CTX_set_ex_data", false},
    {"X509_load_crl_file", false}, {"X509_LOOKUP_file", false}, {"X509_LOOKUP_hash_dir", false},
    {"X509_LOOKUP_new", false}, {"X509_LOOKUP_free", false},
    {"X509_LOOKUP_by_issuer_serial", false}, {"X509_LOOKUP_by_fingerprint", false},
    {"X509_LOOKUP_ctrl", false}, {"X509_check_issued", false}, {"X509_verify_cert", false},
    {"X509_verify_cert_error_string", false}, {"X509_get_issuer_name", false},
    {"X509_get_subject_name", false}, {"X509_get_serialNumber", false},
    {"X509_NAME_oneline", false}, {"X509_NAME_get_text_by_NID", false},
    {"X509_NAME_get_index_by_NID", false}, {"X509_NAME_free", false}, {"X509_NAME_cmp", false},
    {"X509_get_ext", false}, {"X509_get_ext_count", false}, {"X509_free", false},
    {"X509_CRL_free", false}, {"X509V3_EXT_get", false}, {"X509V3_EXT_print", false},
    {"X509V3_EXT_d2i", false}, {"X509V3_conf_free", false}, {"X509_EXTENSION_get_object", false},
    {"X509_EXTENSION_get_data", false}, {"X509_EXTENSION_get_critical", false},
    {"X509_subject_name_hash", false}, {"X509_print", false}, {"X509_digest", false},
    {"X509_check_private_key", false}, {"EVP_sha1", false}, {"EVP_sha256", false},
    {"EVP_md5", false}, {"EVP_PKEY_new", false}, {"EVP_PKEY_free", false}, {"EVP_PKEY_get0", true},
    {"EVP_PKEY_assign", false}, {"EVP_PKEY_get_size", false}, {"EVP_PKEY_get_bits", false},
    {"EVP_get_cipherbyname", false}, {"EVP_des_ede3_cbc", false}, {"RSA_generate_key", false},
    {"RSA_print", false}, {"DSA_print", false}, {"EC_KEY_print", false}, {"OBJ_nid2sn", false},
    {"OBJ_nid2ln", false}, {"OBJ_obj2nid", false}, {"OPENSSL_sk_num", false},
    {"OPENSSL_sk_value", false}, {"OPENSSL_sk_new_null", false}, {"OPENSSL_sk_free", false},
    {"OPENSSL_sk_pop_free", false}, {"OPENSSL_sk_push", false}, {"OPENSSL_sk_delete", false},
    {"OPENSSL_sk_pop", false}, {"OPENSSL_sk_find", false}, {"OPENSSL_sk_insert", false},
    {"OPENSSL_sk_dup", false}, {"OPENSSL_sk_set", false}, {"PEM_write_bio_X509", false},
    {"PEM_write_bio_X509_REQ", false}, {"PEM_write_bio_X509_CRL", false},
    {"PEM_read_bio_X509_CRL", false}, {"PEM_read_bio_X509", false}, {"PEM_read_bio_PKCS7", false},
    {"PEM_write_bio_PKCS7", false}, {"PEM_do_header", false}, {"PEM_X509_INFO_read_bio", false},
    {"PEM_write_bio_PrivateKey", false}, {"PEM_read_bio_PrivateKey", false}, {"CRYPTO_free", false},
    {"X509_NAME_ENTRY_get_object", false}, {"X509_NAME_get_entry", false},
    {"X509_NAME_entry_count", false}, {"X509_NAME_ENTRY_get_data", false},
    {"X509_set_version", false}, {"ASN1_STRING_to_UTF8", false}, {"ASN1_INTEGER_set", false},
    {"ASN1_INTEGER_get", false}, {"ASN1_STRING_print", false}, {"ASN1_item_d2i", false},
    {"ASN1_item_free", false}, {"ASN1_STRING_free", false}, {"i2a_ASN1_OBJECT", false},
    {"X509_gmtime_adj", false}, {"X509_set_pubkey", false}, {"X509_new", false},
    {"X509_NAME_add_entry_by_txt", false}, {"X509_NAME_add_entry_by_NID", false},
    {"X509_NAME_new", false}, {"X509_set_issuer_name", false}, {"X509_sign", false},
    {"X509_INFO_free", false}, {"X509_CRL_dup", false}, {"X509_PKEY_free", true},
    {"i2d_X509", false}, {"i2d_PrivateKey", false}, {"d2i_PrivateKey", false},
    {"X509_get_pubkey", false}, {"X509_PUBKEY_free", false}, {"X509_check_purpose", false},
    {"X509_PURPOSE_get_id", false}, {"X509_PURPOSE_get0", false}, {"X509_PURPOSE_get0_name", false},
    {"X509_PURPOSE_get0_sname", false}, {"X509_PURPOSE_get_count", false},
    {"CONF_modules_unload", false}, {"OPENSSL_init_crypto", false}, {"PKCS7_new", false},
    {"PKCS7_free", false}, {"PKCS7_set_type", false}, {"PKCS7_content_new", false},
    {"PKCS7_add_certificate", false}, {"PKCS12_parse", false}, {"PKCS12_verify_mac", false},
    {"PKCS12_free", false}, {"PKCS12_create", false}, {"X509_VERIFY_PARAM_set1_ip_asc", false},
};

constexpr const char* kCryptoNotLoaded = "*NOT LOADED*";
constexpr const char* kSslNotLoaded = "*NOT_LOADED*";
constexpr size_t kMissingListMax = 512;

struct TLoaderState {
  std::mutex Lock;
  void* Crypto = nullptr;
  void* Ssl = nullptr;
  std::string CryptoPath = kCryptoNotLoaded;
  std::string SslPath = kSslNotLoaded;
  uint32_t Version = 0;
  bool RenegotiationRestricted = false;
  int Count = 0;
  TSslApi Api;
};

TLoaderState& State() {
  static TLoaderState* state = new TLoaderState;  // never destroyed: users may outlive statics
  return *state;
}

std::string ModulePath(void* handle) {
  link_map* map = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return std::string();
  // Kept to the 256-character buffer the path was always read into.
  return std::string(map->l_name).substr(0, 255);
}

std::string Hex8(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", value);
  return buf;
}

// " name" for every required entry point that `handle` lacks, in table order; found ones are
// stored in `found` by name.
template <size_t N>
std::string LookUp(void* handle, const TEntry (&table)[N], std::vector<std::pair<const char*, void*>>& found) {
  std::string missing;
  for (const TEntry& entry : table) {
    void* address = ::dlsym(handle, entry.Name);
    if (address)
      found.emplace_back(entry.Name, address);
    else if (!entry.Optional)
      missing += std::string(" ") + entry.Name;
  }
  return missing;
}

std::string CutMissingList(std::string list) {
  if (list.size() > kMissingListMax) {
    list.resize(kMissingListMax);
    list[kMissingListMax - 2] = '.';
    list[kMissingListMax - 1] = '.';
  }
  return list;
}

void* Find(const std::vector<std::pair<const char*, void*>>& found, const char* name) {
  for (const auto& [n, address] : found)
    if (std::strcmp(n, name) == 0) return address;
  return nullptr;
}

void FillApi(TSslApi& api, const std::vector<std::pair<const char*, void*>>& found) {
#define TAMVIREL_TLS_FILL(name) api.name = reinterpret_cast<decltype(api.name)>(Find(found, #name));
  TAMVIREL_TLS_CRYPTO_CALLS(TAMVIREL_TLS_FILL)
  TAMVIREL_TLS_SSL_CALLS(TAMVIREL_TLS_FILL)
#undef TAMVIREL_TLS_FILL
  api.ERR_remove_thread_state =
      reinterpret_cast<decltype(api.ERR_remove_thread_state)>(Find(found, "ERR_remove_thread_state"));
  api.ERR_remove_state = reinterpret_cast<decltype(api.ERR_remove_state)>(Find(found, "ERR_remove_state"));
  api.TLSv1_method = reinterpret_cast<decltype(api.TLSv1_method)>(Find(found, "TLSv1_method"));
  api.TLSv1_client_method =
      reinterpret_cast<decltype(api.TLSv1_client_method)>(Find(found, "TLSv1_client_method"));
  api.TLSv1_server_method =
      reinterpret_cast<decltype(api.TLSv1_server_method)>(Find(found, "TLSv1_server_method"));
}

void Forget(TLoaderState& s) {
  if (s.Ssl) ::dlclose(s.Ssl);
  if (s.Crypto) ::dlclose(s.Crypto);
  s.Ssl = s.Crypto = nullptr;
  s.CryptoPath = kCryptoNotLoaded;
  s.SslPath = kSslNotLoaded;
  s.Version = 0;
  s.RenegotiationRestricted = false;
  s.Api = TSslApi{};
}

void LoadLocked(TLoaderState& s) {
  std::vector<std::pair<const char*, void*>> found;

  // The crypto library: file, version, entry points.
  s.Crypto = ::dlopen(GSslCryptoLibName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!s.Crypto) {
    const char* why = ::dlerror();
    throw ECryptoLibException("Unable to load " + GSslCryptoLibName + ". Error #0\r\n" +
                              (why ? why : ""));
  }
  s.CryptoPath = ModulePath(s.Crypto);
  using TVersionNum = unsigned long (*)();
  if (auto versionNum = reinterpret_cast<TVersionNum>(::dlsym(s.Crypto, "OpenSSL_version_num"))) {
    s.Version = static_cast<uint32_t>(versionNum());
    if (s.Version < kMinOpenSslVersion || s.Version > kMaxOpenSslVersion) {
      const std::string message = "Unsupported OpenSSL version (0x" + Hex8(s.Version) +
                                  ") !\r\nSupported versions are 0x" + Hex8(kMinOpenSslVersion) +
                                  " - 0x" + Hex8(kMaxOpenSslVersion) + "\r\nFileName: " + s.CryptoPath;
      Forget(s);
      throw ECryptoLibException(message);
    }
    s.RenegotiationRestricted = s.Version >= 0x009080CFu && s.Version <= 0x009080EEu;
  }
  std::string missing = LookUp(s.Crypto, kCryptoEntries, found);
  if (!missing.empty()) {
    Forget(s);
    throw ECryptoLibException("Unable to load LIBEAY DLL. Can't find " + CutMissingList(missing));
  }

  // The ssl library.
  s.Ssl = ::dlopen(GSslLibName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!s.Ssl) {
    const char* why = ::dlerror();
    const std::string reason = why ? why : "";
    Forget(s);
    if (reason.find("No such file") != std::string::npos)
      throw ESslLibException("File not found: " + GSslLibName);
    throw ESslLibException("Unable to load " + GSslLibName + ". Win32 error #0\r\n" + reason);
  }
  s.SslPath = ModulePath(s.Ssl);
  missing = LookUp(s.Ssl, kSslEntries, found);
  if (!missing.empty()) {
    Forget(s);
    throw ESslLibException("Unable to load SSLEAY DLL. Can't find " + CutMissingList(missing));
  }
  FillApi(s.Api, found);

  // Initialisation (error strings included); the libraries clean up after themselves at
  // process exit, and calling their final clean-up would make any later load fail.
  if (s.Api.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                             nullptr) != 1) {
    Forget(s);
    throw ESslLibException("Unable to initialize the ssl library");
  }
  const uint32_t tick = platform::GetTickCount();
  s.Api.RAND_seed(&tick, sizeof tick);
}

}  // namespace

const TSslApi& Api() { return State().Api; }

void LoadTls() {
  TLoaderState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  if (s.Count == 0) LoadLocked(s);
  ++s.Count;
}

void UnloadTls() {
  TLoaderState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  if (s.Count <= 0) return;
  if (--s.Count > 0) return;
  // This thread's error queue goes; the rest of the libraries' state stays for a later load.
  if (s.Api.ERR_remove_thread_state)
    s.Api.ERR_remove_thread_state(nullptr);
  else if (s.Api.ERR_remove_state)
    s.Api.ERR_remove_state(0);
  Forget(s);
}

int TlsLoadCount() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().Count;
}

bool TlsLoaded() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().Ssl != nullptr;
}

std::string TlsCryptoLibPath() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().CryptoPath;
}

std::string TlsSslLibPath() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().SslPath;
}

uint32_t TlsVersionNumber() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().Version;
}

bool TlsRenegotiationRestricted() {
  std::lock_guard<std::mutex> guard(State().Lock);
  return State().RenegotiationRestricted;
}

std::string TlsVersionText() {
  std::lock_guard<std::mutex> guard(State().Lock);
  if (!State().Api.OpenSSL_version) return std::string();
  return State().Api.OpenSSL_version(OPENSSL_VERSION);
}

std::string OpenSslErrorText(bool all) {
  const TSslApi& api = Api();
  if (!api.ERR_get_error) return std::string();
  std::string text;
  for (;;) {
    const unsigned long code = api.ERR_get_error();
    if (code == 0) break;
    char buf[120] = {};
    api.ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "\r\n";
    text += buf;  // cut at the terminating zero
    if (!all) break;
  }
  return text;
}

TSslBaseComponent::~TSslBaseComponent() { FinalizeSsl(); }

void TSslBaseComponent::InitializeSsl() {
  if (FSslInitialized) return;
  LoadTls();
  FSslInitialized = true;
}

void TSslBaseComponent::FinalizeSsl() {
  if (!FSslInitialized) return;
  FSslInitialized = false;
  UnloadTls();
}

std::string TSslBaseComponent::ComposeOpenSslError(const std::string& message, bool all) {
  FLastSslError = Api().ERR_peek_error ? Api().ERR_peek_error() : 0;
  const std::string text = OpenSslErrorText(all);
  if (message.empty()) return "\r\n" + text + "\r\n";
  return "\r\n" + message + "\r\n" + text + "\r\n";
}

}  // namespace tls

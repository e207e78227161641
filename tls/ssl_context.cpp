#include "tls/ssl_context.h"

#include <sys/stat.h>
#include <dirent.h>

#include <algorithm>

#include "tls/ssl_internal.h"
#include "tls/ssl_wsocket.h"

namespace tls {

namespace {

bool FileExists(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

std::recursive_mutex& SslCallbackLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

uint64_t SslOptionsValue(const std::set<TSslOption>& options) {
  uint64_t value = 0;
  for (TSslOption o : options) {
    switch (o) {
      case TSslOption::sslOpt_CIPHER_SERVER_PREFERENCE: value |= SSL_OP_CIPHER_SERVER_PREFERENCE; break;
      case TSslOption::sslOpt_MICROSOFT_SESS_ID_BUG: value |= SSL_OP_MICROSOFT_SESS_ID_BUG; break;
      case TSslOption::sslOpt_NETSCAPE_CHALLENGE_BUG: value |= SSL_OP_NETSCAPE_CHALLENGE_BUG; break;
      case TSslOption::sslOpt_NETSCAPE_REUSE_CIPHER_CHANGE_BUG:
        value |= SSL_OP_NETSCAPE_REUSE_CIPHER_CHANGE_BUG;
        break;
      case TSslOption::sslOpt_SSLREF2_REUSE_CERT_TYPE_BUG: value |= SSL_OP_SSLREF2_REUSE_CERT_TYPE_BUG; break;
      case TSslOption::sslOpt_MICROSOFT_BIG_SSLV3_BUFFER: value |= SSL_OP_MICROSOFT_BIG_SSLV3_BUFFER; break;
      case TSslOption::sslOpt_MSIE_SSLV2_RSA_PADDING: value |= SSL_OP_MSIE_SSLV2_RSA_PADDING; break;
      case TSslOption::sslOpt_SSLEAY_080_CLIENT_DH_BUG: value |= SSL_OP_SSLEAY_080_CLIENT_DH_BUG; break;
      case TSslOption::sslOpt_TLS_D5_BUG: value |= SSL_OP_TLS_D5_BUG; break;
      case TSslOption::sslOpt_TLS_BLOCK_PADDING_BUG: value |= SSL_OP_TLS_BLOCK_PADDING_BUG; break;
      case TSslOption::sslOpt_TLS_ROLLBACK_BUG: value |= SSL_OP_TLS_ROLLBACK_BUG; break;
      case TSslOption::sslOpt_NO_SSLv2: value |= SSL_OP_NO_SSLv2; break;
      case TSslOption::sslOpt_NO_SSLv3: value |= SSL_OP_NO_SSLv3; break;
      case TSslOption::sslOpt_NO_TLSv1: value |= SSL_OP_NO_TLSv1; break;
      case TSslOption::sslOpt_PKCS1_CHECK_1: value |= SSL_OP_PKCS1_CHECK_1; break;
      case TSslOption::sslOpt_PKCS1_CHECK_2: value |= SSL_OP_PKCS1_CHECK_2; break;
      case TSslOption::sslOpt_NETSCAPE_CA_DN_BUG: value |= SSL_OP_NETSCAPE_CA_DN_BUG; break;
      case TSslOption::sslOpt_NETSCAPE_DEMO_CIPHER_CHANGE_BUG:
        value |= SSL_OP_NETSCAPE_DEMO_CIPHER_CHANGE_BUG;
        break;
      case TSslOption::sslOpt_DONT_INSERT_EMPTY_FRAGMENTS: value |= SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS; break;
      case TSslOption::sslOpt_NO_SESSION_RESUMPTION_ON_RENEGOTIATION:
        value |= SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION;
        break;
      case TSslOption::sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION:
        value |= SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION;
        break;
      case TSslOption::sslOpt_NO_TICKET: value |= SSL_OP_NO_TICKET; break;
      case TSslOption::sslOpt_NO_COMPRESSION: value |= SSL_OP_NO_COMPRESSION; break;
      case TSslOption::sslOpt_SINGLE_DH_USE: value |= SSL_OP_SINGLE_DH_USE; break;
      case TSslOption::sslOpt_NO_TLSv1_1: value |= SSL_OP_NO_TLSv1_1; break;
      case TSslOption::sslOpt_NO_TLSv1_2: value |= SSL_OP_NO_TLSv1_2; break;
      case TSslOption::sslOpt_NO_TLSv1_3: value |= SSL_OP_NO_TLSv1_3; break;
    }
  }
  return value;
}

long SslVerifyModeValue(const std::set<TSslVerifyPeerMode>& modes) {
  long value = 0;
  for (TSslVerifyPeerMode m : modes) {
    if (m == TSslVerifyPeerMode::SslVerifyMode_PEER) value |= SSL_VERIFY_PEER;
    if (m == TSslVerifyPeerMode::SslVerifyMode_FAIL_IF_NO_PEER_CERT) value |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    if (m == TSslVerifyPeerMode::SslVerifyMode_CLIENT_ONCE) value |= SSL_VERIFY_CLIENT_ONCE;
  }
  return value;
}

long SslSessCacheModeValue(const std::set<TSslSessCacheMode>& modes) {
  long value = 0;
  for (TSslSessCacheMode m : modes) {
    switch (m) {
      case TSslSessCacheMode::sslSESS_CACHE_CLIENT: value |= SSL_SESS_CACHE_CLIENT; break;
      case TSslSessCacheMode::sslSESS_CACHE_SERVER: value |= SSL_SESS_CACHE_SERVER; break;
      case TSslSessCacheMode::sslSESS_CACHE_NO_AUTO_CLEAR: value |= SSL_SESS_CACHE_NO_AUTO_CLEAR; break;
      case TSslSessCacheMode::sslSESS_CACHE_NO_INTERNAL_LOOKUP: value |= SSL_SESS_CACHE_NO_INTERNAL_LOOKUP; break;
      case TSslSessCacheMode::sslSESS_CACHE_NO_INTERNAL_STORE: value |= SSL_SESS_CACHE_NO_INTERNAL_STORE; break;
    }
  }
  return value;
}

unsigned long SslVerifyFlagsValue(const std::set<TSslVerifyFlag>& flags) {
  unsigned long value = 0;
  for (TSslVerifyFlag f : flags) {
    switch (f) {
      case TSslVerifyFlag::sslX509_V_FLAG_CB_ISSUER_CHECK: value |= 0x1; break;
      case TSslVerifyFlag::sslX509_V_FLAG_USE_CHECK_TIME: value |= X509_V_FLAG_USE_CHECK_TIME; break;
      case TSslVerifyFlag::sslX509_V_FLAG_CRL_CHECK: value |= X509_V_FLAG_CRL_CHECK; break;
      case TSslVerifyFlag::sslX509_V_FLAG_CRL_CHECK_ALL: value |= X509_V_FLAG_CRL_CHECK_ALL; break;
      case TSslVerifyFlag::sslX509_V_FLAG_IGNORE_CRITICAL: value |= X509_V_FLAG_IGNORE_CRITICAL; break;
      case TSslVerifyFlag::sslX509_V_FLAG_X509_STRICT: value |= X509_V_FLAG_X509_STRICT; break;
      case TSslVerifyFlag::sslX509_V_FLAG_ALLOW_PROXY_CERTS: value |= X509_V_FLAG_ALLOW_PROXY_CERTS; break;
    }
  }
  return value;
}

TSslContext::TSslContext() { FVerifyModeValue = SslVerifyModeValue(FSslVerifyPeerModes); }

TSslContext::~TSslContext() {
  std::vector<TCustomSslWSocket*> sockets;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    sockets.swap(FSockets);
  }
  for (TCustomSslWSocket* s : sockets) s->ContextDestroyed(this);
  FreeContext();
}

void TSslContext::AddSocket(TCustomSslWSocket* socket) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (std::find(FSockets.begin(), FSockets.end(), socket) == FSockets.end()) FSockets.push_back(socket);
}

void TSslContext::RemoveSocket(TCustomSslWSocket* socket) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FSockets.erase(std::remove(FSockets.begin(), FSockets.end(), socket), FSockets.end());
}

void TSslContext::BuildContext() {
  InitializeSsl();
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const TSslApi& api = Api();
  if (!FSslCtx) {
    const SSL_METHOD* method = nullptr;
    switch (FSslVersionMethod) {
      case TSslVersionMethod::sslTLS_V1: method = api.TLSv1_method ? api.TLSv1_method() : nullptr; break;
      case TSslVersionMethod::sslTLS_V1_CLIENT:
        method = api.TLSv1_client_method ? api.TLSv1_client_method() : nullptr;
        break;
      case TSslVersionMethod::sslTLS_V1_SERVER:
        method = api.TLSv1_server_method ? api.TLSv1_server_method() : nullptr;
        break;
      case TSslVersionMethod::sslV23: method = api.TLS_method(); break;
      case TSslVersionMethod::sslV23_CLIENT: method = api.TLS_client_method(); break;
      case TSslVersionMethod::sslV23_SERVER: method = api.TLS_server_method(); break;
      default:
        // The protocol-2 and -3 methods are gone from the library.
        throw ESslContextException(kSslUnknownVersionMethod);
    }
    if (!method) throw ESslContextException(kSslUnknownVersionMethod);
    FSslCtx = api.SSL_CTX_new(method);
    if (!FSslCtx) throw ESslContextException("Failed to initialize context");
  }
  try {
    if (OnBeforeInit) OnBeforeInit(this);
    api.SSL_CTX_set_default_passwd_cb(FSslCtx, &TSslContext::PassPhraseCallback);
    api.SSL_CTX_set_default_passwd_cb_userdata(FSslCtx, this);
    LoadPrivateKey();
    LoadCertificate();
    LoadAuthorities();
    if (!FSslCRLFile.empty()) LoadCrlFile(FSslCRLFile);
    LoadCrlPath();
    api.X509_STORE_set_flags(api.SSL_CTX_get_cert_store(FSslCtx), FVerifyFlagsValue);
    ApplyVerification();
    uint64_t options = FOptionsValue | SSL_OP_NO_TICKET;
    if (TlsVersionNumber() >= 0x10000000u) options &= ~uint64_t{0x20};
    api.SSL_CTX_set_options(FSslCtx, options);
    if (FSslCipherList.empty()) throw ESslContextException("Cipher list empty");
    if (api.SSL_CTX_set_cipher_list(FSslCtx, FSslCipherList.c_str()) != 1)
      RaiseOpenSslError<ESslContextException>("Error loading cipher list");
    api.SSL_CTX_ctrl(FSslCtx, SSL_CTRL_SET_SESS_CACHE_MODE, FSessCacheModeValue, nullptr);
    if (!FSslSessionCacheModes.count(TSslSessCacheMode::sslSESS_CACHE_NO_INTERNAL_STORE)) {
      if (api.SSL_CTX_set_ex_data(FSslCtx, 0, this) != 1)
        RaiseOpenSslError<ESslContextException>("SSL_CTX_set_ex_data failed");
      api.SSL_CTX_sess_set_remove_cb(FSslCtx, &TSslContext::RemoveSessionCallback);
      if (FSslSessionCacheSize != kDefaultSslSessionCacheSize)
        api.SSL_CTX_ctrl(FSslCtx, SSL_CTRL_SET_SESS_CACHE_SIZE, FSslSessionCacheSize, nullptr);
    }
    if (FSslSessionCacheModes.count(TSslSessCacheMode::sslSESS_CACHE_SERVER)) {
      if (FSslSessionTimeout != 0) api.SSL_CTX_set_timeout(FSslCtx, FSslSessionTimeout);
      ApplySessionIdContext();
    }
  } catch (...) {
    api.SSL_CTX_free(FSslCtx);
    FSslCtx = nullptr;
    throw;
  }
}

void TSslContext::FreeContext() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (FSslCtx) {
    const TSslApi& api = Api();
    api.SSL_CTX_set_ex_data(FSslCtx, 0, nullptr);
    api.SSL_CTX_sess_set_remove_cb(FSslCtx, nullptr);
    api.SSL_CTX_set_default_passwd_cb(FSslCtx, nullptr);
    api.SSL_CTX_set_default_passwd_cb_userdata(FSslCtx, nullptr);
    api.SSL_CTX_free(FSslCtx);
    FSslCtx = nullptr;
  }
  FinalizeSsl();
}

void TSslContext::LoadPrivateKey() {
  if (FSslPrivKeyFile.empty()) return;
  if (!FSslCtx) throw ESslContextException(kSslContextNotInitialized);
  if (!FileExists(FSslPrivKeyFile)) throw ESslContextException(kSslFileNotFound + Quoted(FSslPrivKeyFile));
  if (Api().SSL_CTX_use_PrivateKey_file(FSslCtx, FSslPrivKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    RaiseOpenSslError<ESslContextException>("Can't load private key file " + Quoted(FSslPrivKeyFile));
}

void TSslContext::LoadCertificate() {
  if (FSslCertFile.empty()) return;
  if (!FSslCtx) throw ESslContextException(kSslContextNotInitialized);
  if (!FileExists(FSslCertFile)) throw ESslContextException(kSslFileNotFound + Quoted(FSslCertFile));
  if (Api().SSL_CTX_use_certificate_chain_file(FSslCtx, FSslCertFile.c_str()) != 1)
    RaiseOpenSslError<ESslContextException>("Can't read certificate file " + Quoted(FSslCertFile));
}

void TSslContext::LoadAuthorities() {
  if (!FSslCtx) throw ESslContextException(kSslContextNotInitialized);
  if (!FSslCAFile.empty() && !FileExists(FSslCAFile))
    throw ESslContextException(kSslFileNotFound + Quoted(FSslCAFile));
  if (!FSslCAPath.empty() && !DirectoryExists(FSslCAPath))
    throw ESslContextException("Directory not found " + Quoted(FSslCAPath));
  if (!FSslCAFile.empty() || !FSslCAPath.empty()) {
    if (Api().SSL_CTX_load_verify_locations(FSslCtx, FSslCAFile.empty() ? nullptr : FSslCAFile.c_str(),
                                            FSslCAPath.empty() ? nullptr : FSslCAPath.c_str()) != 1)
      RaiseOpenSslError<ESslContextException>("Can't read CA File " + Quoted(FSslCAFile) + " or " +
                                              "CA Path " + Quoted(FSslCAPath));
    return;
  }
  // The system's trusted authorities; the library also honours SSL_CERT_FILE / SSL_CERT_DIR.
  if (Api().SSL_CTX_set_default_verify_paths(FSslCtx) != 1)
    RaiseOpenSslError<ESslContextException>("Error loading default CA file and/or directory");
}

void TSslContext::LoadCrlFile(const std::string& name) {
  if (!FSslCtx) throw ESslContextException(kSslContextNotInitialized);
  if (!FileExists(name)) throw ESslContextException("CRL file not found " + Quoted(name));
  const TSslApi& api = Api();
  BIO* in = api.BIO_new_file(name.c_str(), "r");
  if (!in) RaiseOpenSslError<ESslContextException>("Error on reading CRL file " + Quoted(name));
  STACK_OF(X509_INFO)* infos = api.PEM_X509_INFO_read_bio(in, nullptr, nullptr, nullptr);
  api.BIO_free(in);
  if (!infos) RaiseOpenSslError<ESslContextException>("Error reading info file " + Quoted(name));
  X509_STORE* store = api.SSL_CTX_get_cert_store(FSslCtx);
  const int count = api.OPENSSL_sk_num(reinterpret_cast<OPENSSL_STACK*>(infos));
  for (int i = 0; i < count; ++i) {
    auto* info = static_cast<X509_INFO*>(api.OPENSSL_sk_value(reinterpret_cast<OPENSSL_STACK*>(infos), i));
    if (store && info && info->crl) api.X509_STORE_add_crl(store, info->crl);
  }
  for (int i = 0; i < count; ++i)
    api.X509_INFO_free(static_cast<X509_INFO*>(api.OPENSSL_sk_value(reinterpret_cast<OPENSSL_STACK*>(infos), i)));
  api.OPENSSL_sk_free(reinterpret_cast<OPENSSL_STACK*>(infos));
  if (!store) RaiseOpenSslError<ESslContextException>("Error on opening store");
}

void TSslContext::LoadCrlPath() {
  if (FSslCRLPath.empty()) return;
  if (!DirectoryExists(FSslCRLPath))
    throw ESslContextException("CRL directory not found " + Quoted(FSslCRLPath));
  DIR* dir = ::opendir(FSslCRLPath.c_str());
  if (!dir) throw ESslContextException("CRL directory not found " + Quoted(FSslCRLPath));
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.find('.') != std::string::npos && name != "." && name != "..")
      names.push_back(FSslCRLPath + "/" + name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names)
    if (FileExists(name)) LoadCrlFile(name);
}

void TSslContext::ApplyVerification() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!FSslCtx) return;
  const TSslApi& api = Api();
  if (!FSslVerifyPeer) {
    api.SSL_CTX_set_verify(FSslCtx, SSL_VERIFY_NONE, nullptr);
    api.SSL_CTX_set_verify_depth(FSslCtx, 0);
    return;
  }
  if (api.SSL_CTX_get_verify_mode(FSslCtx) != FVerifyModeValue)
    api.SSL_CTX_set_verify(FSslCtx, static_cast<int>(FVerifyModeValue), &SslVerifyCallback);
  api.SSL_CTX_set_verify_depth(FSslCtx, FSslVerifyDepth);
}

void TSslContext::ApplySessionIdContext() {
  if (!FSslCtx) return;
  if (Api().SSL_CTX_set_session_id_context(
          FSslCtx, reinterpret_cast<const unsigned char*>(FSslDefaultSessionIDContext.data()),
          static_cast<unsigned>(FSslDefaultSessionIDContext.size())) != 1)
    RaiseOpenSslError<ESslContextException>("ssl_ctx_set_session_id_context failed");
}

int TSslContext::PassPhraseCallback(char* buf, int size, int, void* userdata) {
  std::lock_guard<std::recursive_mutex> guard(SslCallbackLock());
  auto* self = static_cast<TSslContext*>(userdata);
  if (!self || !buf) return 0;
  const std::string& phrase = self->FSslPassPhrase;
  if (phrase.empty() || size < static_cast<int>(phrase.size()) + 1) return 0;
  std::copy(phrase.begin(), phrase.end(), buf);
  buf[phrase.size()] = '\0';
  return static_cast<int>(phrase.size());
}

void TSslContext::RemoveSessionCallback(ssl_ctx_st* ctx, ssl_session_st* session) {
  std::lock_guard<std::recursive_mutex> guard(SslCallbackLock());
  auto* self = static_cast<TSslContext*>(Api().SSL_CTX_get_ex_data(ctx, 0));
  if (self && self->OnRemoveSession) self->OnRemoveSession(self, session);
}

// ---- setters ----

#define TAMVIREL_TLS_LOCKED std::lock_guard<std::recursive_mutex> guard(FLock)

void TSslContext::SetSslCertFile(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCertFile = value;
  if (FSslCtx) LoadCertificate();
}
void TSslContext::SetSslPassPhrase(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslPassPhrase = value;
}
void TSslContext::SetSslPrivKeyFile(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslPrivKeyFile = value;
  if (FSslCtx) LoadPrivateKey();
}
void TSslContext::SetSslCAFile(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCAFile = value;
  if (FSslCtx) LoadAuthorities();
}
void TSslContext::SetSslCAPath(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCAPath = value;
  if (FSslCtx) LoadAuthorities();
}
void TSslContext::SetSslCRLFile(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCRLFile = value;
}
void TSslContext::SetSslCRLPath(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCRLPath = value;
}
void TSslContext::SetSslVerifyPeer(bool value) {
  TAMVIREL_TLS_LOCKED;
  FSslVerifyPeer = value;
  ApplyVerification();
}
void TSslContext::SetSslVerifyDepth(int value) {
  TAMVIREL_TLS_LOCKED;
  FSslVerifyDepth = value;
}
void TSslContext::SetSslVerifyFlags(const std::set<TSslVerifyFlag>& value) {
  TAMVIREL_TLS_LOCKED;
  FSslVerifyFlags = value;
  FVerifyFlagsValue = SslVerifyFlagsValue(value);
}
void TSslContext::SetSslOptions(const std::set<TSslOption>& value) {
  TAMVIREL_TLS_LOCKED;
  FSslOptions = value;
  FOptionsValue = SslOptionsValue(value);
}
void TSslContext::SetSslVerifyPeerModes(const std::set<TSslVerifyPeerMode>& value) {
  TAMVIREL_TLS_LOCKED;
  FSslVerifyPeerModes = value;
  FVerifyModeValue = SslVerifyModeValue(value);
  ApplyVerification();
}
void TSslContext::SetSslSessionCacheModes(const std::set<TSslSessCacheMode>& value) {
  TAMVIREL_TLS_LOCKED;
  FSslSessionCacheModes = value;
  FSessCacheModeValue = SslSessCacheModeValue(value);
}
void TSslContext::SetSslCipherList(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslCipherList = value;
}
void TSslContext::SetSslVersionMethod(TSslVersionMethod value) {
  TAMVIREL_TLS_LOCKED;
  FSslVersionMethod = value;
}
void TSslContext::SetSslSessionTimeout(unsigned value) {
  TAMVIREL_TLS_LOCKED;
  FSslSessionTimeout = value;
}
void TSslContext::SetSslSessionCacheSize(int value) {
  TAMVIREL_TLS_LOCKED;
  FSslSessionCacheSize = value;
}
void TSslContext::SetSslDefaultSessionIDContext(const std::string& value) {
  TAMVIREL_TLS_LOCKED;
  FSslDefaultSessionIDContext = value.substr(0, 32);
  if (FSslCtx) ApplySessionIdContext();
}

#undef TAMVIREL_TLS_LOCKED

}  // namespace tls

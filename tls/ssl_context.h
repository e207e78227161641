#pragma once
// One TLS context and the settings it is built from: protocol method, cipher list, peer
// verification, certificate and key files, trusted authorities, revocation lists, options and
// session caching. Sockets build their per-connection TLS objects from it. The context is
// built lazily, by the first handshake of a socket that uses it (BuildContext).

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tls/ssl_library.h"

struct ssl_ctx_st;
struct ssl_session_st;

namespace tls {

class TCustomSslWSocket;

// Texts of ESslContextException that more than one step raises.
inline constexpr const char* kSslContextNotInitialized = "SSL context not initialized";
inline constexpr const char* kSslUnknownVersionMethod = "Unknown SslVersionMethod";
inline constexpr const char* kSslFileNotFound = "File not found ";  // followed by the quoted path

class ESslContextException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TSslVersionMethod {
  sslV2, sslV2_CLIENT, sslV2_SERVER,
  sslV3, sslV3_CLIENT, sslV3_SERVER,
  sslTLS_V1, sslTLS_V1_CLIENT, sslTLS_V1_SERVER,
  sslV23, sslV23_CLIENT, sslV23_SERVER,
};

enum class TSslVerifyPeerMode {
  SslVerifyMode_NONE, SslVerifyMode_PEER, SslVerifyMode_FAIL_IF_NO_PEER_CERT, SslVerifyMode_CLIENT_ONCE,
};

// Each maps to the library's option bit of the same name (bits the library no longer has
// map to 0).
enum class TSslOption {
  sslOpt_CIPHER_SERVER_PREFERENCE, sslOpt_MICROSOFT_SESS_ID_BUG, sslOpt_NETSCAPE_CHALLENGE_BUG,
  sslOpt_NETSCAPE_REUSE_CIPHER_CHANGE_BUG, sslOpt_SSLREF2_REUSE_CERT_TYPE_BUG,
  sslOpt_MICROSOFT_BIG_SSLV3_BUFFER, sslOpt_MSIE_SSLV2_RSA_PADDING, sslOpt_SSLEAY_080_CLIENT_DH_BUG,
  sslOpt_TLS_D5_BUG, sslOpt_TLS_BLOCK_PADDING_BUG, sslOpt_TLS_ROLLBACK_BUG, sslOpt_NO_SSLv2,
  sslOpt_NO_SSLv3, sslOpt_NO_TLSv1, sslOpt_PKCS1_CHECK_1, sslOpt_PKCS1_CHECK_2,
  sslOpt_NETSCAPE_CA_DN_BUG, sslOpt_NETSCAPE_DEMO_CIPHER_CHANGE_BUG,
  sslOpt_DONT_INSERT_EMPTY_FRAGMENTS, sslOpt_NO_SESSION_RESUMPTION_ON_RENEGOTIATION,
  sslOpt_ALLOW_UNSAFE_LEGACY_RENEGOTIATION, sslOpt_NO_TICKET, sslOpt_NO_COMPRESSION,
  sslOpt_SINGLE_DH_USE, sslOpt_NO_TLSv1_1, sslOpt_NO_TLSv1_2, sslOpt_NO_TLSv1_3,
};

enum class TSslSessCacheMode {
  sslSESS_CACHE_CLIENT, sslSESS_CACHE_SERVER, sslSESS_CACHE_NO_AUTO_CLEAR,
  sslSESS_CACHE_NO_INTERNAL_LOOKUP, sslSESS_CACHE_NO_INTERNAL_STORE,
};

enum class TSslVerifyFlag {
  sslX509_V_FLAG_CB_ISSUER_CHECK, sslX509_V_FLAG_USE_CHECK_TIME, sslX509_V_FLAG_CRL_CHECK,
  sslX509_V_FLAG_CRL_CHECK_ALL, sslX509_V_FLAG_IGNORE_CRITICAL, sslX509_V_FLAG_X509_STRICT,
  sslX509_V_FLAG_ALLOW_PROXY_CERTS,
};

// The design's cipher list with unauthenticated suites excluded, so that turning on
// verification cannot be side-stepped by an anonymous key exchange.
inline const std::string kDefaultSslCipherList = "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH:!aNULL";
constexpr int kDefaultSslSessionCacheSize = 20480;  // means: leave the library's default

// Bit values of the sets, as the library takes them.
uint64_t SslOptionsValue(const std::set<TSslOption>& options);
long SslVerifyModeValue(const std::set<TSslVerifyPeerMode>& modes);
long SslSessCacheModeValue(const std::set<TSslSessCacheMode>& modes);
unsigned long SslVerifyFlagsValue(const std::set<TSslVerifyFlag>& flags);

class TSslContext : public TSslBaseComponent {
 public:
  using TNotifyEvent = std::function<void(TSslContext* sender)>;
  using TRemoveSessionEvent = std::function<void(TSslContext* sender, ssl_session_st* session)>;

  TSslContext();
  ~TSslContext() override;

  // Builds the library context from the settings (loads the libraries first). Throws
  // ESslContextException (and the loader's exceptions); a failure leaves no context behind.
  void BuildContext();
  // Frees the library context and gives the load reference back. Also run at destruction.
  void FreeContext();
  // The library context (nullptr until built).
  ssl_ctx_st* SslCtx() const { return FSslCtx; }

  // ---- properties; each setter takes the lock, and those that matter to a built context
  // re-apply at once (authorities, certificate, key, verification, session id context) ----
  const std::string& SslCertFile() const { return FSslCertFile; }
  void SetSslCertFile(const std::string& value);
  const std::string& SslPassPhrase() const { return FSslPassPhrase; }
  void SetSslPassPhrase(const std::string& value);
  const std::string& SslPrivKeyFile() const { return FSslPrivKeyFile; }
  void SetSslPrivKeyFile(const std::string& value);
  const std::string& SslCAFile() const { return FSslCAFile; }
  void SetSslCAFile(const std::string& value);
  const std::string& SslCAPath() const { return FSslCAPath; }
  void SetSslCAPath(const std::string& value);
  const std::string& SslCRLFile() const { return FSslCRLFile; }
  void SetSslCRLFile(const std::string& value);
  const std::string& SslCRLPath() const { return FSslCRLPath; }
  void SetSslCRLPath(const std::string& value);
  // The verification switch: on, the peer's chain is checked against the trusted authorities
  // and a socket also checks the peer's host name (see TCustomSslWSocket::SslServerName).
  bool SslVerifyPeer() const { return FSslVerifyPeer; }
  void SetSslVerifyPeer(bool value);
  int SslVerifyDepth() const { return FSslVerifyDepth; }
  void SetSslVerifyDepth(int value);
  const std::set<TSslVerifyFlag>& SslVerifyFlags() const { return FSslVerifyFlags; }
  void SetSslVerifyFlags(const std::set<TSslVerifyFlag>& value);
  const std::set<TSslOption>& SslOptions() const { return FSslOptions; }
  void SetSslOptions(const std::set<TSslOption>& value);
  const std::set<TSslVerifyPeerMode>& SslVerifyPeerModes() const { return FSslVerifyPeerModes; }
  void SetSslVerifyPeerModes(const std::set<TSslVerifyPeerMode>& value);
  const std::set<TSslSessCacheMode>& SslSessionCacheModes() const { return FSslSessionCacheModes; }
  void SetSslSessionCacheModes(const std::set<TSslSessCacheMode>& value);
  const std::string& SslCipherList() const { return FSslCipherList; }
  void SetSslCipherList(const std::string& value);
  TSslVersionMethod SslVersionMethod() const { return FSslVersionMethod; }
  void SetSslVersionMethod(TSslVersionMethod value);
  unsigned SslSessionTimeout() const { return FSslSessionTimeout; }
  void SetSslSessionTimeout(unsigned value);
  int SslSessionCacheSize() const { return FSslSessionCacheSize; }
  void SetSslSessionCacheSize(int value);
  const std::string& SslDefaultSessionIDContext() const { return FSslDefaultSessionIDContext; }
  void SetSslDefaultSessionIDContext(const std::string& value);  // cut to 32 characters

  // Computed values of the sets.
  uint64_t OptionsValue() const { return FOptionsValue; }
  long VerifyModeValue() const { return FVerifyModeValue; }

  TRemoveSessionEvent OnRemoveSession;
  TNotifyEvent OnBeforeInit;

 private:
  friend class TCustomSslWSocket;
  // Free notification: a socket that uses this context; destroying the context clears the
  // socket's reference.
  void AddSocket(TCustomSslWSocket* socket);
  void RemoveSocket(TCustomSslWSocket* socket);

  void LoadPrivateKey();
  void LoadCertificate();
  void LoadAuthorities();
  void LoadCrlFile(const std::string& name);
  void LoadCrlPath();
  void ApplyVerification();
  void ApplySessionIdContext();
  static int PassPhraseCallback(char* buf, int size, int rwflag, void* userdata);
  static void RemoveSessionCallback(ssl_ctx_st* ctx, ssl_session_st* session);

  std::recursive_mutex FLock;  // the init handler may set properties
  ssl_ctx_st* FSslCtx = nullptr;
  std::vector<TCustomSslWSocket*> FSockets;

  std::string FSslCertFile, FSslPassPhrase, FSslPrivKeyFile, FSslCAFile, FSslCAPath;
  std::string FSslCRLFile, FSslCRLPath;
  bool FSslVerifyPeer = false;
  int FSslVerifyDepth = 9;
  std::set<TSslVerifyFlag> FSslVerifyFlags;
  std::set<TSslOption> FSslOptions;
  std::set<TSslVerifyPeerMode> FSslVerifyPeerModes{TSslVerifyPeerMode::SslVerifyMode_PEER};
  std::set<TSslSessCacheMode> FSslSessionCacheModes;
  std::string FSslCipherList = kDefaultSslCipherList;
  TSslVersionMethod FSslVersionMethod = TSslVersionMethod::sslV23;
  unsigned FSslSessionTimeout = 0;
  int FSslSessionCacheSize = kDefaultSslSessionCacheSize;
  std::string FSslDefaultSessionIDContext;

  uint64_t FOptionsValue = 0;
  long FVerifyModeValue = 1;
  long FSessCacheModeValue = 0;
  unsigned long FVerifyFlagsValue = 0;
};

}  // namespace tls

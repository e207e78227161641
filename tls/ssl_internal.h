#pragma once
// Pieces shared by the context and the socket inside the TLS layer.

#include <mutex>

#include "tls/ssl_api.h"

namespace tls {

// The lock every library callback (pass phrase, verify, info, session removal) runs under.
std::recursive_mutex& SslCallbackLock();

// The peer-verification callback the context installs; it finds the socket through the
// connection's ex-data slot 0 (defined with the socket).
int SslVerifyCallback(int ok, X509_STORE_CTX* store);

}  // namespace tls

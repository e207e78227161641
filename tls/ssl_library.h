#pragma once
// Run-time binding of the TLS libraries. Nothing in the program links them: the first user
// loads both by file name, checks the version, looks up every entry point by name and
// initialises the libraries; the last user to let go unloads them. A failed load leaves
// nothing loaded and the count unchanged, so the next attempt starts from the beginning.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tls {

// The file names tried by the loader (variables, so a test or a packager can point them
// elsewhere before the first load).
extern std::string GSslCryptoLibName;  // "libcrypto.so.3"
extern std::string GSslLibName;        // "libssl.so.3"

// The supported range of the crypto library's packed version number (0xMNN00PP0).
constexpr uint32_t kMinOpenSslVersion = 0x30000000u;
constexpr uint32_t kMaxOpenSslVersion = 0x3FFFFFFFu;

// Crypto library problems: missing file, unsupported version, missing entry points.
class ECryptoLibException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Ssl library problems.
class ESslLibException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A failed TLS library call (the library's own error text follows the message).
class EOpenSslError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Takes one reference; loads and initialises on the first. Throws ECryptoLibException or
// ESslLibException (the count is then unchanged).
void LoadTls();
// Gives one reference back; unloads on the last. Never calls the libraries' final clean-up,
// so loading again later works.
void UnloadTls();
// How many references are held, and whether the libraries are loaded now.
int TlsLoadCount();
bool TlsLoaded();

// What the loader found (for diagnostics): full module paths ("*NOT LOADED*" /
// "*NOT_LOADED*" before loading), the packed version and its text.
std::string TlsCryptoLibPath();
std::string TlsSslLibPath();
uint32_t TlsVersionNumber();
std::string TlsVersionText();
// Whether the version lies where renegotiation must be refused (never for this generation).
bool TlsRenegotiationRestricted();

// The oldest queued library error as text; with `all` every queued error, one per line
// (joined by CR LF). Reading removes them from the queue. Empty when nothing is queued or
// the libraries are not loaded.
std::string OpenSslErrorText(bool all);

// The base of every component that needs the libraries: holds at most one load reference.
class TSslBaseComponent {
 public:
  TSslBaseComponent() = default;
  virtual ~TSslBaseComponent();
  TSslBaseComponent(const TSslBaseComponent&) = delete;
  TSslBaseComponent& operator=(const TSslBaseComponent&) = delete;

  // Takes this component's reference unless it holds one already.
  void InitializeSsl();
  // Gives it back (no-op when none is held).
  void FinalizeSsl();
  bool SslInitialized() const { return FSslInitialized; }
  // The code of the last library error this component raised (0: none).
  unsigned long LastSslError() const { return FLastSslError; }

  // Raises `E` with CR LF, the message, CR LF, the library's error text, CR LF (with an
  // empty message: CR LF, the error text, CR LF). Records the oldest queued error code.
  template <class E>
  [[noreturn]] void RaiseOpenSslError(const std::string& message, bool all = true) {
    throw E(ComposeOpenSslError(message, all));
  }

 protected:
  std::string ComposeOpenSslError(const std::string& message, bool all);
  unsigned long FLastSslError = 0;

 private:
  bool FSslInitialized = false;
};

}  // namespace tls

#include "tls/ssl_wsocket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "platform/tick_count.h"
#include "platform/winsock.h"
#include "tls/ssl_internal.h"

namespace tls {

using enum TSslHandshakeState;

namespace {

// A network read takes at most this much, and never more than the engine can take.
constexpr int kNetworkReadSize = kTlsBioPairSize;
// Decrypted bytes kept for the application before the network is left unread.
constexpr size_t kDecryptedLimit = 65536;
// Rounds of one notification before the message loop gets its turn.
constexpr int kRoundsPerNotification = 64;

constexpr int kWouldBlock = platform::WSAEWOULDBLOCK;  // 10035
constexpr int kConnAborted = platform::WSAECONNABORTED;  // 10053
constexpr int kShutdownError = platform::WSAESHUTDOWN;    // 10058

int KindIndex(long kind) { return kind == platform::FD_READ ? 0 : kind == platform::FD_WRITE ? 1 : 2; }

bool IsIpLiteral(const std::string& name) {
  in_addr v4{};
  in6_addr v6{};
  return ::inet_pton(AF_INET, name.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &v6) == 1;
}

std::string NameText(X509_NAME* name) {
  if (!name) return std::string();
  char buf[512] = {};
  Api().X509_NAME_oneline(name, buf, sizeof buf);
  return buf;
}

std::string SerialText(X509* cert) {
  const long serial = Api().ASN1_INTEGER_get(Api().X509_get_serialNumber(cert));
  // Public authorities issue 16- to 20-byte serials, too large for a long: the library then
  // returns -1 and queues an error, which would fail the handshake that is being verified.
  if (serial == -1) Api().ERR_clear_error();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lX", serial);
  return buf;
}

TX509Base Describe(X509* cert) {
  TX509Base info;
  if (cert)
    info.Assign(NameText(Api().X509_get_subject_name(cert)), NameText(Api().X509_get_issuer_name(cert)),
                SerialText(cert));
  return info;
}

}  // namespace

// ---- library callbacks ----

int SslVerifyCallback(int ok, X509_STORE_CTX* store) {
  std::lock_guard<std::recursive_mutex> guard(SslCallbackLock());
  const TSslApi& api = Api();
  auto* ssl = static_cast<SSL*>(api.X509_STORE_CTX_get_ex_data(store, api.SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* socket = ssl ? static_cast<TCustomSslWSocket*>(api.SSL_get_ex_data(ssl, 0)) : nullptr;
  if (!socket) return ok;
  return socket->VerifyPeer(ok, store);
}

struct TSslSocketCallbacks {
  static void Info(const SSL* ssl, int where, int ret) {
    std::lock_guard<std::recursive_mutex> guard(SslCallbackLock());
    auto* socket = static_cast<TCustomSslWSocket*>(Api().SSL_get_ex_data(ssl, 0));
    if (socket) socket->InfoCallback(where, ret);
  }
};

// ---- construction ----

TCustomSslWSocket::TCustomSslWSocket() {
  FPlainOut = std::make_unique<net::TNetBufferHandler>();
  FPlainOut->SetBlockSize(16384);
  // The parent took its message numbers already; take ours with a fresh window.
  ReleaseWindow();
  AllocateWindow();
}

TCustomSslWSocket::~TCustomSslWSocket() {
  OnSslVerifyPeer = nullptr;
  OnSslHandshakeDone = nullptr;
  OnSslCliGetSession = nullptr;
  OnSslCliNewSession = nullptr;
  OnSslShutDownComplete = nullptr;
  FInsideCallback = false;
  ResetSslSession();
  FRetiredEngine.reset();
  if (FSslContext) FSslContext->RemoveSocket(this);
  FSslContext = nullptr;
  // The socket's own close must not take the TLS path any more.
  FSslEnable = false;
  try {
    ReleaseWindow();
  } catch (...) {
  }
  if (FTlsLoaded) UnloadTls();
}

void TCustomSslWSocket::AllocateMsgHandlers() {
  net::TWSocket::AllocateMsgHandlers();
  FMsg_WM_TLS_NOTIFY = TakeMessageNumber();
  FMsg_WM_TLS_RESET = TakeMessageNumber();
}

void TCustomSslWSocket::FreeMsgHandlers() {
  FreeMessageNumber(FMsg_WM_TLS_RESET);
  FreeMessageNumber(FMsg_WM_TLS_NOTIFY);
  net::TWSocket::FreeMsgHandlers();
}

void TCustomSslWSocket::SetSslContext(TSslContext* value) {
  if (value == FSslContext) return;
  if (FSslContext) FSslContext->RemoveSocket(this);
  FSslContext = value;
  if (FSslContext) FSslContext->AddSocket(this);
}

void TCustomSslWSocket::ContextDestroyed(TSslContext* context) {
  if (FSslContext == context) FSslContext = nullptr;
}

void TCustomSslWSocket::DnsLookup(const std::string& hostName) {
  FLookupHost = hostName;
  net::TWSocket::DnsLookup(hostName);
}

// ---- message routing ----

void TCustomSslWSocket::ComponentWndProc(net::TMessage& msg) {
  if (msg.Msg == FMsg_WM_TLS_NOTIFY && FMsg_WM_TLS_NOTIFY != 0) {
    const long kind = platform::WSAGETSELECTEVENT(msg.LParam);
    const int error = platform::WSAGETSELECTERROR(msg.LParam);
    FPosted[KindIndex(kind)] = false;
    // A notification posted for a connection that has ended since says nothing now.
    if (!TlsActive() || FHSocket == platform::INVALID_SOCKET || msg.WParam != static_cast<net::WPARAM>(FHSocket))
      return;
    // A handler run from inside the library (peer verification) may pump messages: the engine
    // must not be entered again from there. The callback posts what is owed when it ends.
    if (FInsideCallback || Paused()) return;
    if (kind == platform::FD_READ)
      Do_FD_READ(error);
    else if (kind == platform::FD_WRITE)
      Do_FD_WRITE(error);
    else
      Do_FD_CLOSE(error);
  } else if (msg.Msg == FMsg_WM_TLS_RESET && FMsg_WM_TLS_RESET != 0) {
    if (!FInsideCallback) FRetiredEngine.reset();
  } else {
    net::TWSocket::ComponentWndProc(msg);
  }
}

void TCustomSslWSocket::PostSslEvent(long kind, int error) {
  if (!TlsActive() || Paused() || FHSocket == platform::INVALID_SOCKET) return;
  bool& posted = FPosted[KindIndex(kind)];
  if (posted) return;
  posted = true;
  platform::PostMessage(Handle(), FMsg_WM_TLS_NOTIFY, static_cast<net::WPARAM>(FHSocket),
                        platform::WSAMAKESELECTREPLY(kind, error));
}

// ---- setting up and tearing down a TLS connection ----

void TCustomSslWSocket::StartSslHandshake() {
  if (!FSslEnable) return;
  if (!FSslContext) throw ESslContextException(kSslContextRequired);
  // A previous connection's TLS state goes; what the application queued for this one stays.
  if (FEngine) ResetSslSession();
  FHandshakeState = sslHandshakeStarting;
  SslMode = TSslMode::sslModeClient;
  try {
    if (!FSslContext->SslCtx()) FSslContext->BuildContext();
  } catch (...) {
    FHandshakeState = sslHandshakeNone;
    throw;
  }
  InitSslConnection(true);
}

void TCustomSslWSocket::AcceptSslHandshake() {
  if (!FSslEnable) return;
  if (!FSslContext) throw ESslContextException(kSslContextRequired);
  if (FEngine) ResetSslSession();
  FHandshakeState = sslHandshakeStarting;
  SslMode = TSslMode::sslModeServer;
  try {
    if (!FSslContext->SslCtx()) FSslContext->BuildContext();
  } catch (...) {
    FHandshakeState = sslHandshakeNone;
    throw;
  }
  InitSslConnection(false);
}

void TCustomSslWSocket::InitSslConnection(bool client) {
  if (!FSslEnable) return;
  FCertChain.Clear();
  FPeerCert.Clear();
  FSslVerifyResult = 0;
  FSslErrorText.clear();
  FShutdownState = TShutdownState::None;
  FNetError = 0;
  FHandshakeCount = 0;
  FClosePending = false;
  FPeerEof = false;
  try {
    if (!FTlsLoaded) {
      LoadTls();
      FTlsLoaded = true;
    }
    const TSslApi& api = Api();
    std::unique_ptr<TTlsEngine> engine;
    {
      std::lock_guard<std::recursive_mutex> guard(SslCallbackLock());
      engine = std::make_unique<TTlsEngine>(FSslContext->SslCtx(), client, this);
    }
    SSL* ssl = engine->Ssl();
    if (client) {
      const std::string name = !SslServerName.empty() ? SslServerName : FLookupHost;
      if (!name.empty()) {
        const bool ip = IsIpLiteral(name);
        // The server name tells a shared host which certificate to present.
        if (!ip)
          api.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char*>(name.c_str()));
        // A valid chain proves nothing unless it was issued for the host we meant to reach.
        if (FSslContext->SslVerifyPeer()) {
          const int set = ip ? api.X509_VERIFY_PARAM_set1_ip_asc(api.SSL_get0_param(ssl), name.c_str())
                             : api.SSL_set1_host(ssl, name.c_str());
          if (set != 1) throw EOpenSslError("InitSSLConnection: cannot set the host name to verify");
        }
      }
      bool freeSession = true;
      SSL_SESSION* session = nullptr;
      if (OnSslCliGetSession) OnSslCliGetSession(this, session, freeSession);
      if (session && api.SSL_set_session(ssl, session) == 1) {
        if (freeSession) api.SSL_SESSION_free(session);
      } else {
        api.SSL_set_session(ssl, nullptr);
      }
    }
    api.SSL_set_info_callback(ssl, &TSslSocketCallbacks::Info);
    api.ERR_clear_error();
    FEngine = std::move(engine);
    // The first flight goes into the pair now; the network takes it from the message loop.
    FInsideCallback = true;
    const TTlsStatus status = FEngine->Handshake();
    FInsideCallback = false;
    if (status == TTlsStatus::Failed) throw EOpenSslError("InitSSLConnection: " + FEngine->ErrorText());
    if (State() == net::TSocketState::wsConnected) {
      PostSslEvent(platform::FD_READ);
      PostSslEvent(platform::FD_WRITE);
    }
    FLastError = -1;
    FHandshakeState = sslHandshakeInProgress;
  } catch (...) {
    FInsideCallback = false;
    FHandshakeState = sslHandshakeFailed;
    ResetSslSession();
    FHandshakeState = sslHandshakeFailed;
    throw;
  }
}

void TCustomSslWSocket::ResetSslSession() {
  if (WindowHandle()) {
    platform::MSG msg;
    while (platform::PeekMessage(&msg, WindowHandle(), FMsg_WM_TLS_NOTIFY, FMsg_WM_TLS_NOTIFY, platform::PM_REMOVE)) {
    }
  }
  FPosted = {};
  {
    std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
    FPlainOut->DiscardAll();
  }
  FPlainIn.clear();
  FPlainInPos = 0;
  FReadStalled = false;
  FSslVersion = "Unknown";
  FSslCipher = "Unknown";
  FSslVersionNumber = FSslSecretBits = FSslTotalBits = 0;
  FSslSecureRenegotiation = false;
  FShutdownState = TShutdownState::None;
  FNetError = 0;
  FClosePending = false;
  FPeerEof = false;
  FDataSentPending = false;
  FHandshakeCount = 0;
  FHandshakeState = sslHandshakeNone;
  if (!FEngine) return;
  if (FInsideCallback) {
    // The library is still using this connection's object: free it from the message loop.
    FRetiredEngine = std::move(FEngine);
    if (WindowHandle()) platform::PostMessage(WindowHandle(), FMsg_WM_TLS_RESET, 0, 0);
    return;
  }
  FEngine.reset();
}

void TCustomSslWSocket::TriggerSessionConnected(int error) {
  auto alive = AliveToken();
  net::TWSocket::TriggerSessionConnected(error);  // may re-enter
  if (!*alive) return;
  if (error != 0 || !FSslEnable || FEngine || State() != net::TSocketState::wsConnected) return;
  try {
    if (SslMode == TSslMode::sslModeServer)
      AcceptSslHandshake();
    else
      StartSslHandshake();
  } catch (...) {
    FSslEnable = false;
    ResetSslSession();
    FLastError = kConnAborted;
    net::TWSocket::InternalClose(false, kConnAborted);  // may re-enter
    throw;  // to the background-exception handling
  }
}

// ---- sending ----

void TCustomSslWSocket::PutDataInSendBuffer(const void* data, int length) {
  if (!FSslEnable) {
    net::TWSocket::PutDataInSendBuffer(data, length);
    return;
  }
  if (length <= 0 || !data) return;
  std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
  FPlainOut->AppendData(data, length);
  FAllSent = false;
  FDataSentPending = true;
}

int TCustomSslWSocket::Send(const void* data, int length) {
  if (!FSslEnable) return net::TWSocket::Send(data, length);
  if (State() != net::TSocketState::wsConnected) {
    ReportSocketError("Send", platform::WSAENOTCONN);
    return -1;
  }
  if (length > 0) PutDataInSendBuffer(data, length);
  // Encryption and the send happen from the message loop, so OnDataSent never fires from
  // inside Send.
  if (!FDataSentPending) {
    std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
    FDataSentPending = !FPlainOut->NothingQueued();
  }
  if (TlsActive()) PostSslEvent(platform::FD_WRITE);
  return length > 0 ? length : 0;
}

bool TCustomSslWSocket::OrdinaryChainEmpty() {
  std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
  return FBufHandler->NothingQueued();
}

bool TCustomSslWSocket::FlushToNetwork() {
  auto alive = AliveToken();
  const platform::SOCKET socket = FHSocket;
  for (;;) {
    if (!TlsActive() || FHSocket != socket || FHSocket == platform::INVALID_SOCKET) return *alive;
    if (!OrdinaryChainEmpty()) {
      net::TWSocket::TryToSend();  // the platform re-arms FD_WRITE when it would block
      if (!*alive) return false;
      if (!TlsActive() || FHSocket != socket) return true;
      if (!OrdinaryChainEmpty()) return true;
    }
    char buffer[kTlsBioPairSize];
    const int n = FEngine->TakeOutput(buffer, sizeof buffer);
    if (n <= 0) return true;
    const int sent = RealSend(buffer, n);
    if (sent < 0) {
      const int error = platform::WSAGetLastError();
      if (error != kWouldBlock && error != platform::WSAENOTCONN) {
        FNetError = error;
        FLastError = error;
        PostSslEvent(platform::FD_CLOSE, error);
        return true;
      }
    }
    const int taken = std::max(sent, 0);
    if (taken > 0) {
      FWriteCount += taken;
      if (FCounter) FCounter->LastWriteTick = platform::GetTickCount();
    }
    // What the network did not take waits in the ordinary chain; trying it again at once
    // either sends it or re-arms FD_WRITE (a partial send does not).
    if (taken < n) net::TWSocket::PutDataInSendBuffer(buffer + taken, n - taken);
  }
}

bool TCustomSslWSocket::MovePlaintext() {
  auto alive = AliveToken();
  for (int round = 0; round < kRoundsPerNotification; ++round) {
    if (!TlsActive() || !FEngine->HandshakeDone() || FNetError != 0 || FShutdownState != TShutdownState::None)
      return true;
    TTlsStatus status = TTlsStatus::Ok;
    {
      std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
      const char* data = nullptr;
      const int length = FPlainOut->FirstBlockData(&data);
      if (length <= 0) return true;
      const int n = FEngine->Write(data, length, status);
      if (n > 0) FPlainOut->Remove(n);
    }
    if (status == TTlsStatus::Failed) {
      FSslErrorText = FEngine->ErrorText();
      FNetError = kConnAborted;
      FLastError = kConnAborted;
      PostSslEvent(platform::FD_CLOSE, kConnAborted);
      return true;
    }
    const int before = FEngine->PendingOutput();
    if (!FlushToNetwork()) return false;
    if (!TlsActive()) return *alive;
    // The network is full: the rest waits for FD_WRITE.
    if (!OrdinaryChainEmpty()) return true;
    if (status != TTlsStatus::Ok && before == 0) return true;  // no progress possible now
  }
  PostSslEvent(platform::FD_WRITE);  // more to do, after the other messages
  return true;
}

void TCustomSslWSocket::TryToSend() {
  if (!TlsActive()) {
    net::TWSocket::TryToSend();
    return;
  }
  if (!FlushToNetwork() || !TlsActive()) return;
  if (!MovePlaintext() || !TlsActive()) return;
  bool plainEmpty;
  {
    std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
    plainEmpty = FPlainOut->NothingQueued();
  }
  FAllSent = plainEmpty && OrdinaryChainEmpty() && FEngine->PendingOutput() == 0;
}

bool TCustomSslWSocket::CheckDataSent() {
  if (!FDataSentPending || !TlsActive() || !FEngine->HandshakeDone()) return true;
  {
    std::lock_guard<std::mutex> guard(FPlainOut->Mutex());
    if (!FPlainOut->NothingQueued()) return true;
  }
  if (!OrdinaryChainEmpty() || FEngine->PendingOutput() > 0) return true;
  FDataSentPending = false;
  FAllSent = true;
  auto alive = AliveToken();
  TriggerDataSent(0);  // may re-enter
  return *alive;
}

void TCustomSslWSocket::Do_FD_WRITE(int error) {
  if (!TlsActive()) {
    net::TWSocket::Do_FD_WRITE(error);
    return;
  }
  if (FNetError != 0) return;
  auto alive = AliveToken();
  if (!FlushToNetwork() || !TlsActive()) return;
  if (!MovePlaintext() || !TlsActive()) return;
  if (FShutdownState == TShutdownState::AlertQueued && OrdinaryChainEmpty() && FEngine->PendingOutput() == 0) {
    // Our close alert is out: the close that waited for it completes now.
    InternalClose(true, 0);
    return;
  }
  CheckDataSent();
  (void)alive;
}

// ---- receiving ----

bool TCustomSslWSocket::ReadFromNetwork() {
  auto alive = AliveToken();
  const platform::SOCKET socket = FHSocket;
  for (int round = 0; round < kRoundsPerNotification; ++round) {
    if (!TlsActive() || FHSocket != socket || FNetError != 0 || FPeerEof) return true;
    if (DecryptedCount() >= static_cast<int>(kDecryptedLimit)) {
      FReadStalled = true;  // Receive posts a read once the application has made room
      return true;
    }
    int room = std::min(kNetworkReadSize, FEngine->InputRoom());
    if (room <= 0) {
      if (!ProcessEngine()) return false;
      if (!TlsActive()) return true;
      room = std::min(kNetworkReadSize, FEngine->InputRoom());
      if (room <= 0) {
        FReadStalled = true;
        return true;
      }
    }
    char buffer[kNetworkReadSize];
    const int n = net::TWSocket::Receive(buffer, room);  // counts the bytes and the activity
    if (n == 0) {
      FPeerEof = true;
      PostSslEvent(platform::FD_CLOSE);
      return true;
    }
    if (n < 0) {
      const int error = LastError();
      if (error == kWouldBlock || error == platform::WSAENOTCONN) return true;
      FNetError = error;
      PostSslEvent(platform::FD_CLOSE, error);
      return true;
    }
    FEngine->FeedNetwork(buffer, n);
    if (!ProcessEngine()) return false;
    if (n < room) return true;  // the socket is drained; the platform re-arms FD_READ
  }
  PostSslEvent(platform::FD_READ);
  return true;
}

bool TCustomSslWSocket::ProcessEngine() {
  auto alive = AliveToken();
  if (!TlsActive()) return true;
  if (!FEngine->HandshakeDone() && !HandshakeSucceeded()) {
    FInsideCallback = true;
    const TTlsStatus status = FEngine->Handshake();
    FInsideCallback = false;
    if (!TlsActive()) return true;  // closed from a callback
    if (status == TTlsStatus::Failed) {
      FSslErrorText = FEngine->ErrorText();
      FSslVerifyResult = FEngine->VerifyResult();
      FLastSslError = FEngine->ErrorCode();
      FNetError = kConnAborted;
      FLastError = kConnAborted;
      // The alert telling the peer why goes out before the close.
      if (!FlushToNetwork()) return false;
      PostSslEvent(platform::FD_CLOSE, kConnAborted);
      return true;
    }
    if (!FlushToNetwork()) return false;
    if (!TlsActive() || !FEngine->HandshakeDone()) return true;
    HandshakeDoneStep(0);  // may re-enter
    if (!*alive) return false;
    if (!TlsActive()) return true;
  }
  // Decrypt what has arrived, up to the limit the application is allowed to fall behind.
  while (TlsActive() && DecryptedCount() < static_cast<int>(kDecryptedLimit) &&
         FShutdownState == TShutdownState::None &&
         FHandshakeState != sslHandshakePeerClosed) {
    if (FPlainInPos > 0 && FPlainInPos == FPlainIn.size()) {
      FPlainIn.clear();
      FPlainInPos = 0;
    }
    const size_t old = FPlainIn.size();
    FPlainIn.resize(old + 16384);
    TTlsStatus status = TTlsStatus::Ok;
    FInsideCallback = true;
    const int n = FEngine->Read(FPlainIn.data() + old, 16384, status);
    FInsideCallback = false;
    FPlainIn.resize(old + static_cast<size_t>(n));
    if (!TlsActive()) return true;
    if (n > 0) continue;
    if (status == TTlsStatus::Closed) {
      // The peer's close alert: answer with ours; the close completes from the loop.
      FHandshakeState = sslHandshakePeerClosed;
      FEngine->Shutdown();
      FShutdownState = TShutdownState::Completed;
      if (!FlushToNetwork()) return false;
      PostSslEvent(platform::FD_CLOSE);
    } else if (status == TTlsStatus::Failed) {
      FSslErrorText = FEngine->ErrorText();
      FNetError = kConnAborted;
      FLastError = kConnAborted;
      PostSslEvent(platform::FD_CLOSE, kConnAborted);
    }
    break;
  }
  if (TlsActive() && DecryptedCount() >= static_cast<int>(kDecryptedLimit)) FReadStalled = true;
  // Reading may have produced records of its own (answers to the peer's messages).
  if (TlsActive() && FEngine->PendingOutput() > 0) return FlushToNetwork();
  return true;
}

bool TCustomSslWSocket::DeliverDecrypted() {
  auto alive = AliveToken();
  while (TlsActive() && DecryptedCount() > 0) {
    const int before = DecryptedCount();
    TriggerDataAvailable(0);  // may re-enter
    if (!*alive) return false;
    // A handler that read nothing would see the same bytes for ever.
    if (!TlsActive() || DecryptedCount() == before) break;
    if (DecryptedCount() == 0 && TlsActive() && FReadStalled) {
      FReadStalled = false;
      if (!ProcessEngine() || !TlsActive()) return *alive;
      if (!ReadFromNetwork()) return false;
    }
  }
  return true;
}

void TCustomSslWSocket::Do_FD_READ(int error) {
  if (!TlsActive()) {
    net::TWSocket::Do_FD_READ(error);
    return;
  }
  auto alive = AliveToken();
  if (State() != net::TSocketState::wsConnected) {
    SetState(net::TSocketState::wsConnected);  // may re-enter
    if (!*alive) return;
    FireConnected(error);  // may re-enter
    if (!*alive || !TlsActive()) return;
  }
  // Bytes the engine still holds from an earlier read come first.
  if (!ProcessEngine() || !TlsActive()) return;
  if (!ReadFromNetwork() || !TlsActive()) return;
  if (!DeliverDecrypted() || !TlsActive()) return;
  // A write that waited for the peer (a renegotiation, say) may go on now.
  if (FDataSentPending && FEngine->HandshakeDone()) PostSslEvent(platform::FD_WRITE);
}

int TCustomSslWSocket::Receive(void* buffer, int length) {
  if (!FSslEnable) return net::TWSocket::Receive(buffer, length);
  if (!FEngine) {
    FLastError = FHSocket == platform::INVALID_SOCKET ? platform::WSAENOTCONN : kWouldBlock;
    return -1;
  }
  if (length <= 0) return 0;
  const int available = DecryptedCount();
  if (available > 0) {
    const int n = std::min(available, length);
    std::copy_n(FPlainIn.data() + FPlainInPos, n, static_cast<char*>(buffer));
    FPlainInPos += static_cast<size_t>(n);
    if (FPlainInPos == FPlainIn.size()) {
      FPlainIn.clear();
      FPlainInPos = 0;
      if (FReadStalled) {
        FReadStalled = false;
        PostSslEvent(platform::FD_READ);
      }
    }
    return n;
  }
  if (FNetError != 0) {
    FLastError = FNetError;
    return -1;
  }
  if (FShutdownState == TShutdownState::AlertQueued) {
    FLastError = kShutdownError;
    return -1;
  }
  if (FClosePending || FPeerEof || FHandshakeState == sslHandshakePeerClosed) {
    PostSslEvent(platform::FD_CLOSE);
    return 0;
  }
  FLastError = kWouldBlock;
  return -1;
}

// ---- the end of the handshake ----

void TCustomSslWSocket::HandshakeDoneStep(int error) {
  if (FHSocket == platform::INVALID_SOCKET) error = 1;
  if (error != 0 || !FEngine) {
    FHandshakeState = sslHandshakeFailed;
    if (error == 0) error = 1;
  } else {
    FHandshakeState = sslHandshakeDone;
    const TSslApi& api = Api();
    SSL* ssl = FEngine->Ssl();
    FSslSecureRenegotiation = api.SSL_ctrl(ssl, SSL_CTRL_GET_RI_SUPPORT, 0, nullptr) != 0;
    FSslVersion = api.SSL_get_version(ssl);
    FSslVersionNumber = api.SSL_version(ssl);
    if (const SSL_CIPHER* cipher = api.SSL_get_current_cipher(ssl)) {
      FSslCipher = api.SSL_CIPHER_get_name(cipher);
      int total = 0;
      FSslSecretBits = api.SSL_CIPHER_get_bits(cipher, &total);
      FSslTotalBits = total;
    }
    if (X509* cert = api.SSL_get1_peer_certificate(ssl)) {
      FPeerCert = Describe(cert);
      const long result = FCertChain.Items().empty() ? api.SSL_get_verify_result(ssl) : FCertChain.LastVerifyResult();
      FPeerCert.SetVerify(result, api.X509_verify_cert_error_string(result), 0);
      api.X509_free(cert);
    }
  }
  auto alive = AliveToken();
  bool disconnect = false;
  TriggerSslHandshakeDone(error, FPeerCert, disconnect);  // may re-enter
  if (!*alive) return;
  if (error != 0 || !TlsActive()) return;
  if (disconnect) {
    Close();
    return;
  }
  if (FEngine->Client() && OnSslCliNewSession) {
    const TSslApi& api = Api();
    SSL_SESSION* session = api.SSL_get_session(FEngine->Ssl());
    bool addRef = false;
    OnSslCliNewSession(this, session, api.SSL_session_reused(FEngine->Ssl()) == 1, addRef);  // may re-enter
    if (!*alive) return;
    if (addRef && session) api.SSL_SESSION_up_ref(session);
  }
  // What the application queued during the handshake can go now.
  if (TlsActive()) PostSslEvent(platform::FD_WRITE);
}

int TCustomSslWSocket::VerifyPeer(int ok, X509_STORE_CTX* store) {
  const TSslApi& api = Api();
  const bool wasInside = FInsideCallback;
  FInsideCallback = true;
  X509* cert = api.X509_STORE_CTX_get_current_cert(store);
  const long result = api.X509_STORE_CTX_get_error(store);
  const int depth = api.X509_STORE_CTX_get_error_depth(store);
  TX509Base info = Describe(cert);
  auto& items = FCertChain.Items();
  auto found = std::find_if(items.begin(), items.end(), [&](const TX509Base& c) {
    return c.SubjectOneLine() == info.SubjectOneLine() && c.SerialNumHex() == info.SerialNumHex() &&
           c.IssuerOneLine() == info.IssuerOneLine();
  });
  if (found == items.end()) {
    info.SetFirstVerifyResult(result);
    items.push_back(info);
    found = items.end() - 1;
  }
  found->SetVerify(result, api.X509_verify_cert_error_string(result), depth);
  FCertChain.SetLastVerifyResult(result);
  if (result != X509_V_OK) FSslVerifyResult = result;
  bool accept = ok != 0;
  if (OnSslVerifyPeer) {
    // No notification of this socket may run while the library is inside its handshake.
    Pause();
    TriggerSslVerifyPeer(accept, *found);  // may re-enter (not destroy: the library holds it)
    Resume();
    if (accept) FSslVerifyResult = 0;
    // Whatever was dropped meanwhile is looked at again from the loop.
    FInsideCallback = wasInside;
    PostSslEvent(platform::FD_READ);
    PostSslEvent(platform::FD_WRITE);
  }
  FInsideCallback = wasInside;
  return accept ? 1 : 0;
}

void TCustomSslWSocket::InfoCallback(int where, int) {
  if (!(where & SSL_CB_HANDSHAKE_START) || !FEngine) return;
  ++FHandshakeCount;
  if (!HandshakeSucceeded()) return;  // the connection's own handshake
  const TSslApi& api = Api();
  // After a protocol-1.3 handshake the library reports tickets and key updates this way too;
  // they are no renegotiation.
  if (api.SSL_version(FEngine->Ssl()) >= TLS1_3_VERSION) return;
  const bool secure = api.SSL_ctrl(FEngine->Ssl(), SSL_CTRL_GET_RI_SUPPORT, 0, nullptr) != 0;
  const bool unsafeAllowed =
      (api.SSL_get_options(FEngine->Ssl()) & SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION) != 0;
  if (TlsRenegotiationRestricted() || (!secure && !unsafeAllowed)) CloseLater();
}

// ---- closing ----

void TCustomSslWSocket::Do_FD_CLOSE(int error) {
  if (!TlsActive()) {
    net::TWSocket::Do_FD_CLOSE(error);
    return;
  }
  if (State() == net::TSocketState::wsConnecting || FHSocket == platform::INVALID_SOCKET) return;
  auto alive = AliveToken();
  FClosePending = true;
  if (error != 0 && FNetError == 0) FNetError = error;
  // Everything the peer sent (its close alert included) is read and offered before the close:
  // the platform reports the close once, possibly with much still unread, and announces
  // nothing after it. Stops when the stream ends, fails, or the application takes nothing.
  for (;;) {
    const int64_t read = BytesReceived();
    const int decrypted = DecryptedCount();
    if (FNetError == 0 && !FPeerEof) {
      if (!ReadFromNetwork()) return;
      if (!TlsActive()) return;
    }
    if (!DeliverDecrypted() || !TlsActive()) return;
    if (FNetError != 0 || FPeerEof) break;
    if (BytesReceived() == read && DecryptedCount() == decrypted) break;
  }
  FinishClose();
}

void TCustomSslWSocket::FinishClose() {
  auto alive = AliveToken();
  if (HandshakeUnsettled()) {
    HandshakeDoneStep(1);  // may re-enter
    if (!*alive || !TlsActive()) return;
  }
  int error = FNetError;
  // After the handshake, only the peer's close alert ends the stream properly: anything else
  // may have cut the data short.
  if (error == 0 && FHandshakeState == sslHandshakeDone && FShutdownState == TShutdownState::None) error = kConnAborted;
  if (FShutdownState == TShutdownState::Completed || FHandshakeState == sslHandshakePeerClosed) {
    const bool bidirectional = FHandshakeState == sslHandshakePeerClosed;
    FHandshakeState = sslHandshakeShutDown;
    TriggerSslShutDownComplete(bidirectional, error);  // may re-enter
    if (!*alive || !TlsActive()) return;
  }
  FLastError = error;
  FSslEnable = false;
  ResetSslSession();
  net::TWSocket::InternalClose(true, error);
}

void TCustomSslWSocket::InternalClose(bool shutdownWanted, int error) {
  if (TlsActive() && shutdownWanted && !Destroying() && FHSocket != platform::INVALID_SOCKET &&
      State() == net::TSocketState::wsConnected && FEngine->HandshakeDone() && FNetError == 0 &&
      FShutdownState == TShutdownState::None) {
    // An orderly close sends our close alert first; when the network cannot take it now the
    // close completes on FD_WRITE.
    FShutdownState = TShutdownState::AlertQueued;
    FEngine->Shutdown();
    auto alive = AliveToken();
    if (!FlushToNetwork()) return;
    if (!TlsActive()) return;
    if (!OrdinaryChainEmpty()) return;
  }
  if (FEngine) {
    const bool ourShutdown = FShutdownState == TShutdownState::AlertQueued;
    if (ourShutdown) {
      FShutdownState = TShutdownState::Completed;
      FHandshakeState = sslHandshakeShutDown;
      auto alive = AliveToken();
      TriggerSslShutDownComplete(false, 0);  // may re-enter
      if (!*alive) return;
    }
    FSslEnable = false;
    ResetSslSession();
  }
  net::TWSocket::InternalClose(shutdownWanted, error);
}

// ---- triggers ----

void TCustomSslWSocket::TriggerSslVerifyPeer(bool& ok, const TX509Base& cert) {
  if (OnSslVerifyPeer) OnSslVerifyPeer(this, ok, cert);
}

void TCustomSslWSocket::TriggerSslHandshakeDone(int error, const TX509Base& peerCert, bool& disconnect) {
  if (OnSslHandshakeDone) OnSslHandshakeDone(this, error, peerCert, disconnect);
}

void TCustomSslWSocket::TriggerSslShutDownComplete(bool bidirectional, int error) {
  if (OnSslShutDownComplete) OnSslShutDownComplete(this, bidirectional, error);
}

}  // namespace tls

#include "net/wsocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/winsock_library.h"
#include "platform/host_lookup.h"
#include "platform/tick_count.h"

namespace net {

namespace {

// Queued blocks handed to the kernel in one gathered send.
constexpr int kGatherBlocks = 64;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithDigit(const std::string& s) {
  return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0]));
}

// The leading decimal digits as a number (what the resolvers take for "a number").
long LeadingNumber(const std::string& s) {
  long value = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > 0x7FFFFFFF) break;
  }
  return value;
}

// Four decimal groups of at most 255 separated by three dots, each dot followed by a digit;
// leading and trailing blanks allowed.
bool IsDottedAddress(const std::string& text) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && text[i] == '.') return false;
  int groups = 0;
  while (groups < 4) {
    if (i >= n || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    int value = 0, digits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
      value = value * 10 + (text[i] - '0');
      if (++digits > 3 || value > 255) return false;
      ++i;
    }
    ++groups;
    if (groups < 4) {
      if (i >= n || text[i] != '.') return false;
      ++i;
    }
  }
  while (i < n && text[i] == ' ') ++i;
  return i == n;
}

in_addr_t InetAddr(const std::string& text) { return ::inet_addr(Trim(text).c_str()); }

std::string InetNtoa(in_addr_t address) {
  in_addr a{};
  a.s_addr = address;
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

// Blocking resolvers; failures throw ESocketException with the texts callers know.
in_addr_t ResolveHost(const std::string& name) {
  const std::string host = Trim(name);
  if (host.empty()) throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid Hostname.");
  if (IsDottedAddress(host)) {
    const in_addr_t address = InetAddr(host);
    if (address == INADDR_NONE && host != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid IP address.");
    return address;
  }
  WinSockEnsureLoaded();
  hostent* entry = platform::gethostbyname(host.c_str());
  if (!entry || !entry->h_addr_list || !entry->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + name + "' - " +
                           WinSockErrorDesc(platform::WSAGetLastError()));
  in_addr_t address;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return address;
}

uint16_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (StartsWithDigit(port)) return htons(static_cast<uint16_t>(LeadingNumber(port)));
  servent result{}, *entry = nullptr;
  char buf[1024];
  if (::getservbyname_r(port.c_str(), Lower(Trim(proto)).c_str(), &result, buf, sizeof buf, &entry) != 0 ||
      !entry)
    // The platform reports an unknown service as "no data".
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           WinSockErrorDesc(platform::WSANO_DATA));
  return static_cast<uint16_t>(entry->s_port);
}

int ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (StartsWithDigit(proto)) return static_cast<int>(LeadingNumber(proto));
  const std::string p = Lower(Trim(proto));
  if (p == "tcp") return IPPROTO_TCP;
  if (p == "udp") return IPPROTO_UDP;
  if (p == "raw") return IPPROTO_RAW;
  protoent result{}, *entry = nullptr;
  char buf[1024];
  if (::getprotobyname_r(p.c_str(), &result, buf, sizeof buf, &entry) != 0 || !entry)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           WinSockErrorDesc(platform::WSANO_DATA));
  return entry->p_proto;
}

bool ConnectionGone(int error) {
  return error == platform::WSAECONNRESET || error == platform::WSAENOTSOCK ||
         error == platform::WSAENOTCONN || error == platform::WSAEINVAL ||
         error == platform::WSAECONNABORTED;
}

}  // namespace

// ---- activity counter ----

DWORD TWSocketCounter::LastAliveTick() const {
  const DWORD now = platform::GetTickCount();
  DWORD best = 0;
  bool found = false;
  for (DWORD tick : {ConnectedTick, LastWriteTick, LastReadTick}) {
    if (tick == 0) continue;
    if (!found || platform::TicksBetween(tick, now) < platform::TicksBetween(best, now)) best = tick;
    found = true;
  }
  return best;
}

void TWSocketCounter::SetConnected() {
  LastReadTick = 0;
  LastWriteTick = 0;
  ConnectedTick = platform::GetTickCount();
  ConnectedTime = runtime::Now();
}

// ---- construction ----

TCustomWSocket::TCustomWSocket() {
  FBufHandler = std::make_unique<TNetBufferHandler>();
  FBufHandler->SetBlockSize(kDefaultBlockSize);
  ApplyDefaults();
  WinSockAddSocket();
  try {
    AllocateWindow();
  } catch (...) {
    WinSockRemoveSocket();
    throw;
  }
}

TCustomWSocket::~TCustomWSocket() {
  FDestroying = true;
  // No handler may see an object that is half destroyed: the closing below fires nothing.
  OnDataAvailable = nullptr;
  OnDataSent = nullptr;
  OnSendData = nullptr;
  OnSessionClosed = nullptr;
  OnSessionAvailable = nullptr;
  OnSessionConnected = nullptr;
  OnChangeState = nullptr;
  OnDnsLookupDone = nullptr;
  OnError = nullptr;
  try {
    CancelLookup();
  } catch (...) {
  }
  if (FState != TSocketState::wsInvalidState) {
    try {
      if (FState != TSocketState::wsClosed || FHSocket != platform::INVALID_SOCKET)
        InternalClose(true, 0);
    } catch (...) {
    }
  }
  WinSockRemoveSocket();
  // Our numbers must leave the table before this part of the object is gone.
  try {
    ReleaseWindow();
  } catch (...) {
  }
}

void TCustomWSocket::AllocateMsgHandlers() {
  TNetWndControl::AllocateMsgHandlers();
  FMsg_WM_ASYNCSELECT = TakeMessageNumber();
  FMsg_WM_ASYNCGETHOSTBYNAME = TakeMessageNumber();
  FMsg_WM_ASYNCGETHOSTBYADDR = TakeMessageNumber();
  FMsg_WM_CLOSE_DELAYED = TakeMessageNumber();
  FMsg_WM_WSOCKET_RELEASE = TakeMessageNumber();
  FMsg_WM_TRIGGER_DATA_AVAILABLE = TakeMessageNumber();
}

void TCustomWSocket::FreeMsgHandlers() {
  FreeMessageNumber(FMsg_WM_TRIGGER_DATA_AVAILABLE);
  FreeMessageNumber(FMsg_WM_WSOCKET_RELEASE);
  FreeMessageNumber(FMsg_WM_CLOSE_DELAYED);
  FreeMessageNumber(FMsg_WM_ASYNCGETHOSTBYADDR);
  FreeMessageNumber(FMsg_WM_ASYNCGETHOSTBYNAME);
  FreeMessageNumber(FMsg_WM_ASYNCSELECT);
  TNetWndControl::FreeMsgHandlers();
}

void TCustomWSocket::ApplyDefaults() {
  FSin = sockaddr_in{};
  FSin.sin_family = AF_INET;
  FSin.sin_port = 0;
  FSin.sin_addr.s_addr = 0;
  FProtoStr = std::string("tcp");  // (a literal assignment trips a false -Wrestrict in g++ 12)
  FProtoAssigned = true;
  FProtoResolved = false;
  FProto = IPPROTO_TCP;
  FType = SOCK_STREAM;
  FLocalPortStr = std::string("0");
  FLocalPortResolved = false;
  FLocalAddr = std::string("0.0.0.0");
  LingerOnOff = TSocketLingerOnOff::wsLingerOn;
  LingerTimeout = 0;
  FHSocket = platform::INVALID_SOCKET;
  FSelectEvent = 0;
  FState = TSocketState::wsClosed;
  FAllSent = true;
  FPaused = false;
  FCloseInvoked = false;
  FlushTimeout = 60;
  FAddrStr.clear();
  FAddrAssigned = false;
  FAddrResolved = false;
  FPortStr.clear();
  FPortAssigned = false;
  FPortResolved = false;
}

// ---- properties ----

void TCustomWSocket::SetAddr(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change Addr if not closed");
    return;
  }
  const std::string v = Trim(value);
  if (v == FAddrStr && FAddrAssigned == !v.empty()) return;
  FAddrStr = v;
  FAddrAssigned = !v.empty();
  FAddrResolved = false;
}

void TCustomWSocket::SetPort(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change Port if not closed");
    return;
  }
  const std::string v = Trim(value);
  if (v == FPortStr && FPortAssigned == !v.empty()) return;
  FPortStr = v;
  FPortAssigned = !v.empty();
  FPortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change Proto if not closed");
    return;
  }
  const std::string v = Trim(value);
  if (v == FProtoStr && FProtoAssigned == !v.empty()) return;
  FProtoStr = v;
  FProtoAssigned = !v.empty();
  FProtoResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  const std::string v = Trim(value);
  FLocalAddr = v.empty() ? "0.0.0.0" : v;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = Trim(value);
  FLocalPortResolved = false;
}

void TCustomWSocket::SetSendFlags(int value) {
  if (value != wsSendNormal && value != wsSendUrgent) {
    ReportError("Invalid SendFlags");
    return;
  }
  FSendFlags = value;
}

int TCustomWSocket::BufSize() const { return FBufHandler->BlockSize(); }

void TCustomWSocket::SetBufSize(int value) {
  std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
  FBufHandler->SetBlockSize(value);
}

void TCustomWSocket::SetSocketSndBufSize(int value) {
  FSocketSndBufSize = value;
  if (FHSocket == platform::INVALID_SOCKET) return;
  if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &value, sizeof value) == platform::SOCKET_ERROR)
    ReportSocketError("setsockopt(SO_SNDBUF)");
}

void TCustomWSocket::SetSocketRcvBufSize(int value) {
  FSocketRcvBufSize = value;
  if (FHSocket == platform::INVALID_SOCKET) return;
  if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) == platform::SOCKET_ERROR)
    ReportSocketError("setsockopt(SO_RCVBUF)");
}

uint8_t TCustomWSocket::ReqVerLow() const { return WinSockReqVerLow(); }
uint8_t TCustomWSocket::ReqVerHigh() const { return WinSockReqVerHigh(); }

void TCustomWSocket::SetReqVerLow(uint8_t value) {
  if (!WinSockSetReqVerLow(value))
    ReportSocketError("SetReqVerLow: WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerHigh(uint8_t value) {
  if (!WinSockSetReqVerHigh(value))
    ReportSocketError("SetReqVerHigh: WinSock version can't be changed now");
}

void TCustomWSocket::CreateActivityCounter() { FCounter = std::make_unique<TWSocketCounter>(); }

// ---- error reporting and state ----

void TCustomWSocket::ReportError(const std::string& text) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(text);
}

void TCustomWSocket::ReportSocketError(const std::string& operation) {
  ReportSocketError(operation, platform::WSAGetLastError());
}

void TCustomWSocket::ReportSocketError(const std::string& operation, int error) {
  const std::string message = WinSockErrorMessage(error, operation);
  if (error == platform::WSAECONNRESET || error == platform::WSAENOTCONN) {
    auto alive = AliveToken();
    if (FHSocket != platform::INVALID_SOCKET) {
      platform::closesocket(FHSocket);
      FHSocket = platform::INVALID_SOCKET;
      PurgeOwnMessages();
      ForgetOwedNotifications();
    }
    if (FState != TSocketState::wsClosed && !FCloseInvoked) {
      FCloseInvoked = true;
      TriggerSessionClosed(error);  // may re-enter
      if (!*alive) return;
    }
    // Unless the handler has already opened the next connection.
    if (FState != TSocketState::wsClosed && FHSocket == platform::INVALID_SOCKET) {
      SetState(TSocketState::wsClosed);  // may re-enter
      if (!*alive) return;
    }
  }
  FLastError = error;
  ReportError(message);
}

void TCustomWSocket::SetState(TSocketState newState) {
  const TSocketState oldState = FState;
  FState = newState;
  if (oldState != newState) TriggerChangeState(oldState, newState);
}

// ---- triggers ----

void TCustomWSocket::TriggerSessionConnected(int error) {
  if (OnSessionConnected) OnSessionConnected(this, error);
}
void TCustomWSocket::TriggerSessionClosed(int error) {
  if (OnSessionClosed) OnSessionClosed(this, error);
}
void TCustomWSocket::TriggerDataAvailable(int error) {
  if (OnDataAvailable) OnDataAvailable(this, error);
}
void TCustomWSocket::TriggerDataSent(int error) {
  if (OnDataSent) OnDataSent(this, error);
}
void TCustomWSocket::TriggerSendData(int bytesSent) {
  if (OnSendData) OnSendData(this, bytesSent);
}
void TCustomWSocket::TriggerDnsLookupDone(int error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}
void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState) OnChangeState(this, oldState, newState);
}
void TCustomWSocket::TriggerSessionAvailable(int error) {
  if (OnSessionAvailable) OnSessionAvailable(this, error);
}
void TCustomWSocket::TriggerError() {
  if (OnError) OnError(this);
}

void TCustomWSocket::FireConnected(int error) {
  if (FType == SOCK_STREAM && error == 0 && FCounter) FCounter->SetConnected();
  FReadCount = 0;
  FWriteCount = 0;
  TriggerSessionConnected(error);
}

// ---- message routing ----

void TCustomWSocket::ComponentWndProc(TMessage& msg) {
  if (msg.Msg == FMsg_WM_ASYNCSELECT && FMsg_WM_ASYNCSELECT != 0) {
    WMAsyncSelect(msg);
  } else if (msg.Msg == FMsg_WM_ASYNCGETHOSTBYNAME && FMsg_WM_ASYNCGETHOSTBYNAME != 0) {
    WMAsyncGetHostByName(msg);
  } else if (msg.Msg == FMsg_WM_CLOSE_DELAYED && FMsg_WM_CLOSE_DELAYED != 0) {
    Close();
  } else if (msg.Msg == FMsg_WM_WSOCKET_RELEASE && FMsg_WM_WSOCKET_RELEASE != 0) {
    throw ESocketException("Test exception in WSocket");
  } else if (msg.Msg == FMsg_WM_ASYNCGETHOSTBYADDR && FMsg_WM_ASYNCGETHOSTBYADDR != 0) {
    // Reverse look-up is not offered; nothing is ever started on this number.
  } else if (msg.Msg == FMsg_WM_TRIGGER_DATA_AVAILABLE && FMsg_WM_TRIGGER_DATA_AVAILABLE != 0) {
    // Reserved for a line layer.
  } else {
    TNetWndControl::ComponentWndProc(msg);
  }
}

void TCustomWSocket::WMAsyncSelect(TMessage& msg) {
  if (FHSocket == platform::INVALID_SOCKET || msg.WParam != static_cast<WPARAM>(FHSocket)) return;
  const long events = platform::WSAGETSELECTEVENT(msg.LParam);
  const int error = platform::WSAGETSELECTERROR(msg.LParam);
  if (FPaused) {
    // Read and close are reported again when Resume registers anew; these two are not.
    OweNotification(events, error);
    return;
  }
  const SOCKET socket = FHSocket;
  auto alive = AliveToken();
  // After each handler: stop if the socket was destroyed or closed (a later flag of the same
  // notification belongs to the connection that just ended).
  auto stillOurs = [&] { return *alive && FHSocket == socket; };
  if (events & platform::FD_CONNECT) {
    FSelectMessage = platform::FD_CONNECT;
    Do_FD_CONNECT(error);
    if (!stillOurs()) return;
  }
  if (events & platform::FD_READ) {
    FSelectMessage = platform::FD_READ;
    Do_FD_READ(error);
    if (!stillOurs()) return;
  }
  if (events & platform::FD_WRITE) {
    FSelectMessage = platform::FD_WRITE;
    Do_FD_WRITE(error);
    if (!stillOurs()) return;
  }
  if (events & platform::FD_ACCEPT) {
    FSelectMessage = platform::FD_ACCEPT;
    Do_FD_ACCEPT(error);
    if (!stillOurs()) return;
  }
  if (events & platform::FD_CLOSE) {
    FSelectMessage = platform::FD_CLOSE;
    Do_FD_CLOSE(error);
    if (!*alive) return;
  }
  FSelectMessage = 0;
}

void TCustomWSocket::Do_FD_CONNECT(int error) {
  if (FState == TSocketState::wsConnected) return;
  auto alive = AliveToken();
  const SOCKET socket = FHSocket;
  SetState(TSocketState::wsConnected);  // may re-enter
  if (!*alive) return;
  FireConnected(error);  // may re-enter
  if (!*alive) return;
  // Unless the handler has closed it already (and perhaps started the next attempt).
  if (error != 0 && FHSocket == socket && FState == TSocketState::wsConnected) Close();
}

void TCustomWSocket::Do_FD_READ(int error) {
  auto alive = AliveToken();
  if (FState != TSocketState::wsConnected) {
    SetState(TSocketState::wsConnected);  // may re-enter
    if (!*alive) return;
    FireConnected(error);  // may re-enter
    if (!*alive) return;
  }
  DrainReceive(error, ComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(int error) {
  auto alive = AliveToken();
  const SOCKET socket = FHSocket;
  TryToSend();
  if (!*alive) return;
  // A connection lost during the send ends in OnSessionClosed, whose handler may already have
  // opened the next connection: this notification says nothing about that one.
  if (FAllSent && FHSocket != platform::INVALID_SOCKET && FHSocket == socket &&
      FState == TSocketState::wsConnected)
    TriggerDataSent(error);
}

void TCustomWSocket::Do_FD_ACCEPT(int error) { TriggerSessionAvailable(error); }

void TCustomWSocket::Do_FD_CLOSE(int error) {
  if (FState == TSocketState::wsConnecting || FHSocket == platform::INVALID_SOCKET) return;
  auto alive = AliveToken();
  const SOCKET socket = FHSocket;
  const TSocketState state = FState;
  // Everything the peer sent before closing is offered before the close is reported.
  DrainReceive(0, ComponentOptions & ~wsoNoReceiveLoop);
  if (!*alive) return;
  // A reader that saw the end of the stream may have closed already: that close was the one
  // report of this connection (its flag went with the defaults), and what is open now, if
  // anything, is the next connection.
  if (FHSocket != socket || FState != state) return;
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(error);  // may re-enter
    if (!*alive) return;
  }
  if (FState != TSocketState::wsClosed) Close();
}

void TCustomWSocket::DrainReceive(int error, TWSocketOptions options) {
  auto alive = AliveToken();
  try {
    for (;;) {
      FLastError = 0;
      if (OnDataAvailable) {
        const int64_t before = FReadCount;
        TriggerDataAvailable(error);  // may re-enter
        if (!*alive) return;
        // A handler that read nothing would see the same bytes for ever: stop here instead.
        if (FLastError == 0 && FReadCount == before) break;
      } else {
        char discard[1024];
        if (Receive(discard, sizeof discard) < 0 && FLastError == platform::WSAEWOULDBLOCK) {
          FLastError = 0;
          break;
        }
      }
      if (options & wsoNoReceiveLoop) break;
      if (FLastError != 0) {
        if (FLastError == -1) FLastError = 0;
        break;
      }
      if (FHSocket == platform::INVALID_SOCKET) break;  // closed by the handler
      unsigned long pending = 0;
      if (platform::ioctlsocket(FHSocket, platform::WSA_FIONREAD, &pending) == platform::SOCKET_ERROR) {
        FLastError = platform::WSAGetLastError();
        break;
      }
      if (pending == 0) break;
    }
  } catch (...) {
    // An error inside the loop (the handler's included) only ends the loop.
  }
}

void TCustomWSocket::WMAsyncGetHostByName(TMessage& msg) {
  if (!FDnsLookupHandle || msg.WParam != reinterpret_cast<WPARAM>(FDnsLookupHandle)) return;
  FDnsLookupHandle = nullptr;
  const int error = platform::WSAGETASYNCERROR(msg.LParam);
  if (error == 0) {
    const auto* entry = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
    FLookupResultList.clear();
    if (entry->h_addr_list)
      for (char** p = entry->h_addr_list; *p; ++p) {
        in_addr_t address;
        std::memcpy(&address, *p, sizeof address);
        FLookupResultList.push_back(InetNtoa(address));
      }
    FLookupResult = FLookupResultList.empty() ? std::string() : FLookupResultList.front();
  }
  TriggerDnsLookupDone(error);
}

// ---- look-up ----

void TCustomWSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) {
    auto alive = AliveToken();
    try {
      ReportError("DNS lookup: invalid host name.");
    } catch (...) {
      TriggerDnsLookupDone(platform::WSAEINVAL);
      throw;
    }
    if (!*alive) return;
    TriggerDnsLookupDone(platform::WSAEINVAL);
    return;
  }
  if (LookupPending()) DropLookup();
  FLookupResult.clear();
  FLookupResultList.clear();
  if (IsDottedAddress(hostName)) {
    const in_addr_t address = InetAddr(hostName);
    if (address != INADDR_NONE) {
      FLookupResult = InetNtoa(address);
      FLookupResultList.push_back(FLookupResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  if (!WindowHandle()) {
    ReportError("DnsLookup: Window not assigned");
    return;
  }
  StartLookup(hostName);
}

void TCustomWSocket::StartLookup(const std::string& hostName) {
  WinSockEnsureLoaded();
  FLookupHostName = hostName;
  FDnsLookupHandle = platform::WSAAsyncGetHostByName(WindowHandle(), FMsg_WM_ASYNCGETHOSTBYNAME,
                                                     hostName.c_str(), FDnsLookupBuffer, 1025);
  if (!FDnsLookupHandle) {
    const int error = platform::WSAGetLastError();
    FLastError = error;
    ReportError(hostName + ": can't start DNS lookup - " + WinSockErrorDesc(error));
  }
}

bool TCustomWSocket::DropLookup() {
  const platform::HANDLE handle = FDnsLookupHandle;
  const bool answerTaken = FOwedLookupReply;
  FDnsLookupHandle = nullptr;
  FOwedLookupReply = false;
  FOwedLookupRestart = false;
  // An answer already taken out of the queue has nothing left to cancel.
  if (handle == nullptr || answerTaken) return true;
  return platform::WSACancelAsyncRequest(handle) == 0;
}

void TCustomWSocket::ResumeLookup() {
  if (FOwedLookupReply) {
    FOwedLookupReply = false;
    platform::PostMessage(Handle(), FMsg_WM_ASYNCGETHOSTBYNAME,
                          reinterpret_cast<WPARAM>(FDnsLookupHandle), FOwedLookupReplyParam);
  }
  if (FOwedLookupRestart) {
    FOwedLookupRestart = false;
    StartLookup(FLookupHostName);
  }
}

void TCustomWSocket::CancelLookup() {
  if (!LookupPending()) return;
  if (!DropLookup()) {
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  if (!FDestroying) TriggerDnsLookupDone(platform::WSAEINTR);
}

// ---- connect ----

bool TCustomWSocket::ResolveForConnect() {
  try {
    if (!FProtoResolved) {
      FProto = ResolveProto(FProtoStr);
      FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = ResolvePort(FPortStr, FProtoStr);
      FSin.sin_port = FPortNum;
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = ResolvePort(FLocalPortStr.empty() ? "0" : FLocalPortStr, FProtoStr);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      FSin.sin_addr.s_addr = ResolveHost(FAddrStr);
      FAddrResolved = true;
    }
  } catch (const ESocketException& e) {
    ReportError(std::string("connect: ") + e.what());
    return false;
  }
  return true;
}

void TCustomWSocket::Connect() {
  if (FHSocket != platform::INVALID_SOCKET && FState != TSocketState::wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return;
  }
  if (!ResolveForConnect()) return;
  {
    std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
    FBufHandler->DiscardAll();
    FBufferedByteCount = 0;
  }
  FAllSent = true;
  FCloseInvoked = false;  // a new connection gets its own close report
  PurgeOwnMessages();
  ForgetOwedNotifications();
  WinSockEnsureLoaded();
  FHSocket = platform::socket(AF_INET, FType, FProto);
  if (FHSocket == platform::INVALID_SOCKET) {
    ReportSocketError("Connect (socket)");
    return;
  }
  socklen_t optlen = sizeof FSocketSndBufSize;
  if (platform::getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &FSocketSndBufSize, &optlen) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("getsockopt(SO_SNDBUF)");
    return;
  }
  optlen = sizeof FSocketRcvBufSize;
  if (platform::getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &FSocketRcvBufSize, &optlen) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("getsockopt(SO_RCVBUF)");
    return;
  }
  auto alive = AliveToken();
  SetState(TSocketState::wsOpened);  // may re-enter
  if (!*alive) return;
  if (FState != TSocketState::wsOpened) {
    platform::WSASetLastError(platform::WSAEINVAL);
    ReportSocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }
  if (FType == SOCK_STREAM) {
    int on = 1;
    if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) ==
        platform::SOCKET_ERROR) {
      ReportSocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
    if (ComponentOptions & wsoTcpNoDelay) {
      if (platform::setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) ==
          platform::SOCKET_ERROR) {
        ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
        return;
      }
    }
    SetLingerOption();
    if (FHSocket == platform::INVALID_SOCKET) return;
    SetKeepAliveOption();
    if (FHSocket == platform::INVALID_SOCKET) return;
    if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") {
      if (!BindLocal()) return;
    }
  } else {
    if (!BindLocal()) return;
    if (MultiCast) {
      if (MultiCastIpTTL != 1) {
        const unsigned char ttl = static_cast<unsigned char>(MultiCastIpTTL);
        if (platform::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) ==
            platform::SOCKET_ERROR) {
          ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
          return;
        }
      }
      if (FLocalAddr != "0.0.0.0") {
        in_addr iface{};
        iface.s_addr = InetAddr(FLocalAddr);
        if (platform::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) ==
            platform::SOCKET_ERROR) {
          ReportSocketError("setsockopt(IP_MULTICAST_IF)");
          return;
        }
      }
    }
    if (FSin.sin_addr.s_addr == INADDR_BROADCAST) {
      int on = 1;
      if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) ==
          platform::SOCKET_ERROR) {
        ReportSocketError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  }
  FSelectEvent = platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT | platform::FD_CLOSE;
  if (platform::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  if (FType == SOCK_DGRAM) {
    SetState(TSocketState::wsConnected);  // may re-enter
    if (!*alive) return;
    FireConnected(0);
    return;
  }
  if (platform::connect(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin) ==
      platform::SOCKET_ERROR) {
    const int error = platform::WSAGetLastError();
    if (error != platform::WSAEWOULDBLOCK) {
      FLastError = error;
      ReportSocketError("Connect", error);
      return;
    }
  }
  SetState(TSocketState::wsConnecting);
}

void TCustomWSocket::SetLingerOption() {
  if (LingerOnOff == TSocketLingerOnOff::wsLingerNoSet) return;
  if (FHSocket == platform::INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  linger value{};
  value.l_onoff = LingerOnOff == TSocketLingerOnOff::wsLingerOn ? 1 : 0;
  value.l_linger = LingerTimeout;
  if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &value, sizeof value) ==
      platform::SOCKET_ERROR)
    ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::SetKeepAliveOption() {
  if (KeepAliveOnOff == TSocketKeepAliveOnOff::wsKeepAliveOff) return;
  if (KeepAliveOnOff == TSocketKeepAliveOnOff::wsKeepAliveOnSystem) {
    int on = 1;
    if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) ==
        platform::SOCKET_ERROR)
      ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return;
  }
  platform::tcp_keepalive values{1, KeepAliveTime, KeepAliveInterval};
  DWORD returned = 0;
  if (platform::WSAIoctl(FHSocket, platform::SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                         &returned) == platform::SOCKET_ERROR)
    ReportSocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
}

bool TCustomWSocket::BindLocal() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = FLocalPortNum;
  local.sin_addr.s_addr = InetAddr(FLocalAddr);
  if (platform::bind(FHSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
      platform::SOCKET_ERROR) {
    FLastError = platform::WSAGetLastError();
    ReportError("Bind socket failed - " + WinSockErrorDesc(FLastError));
    return false;
  }
  socklen_t len = sizeof local;
  if (platform::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) ==
      platform::SOCKET_ERROR) {
    FLastError = platform::WSAGetLastError();
    ReportError("Winsock get socket name failed - " + WinSockErrorDesc(FLastError));
    return false;
  }
  FLocalPortNum = local.sin_port;
  FLocalPortStr = std::to_string(ntohs(local.sin_port));
  return true;
}

// ---- sending ----

void TCustomWSocket::PutDataInSendBuffer(const void* data, int length) {
  if (length <= 0 || !data) return;
  std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
  FBufHandler->AppendData(data, length);
  FBufferedByteCount += length;
  FAllSent = false;
}

int TCustomWSocket::Send(const void* data, int length) {
  if (FState != TSocketState::wsConnected && FState != TSocketState::wsSocksConnected) {
    ReportSocketError("Send", platform::WSAENOTCONN);
    return -1;
  }
  FAllSent = false;
  if (length > 0) PutDataInSendBuffer(data, length);
  auto alive = AliveToken();
  TryToSend();
  if (!*alive) return length > 0 ? length : 0;
  if (FAllSent && FHSocket != platform::INVALID_SOCKET) {
    // OnDataSent must come from the message loop, never from inside Send; with no window
    // (between DetachThread and AttachThread) it waits for the next one.
    if (WindowHandle())
      platform::PostMessage(WindowHandle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                            platform::WSAMAKESELECTREPLY(platform::FD_WRITE, 0));
    else
      OweNotification(platform::FD_WRITE, 0);
  }
  return length > 0 ? length : 0;
}

int TCustomWSocket::RealSend(const char* data, int length) {
  if (FType == SOCK_DGRAM)
    return platform::sendto(FHSocket, data, length, FSendFlags == wsSendUrgent ? MSG_OOB : 0,
                            reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
  return platform::send(FHSocket, data, length, FSendFlags == wsSendUrgent ? MSG_OOB : 0);
}

int TCustomWSocket::RealSendGathered(const char* const* data, const int* lengths, int count) {
  platform::WSABUF pieces[kGatherBlocks];
  count = std::min(count, kGatherBlocks);
  for (int i = 0; i < count; ++i) pieces[i] = {static_cast<unsigned long>(lengths[i]), data[i]};
  return platform::sendv(FHSocket, pieces, count, 0);
}

void TCustomWSocket::TryToSend() {
  auto alive = AliveToken();
  std::unique_lock<std::mutex> lock(FBufHandler->Mutex());
  if (FHSocket == platform::INVALID_SOCKET || FBufHandler->NothingQueued()) {
    FAllSent = true;
    return;
  }
  for (;;) {
    // Small blocks cost one system call each; a stream socket hands the kernel many at once.
    // A datagram is one block, and urgent data goes block by block as it always has.
    const char* data[kGatherBlocks];
    int lengths[kGatherBlocks];
    const bool gather = FType == SOCK_STREAM && FSendFlags != wsSendUrgent;
    const int blocks = FBufHandler->GatherData(data, lengths, gather ? kGatherBlocks : 1);
    if (blocks == 0) {
      FAllSent = true;
      return;
    }
    const int sent = blocks == 1 ? RealSend(data[0], lengths[0]) : RealSendGathered(data, lengths, blocks);
    if (sent < 0) {
      const int error = platform::WSAGetLastError();
      lock.unlock();
      if (ConnectionGone(error)) {
        FCloseInvoked = true;
        InternalClose(false, error);
        if (!*alive) return;
        TriggerSessionClosed(error);  // may re-enter
      } else if (error != platform::WSAEWOULDBLOCK) {
        ReportSocketError("TryToSend failed", error);
      }
      return;  // would block: FD_WRITE calls again
    }
    if (sent == 0) return;
    FBufHandler->RemoveSent(sent);
    FBufferedByteCount = std::max<int64_t>(0, FBufferedByteCount.load() - sent);
    FWriteCount += sent;
    if (FCounter) FCounter->LastWriteTick = platform::GetTickCount();
    if (OnSendData) {
      lock.unlock();
      TriggerSendData(sent);  // may re-enter
      if (!*alive) return;
      if (FHSocket == platform::INVALID_SOCKET) return;
      lock.lock();
    }
    // A partial send does not re-arm FD_WRITE on this platform (only a send that would block
    // does), so go on with the rest of the block until the platform says it would block.
  }
}

// ---- receiving ----

int TCustomWSocket::Receive(void* buffer, int length) {
  const int count = platform::recv(FHSocket, static_cast<char*>(buffer), length, 0);
  if (count > 0) {
    if (FCounter) FCounter->LastReadTick = platform::GetTickCount();
    FReadCount += count;
  } else if (count < 0) {
    FLastError = platform::WSAGetLastError();
  }
  return count;
}

int TCustomWSocket::PendingCount() {
  unsigned long pending = 0;
  if (platform::ioctlsocket(FHSocket, platform::WSA_FIONREAD, &pending) == platform::SOCKET_ERROR) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<int>(pending);
}

std::string TCustomWSocket::ReceiveText() {
  int count = PendingCount();
  if (count < 0) return std::string();
  if (count == 0) count = 255;
  std::string text(static_cast<size_t>(count), '\0');
  const int received = Receive(text.data(), count);
  text.resize(received > 0 ? static_cast<size_t>(received) : 0);
  return text;
}

// ---- closing ----

void TCustomWSocket::PurgeOwnMessages() {
  // Self-posted notifications and delayed closes belong to the connection that was open when
  // they were posted: the next connection must never see them (a stale delayed close would
  // end it at once).
  if (!WindowHandle()) return;
  platform::MSG msg;
  for (UINT number : {FMsg_WM_ASYNCSELECT, FMsg_WM_CLOSE_DELAYED}) {
    if (number == 0) continue;
    while (platform::PeekMessage(&msg, WindowHandle(), number, number, platform::PM_REMOVE)) {
    }
  }
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::CloseLater() {
  platform::PostMessage(Handle(), FMsg_WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::Shutdown(int how) {
  if (FHSocket != platform::INVALID_SOCKET) platform::shutdown(FHSocket, how);
}

void TCustomWSocket::InternalClose(bool shutdownWanted, int error) {
  auto alive = AliveToken();
  if (FHSocket == platform::INVALID_SOCKET) {
    if (FState != TSocketState::wsClosed) {
      SetState(TSocketState::wsClosed);  // may re-enter
      if (!*alive) return;
      try {
        ApplyDefaults();
      } catch (...) {
      }
    }
    return;
  }
  if (FState == TSocketState::wsClosed) return;
  if (shutdownWanted) {
    Shutdown(platform::SD_SEND);
    // An orderly close never resets the connection: with linger on and a time-out of 0 the
    // platform would drop data still queued and send a reset, so linger goes off here.
    if (LingerOnOff == TSocketLingerOnOff::wsLingerOn && LingerTimeout == 0) {
      linger off{};
      platform::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
  }
  const DWORD start = platform::GetTickCount();
  for (;;) {
    if (platform::closesocket(FHSocket) != platform::SOCKET_ERROR) break;
    const int closeError = platform::WSAGetLastError();
    if (closeError == platform::WSAEWOULDBLOCK && platform::TicksSince(start) < 5000) {
      PumpMessages();
      if (!*alive) return;
      continue;
    }
    FHSocket = platform::INVALID_SOCKET;
    if (closeError != platform::WSANOTINITIALISED) {
      ReportSocketError("Disconnect (closesocket)", closeError);
      return;
    }
    break;
  }
  FHSocket = platform::INVALID_SOCKET;
  PurgeOwnMessages();
  ForgetOwedNotifications();
  SetState(TSocketState::wsClosed);  // may re-enter
  if (!*alive) return;
  if (!FDestroying && !FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(error);  // may re-enter
    if (!*alive) return;
  }
  // A handler may already have started the next connection.
  if (FState != TSocketState::wsClosed || FHSocket != platform::INVALID_SOCKET) return;
  try {
    ApplyDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::InternalAbort(int error) {
  if (LookupPending()) {
    DropLookup();  // whatever the platform answers
    if (!FDestroying) {
      auto alive = AliveToken();
      TriggerDnsLookupDone(platform::WSAEINTR);  // may re-enter
      if (!*alive) return;
    }
  }
  {
    std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
    FBufHandler->DiscardAll();
    FBufferedByteCount = 0;
  }
  FAllSent = true;
  if (FState == TSocketState::wsConnected && FProto == IPPROTO_TCP &&
      FHSocket != platform::INVALID_SOCKET) {
    LingerOnOff = TSocketLingerOnOff::wsLingerOff;
    SetLingerOption();
  }
  InternalClose(false, error);
}

void TCustomWSocket::Abort() { InternalAbort(0); }

void TCustomWSocket::AbortOnError() {
  try {
    Abort();
  } catch (...) {
  }
}

void TCustomWSocket::Flush() {
  // Bounded by FlushTimeout and sleeping between attempts: the network drains at its pace.
  const DWORD start = platform::GetTickCount();
  auto alive = AliveToken();
  while (FHSocket != platform::INVALID_SOCKET && !FAllSent) {
    TryToSend();
    if (!*alive || FAllSent || FHSocket == platform::INVALID_SOCKET) break;
    if (platform::TicksSince(start) >= static_cast<DWORD>(FlushTimeout) * 1000u) break;
    platform::MsgWaitForMultipleObjects(0, nullptr, false, 50, platform::QS_ALLINPUT);
    PumpMessages();
    if (!*alive) return;
  }
}

void TCustomWSocket::Pause() {
  FPaused = true;
  if (FHSocket != platform::INVALID_SOCKET) platform::WSAAsyncSelect(FHSocket, Handle(), 0, 0);
}

void TCustomWSocket::Resume() {
  FPaused = false;
  if (FHSocket != platform::INVALID_SOCKET) {
    platform::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent);
    DeliverOwedNotifications();
  }
}

void TCustomWSocket::AttachThread() {
  TNetWndControl::AttachThread();
  if (FHSocket != platform::INVALID_SOCKET)
    platform::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent);
  DeliverOwedNotifications();
  ResumeLookup();
}

void TCustomWSocket::RestartSending() {
  // Data may have been queued while notifications were off without any send being tried
  // (PutDataInSendBuffer), so no FD_WRITE is on its way for it: try from the message loop.
  if (FAllSent || FState != TSocketState::wsConnected) return;
  platform::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                        platform::WSAMAKESELECTREPLY(platform::FD_WRITE, 0));
}

void TCustomWSocket::OweNotification(long events, int error) {
  if (events & platform::FD_CONNECT) FOwedConnectError = error;
  FOwedEvents |= events & (platform::FD_CONNECT | platform::FD_WRITE);
}

void TCustomWSocket::DeliverOwedNotifications() {
  // A delayed close is not held back by a pause (it is not a socket notification).
  if (FOwedDelayedClose) {
    FOwedDelayedClose = false;
    CloseLater();
  }
  if (FPaused || FHSocket == platform::INVALID_SOCKET) return;  // still owed
  const WPARAM socket = static_cast<WPARAM>(FHSocket);
  // In the platform's order: the connect result first, then the chance to send.
  if (FOwedEvents & platform::FD_CONNECT)
    platform::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, socket,
                          platform::WSAMAKESELECTREPLY(platform::FD_CONNECT, FOwedConnectError));
  if (FOwedEvents & platform::FD_WRITE)
    platform::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, socket,
                          platform::WSAMAKESELECTREPLY(platform::FD_WRITE, 0));
  else
    RestartSending();
  FOwedEvents = 0;
  FOwedConnectError = 0;
}

void TCustomWSocket::ForgetOwedNotifications() {
  FOwedEvents = 0;
  FOwedConnectError = 0;
  FOwedDelayedClose = false;
}

void TCustomWSocket::TakeQueuedNotifications() {
  const HWND window = WindowHandle();
  if (!window) return;
  platform::MSG msg;
  if (FMsg_WM_ASYNCSELECT != 0)
    while (platform::PeekMessage(&msg, window, FMsg_WM_ASYNCSELECT, FMsg_WM_ASYNCSELECT,
                                 platform::PM_REMOVE)) {
      // Read and close are reported again when AttachThread registers anew.
      if (FHSocket != platform::INVALID_SOCKET && msg.wParam == static_cast<WPARAM>(FHSocket))
        OweNotification(platform::WSAGETSELECTEVENT(msg.lParam), platform::WSAGETSELECTERROR(msg.lParam));
    }
  if (FMsg_WM_CLOSE_DELAYED != 0)
    while (platform::PeekMessage(&msg, window, FMsg_WM_CLOSE_DELAYED, FMsg_WM_CLOSE_DELAYED,
                                 platform::PM_REMOVE))
      FOwedDelayedClose = true;
  if (FDnsLookupHandle && !FOwedLookupReply) {
    const WPARAM handle = reinterpret_cast<WPARAM>(FDnsLookupHandle);
    while (platform::PeekMessage(&msg, window, FMsg_WM_ASYNCGETHOSTBYNAME,
                                 FMsg_WM_ASYNCGETHOSTBYNAME, platform::PM_REMOVE)) {
      if (msg.wParam != handle) continue;
      FOwedLookupReply = true;  // the buffer holds the answer; nothing writes it any more
      FOwedLookupReplyParam = msg.lParam;
    }
    if (!FOwedLookupReply) {
      // The answer would go to a window that is about to go: ask again from the next one.
      platform::WSACancelAsyncRequest(FDnsLookupHandle);
      FDnsLookupHandle = nullptr;
      FOwedLookupRestart = true;
    }
  }
}

void TCustomWSocket::DetachThread() {
  if (WindowHandle() && ThreadId() == platform::GetCurrentThreadId()) {
    if (FHSocket != platform::INVALID_SOCKET)
      platform::WSAAsyncSelect(FHSocket, WindowHandle(), 0, 0);
    TakeQueuedNotifications();
  }
  TNetWndControl::DetachThread();
}

void TCustomWSocket::PostTestException() {
  platform::PostMessage(Handle(), FMsg_WM_WSOCKET_RELEASE, 0, 0);
}

std::string TCustomWSocket::LocalHostName() {
  // Counts as a live socket while it runs, so the library stays started for it.
  WinSockAddSocket();
  struct TRelease {
    ~TRelease() { WinSockRemoveSocket(); }
  } release;
  WinSockEnsureLoaded();
  char name[256] = {};
  if (platform::gethostname(name, sizeof name) < 0)
    throw ESocketException("Winsock Get Host Name failed");
  name[sizeof name - 1] = '\0';
  return name;
}

}  // namespace net

#include "net/wsocket.h"

#include <algorithm>

#include "net/winsock_library.h"
#include "platform/tick_count.h"
#include "runtime/ascii_text.h"

namespace net {

namespace {

// Queued blocks handed to the kernel in one gathered send.
constexpr int kGatherBlocks = 64;

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
  FType = TSocketType::Stream;
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
  const std::string v(runtime::Trim(value));
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
  const std::string v(runtime::Trim(value));
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
  const std::string v(runtime::Trim(value));
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
  const std::string v(runtime::Trim(value));
  FLocalAddr = v.empty() ? "0.0.0.0" : v;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
  if (FState != TSocketState::wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = runtime::Trim(value);
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
  if (IsStream() && error == 0 && FCounter) FCounter->SetConnected();
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
  if (IsDatagram())
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
    const bool gather = IsStream() && FSendFlags != wsSendUrgent;
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

void TCustomWSocket::PostTestException() {
  platform::PostMessage(Handle(), FMsg_WM_WSOCKET_RELEASE, 0, 0);
}

}  // namespace net

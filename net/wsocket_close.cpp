// TCustomWSocket: closing and aborting a connection, and flushing before.

#include "net/wsocket.h"

#include "platform/tick_count.h"

namespace net {

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

}  // namespace net

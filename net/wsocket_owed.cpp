// TCustomWSocket: the notifications owed while paused or between DetachThread and AttachThread,
// delivered when the socket resumes or its new thread attaches.

#include "net/wsocket.h"

#include "platform/host_lookup.h"

namespace net {

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

}  // namespace net

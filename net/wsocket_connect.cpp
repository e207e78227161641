// TCustomWSocket: opening a connection, step by step, and the options set on the way.

#include "net/wsocket.h"

#include <netinet/tcp.h>

#include "net/winsock_library.h"
#include "net/wsocket_address.h"

namespace net {

bool TCustomWSocket::ResolveForConnect() {
  try {
    if (!FProtoResolved) {
      FProto = ResolveProto(FProtoStr);
      FType = FProto == IPPROTO_TCP   ? TSocketType::Stream
              : FProto == IPPROTO_UDP ? TSocketType::Datagram
                                      : TSocketType::Raw;
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

// The steps of Connect; each reports its own failure and returns false on it.

bool TCustomWSocket::ReadyToConnect() {
  if (FHSocket != platform::INVALID_SOCKET && FState != TSocketState::wsClosed) {
    ReportError("Connect: Socket already in use");
    return false;
  }
  if (!FPortAssigned) {
    ReportError("Connect: No Port Specified");
    return false;
  }
  if (!FAddrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return false;
  }
  if (!FProtoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return false;
  }
  return ResolveForConnect();
}

void TCustomWSocket::ResetForConnection() {
  {
    std::lock_guard<std::mutex> guard(FBufHandler->Mutex());
    FBufHandler->DiscardAll();
    FBufferedByteCount = 0;
  }
  FAllSent = true;
  FCloseInvoked = false;  // a new connection gets its own close report
  PurgeOwnMessages();
  ForgetOwedNotifications();
}

bool TCustomWSocket::OpenSocket() {
  WinSockEnsureLoaded();
  FHSocket = platform::socket(AF_INET, static_cast<int>(FType), FProto);
  if (FHSocket == platform::INVALID_SOCKET) {
    ReportSocketError("Connect (socket)");
    return false;
  }
  socklen_t optlen = sizeof FSocketSndBufSize;
  if (platform::getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &FSocketSndBufSize, &optlen) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("getsockopt(SO_SNDBUF)");
    return false;
  }
  optlen = sizeof FSocketRcvBufSize;
  if (platform::getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &FSocketRcvBufSize, &optlen) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("getsockopt(SO_RCVBUF)");
    return false;
  }
  return true;
}

bool TCustomWSocket::SetStreamOptions() {
  int on = 1;
  if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("setsockopt(SO_REUSEADDR)");
    return false;
  }
  if (ComponentOptions & wsoTcpNoDelay) {
    if (platform::setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) ==
        platform::SOCKET_ERROR) {
      ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      return false;
    }
  }
  SetLingerOption();
  if (FHSocket == platform::INVALID_SOCKET) return false;
  SetKeepAliveOption();
  if (FHSocket == platform::INVALID_SOCKET) return false;
  if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") return BindLocal();
  return true;
}

bool TCustomWSocket::SetDatagramOptions() {
  if (!BindLocal()) return false;
  if (MultiCast) {
    if (MultiCastIpTTL != 1) {
      const unsigned char ttl = static_cast<unsigned char>(MultiCastIpTTL);
      if (platform::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) ==
          platform::SOCKET_ERROR) {
        ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
        return false;
      }
    }
    if (FLocalAddr != "0.0.0.0") {
      in_addr iface{};
      iface.s_addr = InetAddr(FLocalAddr);
      if (platform::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) ==
          platform::SOCKET_ERROR) {
        ReportSocketError("setsockopt(IP_MULTICAST_IF)");
        return false;
      }
    }
  }
  if (FSin.sin_addr.s_addr == INADDR_BROADCAST) {
    int on = 1;
    if (platform::setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) ==
        platform::SOCKET_ERROR) {
      ReportSocketError("setsockopt(SO_BROADCAST)");
      return false;
    }
  }
  return true;
}

void TCustomWSocket::StartConnecting() {
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

void TCustomWSocket::Connect() {
  if (!ReadyToConnect()) return;
  ResetForConnection();
  if (!OpenSocket()) return;
  auto alive = AliveToken();
  SetState(TSocketState::wsOpened);  // may re-enter
  if (!*alive) return;
  if (FState != TSocketState::wsOpened) {
    platform::WSASetLastError(platform::WSAEINVAL);
    ReportSocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }
  if (!(IsStream() ? SetStreamOptions() : SetDatagramOptions())) return;
  FSelectEvent = platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT | platform::FD_CLOSE;
  if (platform::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent) ==
      platform::SOCKET_ERROR) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  if (IsDatagram()) {
    SetState(TSocketState::wsConnected);  // may re-enter
    if (!*alive) return;
    FireConnected(0);
    return;
  }
  StartConnecting();
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

}  // namespace net

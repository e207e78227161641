// TCustomWSocket: host look-up, in the background or for the local host name.

#include "net/wsocket.h"

#include <netdb.h>

#include <cstring>

#include "net/winsock_library.h"
#include "net/wsocket_address.h"
#include "platform/host_lookup.h"

namespace net {

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

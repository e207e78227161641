#pragma once
// The socket library's process-wide state and the fixed texts of its error codes.
//
// On this platform nothing has to be loaded, but the observable rules stay: the library is
// "started" by the first socket function used, "released" when the last socket is gone,
// and the requested version cannot change while it is started.

#include <cstdint>
#include <string>

namespace net {

// The fixed text of a socket error code; "Not a WinSock error" for unknown codes.
std::string WinSockErrorText(int code);

// Error text, " (#", code, " in ", operation, ")": how every platform failure reads.
std::string WinSockErrorMessage(int code, const std::string& operation);

// Error text, " (#", code, ")": the form after loader and resolver messages.
std::string WinSockErrorDesc(int code);

// Every socket-layer use of a socket function calls this first: starts the library with the
// requested version when it is not started. Thread-safe.
void WinSockEnsureLoaded();
// True between the first use and the release.
bool WinSockLoaded();

// Live-socket count: a socket adds one at construction and removes one at destruction;
// when the count falls below 1 the library is released.
void WinSockAddSocket();
void WinSockRemoveSocket();
int WinSockLiveSocketCount();

// The requested version word (low byte ReqVerLow, high byte ReqVerHigh; 1.1 by default).
uint16_t WinSockRequestedVersion();
uint8_t WinSockReqVerLow();
uint8_t WinSockReqVerHigh();
// Returns false (and changes nothing) when the value differs and the library is started;
// setting the value it already has always succeeds.
bool WinSockSetReqVerLow(uint8_t value);
bool WinSockSetReqVerHigh(uint8_t value);

// How many times the library has been started since the process began (observable for
// callers that check the release-and-restart rule).
int WinSockStartupCount();

}  // namespace net

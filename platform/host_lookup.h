// Host name look-up: asynchronous (answer posted as a window message) and blocking.
// IPv4 only. Errors are WinSock numbers: WSAHOST_NOT_FOUND 11001 (no such name),
// WSATRY_AGAIN 11002 (temporary failure), WSANO_RECOVERY 11003, WSANO_DATA 11004 (the name
// has no IPv4 address), WSAENOBUFS 10055 (the caller's buffer is too small).
#pragma once

#include <netdb.h>

#include "platform/win_types.h"

namespace platform {

// Recommended size of a look-up buffer (the caller's buffer may be larger).
constexpr int MAXGETHOSTSTRUCT = 1024;

// Starts resolving `name` on a worker thread and returns a non-null request handle at once.
// When done, `message` is posted to `hwnd` with wParam = the handle and
// lParam = WSAMAKEASYNCREPLY(bytes needed, error). On success `buf` starts with a `hostent`
// (h_addrtype AF_INET, h_length 4, h_name, empty h_aliases, h_addr_list with every IPv4
// address in the resolver's order), all pointers into `buf`. `buf` must stay valid until the
// answer message has been retrieved, the request cancelled or the window destroyed, and must
// be aligned for `hostent` (alignas(hostent) or alignas(8)).
// Returns nullptr with WSAEINVAL (null/empty name, dead window), WSAEFAULT (null or unaligned
// buffer, length <= 0).
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT message, const char* name, char* buf, int buflen);

// Cancels a request whose answer has not yet been retrieved from the queue: its answer is not
// posted (or is taken out of the queue again) and `buf` is not written after this returns.
// Returns 0; SOCKET_ERROR (-1) with WSAEALREADY when the answer was already retrieved, or
// WSAEINVAL for a handle that was never issued.
int WSACancelAsyncRequest(HANDLE request);

// Blocking look-up. The entry lives in thread-local storage until the next call on the same
// thread. nullptr with WSAGetLastError set on failure.
hostent* gethostbyname(const char* name);

}  // namespace platform

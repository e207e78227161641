// Basic Win32-shaped types and constants shared by the platform headers.
//
// The platform layer stands in for the small part of the Windows messaging and socket
// interfaces that the socket layer uses. Names follow the Win32 spelling so that the callers
// read like the algorithms they implement; widths follow Win32 (DWORD and UINT are 32 bits,
// WPARAM/LPARAM/LRESULT are pointer-sized).
#pragma once

#include <cstdint>

namespace platform {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using HANDLE = void*;

// Window handles are opaque, never dereferenced, and never reused within a process: a handle
// of a destroyed window stays invalid for good, so stale messages to it can be recognised.
struct HWND__;
using HWND = HWND__*;

// A window procedure. Called only on the thread that created the window.
using WNDPROC = LRESULT (*)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// One queued message. `time` is the tick count (GetTickCount) when it was posted.
struct MSG {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

// Message numbers.
constexpr UINT WM_NULL = 0;
constexpr UINT WM_QUIT = 18;
constexpr UINT WM_TIMER = 275;
constexpr UINT WM_USER = 1024;
// RegisterWindowMessage hands out numbers from this range.
constexpr UINT kFirstRegisteredMessage = 0xC000;
constexpr UINT kLastRegisteredMessage = 0xFFFF;

// PeekMessage removal flags.
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD QS_ALLINPUT = 0x04FF;

// Error numbers reported by GetLastError for the window functions.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

constexpr WORD LOWORD(std::uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(std::uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr DWORD MAKELONG(WORD low, WORD high) {
  return static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
}

}  // namespace platform

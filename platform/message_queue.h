// Per-thread message queues, hidden windows, window timers and the "input or time-out" wait.
//
// Model (the Win32 one, reduced to what the socket layer needs):
// - Every thread that touches these functions gets its own queue, created on first use.
// - A window belongs to the thread that created it. Messages posted to it (from any thread)
//   land in that thread's queue and are dispatched to its window procedure only there.
// - The queue has a wake-up descriptor; a thread blocked in GetMessage or
//   MsgWaitForMultipleObjects is woken by a post from another thread, by a due timer, by
//   readiness of a socket registered with WSAAsyncSelect (winsock.h) to one of its windows,
//   and by readiness of any extra descriptor registered with RegisterWaitDescriptor.
// - Socket readiness becomes queued FD_* messages only while the owner thread looks at its
//   queue (PeekMessage, GetMessage, MsgWaitForMultipleObjects): a thread that never pumps gets
//   no socket messages, exactly as a Windows thread that never pumps gets none.
//
// Re-entrancy: a window procedure may post, peek, get, dispatch, wait, create and destroy
// windows (including its own) freely; no lock is held while it runs.
#pragma once

#include <functional>

#include "platform/win_types.h"

namespace platform {

// ---- threads and errors ----

// A 32-bit identifier of the calling thread (the kernel thread id), never 0.
DWORD GetCurrentThreadId();

// The calling thread's last error number. Window functions set it on failure
// (ERROR_INVALID_WINDOW_HANDLE 1400 for a handle that is not, or no longer, a window).
// It is the same slot that WSAGetLastError reads, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- windows ----

// Creates a window owned by the calling thread with the given procedure (required) and user
// data in slot 0. Returns nullptr (ERROR_INVALID_PARAMETER) when `proc` is null.
HWND CreateWindow(WNDPROC proc, LONG_PTR userData = 0);

// Destroys a window: its timers are killed and the messages already queued for it are
// dropped; later posts to the handle fail with ERROR_INVALID_WINDOW_HANDLE. Only the owner
// thread may destroy a window (other threads get false, ERROR_ACCESS_DENIED).
// Safe to call from inside the window's own procedure.
bool DestroyWindow(HWND hwnd);

// True while `hwnd` names a live window.
bool IsWindow(HWND hwnd);

// The owner thread of a live window, 0 for anything else.
DWORD GetWindowThreadId(HWND hwnd);

// The one user-data slot of a window: index must be 0. SetWindowLongPtr returns the previous
// value; both return 0 and set ERROR_INVALID_WINDOW_HANDLE / ERROR_INVALID_PARAMETER on failure.
// Callable from any thread.
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);

// Default processing for unhandled messages: nothing, result 0.
LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// ---- posting and retrieving ----

// Appends a message to the queue of the window's owner thread and wakes that thread if it is
// waiting. Thread-safe. Fails (false, ERROR_INVALID_WINDOW_HANDLE) when `hwnd` is not a live
// window; a null `hwnd` posts a thread message to the calling thread's own queue.
bool PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Posts a message with no window to the queue of thread `threadId` (a thread that has used
// this layer and is still running). Fails with ERROR_INVALID_THREAD_ID otherwise.
bool PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// Asks the calling thread's loop to end: WM_QUIT (wParam = exitCode) is retrieved once all
// messages posted before it have been retrieved.
void PostQuitMessage(int exitCode);

// Looks for a message in the calling thread's queue without blocking.
// - hwnd: nullptr means every message of the thread (window and thread messages); otherwise
//   only messages posted to that window.
// - filterMin/filterMax: both 0 means every number, else only numbers in [min, max].
// - removeFlags: PM_REMOVE takes the message out, PM_NOREMOVE leaves it.
// Order: posted messages in posting order; then WM_QUIT (only when hwnd is nullptr and the
// range admits 18); then WM_TIMER of a due timer (a timer never has more than one tick pending,
// so a busy thread gets one tick, not a backlog). Before looking, readiness of the thread's
// sockets and extra descriptors is collected without blocking (when the queue is empty, or
// at most once a millisecond while it is not, so a stream of posts cannot starve sockets).
// Returns true when `msg` was filled.
bool PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);

// Blocks (without using CPU) until PeekMessage with PM_REMOVE finds a message, then returns it:
// 0 when it is WM_QUIT, 1 otherwise, -1 when `hwnd` is given and not a live window.
int GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);

// Nothing to translate on this platform; returns false.
bool TranslateMessage(const MSG* msg);

// Calls the procedure of msg->hwnd with the message and returns its result. Messages with no
// window, for windows that no longer exist, or for windows of another thread are not
// dispatched (result 0).
LRESULT DispatchMessage(const MSG* msg);

// A process-wide message number for a name: the same name always gives the same number
// (0xC000..0xFFFF); an empty or null name gives 0 (ERROR_INVALID_PARAMETER).
UINT RegisterWindowMessage(const char* name);

// ---- timers ----

// Starts or restarts timer `id` of `hwnd`: every `elapseMs` milliseconds (at least 10) a
// WM_TIMER (wParam = id, lParam = 0) becomes retrievable from the owner thread's queue.
// Returns `id` (or 1 when `id` is 0), or 0 with ERROR_INVALID_WINDOW_HANDLE.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);

// Stops a timer; a tick not yet retrieved is gone too. False when there was no such timer.
bool KillTimer(HWND hwnd, UINT_PTR id);

// ---- waiting ----

// The "input or time-out" wait of a nested message loop. Only count 0 is supported (no kernel
// handles on this platform; pass nullptr/false). Returns WAIT_OBJECT_0 + count (= 0) as soon as
// the calling thread's queue holds a retrievable message (posted, quit, due timer, or socket
// readiness turned into a message) or an extra descriptor's callback ran; WAIT_TIMEOUT after
// `milliseconds` (INFINITE waits for ever); WAIT_FAILED (ERROR_INVALID_PARAMETER) for count > 0.
// The thread sleeps in poll() meanwhile.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);

// Hook for other event sources of the calling thread (for example a display connection):
// while this thread waits in GetMessage / MsgWaitForMultipleObjects / PeekMessage, `fd` is
// polled for `events` (poll() bits) and, when ready, `callback(fd, revents)` runs on this
// thread; the wait then returns as for input. The callback may post messages or unregister
// itself. Registering an fd again replaces its entry. Returns false for a negative fd or an
// empty callback.
using WaitCallback = std::function<void(int fd, short revents)>;
bool RegisterWaitDescriptor(int fd, short events, WaitCallback callback);
bool UnregisterWaitDescriptor(int fd);

}  // namespace platform

// Internal plumbing shared by the platform sources; not for use outside platform/.
//
// Lock order (never take an earlier lock while holding a later one):
//   SocketTableMutex -> LookupMutex -> WindowMutex -> ThreadContext::mu
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/message_queue.h"
#include "platform/win_types.h"

namespace platform::internal {

struct SocketEntry;

// One queued message. `lookupTag` is non-zero for the answer of an asynchronous host look-up,
// so that the look-up record can be forgotten once the answer has left the queue.
struct QueuedMessage {
  MSG msg;
  std::uint64_t lookupTag = 0;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  std::uint64_t intervalMs;
  std::uint64_t dueMs;  // GetTickCount64 time of the next tick
};

struct WaitDescriptor {
  short events;
  WaitCallback callback;
  std::uint64_t generation;
};

// The per-thread queue and readiness engine.
struct ThreadContext : std::enable_shared_from_this<ThreadContext> {
  DWORD threadId = 0;
  int wakeFd = -1;  // eventfd; written to wake the thread out of poll()

  std::mutex mu;  // guards everything below up to `sockets`
  std::deque<QueuedMessage> queue;
  bool quitPending = false;
  int quitCode = 0;
  bool waiting = false;  // the owner sits in poll() (or is about to): posts must wake it
  bool alive = true;
  std::vector<Timer> timers;

  // Guarded by SocketTableMutex(): the sockets whose notifications go to this thread.
  std::vector<std::shared_ptr<SocketEntry>> sockets;

  // Owner thread only (no lock): extra descriptors of RegisterWaitDescriptor.
  std::unordered_map<int, WaitDescriptor> descriptors;
  std::uint64_t nextDescriptorGeneration = 1;

  // Owner thread only: when socket readiness was last collected (GetTickCount64).
  std::uint64_t lastCollectMs = 0;
};

// The calling thread's context, created on first use.
ThreadContext& CurrentContext();
// The calling thread's context if it has one (no creation), else nullptr.
ThreadContext* CurrentContextIfAny();

// Wakes the context's thread out of poll(). Caller holds ctx.mu or SocketTableMutex() so the
// descriptor cannot be closed meanwhile.
void Wake(ThreadContext& ctx);
// Wakes `ctx` unless it is the calling thread's own context.
void WakeIfOther(ThreadContext& ctx);

std::mutex& WindowMutex();
std::mutex& SocketTableMutex();

// Posts into the queue of the window's owner. Returns false (ERROR_INVALID_WINDOW_HANDLE)
// when the window is not alive. `lookupTag` as in QueuedMessage.
bool PostTagged(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, std::uint64_t lookupTag);

// As PostTagged, for a caller that already holds WindowMutex().
bool PostTaggedLocked(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                      std::uint64_t lookupTag);

// The owner context of a live window, or nullptr. Caller holds WindowMutex().
std::shared_ptr<ThreadContext> WindowOwnerLocked(HWND hwnd);

// Removes from ctx's queue every message matching `match`; returns how many. Look-up tags of
// removed messages are appended to `removedTags` when given.
std::size_t PurgeQueue(ThreadContext& ctx, const std::function<bool(const MSG&)>& match,
                       std::vector<std::uint64_t>* removedTags = nullptr);

// ---- socket side of the readiness engine (winsock.cpp) ----

// Adds poll entries for the context's registered sockets to `fds` (parallel `entries`) and
// posts results that need no polling (a connect that finished inside connect()).
void CollectSocketInterest(ThreadContext& ctx, std::vector<pollfd>& fds,
                           std::vector<std::shared_ptr<SocketEntry>>& entries);
// Turns poll results into FD_* messages. `fds[i + first]` belongs to `entries[i]`.
void DispatchSocketEvents(ThreadContext& ctx, const std::vector<pollfd>& fds, std::size_t first,
                          const std::vector<std::shared_ptr<SocketEntry>>& entries);
// The dying context's sockets stop being watched.
void DetachSocketsOf(ThreadContext& ctx);

// ---- host look-up (host_lookup.cpp) ----

// Called after a look-up answer left a queue (retrieved or purged).
void ForgetLookup(std::uint64_t tag);

}  // namespace platform::internal

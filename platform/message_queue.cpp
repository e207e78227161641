// Per-thread queues, windows, timers and the readiness engine (poll over the wake-up eventfd,
// the thread's registered sockets and its extra descriptors).
#include "platform/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/platform_internal.h"
#include "platform/tick_count.h"

namespace platform {
namespace internal {
namespace {

struct WindowRecord {
  std::shared_ptr<ThreadContext> owner;
  WNDPROC proc;
  LONG_PTR userData;
};

// Process-wide state is allocated once and never freed: worker threads (host look-ups) may
// still run while static destructors do, and must not find these gone.
struct Globals {
  std::mutex windowMu;
  std::unordered_map<std::uintptr_t, WindowRecord> windows;
  std::uintptr_t nextWindow = 0x10000;  // handles are never reused

  std::mutex threadMu;
  std::unordered_map<DWORD, std::weak_ptr<ThreadContext>> threads;
  std::vector<std::shared_ptr<ThreadContext>> graveyard;  // see ~ContextHolder

  std::mutex registeredMu;
  std::unordered_map<std::string, UINT> registered;
  UINT nextRegistered = kFirstRegisteredMessage;

  std::mutex socketMu;
};

Globals& G() {
  static Globals* g = new Globals;
  return *g;
}

thread_local DWORD tLastError = 0;

DWORD QueryThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

// The calling thread's context. A plain pointer, so it stays readable while the thread's
// other thread_local objects are destroyed.
thread_local ThreadContext* tContext = nullptr;

// Owns the thread's context; its destructor runs at thread exit and takes the thread's
// windows, timers and socket registrations with it.
struct ContextHolder {
  std::shared_ptr<ThreadContext> ctx;

  ~ContextHolder() {
    if (!ctx) return;
    {
      std::lock_guard<std::mutex> lock(G().windowMu);
      for (auto it = G().windows.begin(); it != G().windows.end();) {
        if (it->second.owner == ctx) it = G().windows.erase(it);
        else ++it;
      }
    }
    DetachSocketsOf(*ctx);
    {
      std::lock_guard<std::mutex> lock(G().threadMu);
      G().threads.erase(ctx->threadId);
    }
    {
      std::lock_guard<std::mutex> lock(ctx->mu);
      ctx->alive = false;
      ctx->queue.clear();
      ctx->timers.clear();
      ::close(ctx->wakeFd);
      ctx->wakeFd = -1;
    }
    // On the main thread, static destructors still run after this and may call in (a
    // component releasing its window at exit): they must find a dead context, not freed
    // memory. Other threads run nothing after their thread_local destructors that matters.
    if (ctx->threadId == static_cast<DWORD>(::getpid())) {
      std::lock_guard<std::mutex> lock(G().threadMu);
      G().graveyard.push_back(ctx);
    } else {
      tContext = nullptr;
    }
  }
};

thread_local ContextHolder tHolder;

HWND ToHwnd(std::uintptr_t v) { return reinterpret_cast<HWND>(v); }
std::uintptr_t FromHwnd(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }

bool InRange(UINT message, UINT filterMin, UINT filterMax) {
  if (filterMin == 0 && filterMax == 0) return true;
  return message >= filterMin && message <= filterMax;
}

// Which messages a waiting caller is interested in (GetMessage's filter; all by default).
struct Filter {
  HWND hwnd = nullptr;
  UINT min = 0;
  UINT max = 0;
};

bool MatchesLocked(const Filter& f, const MSG& m) {
  return (f.hwnd == nullptr || m.hwnd == f.hwnd) && InRange(m.message, f.min, f.max);
}

bool HasRetrievableLocked(ThreadContext& ctx, std::uint64_t nowMs, const Filter& f = Filter{}) {
  for (const QueuedMessage& q : ctx.queue)
    if (MatchesLocked(f, q.msg)) return true;
  if (ctx.quitPending && f.hwnd == nullptr && InRange(WM_QUIT, f.min, f.max)) return true;
  if (InRange(WM_TIMER, f.min, f.max))
    for (const Timer& t : ctx.timers)
      if (t.dueMs <= nowMs && (f.hwnd == nullptr || t.hwnd == f.hwnd)) return true;
  return false;
}

// poll() timeout in ms for the earliest timer, or -1 when there is none. Caller holds ctx.mu.
int TimerTimeoutLocked(ThreadContext& ctx, std::uint64_t nowMs, const Filter& f) {
  int best = -1;
  if (!InRange(WM_TIMER, f.min, f.max)) return best;
  for (const Timer& t : ctx.timers) {
    if (f.hwnd != nullptr && t.hwnd != f.hwnd) continue;
    std::uint64_t wait = t.dueMs > nowMs ? t.dueMs - nowMs : 0;
    if (wait > 0x7FFFFFFF) wait = 0x7FFFFFFF;
    if (best < 0 || static_cast<int>(wait) < best) best = static_cast<int>(wait);
  }
  return best;
}

// One pass of the readiness engine: poll for at most `timeoutMs` (-1 = no limit; the wait is
// cut short when a message is already retrievable or a timer falls due), then turn socket
// readiness into queued messages and run the callbacks of ready extra descriptors.
// Returns true when a descriptor callback ran.
bool RunEngine(ThreadContext& ctx, int timeoutMs, const Filter& filter = Filter{}) {
  if (!ctx.alive) return false;  // no wake-up descriptor any more: never block
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<SocketEntry>> entries;
  fds.push_back(pollfd{ctx.wakeFd, POLLIN, 0});
  CollectSocketInterest(ctx, fds, entries);
  std::size_t firstDescriptor = fds.size();
  std::vector<std::pair<int, std::uint64_t>> descriptorIds;
  for (const auto& [fd, d] : ctx.descriptors) {
    fds.push_back(pollfd{fd, d.events, 0});
    descriptorIds.emplace_back(fd, d.generation);
  }

  bool announced = false;
  if (timeoutMs != 0) {
    std::lock_guard<std::mutex> lock(ctx.mu);
    std::uint64_t now = GetTickCount64();
    if (HasRetrievableLocked(ctx, now, filter)) {
      timeoutMs = 0;
    } else {
      int timerWait = TimerTimeoutLocked(ctx, now, filter);
      if (timerWait >= 0 && (timeoutMs < 0 || timerWait < timeoutMs)) timeoutMs = timerWait;
      // From here on, posts from other threads write the eventfd (see PostTagged).
      ctx.waiting = true;
      announced = true;
    }
  }

  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (announced) {
    std::lock_guard<std::mutex> lock(ctx.mu);
    ctx.waiting = false;
  }
  ctx.lastCollectMs = GetTickCount64();
  if (n <= 0) return false;  // time-out, or EINTR: the caller re-checks and waits again

  if (fds[0].revents & POLLIN) {
    std::uint64_t counter;
    ssize_t ignored = ::read(ctx.wakeFd, &counter, sizeof counter);
    (void)ignored;
  }
  DispatchSocketEvents(ctx, fds, 1, entries);

  bool ranCallback = false;
  for (std::size_t i = 0; i < descriptorIds.size(); ++i) {
    short revents = fds[firstDescriptor + i].revents;
    if (revents == 0) continue;
    // An earlier callback may have unregistered or replaced this entry.
    auto it = ctx.descriptors.find(descriptorIds[i].first);
    if (it == ctx.descriptors.end() || it->second.generation != descriptorIds[i].second) continue;
    WaitCallback callback = it->second.callback;  // copy: the callback may unregister itself
    callback(descriptorIds[i].first, revents);   // may re-enter
    ranCallback = true;
  }
  return ranCallback;
}

// Looks for a message; see PeekMessage. `collect` runs a non-blocking engine pass first when
// the queue is empty or was last collected a while ago, so sockets are not starved by a
// stream of posted messages.
bool PeekImpl(ThreadContext& ctx, MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax,
              UINT removeFlags, bool collect) {
  if (collect) {
    bool hasWatched = !ctx.descriptors.empty();
    if (!hasWatched) {
      std::lock_guard<std::mutex> lock(G().socketMu);
      hasWatched = !ctx.sockets.empty();
    }
    if (hasWatched) {
      bool empty;
      {
        std::lock_guard<std::mutex> lock(ctx.mu);
        empty = ctx.queue.empty();
      }
      if (empty || GetTickCount64() - ctx.lastCollectMs >= 1) RunEngine(ctx, 0);
    }
  }

  std::uint64_t tag = 0;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(ctx.mu);
    for (auto it = ctx.queue.begin(); it != ctx.queue.end(); ++it) {
      if (hwnd != nullptr && it->msg.hwnd != hwnd) continue;
      if (!InRange(it->msg.message, filterMin, filterMax)) continue;
      *msg = it->msg;
      if (removeFlags & PM_REMOVE) {
        tag = it->lookupTag;
        ctx.queue.erase(it);
      }
      found = true;
      break;
    }
    if (!found && hwnd == nullptr && ctx.quitPending && InRange(WM_QUIT, filterMin, filterMax)) {
      *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(ctx.quitCode), 0, GetTickCount()};
      if (removeFlags & PM_REMOVE) ctx.quitPending = false;
      found = true;
    }
    if (!found && InRange(WM_TIMER, filterMin, filterMax)) {
      std::uint64_t now = GetTickCount64();
      Timer* best = nullptr;
      for (Timer& t : ctx.timers) {
        if (t.dueMs > now || (hwnd != nullptr && t.hwnd != hwnd)) continue;
        if (best == nullptr || t.dueMs < best->dueMs) best = &t;
      }
      if (best != nullptr) {
        *msg = MSG{best->hwnd, WM_TIMER, best->id, 0, GetTickCount()};
        // The next tick counts from now: a late thread gets one tick, not a backlog.
        if (removeFlags & PM_REMOVE) best->dueMs = now + best->intervalMs;
        found = true;
      }
    }
  }
  if (tag != 0) ForgetLookup(tag);
  return found;
}

}  // namespace

std::mutex& WindowMutex() { return G().windowMu; }
std::mutex& SocketTableMutex() { return G().socketMu; }

ThreadContext* CurrentContextIfAny() { return tContext; }

ThreadContext& CurrentContext() {
  if (tContext == nullptr) {
    auto ctx = std::make_shared<ThreadContext>();
    ctx->threadId = QueryThreadId();
    ctx->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ctx->lastCollectMs = GetTickCount64();
    {
      std::lock_guard<std::mutex> lock(G().threadMu);
      G().threads[ctx->threadId] = ctx;
    }
    tContext = ctx.get();
    tHolder.ctx = std::move(ctx);
  }
  return *tContext;
}

void Wake(ThreadContext& ctx) {
  if (ctx.wakeFd < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = ::write(ctx.wakeFd, &one, sizeof one);
  (void)ignored;
}

void WakeIfOther(ThreadContext& ctx) {
  if (&ctx != CurrentContextIfAny()) Wake(ctx);
}

std::shared_ptr<ThreadContext> WindowOwnerLocked(HWND hwnd) {
  auto it = G().windows.find(FromHwnd(hwnd));
  if (it == G().windows.end()) return nullptr;
  return it->second.owner;
}

static bool PushLocked(ThreadContext& ctx, const MSG& msg, std::uint64_t tag) {
  std::lock_guard<std::mutex> lock(ctx.mu);
  if (!ctx.alive) return false;
  ctx.queue.push_back(QueuedMessage{msg, tag});
  if (ctx.waiting) Wake(ctx);
  return true;
}

bool PostTagged(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, std::uint64_t tag) {
  MSG msg{hwnd, message, wParam, lParam, GetTickCount()};
  if (hwnd == nullptr) return PushLocked(CurrentContext(), msg, tag);
  // The window lock is held while pushing, so DestroyWindow (which erases the window under
  // this lock and purges the queue afterwards) can never leave a message for it behind.
  std::lock_guard<std::mutex> lock(G().windowMu);
  return PostTaggedLocked(hwnd, message, wParam, lParam, tag);
}

bool PostTaggedLocked(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, std::uint64_t tag) {
  MSG msg{hwnd, message, wParam, lParam, GetTickCount()};
  auto owner = WindowOwnerLocked(hwnd);
  if (!owner || !PushLocked(*owner, msg, tag)) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return false;
  }
  return true;
}

std::size_t PurgeQueue(ThreadContext& ctx, const std::function<bool(const MSG&)>& match,
                       std::vector<std::uint64_t>* removedTags) {
  std::lock_guard<std::mutex> lock(ctx.mu);
  std::size_t removed = 0;
  for (auto it = ctx.queue.begin(); it != ctx.queue.end();) {
    if (match(it->msg)) {
      if (removedTags != nullptr && it->lookupTag != 0) removedTags->push_back(it->lookupTag);
      it = ctx.queue.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

DWORD& LastErrorSlot() { return tLastError; }

}  // namespace internal

using namespace internal;

DWORD GetCurrentThreadId() {
  static thread_local DWORD id = QueryThreadId();
  return id;
}

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

HWND CreateWindow(WNDPROC proc, LONG_PTR userData) {
  if (proc == nullptr) {
    tLastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  ThreadContext& ctx = CurrentContext();
  if (!ctx.alive) {  // the thread is shutting down
    tLastError = ERROR_INVALID_THREAD_ID;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(G().windowMu);
  std::uintptr_t id = G().nextWindow++;
  G().windows[id] = WindowRecord{ctx.shared_from_this(), proc, userData};
  return ToHwnd(id);
}

bool DestroyWindow(HWND hwnd) {
  std::shared_ptr<ThreadContext> owner;
  {
    std::lock_guard<std::mutex> lock(G().windowMu);
    auto it = G().windows.find(FromHwnd(hwnd));
    if (it == G().windows.end()) {
      tLastError = ERROR_INVALID_WINDOW_HANDLE;
      return false;
    }
    if (it->second.owner.get() != CurrentContextIfAny()) {
      tLastError = ERROR_ACCESS_DENIED;
      return false;
    }
    owner = it->second.owner;
    G().windows.erase(it);
  }
  std::vector<std::uint64_t> tags;
  PurgeQueue(*owner, [hwnd](const MSG& m) { return m.hwnd == hwnd; }, &tags);
  {
    std::lock_guard<std::mutex> lock(owner->mu);
    auto& timers = owner->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                 timers.end());
  }
  for (std::uint64_t tag : tags) ForgetLookup(tag);
  return true;
}

bool IsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(G().windowMu);
  return G().windows.count(FromHwnd(hwnd)) != 0;
}

DWORD GetWindowThreadId(HWND hwnd) {
  std::lock_guard<std::mutex> lock(G().windowMu);
  auto owner = WindowOwnerLocked(hwnd);
  return owner ? owner->threadId : 0;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  if (index != 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::lock_guard<std::mutex> lock(G().windowMu);
  auto it = G().windows.find(FromHwnd(hwnd));
  if (it == G().windows.end()) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  LONG_PTR previous = it->second.userData;
  it->second.userData = value;
  return previous;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  if (index != 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::lock_guard<std::mutex> lock(G().windowMu);
  auto it = G().windows.find(FromHwnd(hwnd));
  if (it == G().windows.end()) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  return it->second.userData;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return PostTagged(hwnd, message, wParam, lParam, 0);
}

bool PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadContext> target;
  {
    std::lock_guard<std::mutex> lock(G().threadMu);
    auto it = G().threads.find(threadId);
    if (it != G().threads.end()) target = it->second.lock();
  }
  MSG msg{nullptr, message, wParam, lParam, GetTickCount()};
  if (!target || !PushLocked(*target, msg, 0)) {
    tLastError = ERROR_INVALID_THREAD_ID;
    return false;
  }
  return true;
}

void PostQuitMessage(int exitCode) {
  ThreadContext& ctx = CurrentContext();
  std::lock_guard<std::mutex> lock(ctx.mu);
  ctx.quitPending = true;
  ctx.quitCode = exitCode;
}

bool PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  return PeekImpl(CurrentContext(), msg, hwnd, filterMin, filterMax, removeFlags, true);
}

int GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (hwnd != nullptr && !IsWindow(hwnd)) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return -1;
  }
  ThreadContext& ctx = CurrentContext();
  bool collect = true;
  for (;;) {
    if (PeekImpl(ctx, msg, hwnd, filterMin, filterMax, PM_REMOVE, collect))
      return msg->message == WM_QUIT ? 0 : 1;
    if (!ctx.alive) {
      tLastError = ERROR_INVALID_THREAD_ID;
      return -1;
    }
    // Messages outside the filter stay queued; they must not cut the wait short.
    RunEngine(ctx, -1, Filter{hwnd, filterMin, filterMax});
    collect = false;
  }
}

bool TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessage(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(G().windowMu);
    auto it = G().windows.find(FromHwnd(msg->hwnd));
    if (it == G().windows.end() || it->second.owner.get() != CurrentContextIfAny()) return 0;
    proc = it->second.proc;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);  // may re-enter
}

UINT RegisterWindowMessage(const char* name) {
  if (name == nullptr || *name == '\0') {
    tLastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::lock_guard<std::mutex> lock(G().registeredMu);
  auto it = G().registered.find(name);
  if (it != G().registered.end()) return it->second;
  if (G().nextRegistered > kLastRegisteredMessage) {
    tLastError = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  UINT number = G().nextRegistered++;
  G().registered.emplace(name, number);
  return number;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  if (id == 0) id = 1;
  std::uint64_t interval = elapseMs < 10 ? 10 : elapseMs;
  std::lock_guard<std::mutex> lock(G().windowMu);
  auto owner = WindowOwnerLocked(hwnd);
  if (!owner) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  std::lock_guard<std::mutex> ownerLock(owner->mu);
  std::uint64_t due = GetTickCount64() + interval;
  bool replaced = false;
  for (Timer& t : owner->timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.intervalMs = interval;
      t.dueMs = due;
      replaced = true;
    }
  }
  if (!replaced) owner->timers.push_back(Timer{hwnd, id, interval, due});
  // The owner may sit in poll() with a longer time-out computed before this timer existed.
  if (owner->waiting) Wake(*owner);
  return id;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
  std::lock_guard<std::mutex> lock(G().windowMu);
  auto owner = WindowOwnerLocked(hwnd);
  if (!owner) {
    tLastError = ERROR_INVALID_WINDOW_HANDLE;
    return false;
  }
  std::lock_guard<std::mutex> ownerLock(owner->mu);
  auto& timers = owner->timers;
  auto it = std::find_if(timers.begin(), timers.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == timers.end()) {
    tLastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  timers.erase(it);
  return true;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE*, BOOL, DWORD milliseconds, DWORD) {
  if (count != 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  ThreadContext& ctx = CurrentContext();
  if (!ctx.alive) {
    tLastError = ERROR_INVALID_THREAD_ID;
    return WAIT_FAILED;
  }
  const std::uint64_t start = GetTickCount64();
  for (;;) {
    std::uint64_t now = GetTickCount64();
    {
      std::lock_guard<std::mutex> lock(ctx.mu);
      if (HasRetrievableLocked(ctx, now)) return WAIT_OBJECT_0;
    }
    int timeout = -1;
    if (milliseconds != INFINITE) {
      std::uint64_t elapsed = now - start;
      timeout = elapsed >= milliseconds ? 0 : static_cast<int>(milliseconds - elapsed);
    }
    if (RunEngine(ctx, timeout)) return WAIT_OBJECT_0;
    if (timeout == 0) {
      std::lock_guard<std::mutex> lock(ctx.mu);
      return HasRetrievableLocked(ctx, GetTickCount64()) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
  }
}

bool RegisterWaitDescriptor(int fd, short events, WaitCallback callback) {
  if (fd < 0 || !callback) {
    tLastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  ThreadContext& ctx = CurrentContext();
  ctx.descriptors[fd] = WaitDescriptor{events, std::move(callback), ctx.nextDescriptorGeneration++};
  return true;
}

bool UnregisterWaitDescriptor(int fd) {
  ThreadContext& ctx = CurrentContext();
  return ctx.descriptors.erase(fd) != 0;
}

}  // namespace platform

#include "net/net_timer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/timer_dispatch.h"
#include "platform/tick_count.h"

namespace net {

namespace {

// Live timers, so that a tick for a destroyed timer is recognised without reading its memory.
std::mutex& RegistryLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::unordered_set<const TNetTimer*>& WindowTimers() {
  static auto* set = new std::unordered_set<const TNetTimer*>;
  return *set;
}
std::unordered_map<uint64_t, TNetThreadTimer*>& ThreadTimers() {
  static auto* map = new std::unordered_map<uint64_t, TNetThreadTimer*>;
  return *map;
}

std::atomic<uint64_t> gNextIdentity{1};

std::string SystemErrorText(DWORD code) { return "System error. Code: " + std::to_string(code); }

}  // namespace

// ---- the clock and its worker ----

class TNetClock {
 public:
  TNetClock() = default;
  ~TNetClock() { StopWorker(); }

  void Add(TNetThreadTimer* timer);
  void Remove(TNetThreadTimer* timer);
  void Acknowledge(TNetThreadTimer* timer);
  std::atomic<bool> KeepThreadAlive{false};
  bool HasWorker() const { return FWorker.joinable(); }

 private:
  void Run();
  void SetInterval(DWORD ms);
  void StopWorker();

  std::mutex FClockLock;  // orders add/remove against creating and freeing the worker
  std::mutex FListLock;   // the timer list and the timers' clock fields
  std::vector<TNetThreadTimer*> FTimers;
  std::thread FWorker;
  // Worker state, under FWakeLock: the wake-up "event" and the current interval.
  std::mutex FWakeLock;
  std::condition_variable FWake;
  bool FSignalled = false;
  bool FTerminated = false;
  DWORD FIntervalMs = kClockResolution;
};

void TNetClock::SetInterval(DWORD ms) {
  std::lock_guard<std::mutex> guard(FWakeLock);
  FIntervalMs = ms == platform::INFINITE ? ms : std::max(ms, kClockResolution);
  FSignalled = true;
  FWake.notify_one();
}

void TNetClock::StopWorker() {
  if (!FWorker.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FWakeLock);
    FTerminated = true;
    FSignalled = true;
  }
  FWake.notify_one();
  FWorker.join();
  FTerminated = false;
  FSignalled = false;
}

void TNetClock::Add(TNetThreadTimer* timer) {
  // The window is captured (allocated if needed) before any lock is taken.
  HWND window = timer->FOwner->Handle();
  std::lock_guard<std::mutex> clockGuard(FClockLock);
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> listGuard(FListLock);
    if (std::find(FTimers.begin(), FTimers.end(), timer) != FTimers.end())
      throw ENetTimerException("Timer already exists");
    timer->FQueuedSince = platform::GetTickCount();
    timer->FMessageQueued = false;
    timer->FTimerWindow = window;
    timer->FWindowValid = window != nullptr;
    timer->FClockInterval = timer->FInterval;
    wasEmpty = FTimers.empty();
    FTimers.push_back(timer);
  }
  if (!FWorker.joinable()) {
    FIntervalMs = kClockResolution;
    FWorker = std::thread([this] { Run(); });
  } else if (wasEmpty) {
    SetInterval(kClockResolution);  // wake a kept-alive worker sleeping without a deadline
  }
}

void TNetClock::Remove(TNetThreadTimer* timer) {
  std::lock_guard<std::mutex> clockGuard(FClockLock);
  bool empty;
  {
    std::lock_guard<std::mutex> listGuard(FListLock);
    auto it = std::find(FTimers.begin(), FTimers.end(), timer);
    if (it == FTimers.end()) return;
    FTimers.erase(it);
    empty = FTimers.empty();
  }
  if (!empty) return;
  if (KeepThreadAlive)
    SetInterval(platform::INFINITE);
  else
    StopWorker();
}

void TNetClock::Acknowledge(TNetThreadTimer* timer) {
  std::lock_guard<std::mutex> listGuard(FListLock);
  timer->FMessageQueued = false;
  timer->FQueuedSince = platform::GetTickCount();
}

void TNetClock::Run() {
  const UINT message = ThreadTimerMessage();
  for (;;) {
    {
      std::unique_lock<std::mutex> wake(FWakeLock);
      if (FTerminated) return;
      bool signalled;
      if (FIntervalMs == platform::INFINITE) {
        FWake.wait(wake, [this] { return FSignalled; });
        signalled = true;
      } else {
        signalled = FWake.wait_for(wake, std::chrono::milliseconds(FIntervalMs),
                                   [this] { return FSignalled; });
      }
      if (FTerminated) return;
      if (signalled) {
        FSignalled = false;  // auto-reset: interval changed, look again
        continue;
      }
    }
    const DWORD now = platform::GetTickCount();
    std::lock_guard<std::mutex> listGuard(FListLock);
    for (TNetThreadTimer* timer : FTimers) {
      {
        std::lock_guard<std::mutex> wake(FWakeLock);
        if (FTerminated) return;
      }
      if (!timer->FWindowValid) continue;
      if (timer->FMessageQueued) {
        // The owner has not taken the last tick yet: no second one, and measure anew.
        timer->FQueuedSince = now;
        continue;
      }
      if (platform::TicksBetween(timer->FQueuedSince, now) < timer->FClockInterval) continue;
      if (platform::PostMessage(timer->FTimerWindow, message,
                                reinterpret_cast<WPARAM>(timer),
                                static_cast<LPARAM>(timer->FIdentity))) {
        timer->FQueuedSince = now;
        timer->FMessageQueued = true;
      } else if (platform::GetLastError() == platform::ERROR_INVALID_WINDOW_HANDLE) {
        timer->FWindowValid = false;
      }
    }
  }
}

// ---- the clock pool ----

namespace {

struct TClockEntry {
  TNetClock* Clock;
  int Count;
};

std::mutex& ClockPoolLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::vector<TClockEntry>* gClockPool = nullptr;  // under ClockPoolLock; null when empty

TNetClock* GetClock() {
  std::lock_guard<std::mutex> guard(ClockPoolLock());
  if (!gClockPool) gClockPool = new std::vector<TClockEntry>;
  for (TClockEntry& entry : *gClockPool)
    if (entry.Count < kTimersPerClock) {
      ++entry.Count;
      return entry.Clock;
    }
  gClockPool->push_back({new TNetClock, 1});
  return gClockPool->back().Clock;
}

void ReleaseClock(TNetClock* clock) {
  TNetClock* toFree = nullptr;
  {
    std::lock_guard<std::mutex> guard(ClockPoolLock());
    if (!gClockPool) return;
    for (auto it = gClockPool->begin(); it != gClockPool->end(); ++it) {
      if (it->Clock != clock) continue;
      if (clock->KeepThreadAlive && it->Count == 1) return;
      if (--it->Count <= 0) {
        toFree = clock;
        gClockPool->erase(it);
      }
      break;
    }
    if (gClockPool->empty()) {
      delete gClockPool;
      gClockPool = nullptr;
    }
  }
  delete toFree;  // joins its worker outside the pool lock
}

}  // namespace

int NetClockCount() {
  std::lock_guard<std::mutex> guard(ClockPoolLock());
  return gClockPool ? static_cast<int>(gClockPool->size()) : 0;
}

int NetClockWorkerCount() {
  std::lock_guard<std::mutex> guard(ClockPoolLock());
  int count = 0;
  if (gClockPool)
    for (const TClockEntry& entry : *gClockPool) count += entry.Clock->HasWorker() ? 1 : 0;
  return count;
}

// ---- dispatcher side ----

UINT ThreadTimerMessage() {
  static const UINT message = [] {
    const UINT number = platform::RegisterWindowMessage("NET_THREAD_TIMER_MESSAGE");
    if (number == 0) throw ENetTimerException(SystemErrorText(platform::GetLastError()));
    return number;
  }();
  return message;
}

bool DeliverWindowTimerTick(WPARAM wParam) {
  auto* timer = reinterpret_cast<TNetTimer*>(wParam);
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    if (!WindowTimers().count(timer)) return false;
  }
  timer->Tick();
  return true;
}

bool DeliverThreadTimerTick(WPARAM wParam, LPARAM lParam) {
  TNetThreadTimer* timer;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = ThreadTimers().find(static_cast<uint64_t>(lParam));
    if (it == ThreadTimers().end() || reinterpret_cast<WPARAM>(it->second) != wParam) return false;
    timer = it->second;
  }
  timer->Tick();
  return true;
}

// ---- TNetTimer ----

TNetTimer::TNetTimer(TNetWndControl* owner) : FOwner(owner) {
  if (!owner) throw ENetTimerException("Owner not assigned");
}

TNetTimer::~TNetTimer() {
  *FAlive = false;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    WindowTimers().erase(this);
  }
  if (FArmedWindow) platform::KillTimer(FArmedWindow, reinterpret_cast<platform::UINT_PTR>(this));
}

void TNetTimer::CheckOwnerWindow() const {
  if (!FOwner->WindowHandle()) throw ENetTimerException("No window available");
}

void TNetTimer::SetEnabled(bool value) {
  CheckOwnerWindow();
  FEnabled = value;
  UpdateTimer();
}

void TNetTimer::SetInterval(DWORD value) {
  CheckOwnerWindow();
  FInterval = value;
  UpdateTimer();
}

void TNetTimer::SetOnTimer(TTimerEvent handler) {
  CheckOwnerWindow();
  FOnTimer = std::move(handler);
  UpdateTimer();
}

void TNetTimer::UpdateTimer() {
  const auto id = reinterpret_cast<platform::UINT_PTR>(this);
  if (FArmedWindow) {
    platform::KillTimer(FArmedWindow, id);
    FArmedWindow = nullptr;
  }
  if (FInterval > 0 && FEnabled && FOnTimer) {
    HWND window = FOwner->WindowHandle();
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      WindowTimers().insert(this);
    }
    if (platform::SetTimer(window, id, FInterval) == 0) {
      FEnabled = false;
      throw ENetTimerException("No more timers");
    }
    FArmedWindow = window;
  }
  FLastTick = platform::GetTickCount();
}

void TNetTimer::Tick() {
  const DWORD now = platform::GetTickCount();
  const bool due = platform::TicksBetween(FLastTick, now) >= FInterval;
  FLastTick = now;
  if (FOnTimer && due) {
    auto handler = FOnTimer;  // the handler may replace itself
    handler(this);            // may re-enter
  }
}

// ---- TNetThreadTimer ----

TNetThreadTimer::TNetThreadTimer(TNetWndControl* owner)
    : TNetTimer(owner), FIdentity(gNextIdentity.fetch_add(1)), FClock(GetClock()) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  ThreadTimers()[FIdentity] = this;
}

TNetThreadTimer::~TNetThreadTimer() {
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    ThreadTimers().erase(FIdentity);
  }
  FClock->Remove(this);
  ReleaseClock(FClock);
}

bool TNetThreadTimer::KeepThreadAlive() const { return FClock->KeepThreadAlive; }
void TNetThreadTimer::SetKeepThreadAlive(bool value) { FClock->KeepThreadAlive = value; }

void TNetThreadTimer::UpdateTimer() {
  FClock->Remove(this);
  if (FEnabled && FInterval > 0 && FOnTimer) {
    try {
      FClock->Add(this);
    } catch (...) {
      FEnabled = false;
      throw;
    }
  }
}

void TNetThreadTimer::Tick() {
  auto alive = AliveToken();
  try {
    if (FEnabled && FOnTimer) {
      auto handler = FOnTimer;
      handler(this);  // may re-enter
    }
  } catch (...) {
    if (*alive) FClock->Acknowledge(this);
    throw;
  }
  if (*alive) FClock->Acknowledge(this);
}

}  // namespace net

#pragma once
// Timers whose ticks arrive as messages in the owner component's thread.
//
// TNetTimer wraps a platform window timer of the owner's hidden window. TNetThreadTimer gets
// its ticks from a shared clock thread (one per 1,000 timers, 100 ms resolution), so many
// sockets need no platform timer each; at most one tick per timer is ever queued, so an owner
// thread that was blocked gets one tick when it resumes, not a backlog.

#include <cstdint>
#include <functional>
#include <memory>

#include "net/net_wnd_control.h"

namespace net {

constexpr int kTimersPerClock = 1000;
constexpr DWORD kClockResolution = 100;  // milliseconds

class TNetClock;

class TNetTimer {
 public:
  using TTimerEvent = std::function<void(TNetTimer* sender)>;

  // Throws ENetTimerException "Owner not assigned" for a null owner.
  explicit TNetTimer(TNetWndControl* owner);
  virtual ~TNetTimer();
  TNetTimer(const TNetTimer&) = delete;
  TNetTimer& operator=(const TNetTimer&) = delete;

  // Each setter needs the owner's window ("No window available") and re-arms the timer.
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);
  DWORD Interval() const { return FInterval; }
  void SetInterval(DWORD value);
  const TTimerEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TTimerEvent handler);

  TNetWndControl* Owner() const { return FOwner; }

 protected:
  friend bool DeliverWindowTimerTick(WPARAM);
  virtual void UpdateTimer();
  // Runs in the owner's thread when the tick message is routed.
  virtual void Tick();
  void CheckOwnerWindow() const;
  std::shared_ptr<bool> AliveToken() const { return FAlive; }

  TNetWndControl* FOwner;
  bool FEnabled = true;
  DWORD FInterval = 1000;
  TTimerEvent FOnTimer;
  DWORD FLastTick = 0;

 private:
  HWND FArmedWindow = nullptr;  // window the platform timer was set on
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

class TNetThreadTimer : public TNetTimer {
 public:
  explicit TNetThreadTimer(TNetWndControl* owner);
  ~TNetThreadTimer() override;

  // The process-wide unique identity number carried by every tick message.
  uint64_t Identity() const { return FIdentity; }
  // Keeps the clock's thread alive (sleeping) while it has no timer.
  bool KeepThreadAlive() const;
  void SetKeepThreadAlive(bool value);

 protected:
  friend class TNetClock;
  friend bool DeliverThreadTimerTick(WPARAM, LPARAM);
  void UpdateTimer() override;
  void Tick() override;

 private:
  uint64_t FIdentity;
  TNetClock* FClock;
  // Maintained by the clock under its list lock.
  DWORD FQueuedSince = 0;
  bool FMessageQueued = false;
  HWND FTimerWindow = nullptr;
  bool FWindowValid = false;
  DWORD FClockInterval = 0;  // the interval as the clock sees it (copied when added)
};

// Introspection (tests): how many clocks exist and how many worker threads run.
int NetClockCount();
int NetClockWorkerCount();

}  // namespace net

#include "net/timeout_wsocket.h"

#include "platform/tick_count.h"

namespace net {

TCustomTimeoutWSocket::TCustomTimeoutWSocket() = default;

TCustomTimeoutWSocket::~TCustomTimeoutWSocket() { FTimer.reset(); }

void TCustomTimeoutWSocket::TimeoutStartSampling() {
  if (!FTimer) {
    FTimer = std::make_unique<TNetThreadTimer>(this);
    FTimer->SetKeepThreadAlive(true);
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer([this](TNetTimer*) { TimerTick(); });
  }
  // The idle measure starts now. A counter created here has no tick yet, and a counter with
  // no tick would count as idle since the clock began: the first sample would fire the idle
  // time-out while a slow connect is still under way. So a new counter is stamped as well.
  if (!FCounter) CreateActivityCounter();
  FCounter->LastWriteTick = platform::GetTickCount();
  FTimer->SetInterval(TimeoutSampling);
  FTimer->SetEnabled(true);
}

void TCustomTimeoutWSocket::TimeoutStopSampling() {
  if (FTimer && FTimer->Enabled()) FTimer->SetEnabled(false);
}

void TCustomTimeoutWSocket::Connect() {
  if (TimeoutConnect > 0) {
    TimeoutStartSampling();
    FConnectStartTick = platform::GetTickCount();
  } else if (TimeoutIdle > 0) {
    TimeoutStartSampling();
  }
  TCustomWSocket::Connect();
}

void TCustomTimeoutWSocket::TimerTick() {
  if (TimeoutConnect > 0 && FState != TSocketState::wsConnected) {
    if (platform::TicksSince(FConnectStartTick) > TimeoutConnect) {
      TimeoutStopSampling();
      TriggerTimedOut(TTimeoutReason::torConnect);  // may re-enter
    }
  } else if (TimeoutIdle > 0) {
    const DWORD lastAlive = FCounter ? FCounter->LastAliveTick() : 0;
    if (platform::TicksSince(lastAlive) > TimeoutIdle) {
      TimeoutStopSampling();
      TriggerTimedOut(TTimeoutReason::torIdle);  // may re-enter
    }
  } else {
    TimeoutStopSampling();
  }
}

void TCustomTimeoutWSocket::TriggerTimedOut(TTimeoutReason reason) {
  if (OnTimedOut) OnTimedOut(this, reason);
}

void TCustomTimeoutWSocket::TriggerSessionConnected(int error) {
  if (error != 0 || TimeoutIdle == 0)
    TimeoutStopSampling();
  else
    TimeoutStartSampling();
  TCustomWSocket::TriggerSessionConnected(error);
}

void TCustomTimeoutWSocket::TriggerSessionClosed(int error) {
  TimeoutStopSampling();
  TCustomWSocket::TriggerSessionClosed(error);
}

void TCustomTimeoutWSocket::DetachThread() {
  if (FTimer && WindowHandle() && ThreadId() == platform::GetCurrentThreadId()) {
    FSavedTimerEnabled = FTimer->Enabled();
    if (FSavedTimerEnabled) FTimer->SetEnabled(false);
  }
  TCustomWSocket::DetachThread();
}

void TCustomTimeoutWSocket::AttachThread() {
  TCustomWSocket::AttachThread();
  if (FTimer && FSavedTimerEnabled) {
    FSavedTimerEnabled = false;
    // The clock captures the new window when the timer is added again.
    FTimer->SetEnabled(true);
  }
}

}  // namespace net

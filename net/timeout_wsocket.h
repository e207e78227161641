#pragma once
// Connect and idle time-outs on top of the asynchronous socket, measured by a thread timer.
// Both are off (0) by default; the socket then behaves exactly as TCustomWSocket.

#include <functional>
#include <memory>

#include "net/net_timer.h"
#include "net/wsocket.h"

namespace net {

enum class TTimeoutReason { torConnect = 0, torIdle = 1 };

class TCustomTimeoutWSocket : public TCustomWSocket {
 public:
  using TTimeoutEvent = std::function<void(TCustomWSocket* sender, TTimeoutReason reason)>;

  TCustomTimeoutWSocket();
  ~TCustomTimeoutWSocket() override;

  DWORD TimeoutConnect = 0;     // milliseconds, 0 = off
  DWORD TimeoutIdle = 0;        // milliseconds, 0 = off
  DWORD TimeoutSampling = 5000; // timer interval, milliseconds
  TTimeoutEvent OnTimedOut;

  void Connect() override;
  void AttachThread() override;
  void DetachThread() override;

  void TimeoutStartSampling();
  void TimeoutStopSampling();
  bool TimeoutSamplingActive() const { return FTimer && FTimer->Enabled(); }

 protected:
  void TriggerSessionConnected(int error) override;
  void TriggerSessionClosed(int error) override;
  virtual void TriggerTimedOut(TTimeoutReason reason);

 private:
  void TimerTick();

  std::unique_ptr<TNetThreadTimer> FTimer;
  DWORD FConnectStartTick = 0;
  bool FSavedTimerEnabled = false;
};

// The socket as the rest of the system uses it.
class TWSocket : public TCustomTimeoutWSocket {
 public:
  TWSocket() = default;
};

}  // namespace net
